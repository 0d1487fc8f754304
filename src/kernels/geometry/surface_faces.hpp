// The faces of named surfaces of a model, as the occlusion scan and the
// shading module cast them: each surface's triangles copied in model order,
// each face with its own model triangle id (so that it does not shade
// itself) and its normal from the file, or from its vertices where asked.
//
// Normals from vertices: a face whose normal in the file is (0, 0, 0) takes
// the unit normal of its vertex order, (v1 - v0) x (v2 - v0) normalised
// (normals_from_vertices in self_match.hpp: a degenerate face, or one whose
// cross product is not finite, keeps (0, 0, 0) and so faces no sun).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/geometry/model.hpp"
#include "kernels/geometry/subdivide.hpp"

namespace qm::geom {

struct SurfaceFaces {
    std::vector<double> tris;          // 9 per face
    std::vector<double> normals;       // 3 per face
    std::vector<int64_t> self;         // the model triangle each face is
    std::vector<size_t> first, count;  // per listed solid: its faces
    size_t size() const noexcept { return self.size(); }
};

// The faces of the model's solids `solids` (indices into model.names, each
// listed once), in the order listed. The model must be regular (a scene).
void surface_faces(const Model& model, const std::vector<size_t>& solids, bool from_vertices, SurfaceFaces& out);

// The same, each solid's faces subdivided at `resolution` [model units]
// (<= 0: unchanged) into one surface of `out` (subdivide.hpp). False, with
// `out` holding the solids before the failing one, when the faces would
// exceed `max_faces`.
bool analysed_faces(const Model& model, const std::vector<size_t>& solids, bool from_vertices, double resolution,
                    size_t max_faces, FaceSet& out);

}  // namespace qm::geom
