#include "kernels/geometry/occlusion.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if QM_HAVE_AVX2_WALK
#include <immintrin.h>
#endif

#include "kernels/check.hpp"
#include "kernels/geometry/occlusion_detail.hpp"
#include "kernels/util/parallel.hpp"
#include "kernels/geometry/stl_read.hpp"

#if defined(__GNUC__) || defined(__clang__)
#define qm_prefetch(a) __builtin_prefetch(a)
#else
#define qm_prefetch(a) static_cast<void>(a)
#endif

namespace qm::geom {
using namespace detail;

// --------------------------------------------------------------- per call

namespace {

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

std::atomic<bool> portable_walk{false};

// Rays of a cast in the order their packets take (see Scene::cast).
struct RayOrder {
    uint64_t scene = 0;                // 0: none
    std::vector<int64_t> self;         // own triangles of the rays ordered
    std::vector<uint32_t> order, pos;  // ray at each place, leaf position of its triangle
    std::vector<double> g;             // origins in order (each cast's own)
    std::vector<float> f;              // the same in the walk's two frames
};

}  // namespace

void use_portable_walk(bool portable) noexcept { portable_walk.store(portable, std::memory_order_relaxed); }

bool avx2_walk_available() noexcept {
#if QM_HAVE_AVX2_WALK
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
#else
    return false;
#endif
}

// Largest per-axis distance between an origin in [lo, hi] and a tree vertex.
double Scene::origin_spread(const double* lo, const double* hi) const {
    double Ms = 0.0;
    for (int j = 0; j < 3; ++j) Ms = std::max(Ms, std::max(box_hi_[j], hi[j]) - std::min(box_lo_[j], lo[j]));
    return Ms * (1.0 + 1e-12);
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
    reserve_huge(ct.nodes, wide_.size());
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
    // Accept test (see Scene::accept): on when acc is set.
    bool acc = false;
    float acc_r = 0, acc_q = 0;    // error bound of an edge function: (mA + mB) acc_r + k mA mB + acc_q
    float acc_beta = 0;            // least barycentric coordinate, relative to the bound on their sum
    float acc_area = 0;            // least projected double area
    float acc_t0 = 0, acc_t1 = 0;  // least and most depth of the hit point
    bool avx2 = false;             // walk with AVX2 (chosen once per call)
};

// Up to sixteen rays of one direction that walk the tree together. The walk
// reads them through the pointers: either into the packet's own copies (rays
// added one by one) or straight into a cast's arrays of rays in order (a view
// of consecutive rays, nothing copied).
struct Scene::Packet {
    static constexpr unsigned kMax = 16;
    unsigned n = 0;
    unsigned exact = 0;    // rays that reached the exact test (statistics)
    const float* go[3];    // origins in the call tree's frame, axis by axis (32-byte aligned, kMax readable)
    const float* pf;       // origins in the pre-test's frame, 3 per ray
    const double* g;       // the origins, 3 per ray
    const uint32_t* skip;  // leaf position of the ray's own triangle (~0u: none)
    // The packet's own copies.
    alignas(32) float own_go[3][kMax] = {};
    float own_pf[kMax][3];
    double own_g[kMax][3];
    uint32_t own_skip[kMax];
    size_t index[kMax];  // ray numbers of the rays added
    Packet() {
        for (int j = 0; j < 3; ++j) go[j] = own_go[j];
        pf = &own_pf[0][0], g = &own_g[0][0], skip = own_skip;
    }
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;
    void add(const double* o, uint32_t own_pos, size_t i, const CallTree& ct, const double* c0) {
        for (int j = 0; j < 3; ++j) {
            own_go[j][n] = static_cast<float>(o[j] - ct.centre[j]);
            own_pf[n][j] = static_cast<float>(o[j] - c0[j]);
            own_g[n][j] = o[j];
        }
        own_skip[n] = own_pos;
        index[n] = i;
        ++n;
    }
};

void Scene::make_dir(const double d[3], const CallTree& ct, Dir& r) const {
    r.d = d;
    r.avx2 = avx2_walk_available() && !portable_walk.load(std::memory_order_relaxed);
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

    // The accept test's margins (see Scene::accept). With every coordinate
    // within R of the centre, the double rounding of Moller-Trumbore's a and
    // of the numerators of u and v stays below e2 = 256 2^-53 R^2, that of t's
    // numerator below 2 R e2. Hits are accepted only where |a| >= K e2, so
    // that u and v are off by at most 2 / (K - 1) + 2.1 2^-53 and t by at
    // most (2 R + t) / (K - 1) + 3 2^-53 t.
    r.acc = r.pretest && R <= 1e7;
    if (r.acc) {
        constexpr double K = 1e5;
        const double e2 = 256 * kEps * R * R, dz = std::fabs(d[kz]);
        const double slack = 2.0001 * R / (K - 1);
        r.acc_r = round_up(r.ex * (1 + 1e-5));
        r.acc_q = round_up(2.02 * r.ex * r.ex + 1e-30);
        r.acc_beta = round_up((4 / (K - 1) + 5 * kEps) * (1 + 1e-5));
        r.acc_area = round_up(std::max(1e-6 + e2, K * e2) * (1 + 1e-9) / dz * (1 + 1e-5));
        r.acc_t0 = round_up(dz * (1e-6 + slack) / (1 - 1.0001 / (K - 1)) * (1 + 1e-6) + r.ez + 256 * kEpsF * R +
                            1e-30);
        const double t1 = dz * (1e6 - slack) / (1 + 1.0001 / (K - 1)) * (1 - 1e-6) - r.ez;
        r.acc_t1 = t1 > 0 ? round_down(t1) : 0.0f;
        r.acc = t1 > 0;
    }
}

#include "kernels/geometry/occlusion_float_tests.inc"

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
    if (dir.avx2) return walk_avx2(p, ct, dir, stats);
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
    p.add(g, own_leaf_pos(self), 0, ct, centre_);
    return occluded_packet(p, ct, dir, nullptr) & 1u;
}

// The walk's float tests of tree triangle k for one ray: -1 unknown (no tree
// triangle, or no float tests for this call), else the lane's bit of the
// pre-test (sure = false) or of the accept test (sure = true).
int Scene::float_test(size_t k, const double g[3], const double d[3], const double* lo, const double* hi,
                      bool sure) const {
    if (k >= leaf_pos_.size() || leaf_pos_[k] == ~0u || !direction_ok(d) || !origin_in_range(g)) return -1;
    const uint32_t pos = leaf_pos_[k];
    for (const LeafF& L : leaves_) {
        if (pos < L.first || pos >= L.first + L.count) continue;
        CallTree ct;
        prepare(lo, hi, ct);
        Dir dir;
        make_dir(d, ct, dir);
        if (!(sure ? dir.acc : dir.pretest)) return -1;
        const float pf[3] = {static_cast<float>(g[0] - centre_[0]), static_cast<float>(g[1] - centre_[1]),
                             static_cast<float>(g[2] - centre_[2])};
        unsigned lanes;
        if (sure) {
            lanes = accept(L, pf, dir);
        } else {
            float r = 0, zm = 0;
            pretest_margins(L, dir, r, zm);
            lanes = pretest(L, pf, dir, r, zm);
        }
        return static_cast<int>((lanes >> (pos - L.first)) & 1u);
    }
    return -1;
}

bool Scene::pretest_may_hit(size_t k, const double g[3], const double d[3], const double* lo,
                            const double* hi) const {
    return float_test(k, g, d, lo, hi, false) != 0;
}

bool Scene::accept_sure_hit(size_t k, const double g[3], const double d[3], const double* lo,
                            const double* hi) const {
    return float_test(k, g, d, lo, hi, true) == 1;
}

// Stable radix sort of the rays by the leaf position of their own triangle
// (rays without one in the tree last, in their order): the histograms of all
// digits in one pass, then one scatter per digit. pos[k]: the leaf position of
// ray order[k] (~0u: none). tmp: room for 4 n numbers.
void Scene::leaf_order(const int64_t* self, size_t n, uint32_t* order, uint32_t* pos, uint32_t* tmp) const {
    const uint32_t none = static_cast<uint32_t>(leaf_ids_.size());
    constexpr int kBits = 11;
    constexpr uint32_t kMask = (1u << kBits) - 1;
    int digits = 1;
    while (digits < 3 && (none >> (kBits * digits))) ++digits;
    uint32_t count[3 << kBits] = {};
    uint32_t* k0 = tmp;
    uint32_t* k1 = tmp + n;
    uint32_t* idx = tmp + 2 * n;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t p = own_leaf_pos(self[i]);
        const uint32_t k = p == ~0u ? none : p;
        k0[i] = k;
        for (int q = 0; q < digits; ++q) ++count[(size_t{static_cast<unsigned>(q)} << kBits) + ((k >> (kBits * q)) & kMask)];
    }
    for (int q = 0; q < digits; ++q) {
        uint32_t sum = 0;
        for (size_t b = 0; b <= kMask; ++b) {
            uint32_t& c = count[(size_t{static_cast<unsigned>(q)} << kBits) + b];
            const uint32_t v = c;
            c = sum;
            sum += v;
        }
    }
    // Digit by digit from the lowest; the last pass writes into order and pos.
    uint32_t* src_idx = nullptr;  // null: the identity
    for (int q = 0; q < digits; ++q) {
        const bool last = q + 1 == digits;
        uint32_t* dst_key = last ? pos : k1;
        uint32_t* dst_idx = last ? order : idx + (q % 2) * n;
        uint32_t* c = &count[size_t{static_cast<unsigned>(q)} << kBits];
        const int sh = kBits * q;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t k = k0[i];
            const uint32_t at = c[(k >> sh) & kMask]++;
            dst_key[at] = k;
            dst_idx[at] = src_idx ? src_idx[i] : static_cast<uint32_t>(i);
        }
        src_idx = dst_idx;
        std::swap(k0, k1);
    }
    for (size_t i = 0; i < n; ++i)
        if (pos[i] == none) pos[i] = ~0u;
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
    // Packets take rays in the order of their own triangles in the tree's
    // leaves (depth first: neighbours in space are neighbours there), so that
    // a packet's origins are close together and consecutive packets walk the
    // same nodes. Each ray's answer does not depend on its packet.
    // The origins and own triangles are gathered in that order first (their
    // loads overlap in one tight loop).
    RayOrder own_order;  // a cast too large for the thread's kept memory: its own, until the end
    const uint32_t* order = nullptr;
    const uint32_t* sorted_pos = nullptr;
    const double* sorted_g = nullptr;
    // Rays in order as the walk reads them, set when every origin is in the
    // tree's range and no triangle is kept out of it: packets are then views.
    const float* sorted_go[3] = {nullptr, nullptr, nullptr};
    const float* sorted_pf = nullptr;
    if (tree && packet && self && n >= 2 * Packet::kMax && n < (size_t{1} << 32)) {
        // The calling thread keeps the rays' order and its working memory for
        // its next cast, up to a bound: casts of one scene often repeat the
        // same rays' own triangles (the faces towards the sun, one sun
        // position after the other), and then the order is not sorted again;
        // fresh pages would also be zeroed by the system on every cast.
        // Larger casts use memory of their own, released at the end.
        constexpr size_t kKeep = size_t{16} << 20;
        thread_local RayOrder kept;
        RayOrder& ro = n * (8 + 8 + 24 + 24) <= kKeep ? kept : own_order;
        const bool same = ro.scene == id_ && ro.self.size() == n &&
                          std::memcmp(ro.self.data(), self, n * sizeof(int64_t)) == 0;
        if (ro.g.size() < 3 * n) ro.g.resize(3 * n);
        if (!same) {
            ro.scene = 0;
            ro.order.resize(n);
            ro.pos.resize(n);
            // The sort's working room: the origins' memory, not yet filled.
            static_assert(4 * sizeof(uint32_t) <= 3 * sizeof(double), "room for the sort");
            leaf_order(self, n, ro.order.data(), ro.pos.data(), reinterpret_cast<uint32_t*>(ro.g.data()));
            ro.self.assign(self, self + n);
            ro.scene = id_;
        }
        order = ro.order.data();
        sorted_pos = ro.pos.data();
        sorted_g = ro.g.data();
        // The origins are gathered into their order (fetched ahead: written in
        // order, the arrays stream out, where scattered writes would each wait
        // on their line once the arrays outgrow the cache), also in the walk's
        // two float frames: axis by axis in the call tree's (32-byte aligned
        // planes, a packet's lanes readable past the last ray) and ray by ray
        // in the pre-test's.
        const size_t plane = (n + 2 * Packet::kMax - 1) / Packet::kMax * Packet::kMax;
        if (ro.f.size() < 3 * plane + 3 * n + 8) ro.f.resize(3 * plane + 3 * n + 8);
        float* fx = ro.f.data() + (32 - reinterpret_cast<uintptr_t>(ro.f.data()) % 32) % 32 / sizeof(float);
        float* fy = fx + plane;
        float* fz = fy + plane;
        float* fp = fz + plane;
        double* g_out = ro.g.data();
        const double* c1 = tree->centre;
        bool in_range = true;
        for (size_t k = 0; k < n; ++k) {
            if (k + 64 < n) qm_prefetch(origins + 3 * size_t{order[k + 64]});
            const double* o = origins + 3 * size_t{order[k]};
            double* to = g_out + 3 * k;
            to[0] = o[0], to[1] = o[1], to[2] = o[2];
            fx[k] = static_cast<float>(o[0] - c1[0]);
            fy[k] = static_cast<float>(o[1] - c1[1]);
            fz[k] = static_cast<float>(o[2] - c1[2]);
            fp[3 * k] = static_cast<float>(o[0] - centre_[0]);
            fp[3 * k + 1] = static_cast<float>(o[1] - centre_[1]);
            fp[3 * k + 2] = static_cast<float>(o[2] - centre_[2]);
            in_range = in_range && origin_in_range(o);
        }
        std::fill(fx + n, fx + plane, 0.0f);
        std::fill(fy + n, fy + plane, 0.0f);
        std::fill(fz + n, fz + plane, 0.0f);
        if (in_range && direct_.empty()) {
            sorted_go[0] = fx, sorted_go[1] = fy, sorted_go[2] = fz;
            sorted_pf = fp;
        }
    }
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
        if (sorted_pf) {
            // Packets are views of consecutive rays (chunks start at multiples of the packet size).
            for (size_t q = b; q < e; q += width) {
                p.n = static_cast<unsigned>(std::min<size_t>(width, e - q));
                for (int j = 0; j < 3; ++j) p.go[j] = sorted_go[j] + q;
                p.pf = sorted_pf + 3 * q;
                p.g = sorted_g + 3 * q;
                p.skip = sorted_pos + q;
                const unsigned h = occluded_packet(p, *tree, dir, st);
                for (unsigned k = 0; k < p.n; ++k) hit[order[q + k]] = (h >> k) & 1u;
                if (st) st->rays += p.n, st->pretest_only += p.n - static_cast<unsigned>(__builtin_popcount(p.exact));
                p.exact = 0;
            }
            p.n = 0;
            b = e;  // done
        }
        for (size_t pos = b; pos < e; ++pos) {
            const bool sorted = order != nullptr;
            const size_t i = sorted ? order[pos] : pos;
            const double* g = sorted ? &sorted_g[3 * pos] : origins + 3 * i;
            const int64_t s = self ? self[i] : -1;  // read only where needed below
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
            const uint32_t own_pos = sorted ? sorted_pos[pos] : own_leaf_pos(s);
            p.add(g, own_pos, i, *tree, centre_);
            if (p.n == width) flush();
        }
        flush();
        if (st) {
            std::lock_guard<std::mutex> lock(stats_mutex);
            stats->add(local);
        }
    };
    const size_t chunk = 4 * Packet::kMax;  // views need chunks starting at multiples of a packet
    util::ParallelOptions po;
    po.threads = threads;
    util::parallel_for(n, chunk, [&](size_t c0, size_t c1) { run(c0, c1); }, po);
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
