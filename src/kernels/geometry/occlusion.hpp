// Sun occlusion by ray casting.
//
// A face is lit when its unit normal n satisfies n . d > 0 for the sun
// direction d and no other triangle of the model is hit by the ray from the
// face's centroid towards the sun (double-precision Moller-Trumbore, |a| < 1e-6
// means parallel, hits count for 1e-6 < t < 1e6, u, v and u + v on the
// triangle's border count as inside). Its illumination is then n . d, else 0.
//
// The bounding volume hierarchy only prunes: every triangle it skips provably
// cannot pass the Moller-Trumbore test (node boxes are widened per call by a
// bound on that test's rounding error), and triangles with non-finite or huge
// coordinates (or too large for that bound) stay out of the tree and are
// tested for every ray. A float pre-test of each leaf's triangles (sheared
// along the ray's direction, widened by the same bound and by its own rounding)
// only drops triangles the exact test cannot hit, and a float accept test
// only takes hits the exact test surely makes (its margins cover its own
// rounding and that of the exact test). Results are therefore bit-identical to
// testing every triangle.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// x86-64 builds with GCC or Clang also compile the tree walk for AVX2.
#if !defined(QM_HAVE_AVX2_WALK)
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QM_HAVE_AVX2_WALK 1
#else
#define QM_HAVE_AVX2_WALK 0
#endif
#endif

namespace qm::geom {

// n . d > 0 (strictly).
bool is_face_visible(const double n[3], const double d[3]) noexcept;

// Moller-Trumbore: does the ray o + t d hit triangle tri (9 doubles, rows =
// vertices) with 1e-6 < t < 1e6?
bool ray_triangle_intersection(const double o[3], const double d[3], const double* tri) noexcept;

// Mean of the three vertices, coordinate by coordinate.
void centroid(const double* tri, double g[3]) noexcept;

// Sum of x[0..n) with the host array library's pairwise summation, so that
// surface means equal those computed from the same arrays on the host side.
double pairwise_sum(const double* x, size_t n) noexcept;

// Sun direction for altitude and azimuth in degrees: (sin az cos alt,
// cos az cos alt, sin alt), divided by its length. Azimuth 0 is +y, 90 is +x.
void sun_direction(double altitude_deg, double azimuth_deg, double d[3]) noexcept;

// Which tree walk casts use: the one compiled for AVX2 where the processor has
// it (the default), or with `portable` the one compiled for any processor.
// Both give the same answers and counts; tests and benchmarks compare them on
// one machine. Affects casts that start after the call.
void use_portable_walk(bool portable) noexcept;
// True when the processor runs a walk other than the portable one.
bool avx2_walk_available() noexcept;

// What a cast did (optional; counted per ray).
struct CastStats {
    uint64_t rays = 0;          // rays that walked the tree
    uint64_t pretest_only = 0;  // of those, answered without any exact triangle test
    uint64_t accepted = 0;      // of those, hits confirmed by the float accept test
    uint64_t candidates = 0;    // leaf triangles whose box the ray entered
    uint64_t exact_tests = 0;   // of those, kept by the float pre-test (may hit)
    uint64_t node_tests = 0;    // eight-wide nodes whose boxes were tested (once per packet)
    void add(const CastStats& o) noexcept {
        rays += o.rays, pretest_only += o.pretest_only, candidates += o.candidates, exact_tests += o.exact_tests;
        accepted += o.accepted, node_tests += o.node_tests;
    }
};

// Bounding volume hierarchy over the finite triangles of a model.
class Scene {
public:
    // `tris` holds 9 doubles per triangle. Built once on up to `threads`
    // threads (0: hardware concurrency); the tree does not depend on the
    // number of threads. Read-only afterwards.
    explicit Scene(std::vector<double> tris, unsigned threads = 0);
    ~Scene();

    size_t size() const noexcept { return tris_.size() / 9; }
    const double* tri(size_t k) const noexcept { return tris_.data() + 9 * k; }
    size_t tree_size() const noexcept { return leaf_ids_.size(); }
    size_t node_count() const noexcept;
    size_t leaf_count() const noexcept;
    // Bytes held by the model and its tree (the float tree of the last cast included).
    size_t memory_bytes() const;
    // Same tree (node for node, leaf for leaf) as `other`.
    bool same_tree(const Scene& other) const;
    // The built tree's invariants: the leaf order holds every tree triangle
    // once, the leaf positions invert it, the leaves tile the leaf order, every
    // child index is in range and every child box lies in its node's bounds.
    // Run after every build in the sanitizer build (QM_DEBUG_CHECKS).
    bool check_tree() const;

    // For each face f in [0, n): illumination and area. faces: 9 doubles per
    // face; normals: 3 per face; self[f]: the face's own index in the scene,
    // left out of the test, or -1. threads = 0: hardware concurrency.
    // brute = true tests every triangle (reference path).
    void scan(const double* faces, const double* normals, const int64_t* self, size_t n, const double d[3],
              double* illumination, double* areas, unsigned threads, bool brute = false) const;

    // Occlusion of n rays from origins (3 doubles each) along d: hit[i] = 1 when
    // a triangle other than self[i] (-1: none; self may be null) is hit.
    // [lo, hi] must contain every finite origin within 1e30 (null: computed);
    // calls with the same box reuse one float tree. Neighbouring origins walk
    // the tree together in packets of up to sixteen (packet = false: one by one;
    // the answers are the same). stats (may be null) receives the counts.
    void cast(const double* origins, const int64_t* self, size_t n, const double d[3], unsigned char* hit,
              unsigned threads, const double* lo = nullptr, const double* hi = nullptr, bool brute = false) const;
    void cast(const double* origins, const int64_t* self, size_t n, const double d[3], unsigned char* hit,
              unsigned threads, const double* lo, const double* hi, bool brute, bool packet, CastStats* stats) const;

    // Occlusion of a single ray (for tests): is any triangle but `self` hit?
    bool occluded(const double g[3], const double d[3], int64_t self, bool brute) const;

    // Conservative float test (for tests): false only when the exact test of
    // tree triangle k along d from g cannot hit, for origins in [lo, hi].
    bool pretest_may_hit(size_t k, const double g[3], const double d[3], const double* lo, const double* hi) const;
    // Conservative float accept test (for tests): true only when the exact test
    // of tree triangle k along d from g hits, for origins in [lo, hi].
    bool accept_sure_hit(size_t k, const double g[3], const double d[3], const double* lo, const double* hi) const;

    static constexpr size_t kLeafSize = 4;  // triangles per leaf, at most
    static constexpr size_t kWidth = 8;     // children per node of the traversal tree, at most

private:
    // The tree's layouts (binary build nodes, eight-wide nodes in double and
    // per call in float, float leaves, the per-call tree) are private to the
    // implementation: kernels/geometry/occlusion_detail.hpp.
    struct Node;
    struct Wide;
    struct WideF;
    struct LeafF;
    struct CallTree;
    struct Prim;
    void build(unsigned threads);
    static bool static_pad(const double* tri, double& pa, double& pb);
    double origin_spread(const double* lo, const double* hi) const;
    void build_range(Prim* prims, size_t begin, size_t end, int depth, const float* box, const float* cbox,
                     std::vector<Node>& out, int spawn) const;
    uint32_t collapse(const std::vector<Node>& nodes, uint32_t bin);
    void prepare(const double* origins_lo, const double* origins_hi, CallTree& ct) const;
    // The float tree for an origin box; the last one is kept for the next call.
    std::shared_ptr<const CallTree> call_tree(const double* lo, const double* hi) const;
    struct Dir;
    struct Packet;
    void make_dir(const double d[3], const CallTree& ct, Dir& dir) const;
    // The pre-test's margins for one leaf (the same for every ray of a call).
    static void pretest_margins(const LeafF& leaf, const Dir& dir, float& r, float& zm) noexcept;
    static unsigned pretest(const LeafF& leaf, const float o[3], const Dir& dir, float r, float zm) noexcept;
    // Lanes whose exact test surely hits (the converse test).
    static unsigned accept(const LeafF& leaf, const float o[3], const Dir& dir) noexcept;
    int float_test(size_t k, const double g[3], const double d[3], const double* lo, const double* hi,
                   bool sure) const;
#if QM_HAVE_AVX2_WALK
    // The same for two origins at once (bits 0-3: o0, 4-7: o1), lane for lane the same arithmetic.
    static unsigned pretest2(const LeafF& leaf, const float o0[3], const float o1[3], const Dir& dir, float r,
                             float zm) noexcept;
#endif
    unsigned occluded_packet(Packet& p, const CallTree& ct, const Dir& dir, CastStats* stats) const;
    unsigned walk_base(Packet& p, const CallTree& ct, const Dir& dir, CastStats* stats) const;
#if QM_HAVE_AVX2_WALK
    unsigned walk_avx2(Packet& p, const CallTree& ct, const Dir& dir, CastStats* stats) const;
#endif
    bool occluded_brute(const double g[3], const double d[3], int64_t self) const;
    // Ray numbers (n of them) roughly by the leaf position of their own triangle, and those positions (~0u: none).
    void leaf_order(const int64_t* self, size_t n, uint32_t* order, uint32_t* pos, uint32_t* tmp) const;
    uint32_t own_leaf_pos(int64_t self) const noexcept {
        return self >= 0 && static_cast<uint64_t>(self) < leaf_pos_.size() ? leaf_pos_[self] : ~0u;
    }

    std::vector<double> tris_;        // original order
    std::vector<Wide> wide_;          // traversal form
    std::vector<LeafF> leaves_;       // float pre-test form, one per leaf
    std::vector<uint32_t> leaf_ids_;  // tree triangles in leaf order
    std::vector<uint32_t> leaf_pos_;  // leaf position by triangle number (~0u: not in the tree)
    std::vector<uint32_t> direct_;    // triangles kept out of the tree
    double box_lo_[3] = {0, 0, 0}, box_hi_[3] = {0, 0, 0};
    double centre_[3] = {0, 0, 0};    // centre of the tree's box: origin of the pre-test's float frame
    const uint64_t id_;               // unique per scene in the process (for the per-thread ray order)
    mutable std::mutex tree_mutex_;
    mutable std::shared_ptr<const CallTree> tree_;
    mutable double tree_lo_[3] = {0, 0, 0}, tree_hi_[3] = {0, 0, 0};
};

}  // namespace qm::geom
