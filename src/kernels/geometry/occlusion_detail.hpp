// Internal to the occlusion kernel (occlusion.cpp, occlusion_build.cpp,
// occlusion_cast.cpp): the constants and inline helpers that tree building,
// traversal and the exact test share. Not part of the kernel's interface.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "kernels/geometry/occlusion.hpp"
#include "kernels/util/parallel.hpp"

namespace qm::geom::detail {

constexpr double kEps = 1.1102230246251565e-16;  // unit roundoff, 2^-53
constexpr double kHuge = 1e30;                    // larger coordinates stay out of the tree
constexpr double kTmax = 1e6 + 2;                 // ray length covered by the box test
constexpr double kTiny = 1e-290;                  // absolute term covering underflow
constexpr double kInf = std::numeric_limits<double>::infinity();

// Float bounds on the safe side of x: widened by more than the float rounding.
inline float round_down(double x) { return static_cast<float>(x - (std::fabs(x) * 2.4e-7 + 1e-37)); }
inline float round_up(double x) { return static_cast<float>(x + (std::fabs(x) * 2.4e-7 + 1e-37)); }
inline float round_up_f(double x) { return round_up(x); }
constexpr double kEpsF = 5.9604644775390625e-08;  // 2^-24

inline bool in_tree_range(double v) noexcept { return std::fabs(v) <= kHuge; }  // false for NaN

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

// Asks the system to back [p, p + bytes) with large pages where it can (fewer
// page faults while the tree is written, fewer address-translation misses
// while it is walked). Only a hint: nothing changes where it is not followed.
void advise_huge_pages(const void* p, size_t bytes) noexcept;

// v.reserve(n), the new storage hinted as above before anything touches it.
template <typename V>
void reserve_huge(V& v, size_t n) {
    if (v.capacity() >= n) return;
    v.reserve(n);
    advise_huge_pages(v.data(), n * sizeof(*v.data()));
}

// Moller-Trumbore on a triangle given by its vertices (9 doubles), computed as
// ray_triangle_intersection computes it.
inline bool ray_hits_triangle(const double o[3], const double d[3], const double* tri) noexcept {
    const double e1[3] = {tri[3] - tri[0], tri[4] - tri[1], tri[5] - tri[2]};
    const double e2[3] = {tri[6] - tri[0], tri[7] - tri[1], tri[8] - tri[2]};
    return ray_hits_edges(o, d, tri, e1, e2);
}

using util::resolve_threads;

}  // namespace qm::geom::detail

namespace qm::geom {

// ------------------------------------------------------------ tree layouts

// Binary tree node of the build (collapsed into eight-wide nodes afterwards).
struct Scene::Node {
    float lo[3], hi[3];  // float bounds on the safe side of the triangles' boxes
    double slack;     // absolute widening that covers rounding in the box test
    double pa, pb;    // widening for the test's rounding: pa + pb * origin spread (pa includes slack)
    uint32_t first;   // leaf: first position in leaf order; interior: right child
    uint32_t count;   // leaf: number of triangles; interior: 0
    uint32_t axis;    // split axis (interior)
    uint32_t pad_;
};


// Eight-wide tree: each node holds up to eight child boxes (collapsed from
// the binary tree). Static form in double; per call a float form, shifted
// to the centre of the scene and widened outwards so that the float box
// test never rejects what the exact test could hit.
struct Scene::Wide {
    float lo[3][kWidth], hi[3][kWidth];
    double pa[kWidth], pb[kWidth];
    uint32_t child[kWidth];  // leaf: leaf number; interior: wide node; empty: ~0u
    uint32_t count[kWidth];  // leaf: number of triangles; interior or empty: 0
};
struct alignas(64) Scene::WideF {
    float box[2][3][kWidth];  // [0]: lower bounds, [1]: upper bounds; axis, child
    uint32_t child[kWidth], count[kWidth];
};
// One leaf for the float pre-test: its triangles' vertices relative to the
// tree's centre, lane by lane, and their static widening (rounded up).
// 160 bytes on a 32-byte boundary: three cache lines whatever its place
// (the triangles' numbers are read from leaf_ids_ only for exact tests).
struct alignas(32) Scene::LeafF {
    float v[3][3][kLeafSize];  // vertex, axis, lane
    float pa, pb;              // largest static widening of the leaf's triangles
    uint32_t first, count;     // positions in leaf order
};
struct Scene::CallTree {
    std::vector<WideF> nodes;
    double centre[3] = {0, 0, 0};
    float tmax = 0;
    double spread = 0;  // origin spread of the call (for the pre-test's widening)
    double radius = 0;  // largest distance of an origin or tree vertex from the pre-test centre, per axis
};

namespace detail {

// Depth bound of the build: nodes deeper than kMaxSahDepth split at the
// median, which halves their triangles (fewer than 2^32) until a leaf holds
// at most Scene::kLeafSize, so no binary node is deeper than kMaxSahDepth +
// 32; kMaxTreeDepth keeps two more. Collapsing into eight-wide nodes only
// merges levels, so the wide tree is no deeper.
constexpr int kMaxSahDepth = 48;
constexpr int kMaxTreeDepth = kMaxSahDepth + 34;

// The walk's stack: every node visited pushes at most kWidth - 1 entries more
// than it pops, so a walk down kMaxTreeDepth levels holds at most this many.
constexpr size_t kWalkStackSize = (Scene::kWidth - 1) * kMaxTreeDepth + 1;
static_assert(kMaxTreeDepth >= kMaxSahDepth + 32, "median levels: log2(2^32 / kLeafSize) + 1 at most, kept above");
static_assert(kWalkStackSize * 8 <= 8192, "the walk's stack stays small enough for any thread");

}  // namespace detail
}  // namespace qm::geom
