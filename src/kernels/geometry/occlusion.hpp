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
// coordinates (or too large for that bound) stay out of the tree and are tested for every ray. Results are
// therefore bit-identical to testing every triangle.
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

// Bounding volume hierarchy over the finite triangles of a model.
class Scene {
public:
    // `tris` holds 9 doubles per triangle. Built once; read-only afterwards.
    explicit Scene(std::vector<double> tris);

    size_t size() const noexcept { return tris_.size() / 9; }
    const double* tri(size_t k) const noexcept { return tris_.data() + 9 * k; }
    size_t tree_size() const noexcept { return leaf_ids_.size(); }
    size_t node_count() const noexcept { return nodes_.size(); }

    // For each face f in [0, n): illumination and area. faces: 9 doubles per
    // face; normals: 3 per face; self[f]: the face's own index in the scene,
    // left out of the test, or -1. threads = 0: hardware concurrency.
    // brute = true tests every triangle (reference path).
    void scan(const double* faces, const double* normals, const int64_t* self, size_t n, const double d[3],
              double* illumination, double* areas, unsigned threads, bool brute = false) const;

    // Occlusion of n rays from origins (3 doubles each) along d: hit[i] = 1 when
    // a triangle other than self[i] (-1: none; self may be null) is hit.
    // [lo, hi] must contain every finite origin within 1e30 (null: computed);
    // calls with the same box reuse one float tree.
    void cast(const double* origins, const int64_t* self, size_t n, const double d[3], unsigned char* hit,
              unsigned threads, const double* lo = nullptr, const double* hi = nullptr, bool brute = false) const;

    // Occlusion of a single ray (for tests): is any triangle but `self` hit?
    bool occluded(const double g[3], const double d[3], int64_t self, bool brute) const;

    struct Node {
        double lo[3], hi[3];
        double slack;     // absolute widening that covers rounding in the box test
        double pa, pb;    // widening for the test's rounding: pa + pb * origin spread (pa includes slack)
        uint32_t first;   // leaf: first position in leaf order; interior: right child
        uint32_t count;   // leaf: number of triangles; interior: 0
        uint32_t axis;    // split axis (interior)
        uint32_t pad_;
    };

private:
    void build();
    static bool static_pad(const double* tri, double& pa, double& pb);
    double origin_spread(const double* lo, const double* hi) const;
    uint32_t build_node(std::vector<uint32_t>& ids, std::vector<double>& cent, size_t begin, size_t end, int depth);
    // Eight-wide tree: each node holds up to eight child boxes (collapsed from
    // the binary tree). Static form in double; per call a float form, shifted
    // to the centre of the scene and widened outwards so that the float box
    // test never rejects what the exact test could hit.
    static constexpr size_t kWidth = 8;
    struct Wide {
        double lo[3][kWidth], hi[3][kWidth];
        double pa[kWidth], pb[kWidth];
        uint32_t child[kWidth];  // leaf: first position in leaf order; interior: wide node; empty: ~0u
        uint32_t count[kWidth];  // leaf: number of triangles; interior or empty: 0
    };
    struct alignas(64) WideF {
        float box[2][3][kWidth];  // [0]: lower bounds, [1]: upper bounds; axis, child
        uint32_t child[kWidth], count[kWidth];
    };
    struct CallTree {
        std::vector<WideF> nodes;
        double centre[3] = {0, 0, 0};
        float tmax = 0;
    };
    uint32_t collapse(uint32_t bin);
    void prepare(const double* origins_lo, const double* origins_hi, CallTree& ct) const;
    // The float tree for an origin box; the last one is kept for the next call.
    std::shared_ptr<const CallTree> call_tree(const double* lo, const double* hi) const;
    bool occluded_tree(const double g[3], const double d[3], int64_t self, const CallTree& ct) const;
    struct RayF;
    bool walk_base(const double g[3], const double d[3], uint32_t skip, const CallTree& ct, const RayF& r) const;
#if QM_HAVE_AVX2_WALK
    bool walk_avx2(const double g[3], const double d[3], uint32_t skip, const CallTree& ct, const RayF& r) const;
#endif
    bool occluded_brute(const double g[3], const double d[3], int64_t self) const;

    std::vector<double> tris_;        // original order
    std::vector<Node> nodes_;         // binary tree (build form)
    std::vector<Wide> wide_;          // traversal form
    std::vector<uint32_t> leaf_ids_;  // tree triangles in leaf order
    std::vector<double> leaf_tris_;   // per triangle in leaf order: P0, P1 - P0, P2 - P0
    std::vector<uint32_t> leaf_pos_;  // leaf position by triangle number (~0u: not in the tree)
    std::vector<uint32_t> direct_;    // triangles kept out of the tree
    std::vector<double> pa_, pb_;     // per-triangle widening (during the build only)
    double box_lo_[3] = {0, 0, 0}, box_hi_[3] = {0, 0, 0};
    mutable std::mutex tree_mutex_;
    mutable std::shared_ptr<const CallTree> tree_;
    mutable double tree_lo_[3] = {0, 0, 0}, tree_hi_[3] = {0, 0, 0};
};

}  // namespace qm::geom
