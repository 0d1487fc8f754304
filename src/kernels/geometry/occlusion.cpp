#include "kernels/geometry/occlusion.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if QM_HAVE_AVX2_WALK
#include <immintrin.h>
#endif

#include "kernels/geometry/stl_read.hpp"

namespace qm::geom {
namespace {

constexpr double kEps = 1.1102230246251565e-16;  // unit roundoff, 2^-53
constexpr double kHuge = 1e30;                    // larger coordinates stay out of the tree
constexpr double kTmax = 1e6 + 2;                 // ray length covered by the box test
constexpr double kTiny = 1e-290;                  // absolute term covering underflow
constexpr double kInf = std::numeric_limits<double>::infinity();

constexpr int kBins = 16;
constexpr int kMaxSahDepth = 48;  // deeper nodes split at the median: bounded depth

// Float bounds on the safe side of x: widened by more than the float rounding.
inline float round_down(double x) { return static_cast<float>(x - (std::fabs(x) * 2.4e-7 + 1e-37)); }
inline float round_up(double x) { return static_cast<float>(x + (std::fabs(x) * 2.4e-7 + 1e-37)); }
inline float round_up_f(double x) { return round_up(x); }
constexpr double kEpsF = 5.9604644775390625e-08;  // 2^-24

inline bool in_tree_range(double v) noexcept { return std::fabs(v) <= kHuge; }  // false for NaN

double pairwise(const double* a, size_t n) noexcept {
    if (n < 8) {
        double res = 0.0;
        for (size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise(a, n2) + pairwise(a + n2, n - n2);
}

inline double box_area(const double lo[3], const double hi[3]) noexcept {
    const double dx = hi[0] - lo[0], dy = hi[1] - lo[1], dz = hi[2] - lo[2];
    return 2.0 * (dx * dy + dy * dz + dz * dx);
}

// A unit-like direction: the box test's error argument needs 0.5 <= max|d_i| <= 1.
bool direction_ok(const double d[3]) noexcept {
    double m = 0.0;
    for (int i = 0; i < 3; ++i) {
        if (!std::isfinite(d[i])) return false;
        m = std::max(m, std::fabs(d[i]));
    }
    return m >= 0.5 && m <= 1.0 + 1e-9;
}

bool origin_in_range(const double g[3]) noexcept {
    return in_tree_range(g[0]) && in_tree_range(g[1]) && in_tree_range(g[2]);
}

// Moller-Trumbore with the edges e1 = P1 - P0 and e2 = P2 - P0 given.
inline bool ray_hits_edges(const double o[3], const double d[3], const double* p0, const double* e1,
                           const double* e2) noexcept {
    const double e1x = e1[0], e1y = e1[1], e1z = e1[2];
    const double e2x = e2[0], e2y = e2[1], e2z = e2[2];
    const double hx = d[1] * e2z - d[2] * e2y;
    const double hy = d[2] * e2x - d[0] * e2z;
    const double hz = d[0] * e2y - d[1] * e2x;
    const double a = e1x * hx + e1y * hy + e1z * hz;
    if (std::fabs(a) < 1e-6) return false;
    const double f = 1.0 / a;
    const double sx = o[0] - p0[0], sy = o[1] - p0[1], sz = o[2] - p0[2];
    const double u = f * (sx * hx + sy * hy + sz * hz);
    if (u < 0.0 || u > 1.0) return false;
    const double qx = sy * e1z - sz * e1y;
    const double qy = sz * e1x - sx * e1z;
    const double qz = sx * e1y - sy * e1x;
    const double v = f * (d[0] * qx + d[1] * qy + d[2] * qz);
    if (v < 0.0 || u + v > 1.0) return false;
    const double t = f * (e2x * qx + e2y * qy + e2z * qz);
    return t > 1e-6 && t < 1e6;
}

}  // namespace

bool is_face_visible(const double n[3], const double d[3]) noexcept {
    return n[0] * d[0] + n[1] * d[1] + n[2] * d[2] > 0;
}

bool ray_triangle_intersection(const double o[3], const double d[3], const double* tri) noexcept {
    const double e1[3] = {tri[3] - tri[0], tri[4] - tri[1], tri[5] - tri[2]};
    const double e2[3] = {tri[6] - tri[0], tri[7] - tri[1], tri[8] - tri[2]};
    return ray_hits_edges(o, d, tri, e1, e2);
}

void centroid(const double* tri, double g[3]) noexcept {
    for (int j = 0; j < 3; ++j) g[j] = (tri[j] + tri[3 + j] + tri[6 + j]) / 3.0;
}

double pairwise_sum(const double* x, size_t n) noexcept { return 0.0 + pairwise(x, n); }

void sun_direction(double altitude_deg, double azimuth_deg, double d[3]) noexcept {
    const double deg = 3.141592653589793 / 180.0;
    const double alt = altitude_deg * deg, az = azimuth_deg * deg;
    const double x = std::sin(az) * std::cos(alt);
    const double y = std::cos(az) * std::cos(alt);
    const double z = std::sin(alt);
    const double norm = std::sqrt(x * x + y * y + z * z);
    d[0] = x / norm;
    d[1] = y / norm;
    d[2] = z / norm;
}

// ------------------------------------------------------------------ building

namespace {

// Runs body(begin, end) over [0, n) in up to `threads` contiguous pieces.
template <typename F>
void parallel_for(size_t n, unsigned threads, F&& body) {
    const size_t pieces = std::max<size_t>(1, std::min<size_t>(threads, n / 16384));
    if (pieces <= 1) {
        body(size_t{0}, n);
        return;
    }
    std::vector<std::thread> pool;
    std::vector<std::exception_ptr> errors(pieces);
    auto run = [&](size_t p) {
        try {
            body(n * p / pieces, n * (p + 1) / pieces);
        } catch (...) {
            errors[p] = std::current_exception();
        }
    };
    size_t started = 1;
    try {
        for (; started < pieces; ++started) pool.emplace_back(run, started);
    } catch (const std::system_error&) {
        // Fewer threads than asked: the remaining pieces run here.
    }
    run(0);
    for (size_t p = started; p < pieces; ++p) run(p);
    for (auto& th : pool) th.join();
    for (auto& e : errors)
        if (e) std::rethrow_exception(e);
}

unsigned resolve_threads(unsigned threads) {
    return threads ? threads : std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

// A tree triangle during the build: its box, and its number.
struct Scene::Prim {
    double lo[3], hi[3];
    uint32_t id, pad_;
    double key(int j) const noexcept { return lo[j] + hi[j]; }  // twice the box centre: the split key
};

Scene::Scene(std::vector<double> tris, unsigned threads) : tris_(std::move(tris)) {
    if (tris_.size() % 9 != 0) throw std::invalid_argument("triangle data must hold 9 numbers per triangle");
    if (size() >= std::numeric_limits<uint32_t>::max()) throw std::length_error("too many triangles");
    build(resolve_threads(threads));
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
// child by its index in `out`. With spawn > 0 the left subtree is built on
// another thread into its own list and copied in afterwards, so the result is
// the same as building everything on one thread.
void Scene::build_range(Prim* prims, size_t begin, size_t end, int depth, const double* box, const double* cbox,
                        std::vector<Node>& out, int spawn) const {
    const uint32_t index = static_cast<uint32_t>(out.size());
    out.push_back(Node{});
    Node node{};
    double mag = 0.0;
    for (int j = 0; j < 3; ++j) {
        node.lo[j] = box[j], node.hi[j] = box[3 + j];
        mag = std::max({mag, std::fabs(box[j]), std::fabs(box[3 + j])});
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
        if (cbox[3 + j] - cbox[j] > cbox[3 + axis] - cbox[axis]) axis = j;
    const double extent = cbox[3 + axis] - cbox[axis];
    size_t mid = begin + n / 2;
    // Boxes and key boxes of both halves.
    double lb[6], lc[6], rb[6], rc[6];
    bool have_boxes = false;
    if (extent > 0 && depth < kMaxSahDepth) {
        // Binned surface area heuristic; the bins also collect the halves' boxes.
        size_t count[kBins] = {};
        double bb[kBins][6], cb[kBins][6];
        for (int b = 0; b < kBins; ++b)
            for (int j = 0; j < 3; ++j) bb[b][j] = cb[b][j] = kInf, bb[b][3 + j] = cb[b][3 + j] = -kInf;
        const double lo_key = cbox[axis], scale = kBins / extent;
        auto bin_of = [&](const Prim& p) {
            return std::clamp(static_cast<int>((p.key(axis) - lo_key) * scale), 0, kBins - 1);
        };
        for (size_t i = begin; i < end; ++i) {
            const Prim& p = prims[i];
            const int b = bin_of(p);
            ++count[b];
            for (int j = 0; j < 3; ++j) {
                bb[b][j] = std::min(bb[b][j], p.lo[j]), bb[b][3 + j] = std::max(bb[b][3 + j], p.hi[j]);
                const double k = p.key(j);
                cb[b][j] = std::min(cb[b][j], k), cb[b][3 + j] = std::max(cb[b][3 + j], k);
            }
        }
        double right_area[kBins];
        size_t right_count[kBins];
        double r[6] = {kInf, kInf, kInf, -kInf, -kInf, -kInf};
        size_t rn = 0;
        for (int b = kBins - 1; b > 0; --b) {
            rn += count[b];
            for (int j = 0; j < 3; ++j) r[j] = std::min(r[j], bb[b][j]), r[3 + j] = std::max(r[3 + j], bb[b][3 + j]);
            right_area[b] = rn ? box_area(r, r + 3) : 0.0;
            right_count[b] = rn;
        }
        double l[6] = {kInf, kInf, kInf, -kInf, -kInf, -kInf};
        size_t ln = 0;
        double best = kInf;
        int best_split = -1;
        for (int b = 0; b < kBins - 1; ++b) {
            ln += count[b];
            for (int j = 0; j < 3; ++j) l[j] = std::min(l[j], bb[b][j]), l[3 + j] = std::max(l[3 + j], bb[b][3 + j]);
            if (ln == 0 || right_count[b + 1] == 0) continue;
            const double cost = ln * box_area(l, l + 3) + right_count[b + 1] * right_area[b + 1];
            if (cost < best) best = cost, best_split = b;
        }
        if (best_split >= 0) {
            Prim* it = std::partition(prims + begin, prims + end, [&](const Prim& p) { return bin_of(p) <= best_split; });
            mid = static_cast<size_t>(it - prims);
            for (int j = 0; j < 6; ++j) lb[j] = lc[j] = rb[j] = rc[j] = j < 3 ? kInf : -kInf;
            for (int b = 0; b < kBins; ++b) {
                if (!count[b]) continue;
                double* xb = b <= best_split ? lb : rb;
                double* xc = b <= best_split ? lc : rc;
                for (int j = 0; j < 3; ++j) {
                    xb[j] = std::min(xb[j], bb[b][j]), xb[3 + j] = std::max(xb[3 + j], bb[b][3 + j]);
                    xc[j] = std::min(xc[j], cb[b][j]), xc[3 + j] = std::max(xc[3 + j], cb[b][3 + j]);
                }
            }
            have_boxes = mid != begin && mid != end;
        }
    }
    if (!have_boxes) {
        // Median split (deep nodes, failed heuristic); equal keys: halves by position.
        mid = begin + n / 2;
        if (extent > 0)
            std::nth_element(prims + begin, prims + mid, prims + end,
                             [&](const Prim& a, const Prim& b) { return a.key(axis) < b.key(axis); });
        auto bounds = [&](size_t b0, size_t b1, double* xb, double* xc) {
            for (int j = 0; j < 3; ++j) xb[j] = xc[j] = kInf, xb[3 + j] = xc[3 + j] = -kInf;
            for (size_t i = b0; i < b1; ++i)
                for (int j = 0; j < 3; ++j) {
                    const Prim& p = prims[i];
                    xb[j] = std::min(xb[j], p.lo[j]), xb[3 + j] = std::max(xb[3 + j], p.hi[j]);
                    xc[j] = std::min(xc[j], p.key(j)), xc[3 + j] = std::max(xc[3 + j], p.key(j));
                }
        };
        bounds(begin, mid, lb, lc);
        bounds(mid, end, rb, rc);
    }
    node.count = 0;
    node.axis = static_cast<uint32_t>(axis);
    if (spawn > 0 && n >= kSpawnMin) {
        std::vector<Node> left, right;
        std::exception_ptr error;
        std::thread th;
        try {
            th = std::thread([&] {
                try {
                    build_range(prims, begin, mid, depth + 1, lb, lc, left, spawn - 1);
                } catch (...) {
                    error = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            build_range(prims, begin, mid, depth + 1, lb, lc, left, 0);  // no thread: here
        }
        try {
            build_range(prims, mid, end, depth + 1, rb, rc, right, spawn - 1);
        } catch (...) {
            if (th.joinable()) th.join();
            throw;
        }
        if (th.joinable()) th.join();
        if (error) std::rethrow_exception(error);
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
    std::vector<double> pa(T, 0.0), pb(T, 0.0);
    std::vector<unsigned char> ok(T, 0);
    parallel_for(T, threads, [&](size_t k0, size_t k1) {
        for (size_t k = k0; k < k1; ++k) {
            const double* t = tri(k);
            bool in = true;
            for (int j = 0; j < 9; ++j) in = in && in_tree_range(t[j]);
            ok[k] = in && static_pad(t, pa[k], pb[k]);
        }
    });
    size_t m = 0;
    for (size_t k = 0; k < T; ++k) m += ok[k];
    if (m == 0) {
        for (size_t k = 0; k < T; ++k) direct_.push_back(static_cast<uint32_t>(k));
        return;
    }
    std::vector<Prim> prims(m);
    {
        size_t p = 0;
        for (size_t k = 0; k < T; ++k) {
            if (!ok[k]) {
                direct_.push_back(static_cast<uint32_t>(k));
                continue;
            }
            prims[p++].id = static_cast<uint32_t>(k);
        }
    }
    // Boxes, and the root's box and key box (min and max: any order of the pieces gives the same).
    double box[6], cbox[6];
    for (int j = 0; j < 3; ++j) box[j] = cbox[j] = kInf, box[3 + j] = cbox[3 + j] = -kInf;
    std::mutex merge;
    parallel_for(m, threads, [&](size_t i0, size_t i1) {
        double acc[12];
        for (int j = 0; j < 3; ++j) acc[j] = acc[6 + j] = kInf, acc[3 + j] = acc[9 + j] = -kInf;
        for (size_t i = i0; i < i1; ++i) {
            Prim& p = prims[i];
            const double* t = tri(p.id);
            for (int j = 0; j < 3; ++j) {
                p.lo[j] = std::min({t[j], t[3 + j], t[6 + j]});
                p.hi[j] = std::max({t[j], t[3 + j], t[6 + j]});
                acc[j] = std::min(acc[j], p.lo[j]), acc[3 + j] = std::max(acc[3 + j], p.hi[j]);
                acc[6 + j] = std::min(acc[6 + j], p.key(j)), acc[9 + j] = std::max(acc[9 + j], p.key(j));
            }
        }
        std::lock_guard<std::mutex> lock(merge);
        for (int j = 0; j < 3; ++j) {
            box[j] = std::min(box[j], acc[j]), box[3 + j] = std::max(box[3 + j], acc[3 + j]);
            cbox[j] = std::min(cbox[j], acc[6 + j]), cbox[3 + j] = std::max(cbox[3 + j], acc[9 + j]);
        }
    });
    int spawn = 0;
    while ((1u << spawn) < 4 * threads && spawn < 8 && threads > 1) ++spawn;
    std::vector<Node> nodes;
    nodes.reserve(2 * m / 3 + 8);
    build_range(prims.data(), 0, m, 0, box, cbox, nodes, spawn);

    leaf_ids_.resize(m);
    for (size_t i = 0; i < m; ++i) leaf_ids_[i] = prims[i].id;
    prims.clear();
    prims.shrink_to_fit();
    // Leaf form: first vertex and both edges, computed as the test computes them.
    leaf_tris_.resize(9 * m);
    leaf_pos_.assign(T, ~0u);
    parallel_for(m, threads, [&](size_t p0, size_t p1) {
        for (size_t p = p0; p < p1; ++p) {
            const double* t = tri(leaf_ids_[p]);
            double* l = leaf_tris_.data() + 9 * p;
            for (int j = 0; j < 3; ++j) l[j] = t[j], l[3 + j] = t[3 + j] - t[j], l[6 + j] = t[6 + j] - t[j];
            leaf_pos_[leaf_ids_[p]] = static_cast<uint32_t>(p);
        }
    });
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
    wide_.reserve(nodes.size() / 4 + 1);
    leaves_.reserve(m / 2 + 1);
    collapse(nodes, 0);
    // Pre-test form of each leaf: vertices relative to the centre, in float.
    parallel_for(leaves_.size(), threads, [&](size_t f0, size_t f1) {
        for (size_t f = f0; f < f1; ++f) {
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
        for (int j = 0; j < 3; ++j) w.lo[j][c] = kInf, w.hi[j][c] = -kInf;
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
    size_t b = sizeof(*this) + tris_.capacity() * sizeof(double) + wide_.capacity() * sizeof(Wide) +
               leaves_.capacity() * sizeof(LeafF) + leaf_ids_.capacity() * sizeof(uint32_t) +
               leaf_tris_.capacity() * sizeof(double) + leaf_pos_.capacity() * sizeof(uint32_t) +
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
           same(leaf_tris_, o.leaf_tris_) && same(leaf_pos_, o.leaf_pos_) && same(direct_, o.direct_);
}

// --------------------------------------------------------------- per call

// Largest per-axis distance between an origin in [lo, hi] and a tree vertex.
double Scene::origin_spread(const double* lo, const double* hi) const {
    double Ms = 0.0;
    for (int j = 0; j < 3; ++j) Ms = std::max(Ms, std::max(box_hi_[j], hi[j]) - std::min(box_lo_[j], lo[j]));
    return Ms * (1.0 + 1e-12);
}

bool Scene::occluded_brute(const double g[3], const double d[3], int64_t self) const {
    const size_t T = size();
    for (size_t k = 0; k < T; ++k) {
        if (static_cast<int64_t>(k) == self) continue;
        if (ray_triangle_intersection(g, d, tri(k))) return true;
    }
    return false;
}

// The float tree of one call. All boxes and origins lie in the union box U
// (half-width R around its centre c); a ray point inside any widened box is at
// most tclip from its origin. Relative to c, float rounding moves the ray by at
// most 2^-24 (R + tclip) and the slab distances by a relative 3 * 2^-24; the
// extra widening sigma covers both with a margin.
void Scene::prepare(const double* origins_lo, const double* origins_hi, CallTree& ct) const {
    const double Ms = origin_spread(origins_lo, origins_hi);
    ct.spread = Ms;
    double R = 0.0, R0 = 0.0;
    for (int j = 0; j < 3; ++j) {
        const double lo = std::min(box_lo_[j], origins_lo[j]), hi = std::max(box_hi_[j], origins_hi[j]);
        ct.centre[j] = 0.5 * lo + 0.5 * hi;
        R = std::max({R, hi - ct.centre[j], ct.centre[j] - lo});
        R0 = std::max({R0, hi - centre_[j], centre_[j] - lo});
    }
    ct.radius = R0 * (1 + 1e-9);
    double maxpad = 0.0;
    for (const Wide& w : wide_)
        for (size_t c = 0; c < kWidth; ++c)
            if (w.child[c] != ~0u) maxpad = std::max(maxpad, w.pa[c] + w.pb[c] * Ms);
    const double tclip = 2 * std::sqrt(3.0) * (R + maxpad) * (1 + 1e-9) + 1e-9;
    const double sigma = 8 * kEpsF * (R + maxpad + tclip) + 1e-30;
    ct.tmax = round_up(std::min(kTmax, tclip));
    ct.nodes.resize(wide_.size());
    for (size_t i = 0; i < wide_.size(); ++i) {
        const Wide& w = wide_[i];
        WideF& f = ct.nodes[i];
        for (size_t c = 0; c < kWidth; ++c) {
            f.child[c] = w.child[c];
            f.count[c] = w.count[c];
            if (w.child[c] == ~0u) {
                // Both bounds at +inf: every slab distance is +-inf on the same side, a miss.
                for (int j = 0; j < 3; ++j) f.box[0][j][c] = INFINITY, f.box[1][j][c] = INFINITY;
                continue;
            }
            const double pad = (w.pa[c] + w.pb[c] * Ms) * (1 + 1e-12) + sigma;
            for (int j = 0; j < 3; ++j) {
                f.box[0][j][c] = round_down((w.lo[j][c] - ct.centre[j]) - pad);
                f.box[1][j][c] = round_up((w.hi[j][c] - ct.centre[j]) + pad);
            }
        }
    }
}

std::shared_ptr<const Scene::CallTree> Scene::call_tree(const double* lo, const double* hi) const {
    std::lock_guard<std::mutex> lock(tree_mutex_);
    if (tree_ && std::equal(lo, lo + 3, tree_lo_) && std::equal(hi, hi + 3, tree_hi_)) return tree_;
    auto ct = std::make_shared<CallTree>();
    prepare(lo, hi, *ct);
    tree_ = ct;
    std::copy_n(lo, 3, tree_lo_);
    std::copy_n(hi, 3, tree_hi_);
    return ct;
}

// What every ray of one direction shares.
//
// Box test: per axis the bound met first (near) and last (far) along the ray:
// with lo <= hi, (lo - g) * inv <= (hi - g) * inv for inv > 0 and the reverse
// for inv < 0 (rounding is monotone), so picking them by the sign of inv gives
// the same entry and exit distances as taking the min and max of both. Axes
// along which the ray does not move (flat) test the origin against the slab.
//
// Pre-test: the axes permuted so that kz has the largest |d|, and the shear
// sx = d[kx] / d[kz], sy = d[ky] / d[kz] that projects along d.
struct Scene::Dir {
    const double* d = nullptr;
    float inv[3] = {0, 0, 0};
    int near[3] = {0, 0, 0}, far[3] = {1, 1, 1}, flat_axes[3] = {0, 0, 0}, slab_axes[3] = {0, 0, 0};
    int n_flat = 0, n_slab = 0;
    bool pretest = false;
    int kx = 0, ky = 1, kz = 2;
    float sx = 0, sy = 0, sgn = 1;
    double ms = 0;         // origin spread of the call
    double ex = 0, ez = 0;  // error bounds of the sheared coordinates and of the depths
};

// Up to eight rays of one direction that walk the tree together.
struct Scene::Packet {
    static constexpr unsigned kMax = 8;
    unsigned n = 0;
    unsigned exact = 0;         // rays that reached the exact test (statistics)
    float gf[kMax][3];          // origins in the call tree's frame
    float pf[kMax][3];          // origins in the pre-test's frame
    const double* g[kMax];      // the origins
    uint32_t skip[kMax];        // leaf position of the ray's own triangle (~0u: none)
    size_t index[kMax];         // ray numbers
    void add(const double* o, int64_t self, size_t i, const CallTree& ct, const double* c0,
             const std::vector<uint32_t>& leaf_pos) {
        for (int j = 0; j < 3; ++j) {
            gf[n][j] = static_cast<float>(o[j] - ct.centre[j]);
            pf[n][j] = static_cast<float>(o[j] - c0[j]);
        }
        g[n] = o;
        skip[n] = self >= 0 && static_cast<uint64_t>(self) < leaf_pos.size() ? leaf_pos[self] : ~0u;
        index[n] = i;
        ++n;
    }
};

void Scene::make_dir(const double d[3], const CallTree& ct, Dir& r) const {
    r.d = d;
    r.n_flat = r.n_slab = 0;
    for (int j = 0; j < 3; ++j) {
        const float df = static_cast<float>(d[j]);
        if (std::fabs(df) < 1e-30f) {
            r.flat_axes[r.n_flat++] = j;
            r.inv[j] = 0.0f;
            r.near[j] = 0, r.far[j] = 1;
            continue;
        }
        r.slab_axes[r.n_slab++] = j;
        r.inv[j] = 1.0f / df;
        r.near[j] = df > 0 ? 0 : 1;
        r.far[j] = 1 - r.near[j];
    }
    int kz = 0;
    for (int j = 1; j < 3; ++j)
        if (std::fabs(d[j]) > std::fabs(d[kz])) kz = j;
    r.kz = kz, r.kx = (kz + 1) % 3, r.ky = (kz + 2) % 3;
    r.sx = static_cast<float>(d[r.kx] / d[kz]);
    r.sy = static_cast<float>(d[r.ky] / d[kz]);
    r.sgn = d[kz] > 0 ? 1.0f : -1.0f;
    r.ms = ct.spread;
    // Coordinates relative to the pre-test centre stay below R = ct.radius per
    // axis. Rounding of a vertex or an origin to float, of their difference,
    // and of the shear (with |sx|, |sy| <= 1) moves a sheared coordinate by at
    // most 16.01 * 2^-24 R and a depth by at most 4.01 * 2^-24 R; the absolute
    // term covers underflow. Past R = 1e15 the products could overflow: no pre-test.
    const double R = ct.radius;
    r.pretest = R <= 1e15;
    r.ex = 17 * kEpsF * R + 1e-36;
    r.ez = 4.01 * kEpsF * R + 1e-36;
}

// The float pre-test of one leaf for one ray: a lane's bit is cleared only
// when the exact test of that triangle cannot hit.
//
// A hit of the exact test puts a point of the ray within pad (per axis) of a
// point Y of the triangle (the widening of static_pad, pad = pa + pb * spread).
// Projected along d with the shear, the ray is one point (the origin, 0) and
// the triangle a 2-D triangle whose sheared vertices (x_i, y_i) are known up to
// ex; so a hit puts 0 inside the projected triangle grown by a square of half
// side r = 2 pad + ex. For an edge from A to B, w = Ax By - Ay Bx is then at least
// -h with h = (|Bx - Ax| + |By - Ay|) r (triangle counter-clockwise) or at most h
// (clockwise); h <= (mA + mB) r with m = |x| + |y|, and the float rounding of w is
// below 2.01 * 2^-24 mA mB. A lane is rejected when 0 is outside for both
// orientations, or when every vertex is more than pad + ez behind the origin
// along d (t > 0 for every hit). NaN and overflow (beyond the range checked in
// make_dir) only keep lanes.
inline unsigned Scene::pretest(const LeafF& L, const float o[3], const Dir& D) noexcept {
    const double pad = (static_cast<double>(L.pa) + static_cast<double>(L.pb) * D.ms) * (1 + 1e-6);
    const float r = round_up(2 * pad + D.ex), zm = round_up(pad + D.ez);
    constexpr float kk = static_cast<float>(2.01 * kEpsF * 1.001);
#if defined(__SSE2__)
    const __m128 sx = _mm_set1_ps(D.sx), sy = _mm_set1_ps(D.sy), sg = _mm_set1_ps(D.sgn);
    const __m128 ox = _mm_set1_ps(o[D.kx]), oy = _mm_set1_ps(o[D.ky]), oz = _mm_set1_ps(o[D.kz]);
    const __m128 absmask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
    __m128 x[3], y[3], m[3], z[3];
    for (int i = 0; i < 3; ++i) {
        const __m128 dx = _mm_sub_ps(_mm_load_ps(L.v[i][D.kx]), ox);
        const __m128 dy = _mm_sub_ps(_mm_load_ps(L.v[i][D.ky]), oy);
        const __m128 dz = _mm_sub_ps(_mm_load_ps(L.v[i][D.kz]), oz);
        x[i] = _mm_sub_ps(dx, _mm_mul_ps(sx, dz));
        y[i] = _mm_sub_ps(dy, _mm_mul_ps(sy, dz));
        z[i] = _mm_mul_ps(dz, sg);
        m[i] = _mm_add_ps(_mm_and_ps(x[i], absmask), _mm_and_ps(y[i], absmask));
    }
    const __m128 rv = _mm_set1_ps(r), kv = _mm_set1_ps(kk), tiny = _mm_set1_ps(1e-30f), zero = _mm_setzero_ps();
    __m128 out_ccw = zero, out_cw = zero;
    for (int e = 0; e < 3; ++e) {
        const int a = (e + 1) % 3, b = (e + 2) % 3;
        const __m128 w = _mm_sub_ps(_mm_mul_ps(x[a], y[b]), _mm_mul_ps(y[a], x[b]));
        const __m128 h = _mm_add_ps(
            _mm_add_ps(_mm_mul_ps(_mm_add_ps(m[a], m[b]), rv), _mm_mul_ps(kv, _mm_mul_ps(m[a], m[b]))), tiny);
        out_ccw = _mm_or_ps(out_ccw, _mm_cmplt_ps(_mm_add_ps(w, h), zero));
        out_cw = _mm_or_ps(out_cw, _mm_cmpgt_ps(_mm_sub_ps(w, h), zero));
    }
    const __m128 zmax = _mm_max_ps(_mm_max_ps(z[0], z[1]), z[2]);
    const __m128 reject = _mm_or_ps(_mm_and_ps(out_ccw, out_cw), _mm_cmplt_ps(zmax, _mm_set1_ps(-zm)));
    return ~static_cast<unsigned>(_mm_movemask_ps(reject)) & ((1u << kLeafSize) - 1);
#else
    unsigned keep = 0;
    for (size_t l = 0; l < kLeafSize; ++l) {
        float x[3], y[3], m[3], zmax = -INFINITY;
        for (int i = 0; i < 3; ++i) {
            const float dx = L.v[i][D.kx][l] - o[D.kx], dy = L.v[i][D.ky][l] - o[D.ky];
            const float dz = L.v[i][D.kz][l] - o[D.kz];
            x[i] = dx - D.sx * dz;
            y[i] = dy - D.sy * dz;
            m[i] = std::fabs(x[i]) + std::fabs(y[i]);
            zmax = std::max(zmax, dz * D.sgn);
        }
        bool out_ccw = false, out_cw = false;
        for (int e = 0; e < 3; ++e) {
            const int a = (e + 1) % 3, b = (e + 2) % 3;
            const float w = x[a] * y[b] - y[a] * x[b];
            const float h = ((m[a] + m[b]) * r + kk * (m[a] * m[b])) + 1e-30f;
            out_ccw = out_ccw || w + h < 0;
            out_cw = out_cw || w - h > 0;
        }
        if (!((out_ccw && out_cw) || zmax < -zm)) keep |= 1u << l;
    }
    return keep;
#endif
}

// The traversal, compiled once for any x86-64 (SSE2 or plain C++) and once for
// processors with AVX2 (chosen at run time). Both compute the same child masks
// and run the same exact triangle test, so the results do not depend on the
// processor.
#define QM_WALK_NAME walk_base
#define QM_WALK_ATTR
#define QM_WALK_AVX2 0
#include "kernels/geometry/occlusion_walk.inc"
#undef QM_WALK_NAME
#undef QM_WALK_ATTR
#undef QM_WALK_AVX2

#if QM_HAVE_AVX2_WALK
#define QM_WALK_NAME walk_avx2
#define QM_WALK_ATTR __attribute__((target("avx2")))
#define QM_WALK_AVX2 1
#include "kernels/geometry/occlusion_walk.inc"
#undef QM_WALK_NAME
#undef QM_WALK_ATTR
#undef QM_WALK_AVX2
#endif

unsigned Scene::occluded_packet(Packet& p, const CallTree& ct, const Dir& dir, CastStats* stats) const {
    if (ct.nodes.empty() || p.n == 0) return 0;
#if QM_HAVE_AVX2_WALK
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return walk_avx2(p, ct, dir, stats);
#endif
    return walk_base(p, ct, dir, stats);
}

bool Scene::occluded(const double g[3], const double d[3], int64_t self, bool brute) const {
    if (brute || !direction_ok(d) || !origin_in_range(g)) return occluded_brute(g, d, self);
    for (uint32_t k : direct_)
        if (static_cast<int64_t>(k) != self && ray_triangle_intersection(g, d, tri(k))) return true;
    if (wide_.empty()) return false;
    CallTree ct;
    prepare(g, g, ct);
    Dir dir;
    make_dir(d, ct, dir);
    Packet p;
    p.add(g, self, 0, ct, centre_, leaf_pos_);
    return occluded_packet(p, ct, dir, nullptr) & 1u;
}

bool Scene::pretest_may_hit(size_t k, const double g[3], const double d[3], const double* lo,
                            const double* hi) const {
    if (k >= leaf_pos_.size() || leaf_pos_[k] == ~0u || !direction_ok(d) || !origin_in_range(g)) return true;
    const uint32_t pos = leaf_pos_[k];
    for (const LeafF& L : leaves_) {
        if (pos < L.first || pos >= L.first + L.count) continue;
        CallTree ct;
        prepare(lo, hi, ct);
        Dir dir;
        make_dir(d, ct, dir);
        if (!dir.pretest) return true;
        const float pf[3] = {static_cast<float>(g[0] - centre_[0]), static_cast<float>(g[1] - centre_[1]),
                             static_cast<float>(g[2] - centre_[2])};
        return (pretest(L, pf, dir) >> (pos - L.first)) & 1u;
    }
    return true;
}

void Scene::cast(const double* origins, const int64_t* self, size_t n, const double d[3], unsigned char* hit,
                 unsigned threads, const double* lo, const double* hi, bool brute) const {
    cast(origins, self, n, d, hit, threads, lo, hi, brute, true, nullptr);
}

void Scene::cast(const double* origins, const int64_t* self, size_t n, const double d[3], unsigned char* hit,
                 unsigned threads, const double* lo, const double* hi, bool brute, bool packet,
                 CastStats* stats) const {
    double olo[3] = {kInf, kInf, kInf}, ohi[3] = {-kInf, -kInf, -kInf};
    if (lo && hi) {
        std::copy_n(lo, 3, olo);
        std::copy_n(hi, 3, ohi);
    } else {
        for (size_t i = 0; i < n; ++i)
            if (origin_in_range(origins + 3 * i))
                for (int j = 0; j < 3; ++j)
                    olo[j] = std::min(olo[j], origins[3 * i + j]), ohi[j] = std::max(ohi[j], origins[3 * i + j]);
    }
    if (n == 0) return;
    const bool use_tree = !brute && direction_ok(d) && !wide_.empty();
    std::shared_ptr<const CallTree> tree = use_tree ? call_tree(olo, ohi) : nullptr;
    Dir dir;
    if (tree) make_dir(d, *tree, dir);
    const unsigned width = packet ? Packet::kMax : 1;
    std::mutex stats_mutex;
    auto run = [&](size_t b, size_t e) {
        CastStats local;
        CastStats* st = stats ? &local : nullptr;
        Packet p;
        auto flush = [&] {
            if (!p.n) return;
            const unsigned h = occluded_packet(p, *tree, dir, st);
            for (unsigned k = 0; k < p.n; ++k) hit[p.index[k]] = (h >> k) & 1u;
            if (st) st->rays += p.n, st->pretest_only += p.n - static_cast<unsigned>(__builtin_popcount(p.exact));
            p.n = 0;
            p.exact = 0;
        };
        for (size_t i = b; i < e; ++i) {
            const double* g = origins + 3 * i;
            const int64_t s = self ? self[i] : -1;
            if (!tree || !origin_in_range(g)) {
                hit[i] = occluded_brute(g, d, s);
                continue;
            }
            // Triangles kept out of the tree: tested for every ray.
            bool h = false;
            for (uint32_t k : direct_)
                if (static_cast<int64_t>(k) != s && ray_triangle_intersection(g, d, tri(k))) {
                    h = true;
                    break;
                }
            if (h) {
                hit[i] = 1;
                continue;
            }
            p.add(g, s, i, *tree, centre_, leaf_pos_);
            if (p.n == width) flush();
        }
        flush();
        if (st) {
            std::lock_guard<std::mutex> lock(stats_mutex);
            stats->add(local);
        }
    };
    threads = resolve_threads(threads);
    const size_t chunk = 64;
    const size_t chunks = (n + chunk - 1) / chunk;
    threads = static_cast<unsigned>(std::min<size_t>(threads, chunks));
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t c; (c = next.fetch_add(1)) < chunks;) run(c * chunk, std::min(n, (c + 1) * chunk));
    };
    std::vector<std::thread> pool;
    try {
        for (unsigned k = 1; k < threads; ++k) pool.emplace_back(worker);
    } catch (const std::system_error&) {
        // Fewer workers than asked: the remaining chunks run here.
    }
    worker();
    for (auto& th : pool) th.join();
}

void Scene::scan(const double* faces, const double* normals, const int64_t* self, size_t n, const double d[3],
                 double* illumination, double* areas, unsigned threads, bool brute) const {
    // Facing faces cast a ray from their centroid. The origin box spans every
    // face, facing or not, so that calls for other sun positions on the same
    // faces reuse the same float tree.
    std::vector<double> g(3 * n);
    std::vector<uint32_t> cast_faces;
    double olo[3] = {kInf, kInf, kInf}, ohi[3] = {-kInf, -kInf, -kInf};
    for (size_t f = 0; f < n; ++f) {
        const double* t = faces + 9 * f;
        areas[f] = stl::triangle_area(t, t + 3, t + 6);
        illumination[f] = 0.0;
        double c[3];
        centroid(t, c);
        if (origin_in_range(c))
            for (int j = 0; j < 3; ++j) olo[j] = std::min(olo[j], c[j]), ohi[j] = std::max(ohi[j], c[j]);
        if (!is_face_visible(normals + 3 * f, d)) continue;
        std::copy_n(c, 3, &g[3 * cast_faces.size()]);
        cast_faces.push_back(static_cast<uint32_t>(f));
    }
    const size_t m = cast_faces.size();
    std::vector<int64_t> own(m, -1);
    if (self)
        for (size_t i = 0; i < m; ++i) own[i] = self[cast_faces[i]];
    std::vector<unsigned char> hit(m, 0);
    cast(g.data(), own.data(), m, d, hit.data(), threads, olo, ohi, brute);
    for (size_t i = 0; i < m; ++i) {
        if (hit[i]) continue;
        const double* nf = normals + 3 * cast_faces[i];
        illumination[cast_faces[i]] = nf[0] * d[0] + nf[1] * d[1] + nf[2] * d[2];
    }
}

}  // namespace qm::geom
