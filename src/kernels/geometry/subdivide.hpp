// Subdivision of analysed triangles for mesh-independent cosine factors.
//
// One ray per triangle makes a surface's factor depend on how the model was
// meshed: a roof of two triangles is either lit or shadowed as a whole. Each
// analysed triangle is split into n x n congruent sub-triangles (every edge
// cut into n equal parts), n = ceil(longest edge / resolution), so no
// sub-triangle edge is longer than the resolution. Each sub-triangle keeps its
// parent's facet normal and casts its own ray; the occluders stay the model's
// own triangles (the parent is left out of its sub-triangles' tests, which the
// t > 1e-6 bound would do anyway). As the resolution shrinks, a surface's
// area-weighted factor converges to the lit fraction of its area times the
// cosine, whatever the original mesh.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qm::geom {

// Number of parts per edge for a triangle (9 doubles) at a resolution
// (model units); 1 for a resolution <= 0 or not finite, or a degenerate or
// non-finite triangle. At most `max_parts`.
size_t subdivision_parts(const double* tri, double resolution, size_t max_parts = 4096) noexcept;

// Appends the n * n sub-triangles of `tri` (9 doubles each), in a fixed
// order, to `out`. n = 1 appends the triangle itself unchanged.
void subdivide_triangle(const double* tri, size_t n, std::vector<double>& out);

// Analysed faces ready for casting: triangles, facet normals, the index of
// the model triangle each one came from (left out of its test), grouped per
// surface (first/count in face order).
struct FaceSet {
    std::vector<double> tris;     // 9 per face
    std::vector<double> normals;  // 3 per face
    std::vector<int64_t> self;    // model triangle of the face, -1 for none
    std::vector<size_t> first, count;  // per surface
    size_t size() const noexcept { return self.size(); }
};

// Adds one surface: its model triangles `tris` (9 doubles each, n of them),
// their normals and model indices, each subdivided at `resolution` (<= 0:
// unchanged). Returns false (adding nothing) when the surface would take the
// set beyond `max_faces` faces.
bool add_surface(FaceSet& set, const double* tris, const double* normals, const int64_t* self, size_t n,
                 double resolution, size_t max_faces);

}  // namespace qm::geom
