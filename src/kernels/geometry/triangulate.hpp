// Triangulation of a planar polygon with holes by ear clipping.
//
// Method: the polygon is projected onto the coordinate plane its Newell
// normal is most nearly perpendicular to; each hole is joined to the outline
// by a bridge from its leftmost vertex to a visible outline vertex (holes in
// order of their leftmost x), then ears are clipped from the one ring left.
// After H. ElGindy, H. Everett, G. Toussaint (1993), "Slicing an ear using
// prune-and-search", Pattern Recognition Letters 14(9), 719-722
// (doi:10.1016/0167-8655(93)90141-Y) for ear clipping, and D. Eberly (2002),
// "Triangulation by ear clipping", Geometric Tools, for the hole bridges.
//
// What this implementation decides:
// * Rings: repeated consecutive points and a closing point equal to the
//   first are dropped; rings with fewer than three points are ignored. The
//   outline is taken counter-clockwise and holes clockwise in the projection,
//   whatever their order in the input.
// * When no ear is found (touching or crossing rings, points on edges), the
//   ring is cleaned of repeated and collinear points and searched again; then
//   two crossing edges next to each other are cut off as a triangle; then
//   the ring is split along a diagonal that crosses no edge; last, any convex
//   corner is clipped. Every pass removes a point or ends, so the work always
//   ends (O(n^2) for n points) and a self-crossing ring still yields
//   triangles covering it.
// * A polygon of zero area (all points on one line) yields no triangle.
// * Non-finite coordinates: the polygon is cut into a fan from its first
//   point (the model's own checks then report those coordinates).
// Output triangles index the input points (ring after ring) and are turned so
// that their normal points the same way as the outline's Newell normal.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qm::geom {

// `pts`: three numbers a point, ring after ring; `ring_sizes[r]` points in
// ring r (ring 0 the outline). Appends three indices a triangle to `tris`.
void triangulate_polygon(const double* pts, const uint32_t* ring_sizes, size_t rings,
                         std::vector<uint32_t>& tris);

// Newell normal of one ring (not normalised).
void newell_normal(const double* pts, size_t n, double out[3]) noexcept;

}  // namespace qm::geom
