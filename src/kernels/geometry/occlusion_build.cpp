#include "kernels/geometry/occlusion.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>

#include "kernels/check.hpp"
#include "kernels/geometry/occlusion_detail.hpp"
#include "kernels/util/parallel.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qm::geom {
using namespace detail;

// ------------------------------------------------------------------ building

namespace {

inline void prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    static_cast<void>(p);
#endif
}

constexpr int kBins = 16;
constexpr size_t kSampleMin = 4096;  // nodes this large choose their split from about a quarter of this many triangles
constexpr size_t kSahMin = 2 * Scene::kLeafSize;  // smaller nodes split at the median into two leaves

inline double box_area(const float lo[3], const float hi[3]) noexcept {
    const double dx = double(hi[0]) - lo[0], dy = double(hi[1]) - lo[1], dz = double(hi[2]) - lo[2];
    return 2.0 * (dx * dy + dy * dz + dz * dx);
}

// Runs body(begin, end) over [0, n) in up to `threads` contiguous pieces
// (none smaller than 16384 items: below that a thread costs more than it saves).
template <typename F>
void parallel_pieces(size_t n, unsigned threads, F&& body) {
    const size_t pieces = std::max<size_t>(1, std::min<size_t>(threads, n / 16384));
    if (pieces <= 1) {
        body(size_t{0}, n);
        return;
    }
    util::ParallelOptions po;
    po.threads = static_cast<unsigned>(pieces);
    util::parallel_for(pieces, 1, [&](size_t p, size_t) {
        body(util::piece_begin(n, pieces, p), util::piece_begin(n, pieces, p + 1));
    }, po);
}

}  // namespace

// Four floats: x, y, z and an unused lane kept at zero. With SSE one
// instruction per operation; otherwise plain loops.
namespace {
#if defined(__SSE2__)
struct V4 {
    __m128 v;
};
inline V4 v4_load(const float* p) { return {_mm_load_ps(p)}; }
// The first three lanes of p, the fourth zero.
inline V4 v4_load_xyz(const float* p) {
    return {_mm_and_ps(_mm_load_ps(p), _mm_castsi128_ps(_mm_set_epi32(0, -1, -1, -1)))};
}
inline void v4_store(float* p, V4 a) { _mm_store_ps(p, a.v); }
inline V4 v4_set(float x) { return {_mm_set1_ps(x)}; }
inline V4 v4_min(V4 a, V4 b) { return {_mm_min_ps(a.v, b.v)}; }
inline V4 v4_max(V4 a, V4 b) { return {_mm_max_ps(a.v, b.v)}; }
inline V4 v4_add(V4 a, V4 b) { return {_mm_add_ps(a.v, b.v)}; }
#else
struct V4 {
    float f[4];
};
inline V4 v4_load(const float* p) { return {{p[0], p[1], p[2], p[3]}}; }
inline V4 v4_load_xyz(const float* p) { return {{p[0], p[1], p[2], 0.0f}}; }
inline void v4_store(float* p, V4 a) { std::copy_n(a.f, 4, p); }
inline V4 v4_set(float x) { return {{x, x, x, x}}; }
inline V4 v4_min(V4 a, V4 b) {
    for (int j = 0; j < 4; ++j) a.f[j] = b.f[j] < a.f[j] ? b.f[j] : a.f[j];
    return a;
}
inline V4 v4_max(V4 a, V4 b) {
    for (int j = 0; j < 4; ++j) a.f[j] = b.f[j] > a.f[j] ? b.f[j] : a.f[j];
    return a;
}
inline V4 v4_add(V4 a, V4 b) {
    for (int j = 0; j < 4; ++j) a.f[j] += b.f[j];
    return a;
}
#endif

// A box in floats: lower corner, upper corner (lane 3 zero in both).
struct Box4 {
    V4 lo, hi;
    static Box4 empty() { return {v4_set(INFINITY), v4_set(-INFINITY)}; }
    void grow(V4 l, V4 h) { lo = v4_min(lo, l), hi = v4_max(hi, h); }
    void grow(const Box4& b) { grow(b.lo, b.hi); }
    void get(float out[8]) const { v4_store(out, lo), v4_store(out + 4, hi); }
};

// Surface area (of a non-empty box), for the split heuristic only: the sides
// are taken in float straight from the registers (any rounding only moves the
// choice of split, never what the tree prunes).
inline double box_area4(const Box4& b) {
#if defined(__SSE2__)
    const __m128 d = _mm_sub_ps(b.hi.v, b.lo.v);
    const double dx = _mm_cvtss_f32(d), dy = _mm_cvtss_f32(_mm_shuffle_ps(d, d, 1));
    const double dz = _mm_cvtss_f32(_mm_shuffle_ps(d, d, 2));
#else
    const double dx = b.hi.f[0] - b.lo.f[0], dy = b.hi.f[1] - b.lo.f[1], dz = b.hi.f[2] - b.lo.f[2];
#endif
    return 2.0 * (dx * dy + dz * (dx + dy));
}
}  // namespace

// A tree triangle during the build: its box in floats, rounded outwards (a
// larger box only prunes less), and its number.
// 32 bytes: the number sits in the fourth lane of the lower corner, which
// vlo() reads as zero.
struct alignas(16) Scene::Prim {
    float lo[3];
    uint32_t id;
    float hi[4];
    V4 vlo() const { return v4_load_xyz(lo); }
    V4 vhi() const { return v4_load(hi); }
    float key(int j) const noexcept { return lo[j] + hi[j]; }  // twice the box centre: the split key
};

namespace {
std::atomic<uint64_t> next_scene_id{1};
}  // namespace

Scene::Scene(std::vector<double> tris, unsigned threads)
    : tris_(std::move(tris)), id_(next_scene_id.fetch_add(1, std::memory_order_relaxed)) {
    if (tris_.size() % 9 != 0) throw std::invalid_argument("triangle data must hold 9 numbers per triangle");
    if (size() >= std::numeric_limits<uint32_t>::max()) throw std::length_error("too many triangles");
    build(resolve_threads(threads));
    QM_DCHECK(check_tree());
}

Scene::~Scene() = default;

size_t Scene::node_count() const noexcept { return wide_.size(); }
size_t Scene::leaf_count() const noexcept { return leaves_.size(); }

bool Scene::check_tree() const {
    const size_t T = size(), m = leaf_ids_.size();
    // Leaf order: every tree triangle once; positions invert it; the rest are direct.
    if (leaf_pos_.size() != (m ? T : leaf_pos_.size())) return false;
    std::vector<unsigned char> seen(T, 0);
    for (size_t p = 0; p < m; ++p) {
        const uint32_t id = leaf_ids_[p];
        if (id >= T || seen[id] || leaf_pos_[id] != p) return false;
        seen[id] = 1;
    }
    for (uint32_t id : direct_) {
        if (id >= T || seen[id]) return false;
        seen[id] = 1;
    }
    if (m + direct_.size() != T) return false;
    if (m == 0) return wide_.empty() && leaves_.empty();
    for (size_t k = 0; k < leaf_pos_.size(); ++k)
        if (leaf_pos_[k] != ~0u && (leaf_pos_[k] >= m || leaf_ids_[leaf_pos_[k]] != k)) return false;
    // Leaves tile [0, m): each position in exactly one leaf, none larger than kLeafSize.
    std::vector<unsigned char> covered(m, 0);
    for (const LeafF& L : leaves_) {
        if (L.count == 0 || L.count > kLeafSize || L.first > m || L.count > m - L.first) return false;
        for (uint32_t q = L.first; q < L.first + L.count; ++q) {
            if (covered[q]) return false;
            covered[q] = 1;
        }
    }
    for (unsigned char c : covered)
        if (!c) return false;
    // Children in range, leaf children named once, each child box within its
    // node's box and every leaf triangle within its leaf's box.
    std::vector<unsigned char> leaf_seen(leaves_.size(), 0);
    for (size_t w = 0; w < wide_.size(); ++w) {
        const Wide& node = wide_[w];
        for (size_t c = 0; c < kWidth; ++c) {
            const uint32_t child = node.child[c];
            if (child == ~0u) {
                if (node.count[c] != 0) return false;
                continue;
            }
            if (node.count[c]) {
                if (child >= leaves_.size() || leaf_seen[child] || leaves_[child].count != node.count[c]) return false;
                leaf_seen[child] = 1;
                const LeafF& L = leaves_[child];
                for (uint32_t q = L.first; q < L.first + L.count; ++q) {
                    const double* t = tri(leaf_ids_[q]);
                    for (int v = 0; v < 3; ++v)
                        for (int j = 0; j < 3; ++j)
                            if (!(node.lo[j][c] <= t[3 * v + j] && t[3 * v + j] <= node.hi[j][c])) return false;
                }
            } else {
                if (child <= w || child >= wide_.size()) return false;  // depth first: children come later
                const Wide& sub = wide_[child];
                for (size_t cc = 0; cc < kWidth; ++cc) {
                    if (sub.child[cc] == ~0u) continue;
                    for (int j = 0; j < 3; ++j)
                        if (!(node.lo[j][c] <= sub.lo[j][cc] && sub.hi[j][cc] <= node.hi[j][c])) return false;
                }
            }
        }
    }
    for (unsigned char s : leaf_seen)
        if (!s) return false;
    return true;
}

// Static widening of a triangle's box that covers the rounding of the
// Moller-Trumbore test for every direction with max|d_i| <= 1 and every origin
// within Ms (per axis) of the triangle: pad = pa + pb * Ms.
//
// For computed a, u, v, t with |a| >= 1e-6 (smaller |a| never hits), the exact
// solution of o + T d = P0 + U e1 + V e2 differs from u by at most
// (da |u| + dNu) / (|a| - da), likewise v and t, where da, dNu, dNv, dNt bound
// the rounding of the dot and cross products. A hit therefore puts a point of
// the ray segment [0, 1e6 + 2] within pad of the triangle's box. The bound is
// doubled for the rounding of its own evaluation.
bool Scene::static_pad(const double* t, double& pa, double& pb) {
    const double e1[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]};
    const double e2[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
    double m1 = 0, m2 = 0, m12 = 0, cross = 0;
    for (int i = 0; i < 3; ++i) {
        m1 += std::fabs(e1[i]);
        m2 += std::fabs(e2[i]);
        m12 = std::max({m12, std::fabs(e1[i]), std::fabs(e2[i])});
        cross += std::fabs(e1[i]) * (std::fabs(e2[(i + 1) % 3]) + std::fabs(e2[(i + 2) % 3]));
    }
    const double Dm = 1.0 + 1e-9, g8 = 8 * kEps, inv_den = 2e6;
    const double da = g8 * Dm * cross + kTiny;
    if (!(da <= 0.5e-6)) return false;  // too large for the bound: tested directly
    const double u0 = da * 1.01 * inv_den + 4 * kEps, u1 = g8 * Dm * 2 * m2 * inv_den;
    const double v0 = u0, v1 = g8 * Dm * 2 * m1 * inv_den;
    const double t0 = da * kTmax * 1.01 * inv_den + 4 * kEps * kTmax, t1 = g8 * 2 * m1 * m2 * inv_den;
    pa = 2 * (2 * (u0 + v0) * m12 + 2 * kEps * m12 + t0 * Dm) + kTiny;
    pb = 2 * (2 * (u1 + v1) * m12 + kEps + t1 * Dm);
    return std::isfinite(pa) && std::isfinite(pb);
}


namespace {
constexpr size_t kSpawnMin = 8192;  // smaller subtrees are built on the thread that split them
}  // namespace

// Builds the binary tree over prims[begin, end) (box: lower and upper corner
// of their boxes; cbox: of their split keys) into `out`, depth first: a node,
// its left subtree, then its right subtree; interior nodes name their right
// child by its index in `out`. With spawn > 0 the two subtrees are built on
// two threads into lists of their own and copied in afterwards, so the result
// is the same as building everything on one thread.
void Scene::build_range(Prim* prims, size_t begin, size_t end, int depth, const float* box, const float* cbox,
                        std::vector<Node>& out, int spawn) const {
    const uint32_t index = static_cast<uint32_t>(out.size());
    out.push_back(Node{});
    Node node{};
    double mag = 0.0;
    for (int j = 0; j < 3; ++j) {
        node.lo[j] = box[j], node.hi[j] = box[4 + j];
        mag = std::max({mag, std::fabs(double(node.lo[j])), std::fabs(double(node.hi[j]))});
    }
    node.slack = 1e-9 + 8 * kEps * mag;
    const size_t n = end - begin;
    if (n <= kLeafSize) {
        node.first = static_cast<uint32_t>(begin);
        node.count = static_cast<uint32_t>(n);
        out[index] = node;
        return;
    }
    int axis = 0;
    for (int j = 1; j < 3; ++j)
        if (cbox[4 + j] - cbox[j] > cbox[4 + axis] - cbox[axis]) axis = j;
    const float extent = cbox[4 + axis] - cbox[axis];
    size_t mid = begin + n / 2;
    // Boxes and key boxes of both halves.
    alignas(16) float lb[8], lc[8], rb[8], rc[8];
    bool have_boxes = false;
    if (extent > 0 && depth < kMaxSahDepth && n > kSahMin) {
        // Binned surface area heuristic. Large nodes choose the split from an
        // evenly spaced sample of their triangles; the partition then collects
        // both halves' boxes and key boxes.
        size_t count[kBins] = {};
        Box4 bb[kBins];
        for (int b = 0; b < kBins; ++b) bb[b] = Box4::empty();
        const float lo_key = cbox[axis], scale = kBins / extent;
        auto bin_of = [&](const Prim& p) {
            const float x = (p.key(axis) - lo_key) * scale;
            return x >= kBins - 1 ? kBins - 1 : x > 0 ? static_cast<int>(x) : 0;
        };
        const size_t stride = n >= kSampleMin ? n / (kSampleMin / 4) : 1;
        for (size_t i = begin; i < end; i += stride) {
            const Prim& p = prims[i];
            const int b = bin_of(p);
            ++count[b];
            bb[b].grow(p.vlo(), p.vhi());
        }
        double right_area[kBins];
        size_t right_count[kBins];
        Box4 r = Box4::empty();
        size_t rn = 0;
        for (int b = kBins - 1; b > 0; --b) {
            rn += count[b];
            r.grow(bb[b]);
            right_area[b] = rn ? box_area4(r) : 0.0;
            right_count[b] = rn;
        }
        Box4 l = Box4::empty();
        size_t ln = 0;
        double best = kInf;
        int best_split = -1;
        for (int b = 0; b < kBins - 1; ++b) {
            ln += count[b];
            l.grow(bb[b]);
            if (ln == 0 || right_count[b + 1] == 0) continue;
            const double cost = ln * box_area4(l) + right_count[b + 1] * right_area[b + 1];
            if (cost < best) best = cost, best_split = b;
        }
        if (best_split >= 0) {
            // Two-sided partition; each triangle's box joins its half once it is in place.
            Box4 xb[2] = {Box4::empty(), Box4::empty()}, xc[2] = {Box4::empty(), Box4::empty()};
            auto join = [&](const Prim& p, int side) {
                const V4 pl = p.vlo(), ph = p.vhi(), k = v4_add(pl, ph);
                xb[side].grow(pl, ph);
                xc[side].grow(k, k);
            };
            // bin_of(p) <= best_split, for the finite keys of tree triangles.
            const float limit = static_cast<float>(best_split + 1);
            auto left = [&](const Prim& p) { return (p.key(axis) - lo_key) * scale < limit; };
            size_t i = begin, j = end;
            for (;;) {
                while (i < j && left(prims[i])) join(prims[i++], 0);
                while (i < j && !left(prims[j - 1])) join(prims[--j], 1);
                if (i >= j) break;
                std::swap(prims[i], prims[j - 1]);
            }
            mid = i;
            xb[0].get(lb), xc[0].get(lc), xb[1].get(rb), xc[1].get(rc);
            have_boxes = mid != begin && mid != end;
        }
    }
    if (!have_boxes) {
        // Median split (nodes of two leaves or fewer, deep nodes, failed heuristic); equal keys: halves by position.
        mid = begin + n / 2;
        if (extent > 0)
            std::nth_element(prims + begin, prims + mid, prims + end,
                             [&](const Prim& a, const Prim& b) { return a.key(axis) < b.key(axis); });
        auto bounds = [&](size_t b0, size_t b1, float* xb, float* xc) {
            Box4 bx = Box4::empty(), cx = Box4::empty();
            for (size_t i = b0; i < b1; ++i) {
                const V4 l = prims[i].vlo(), h = prims[i].vhi(), k = v4_add(l, h);
                bx.grow(l, h);
                cx.grow(k, k);
            }
            bx.get(xb), cx.get(xc);
        };
        bounds(begin, mid, lb, lc);
        bounds(mid, end, rb, rc);
    }
    node.count = 0;
    node.axis = static_cast<uint32_t>(axis);
    if (spawn > 0 && n >= kSpawnMin) {
        std::vector<Node> left, right;
        left.reserve(2 * (mid - begin));
        right.reserve(2 * (end - mid));
        // The two halves on two threads, each into its own list.
        util::ParallelOptions po;
        po.threads = 2;
        util::parallel_for(2, 1, [&](size_t half, size_t) {
            if (half == 0)
                build_range(prims, begin, mid, depth + 1, lb, lc, left, spawn - 1);
            else
                build_range(prims, mid, end, depth + 1, rb, rc, right, spawn - 1);
        }, po);
        auto append = [&](const std::vector<Node>& part) {
            const uint32_t off = static_cast<uint32_t>(out.size());
            for (Node x : part) {
                if (!x.count) x.first += off;
                out.push_back(x);
            }
            return off;
        };
        append(left);
        node.first = append(right);
    } else {
        build_range(prims, begin, mid, depth + 1, lb, lc, out, 0);
        node.first = static_cast<uint32_t>(out.size());
        build_range(prims, mid, end, depth + 1, rb, rc, out, 0);
    }
    out[index] = node;
}

void Scene::build(unsigned threads) {
    const size_t T = size();
    // Triangles in tree range with a finite widening, and their boxes.
    // (Arrays filled below before any read: no zeroing pass.)
    std::unique_ptr<double[]> pa(new double[T]), pb(new double[T]);
    std::unique_ptr<unsigned char[]> ok(new unsigned char[T]);
    static_assert(sizeof(Prim) == 32, "build records of 32 bytes");
    // One pass reads each triangle once: its widening and, for the tree's
    // triangles, the build record at the triangle's own number (the few left
    // out are squeezed out afterwards). The root's box and key box: min and
    // max, so any order of the pieces gives the same.
    // (Large pages are asked for the arrays that are kept and walked, not for
    // the build's own: on a busy machine the system may have to gather them
    // first, which costs more than it saves on arrays written once.)
    std::unique_ptr<Prim[]> prims(new Prim[T]);  // filled below
    Box4 root = Box4::empty(), rootc = Box4::empty();
    std::mutex merge;
    parallel_pieces(T, threads, [&](size_t k0, size_t k1) {
        Box4 acc = Box4::empty(), accc = Box4::empty();
        for (size_t k = k0; k < k1; ++k) {
            const double* t = tri(k);
            bool in = true;
            for (int j = 0; j < 9; ++j) in = in && in_tree_range(t[j]);
            pa[k] = pb[k] = 0.0;
            ok[k] = in && static_pad(t, pa[k], pb[k]);
            if (!ok[k]) continue;
            Prim& p = prims[k];
            p.id = static_cast<uint32_t>(k);
            for (int j = 0; j < 3; ++j) {
                p.lo[j] = round_down(std::min({t[j], t[3 + j], t[6 + j]}));
                p.hi[j] = round_up(std::max({t[j], t[3 + j], t[6 + j]}));
            }
            p.hi[3] = 0.0f;
            const V4 l = p.vlo(), h = p.vhi(), kk = v4_add(l, h);
            acc.grow(l, h);
            accc.grow(kk, kk);
        }
        std::lock_guard<std::mutex> lock(merge);
        root.grow(acc);
        rootc.grow(accc);
    });
    size_t m = 0;
    for (size_t k = 0; k < T; ++k) {
        if (!ok[k]) {
            direct_.push_back(static_cast<uint32_t>(k));
            continue;
        }
        if (m != k) prims[m] = prims[k];
        ++m;
    }
    if (m == 0) return;
    alignas(16) float box[8], cbox[8];
    root.get(box);
    rootc.get(cbox);
    int spawn = 0;
    while ((1u << spawn) < 4 * threads && spawn < 8 && threads > 1) ++spawn;
    std::vector<Node> nodes;
    nodes.reserve(2 * m);  // a node per leaf at most, leaves of one triangle at least
    build_range(prims.get(), 0, m, 0, box, cbox, nodes, spawn);

    reserve_huge(leaf_ids_, m);
    leaf_ids_.resize(m);
    for (size_t i = 0; i < m; ++i) leaf_ids_[i] = prims[i].id;
    prims.reset();
    reserve_huge(leaf_pos_, T);
    leaf_pos_.assign(T, ~0u);
    for (size_t p = 0; p < m; ++p) leaf_pos_[leaf_ids_[p]] = static_cast<uint32_t>(p);
    for (int j = 0; j < 3; ++j) {
        box_lo_[j] = nodes[0].lo[j], box_hi_[j] = nodes[0].hi[j];
        centre_[j] = 0.5 * box_lo_[j] + 0.5 * box_hi_[j];
    }
    // Node widening: the largest of its triangles', plus the slack of the box test.
    for (size_t i = nodes.size(); i-- > 0;) {
        Node& nd = nodes[i];
        double a = 0, b = 0;
        if (nd.count) {
            for (uint32_t q = nd.first; q < nd.first + nd.count; ++q)
                a = std::max(a, pa[leaf_ids_[q]]), b = std::max(b, pb[leaf_ids_[q]]);
        } else {
            a = std::max(nodes[i + 1].pa - nodes[i + 1].slack, nodes[nd.first].pa - nodes[nd.first].slack);
            b = std::max(nodes[i + 1].pb, nodes[nd.first].pb);
        }
        nd.pa = a + nd.slack;
        nd.pb = b;
    }
    size_t n_leaves = 0;
    for (const Node& nd : nodes) n_leaves += nd.count != 0;
    wide_.reserve(nodes.size() / 2 + 1);  // a wide node takes at least two binary ones
    reserve_huge(leaves_, n_leaves);
    collapse(nodes, 0);
    // Pre-test form of each leaf: vertices relative to the centre, in float.
    parallel_pieces(leaves_.size(), threads, [&](size_t f0, size_t f1) {
        for (size_t f = f0; f < f1; ++f) {
            // The triangles are read in leaf order, out of their order in
            // memory: those of a leaf a few ahead are fetched meanwhile.
            constexpr size_t kAhead = 8;
            if (f + kAhead < f1) {
                const LeafF& A = leaves_[f + kAhead];
                for (uint32_t l = 0; l < A.count; ++l) {
                    const uint32_t id = leaf_ids_[A.first + l];
                    prefetch(tri(id));
                    prefetch(tri(id) + 8);
                    prefetch(&pa[id]);
                    prefetch(&pb[id]);
                }
            }
            LeafF& L = leaves_[f];
            double a = 0, b = 0;
            for (uint32_t l = 0; l < kLeafSize; ++l) {
                const bool used = l < L.count;
                const uint32_t id = used ? leaf_ids_[L.first + l] : 0;
                for (int v = 0; v < 3; ++v)
                    for (int j = 0; j < 3; ++j)
                        L.v[v][j][l] = used ? static_cast<float>(tri(id)[3 * v + j] - centre_[j]) : 0.0f;
                if (used) a = std::max(a, pa[id]), b = std::max(b, pb[id]);
            }
            L.pa = round_up_f(a);
            L.pb = round_up_f(b);
        }
    });
}

// Collapses the binary subtree at `bin` into eight-wide nodes; returns the index.
uint32_t Scene::collapse(const std::vector<Node>& nodes, uint32_t bin) {
    const uint32_t index = static_cast<uint32_t>(wide_.size());
    wide_.push_back(Wide{});
    uint32_t kids[kWidth];
    size_t nk = 0;
    if (nodes[bin].count) {
        kids[nk++] = bin;
    } else {
        kids[nk++] = bin + 1;
        kids[nk++] = nodes[bin].first;
        while (nk < kWidth) {
            int pick = -1;
            double best = -1;
            for (size_t i = 0; i < nk; ++i) {
                const Node& k = nodes[kids[i]];
                if (k.count) continue;
                const double area = box_area(k.lo, k.hi);
                if (area > best) best = area, pick = static_cast<int>(i);
            }
            if (pick < 0) break;
            const uint32_t k = kids[pick];
            kids[pick] = k + 1;
            kids[nk++] = nodes[k].first;
        }
    }
    Wide w{};
    for (size_t c = 0; c < kWidth; ++c) {
        w.child[c] = ~0u;
        w.count[c] = 0;
        w.pa[c] = w.pb[c] = 0;
        for (int j = 0; j < 3; ++j) w.lo[j][c] = INFINITY, w.hi[j][c] = -INFINITY;
    }
    for (size_t c = 0; c < nk; ++c) {
        const Node& k = nodes[kids[c]];
        for (int j = 0; j < 3; ++j) w.lo[j][c] = k.lo[j], w.hi[j][c] = k.hi[j];
        w.pa[c] = k.pa;
        w.pb[c] = k.pb;
        if (k.count) {
            LeafF L{};
            L.first = k.first;
            L.count = k.count;
            w.child[c] = static_cast<uint32_t>(leaves_.size());
            w.count[c] = k.count;
            leaves_.push_back(L);
        } else {
            w.child[c] = collapse(nodes, kids[c]);
        }
    }
    wide_[index] = w;
    return index;
}

size_t Scene::memory_bytes() const {
    size_t b = sizeof(*this) + tris_.capacity() * sizeof(double) + wide_.size() * sizeof(Wide) +
               leaves_.size() * sizeof(LeafF) + leaf_ids_.capacity() * sizeof(uint32_t) +
               leaf_pos_.capacity() * sizeof(uint32_t) +
               direct_.capacity() * sizeof(uint32_t);
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (tree_) b += sizeof(CallTree) + tree_->nodes.capacity() * sizeof(WideF);
    return b;
}

bool Scene::same_tree(const Scene& o) const {
    auto same = [](const auto& a, const auto& b) {
        return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
    };
    return same(tris_, o.tris_) && same(wide_, o.wide_) && same(leaves_, o.leaves_) && same(leaf_ids_, o.leaf_ids_) &&
           same(leaf_pos_, o.leaf_pos_) && same(direct_, o.direct_);
}

}  // namespace qm::geom
