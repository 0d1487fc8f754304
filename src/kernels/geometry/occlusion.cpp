#include "kernels/geometry/occlusion.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
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
constexpr size_t kLeafSize = 2;

constexpr int kBins = 16;
constexpr int kMaxSahDepth = 48;  // deeper nodes split at the median: bounded depth

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

Scene::Scene(std::vector<double> tris) : tris_(std::move(tris)) {
    if (tris_.size() % 9 != 0) throw std::invalid_argument("triangle data must hold 9 numbers per triangle");
    if (size() >= std::numeric_limits<uint32_t>::max()) throw std::length_error("too many triangles");
    build();
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

void Scene::build() {
    const size_t T = size();
    std::vector<uint32_t> ids;
    ids.reserve(T);
    pa_.assign(T, 0.0);
    pb_.assign(T, 0.0);
    for (size_t k = 0; k < T; ++k) {
        const double* t = tri(k);
        bool ok = true;
        for (int j = 0; j < 9; ++j) ok = ok && in_tree_range(t[j]);
        ok = ok && static_pad(t, pa_[k], pb_[k]);
        (ok ? ids : direct_).push_back(static_cast<uint32_t>(k));
    }
    if (ids.empty()) return;
    // Box centres, by triangle number, drive the splits.
    std::vector<double> cent(3 * T, 0.0);
    for (uint32_t k : ids) {
        const double* t = tri(k);
        for (int j = 0; j < 3; ++j) {
            const double lo = std::min({t[j], t[3 + j], t[6 + j]});
            const double hi = std::max({t[j], t[3 + j], t[6 + j]});
            cent[3 * k + j] = 0.5 * lo + 0.5 * hi;
        }
    }
    nodes_.reserve(2 * ids.size() / kLeafSize + 8);
    build_node(ids, cent, 0, ids.size(), 0);
    leaf_ids_ = std::move(ids);
    // Leaf form: first vertex and both edges, computed as the test computes them.
    leaf_tris_.resize(9 * leaf_ids_.size());
    leaf_pos_.assign(T, ~0u);
    for (size_t p = 0; p < leaf_ids_.size(); ++p) {
        const double* t = tri(leaf_ids_[p]);
        double* l = leaf_tris_.data() + 9 * p;
        for (int j = 0; j < 3; ++j) l[j] = t[j], l[3 + j] = t[3 + j] - t[j], l[6 + j] = t[6 + j] - t[j];
        leaf_pos_[leaf_ids_[p]] = static_cast<uint32_t>(p);
    }
    for (int j = 0; j < 3; ++j) box_lo_[j] = nodes_[0].lo[j], box_hi_[j] = nodes_[0].hi[j];
    // Node widening: the largest of its triangles', plus the slack of the box test.
    for (size_t i = nodes_.size(); i-- > 0;) {
        Node& nd = nodes_[i];
        double a = 0, b = 0;
        if (nd.count) {
            for (uint32_t q = nd.first; q < nd.first + nd.count; ++q)
                a = std::max(a, pa_[leaf_ids_[q]]), b = std::max(b, pb_[leaf_ids_[q]]);
        } else {
            a = std::max(nodes_[i + 1].pa - nodes_[i + 1].slack, nodes_[nd.first].pa - nodes_[nd.first].slack);
            b = std::max(nodes_[i + 1].pb, nodes_[nd.first].pb);
        }
        nd.pa = a + nd.slack;
        nd.pb = b;
    }
    wide_.reserve(nodes_.size() / 2 + 1);
    collapse(0);
    pa_.clear();
    pa_.shrink_to_fit();
    pb_.clear();
    pb_.shrink_to_fit();
}

uint32_t Scene::build_node(std::vector<uint32_t>& ids, std::vector<double>& cent, size_t begin, size_t end,
                           int depth) {
    const uint32_t index = static_cast<uint32_t>(nodes_.size());
    nodes_.push_back(Node{});
    Node node{};
    double clo[3], chi[3];
    for (int j = 0; j < 3; ++j) node.lo[j] = clo[j] = kInf, node.hi[j] = chi[j] = -kInf;
    for (size_t i = begin; i < end; ++i) {
        const double* t = tri(ids[i]);
        for (int j = 0; j < 3; ++j) {
            node.lo[j] = std::min({node.lo[j], t[j], t[3 + j], t[6 + j]});
            node.hi[j] = std::max({node.hi[j], t[j], t[3 + j], t[6 + j]});
            clo[j] = std::min(clo[j], cent[3 * ids[i] + j]);
            chi[j] = std::max(chi[j], cent[3 * ids[i] + j]);
        }
    }
    double mag = 0.0;
    for (int j = 0; j < 3; ++j) mag = std::max({mag, std::fabs(node.lo[j]), std::fabs(node.hi[j])});
    node.slack = 1e-9 + 8 * kEps * mag;
    const size_t n = end - begin;
    auto make_leaf = [&] {
        node.first = static_cast<uint32_t>(begin);
        node.count = static_cast<uint32_t>(n);
        nodes_[index] = node;
        return index;
    };
    if (n <= kLeafSize) return make_leaf();

    int axis = 0;
    for (int j = 1; j < 3; ++j)
        if (chi[j] - clo[j] > chi[axis] - clo[axis]) axis = j;
    const double extent = chi[axis] - clo[axis];
    size_t mid = begin + n / 2;
    auto by_axis = [&](uint32_t a, uint32_t b) { return cent[3 * a + axis] < cent[3 * b + axis]; };
    if (extent > 0 && depth < kMaxSahDepth) {
        // Binned surface area heuristic.
        size_t count[kBins] = {};
        double blo[kBins][3], bhi[kBins][3];
        for (int b = 0; b < kBins; ++b)
            for (int j = 0; j < 3; ++j) blo[b][j] = kInf, bhi[b][j] = -kInf;
        const double scale = kBins / extent;
        auto bin_of = [&](uint32_t id) {
            int b = static_cast<int>((cent[3 * id + axis] - clo[axis]) * scale);
            return std::clamp(b, 0, kBins - 1);
        };
        for (size_t i = begin; i < end; ++i) {
            const int b = bin_of(ids[i]);
            ++count[b];
            const double* t = tri(ids[i]);
            for (int j = 0; j < 3; ++j) {
                blo[b][j] = std::min({blo[b][j], t[j], t[3 + j], t[6 + j]});
                bhi[b][j] = std::max({bhi[b][j], t[j], t[3 + j], t[6 + j]});
            }
        }
        double right_area[kBins];
        size_t right_count[kBins];
        double rlo[3] = {kInf, kInf, kInf}, rhi[3] = {-kInf, -kInf, -kInf};
        size_t rc = 0;
        for (int b = kBins - 1; b > 0; --b) {
            rc += count[b];
            for (int j = 0; j < 3; ++j) rlo[j] = std::min(rlo[j], blo[b][j]), rhi[j] = std::max(rhi[j], bhi[b][j]);
            right_area[b] = rc ? box_area(rlo, rhi) : 0.0;
            right_count[b] = rc;
        }
        double llo[3] = {kInf, kInf, kInf}, lhi[3] = {-kInf, -kInf, -kInf};
        size_t lc = 0;
        double best = kInf;
        int best_split = -1;
        for (int b = 0; b < kBins - 1; ++b) {
            lc += count[b];
            for (int j = 0; j < 3; ++j) llo[j] = std::min(llo[j], blo[b][j]), lhi[j] = std::max(lhi[j], bhi[b][j]);
            if (lc == 0 || right_count[b + 1] == 0) continue;
            const double cost = lc * box_area(llo, lhi) + right_count[b + 1] * right_area[b + 1];
            if (cost < best) best = cost, best_split = b;
        }
        if (best_split >= 0) {
            auto it = std::partition(ids.begin() + begin, ids.begin() + end,
                                     [&](uint32_t id) { return bin_of(id) <= best_split; });
            mid = static_cast<size_t>(it - ids.begin());
        }
        if (mid == begin || mid == end) {
            mid = begin + n / 2;
            std::nth_element(ids.begin() + begin, ids.begin() + mid, ids.begin() + end, by_axis);
        }
    } else if (extent > 0) {
        std::nth_element(ids.begin() + begin, ids.begin() + mid, ids.begin() + end, by_axis);
    }
    // (extent == 0: all centres coincide; halves by position keep leaves small.)
    build_node(ids, cent, begin, mid, depth + 1);
    const uint32_t right = build_node(ids, cent, mid, end, depth + 1);
    node.first = right;
    node.count = 0;
    node.axis = static_cast<uint32_t>(axis);
    nodes_[index] = node;
    return index;
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

// Collapses the binary subtree at `bin` into eight-wide nodes; returns the index.
uint32_t Scene::collapse(uint32_t bin) {
    const uint32_t index = static_cast<uint32_t>(wide_.size());
    wide_.push_back(Wide{});
    std::vector<uint32_t> kids;
    if (nodes_[bin].count) {
        kids.push_back(bin);
    } else {
        kids = {bin + 1, nodes_[bin].first};
        while (kids.size() < kWidth) {
            int pick = -1;
            double best = -1;
            for (size_t i = 0; i < kids.size(); ++i) {
                const Node& k = nodes_[kids[i]];
                if (k.count) continue;
                const double area = box_area(k.lo, k.hi);
                if (area > best) best = area, pick = static_cast<int>(i);
            }
            if (pick < 0) break;
            const uint32_t k = kids[pick];
            kids[pick] = k + 1;
            kids.push_back(nodes_[k].first);
        }
    }
    Wide w{};
    for (size_t c = 0; c < kWidth; ++c) {
        w.child[c] = ~0u;
        w.count[c] = 0;
        w.pa[c] = w.pb[c] = 0;
        for (int j = 0; j < 3; ++j) w.lo[j][c] = kInf, w.hi[j][c] = -kInf;
    }
    for (size_t c = 0; c < kids.size(); ++c) {
        const Node& k = nodes_[kids[c]];
        for (int j = 0; j < 3; ++j) w.lo[j][c] = k.lo[j], w.hi[j][c] = k.hi[j];
        w.pa[c] = k.pa;
        w.pb[c] = k.pb;
        if (k.count) {
            w.child[c] = k.first;
            w.count[c] = k.count;
        } else {
            w.child[c] = collapse(kids[c]);
        }
    }
    wide_[index] = w;
    return index;
}

namespace {
// Float bounds on the safe side of x: widened by more than the float rounding.
inline float round_down(double x) { return static_cast<float>(x - (std::fabs(x) * 2.4e-7 + 1e-37)); }
inline float round_up(double x) { return static_cast<float>(x + (std::fabs(x) * 2.4e-7 + 1e-37)); }
constexpr double kEpsF = 5.9604644775390625e-08;  // 2^-24
}  // namespace

// The float tree of one call. All boxes and origins lie in the union box U
// (half-width R around its centre c); a ray point inside any widened box is at
// most tclip from its origin. Relative to c, float rounding moves the ray by at
// most 2^-24 (R + tclip) and the slab distances by a relative 3 * 2^-24; the
// extra widening sigma covers both with a margin.
void Scene::prepare(const double* origins_lo, const double* origins_hi, CallTree& ct) const {
    const double Ms = origin_spread(origins_lo, origins_hi);
    double R = 0.0;
    for (int j = 0; j < 3; ++j) {
        const double lo = std::min(box_lo_[j], origins_lo[j]), hi = std::max(box_hi_[j], origins_hi[j]);
        ct.centre[j] = 0.5 * lo + 0.5 * hi;
        R = std::max({R, hi - ct.centre[j], ct.centre[j] - lo});
    }
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

// The ray of one occlusion test in the float tree's frame. Per axis the bound
// met first (near) and last (far) along the ray: with lo <= hi,
// (lo - g) * inv <= (hi - g) * inv for inv > 0 and the reverse for inv < 0
// (rounding is monotone), so picking them by the sign of inv gives the same
// entry and exit distances as taking the min and max of both. Axes along which
// the ray does not move (flat) test the origin against the slab instead.
struct Scene::RayF {
    float gf[3], inv[3];
    int near[3], far[3], flat_axes[3], slab_axes[3];
    int n_flat = 0, n_slab = 0;
};

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

bool Scene::occluded_tree(const double g[3], const double d[3], int64_t self, const CallTree& ct) const {
    for (uint32_t k : direct_)
        if (static_cast<int64_t>(k) != self && ray_triangle_intersection(g, d, tri(k))) return true;
    if (ct.nodes.empty()) return false;
    // The leaf position of `self` (~0u: none or not in the tree).
    const uint32_t skip = self >= 0 && static_cast<uint64_t>(self) < leaf_pos_.size() ? leaf_pos_[self] : ~0u;
    RayF r;
    for (int j = 0; j < 3; ++j) {
        r.gf[j] = static_cast<float>(g[j] - ct.centre[j]);
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
#if QM_HAVE_AVX2_WALK
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) return walk_avx2(g, d, skip, ct, r);
#endif
    return walk_base(g, d, skip, ct, r);
}

bool Scene::occluded(const double g[3], const double d[3], int64_t self, bool brute) const {
    if (brute || !direction_ok(d) || !origin_in_range(g)) return occluded_brute(g, d, self);
    CallTree ct;
    prepare(g, g, ct);
    return occluded_tree(g, d, self, ct);
}

void Scene::cast(const double* origins, const int64_t* self, size_t n, const double d[3], unsigned char* hit,
                 unsigned threads, const double* lo, const double* hi, bool brute) const {
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
    const bool use_tree = !brute && direction_ok(d) && !nodes_.empty();
    std::shared_ptr<const CallTree> tree = use_tree ? call_tree(olo, ohi) : nullptr;
    const CallTree empty;
    const CallTree& ct = tree ? *tree : empty;
    auto run = [&](size_t i) {
        const double* g = origins + 3 * i;
        const int64_t s = self ? self[i] : -1;
        hit[i] = (use_tree && origin_in_range(g)) ? occluded_tree(g, d, s, ct) : occluded_brute(g, d, s);
    };
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    const size_t chunk = 64;
    const size_t chunks = (n + chunk - 1) / chunk;
    threads = static_cast<unsigned>(std::min<size_t>(threads, chunks));
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t c; (c = next.fetch_add(1)) < chunks;) {
            const size_t e = std::min(n, (c + 1) * chunk);
            for (size_t i = c * chunk; i < e; ++i) run(i);
        }
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
