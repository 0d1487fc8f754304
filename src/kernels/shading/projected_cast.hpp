// Beam factors of many small faces (the cells of module layouts) for many sun
// positions, cast by projection along the sun: the same numbers as
// exact_factors, bit for bit, at a fraction of the cost when the faces are
// many and the triangles that can shade them few.
//
// A face is lit when n . d > 0 and the ray from its centroid g towards the
// sun d hits no model triangle other than its own (Moller-Trumbore in double,
// as kernels/geometry/occlusion: |a| < 1e-6 parallel, 1e-6 < t < 1e6, the
// triangle's border inside). Its illumination is then n . d [-], else 0; a
// surface's factor is geom::area_weighted_mean of its faces'.
//
// All rays of one sun position share their direction, so whether ray g hits
// triangle T is decided in the plane perpendicular to d (shadows as
// projections of the occluders along the light: Atherton, Weiler, Greenberg
// 1978, "Polygon shadow generation", Computer Graphics 12(3) 275-281):
//   P(x) = (x . b1, x . b2),   b1, b2 unit, b1 . d = b2 . d = b1 . b2 = 0;
// a ray can hit T only where P(g) lies in P(T). Per position the triangles
// are projected and binned on a uniform grid over the projected origins; each
// ray runs the exact Moller-Trumbore test on the triangles of its grid cell
// only, so a ray's answer is the tracer's answer: the projection only prunes.
//
// What the implementation decides:
// - Pruning is conservative. A triangle's projected box is widened by
//   1e-8 (1 + M + E) [m] (M: largest coordinate of the origins and triangles,
//   E: the triangle's largest edge component); the rounding of the exact test
//   moves its hit point by less than 1e-9 (M + E) for every triangle met at
//   |a| >= 1e-4 E^2 (the ray at more than about 0.006 deg to its plane).
//   Triangles met more obliquely and those with non-finite coordinates are
//   tested by every ray; those with |a| < 1e-6 (computed as the exact test
//   computes it, independent of the origin) are never hit and dropped.
// - With the sun above the horizon (d_z > 0) a hit lies above its origin, so
//   triangles entirely below the lowest origin (by more than 1e-6 (1 + M)) are
//   left out once for all positions; likewise, per position, triangles
//   entirely behind every origin along d.
// - Positions with d_z <= 0, origins beyond the tracer's range (|x| > 1e30)
//   or a model with more candidate triangles than 8 per face plus 65536 are
//   cast ray by ray through the tracer (exact_factors), which gives the same
//   numbers.
// - Each position is cast by one thread: results do not depend on the thread
//   count.
#pragma once
#include <cstddef>
#include <vector>

#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/subdivide.hpp"
#include "kernels/shading/exact_factors.hpp"

namespace qm::shading {

// out[p * surfaces + s] as exact_factors gives it. Returns false when cancelled.
// With `lit` given: which faces see the sun at each position, (faces + 7) / 8
// bytes per position, bit f % 8 of byte f / 8 for face f (facing the sun and
// its ray free); left empty where a position went ray by ray.
bool projected_factors(const geom::Scene& scene, const geom::FaceSet& faces, const double* altitudes,
                       const double* azimuths, size_t positions, double* out, const BatchOptions& options = {},
                       std::vector<unsigned char>* lit = nullptr);

// The factors again from `lit` (as projected_factors wrote it for the same
// faces and positions): the same numbers bit for bit, no ray cast.
void factors_from_lit(const geom::FaceSet& faces, const double* altitudes, const double* azimuths, size_t positions,
                      const unsigned char* lit, double* out);

}  // namespace qm::shading
