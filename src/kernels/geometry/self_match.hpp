// Faces of an analysed surface against the triangles of the whole model:
// which model triangle is the face itself (so that it does not shade itself),
// and the surface's area-weighted mean illumination.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qm::geom {

// For every face (9 doubles: three vertices of x, y, z) the index of the
// first triangle of `model` (9 doubles each) equal to it in all nine
// coordinates, or -1 when there is none. Triangles with a NaN coordinate
// match nothing. O((T + n) log T).
std::vector<int64_t> match_own_triangles(const double* model, size_t triangles, const double* faces, size_t n);

// For every face (9 doubles) whose normal (3 doubles) is (0, 0, 0), the unit
// normal of its vertex order by the right-hand rule, (v1 - v0) x (v2 - v0);
// a degenerate face keeps (0, 0, 0). Returns how many normals were set.
size_t normals_from_vertices(const double* faces, double* normals, size_t n);

// sum(illum * area) / sum(area), both sums taken pairwise as numpy sums
// float64 arrays; 0 when the total area is not positive.
double area_weighted_mean(const double* illum, const double* areas, size_t n);

}  // namespace qm::geom
