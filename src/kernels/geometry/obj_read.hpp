// Wavefront OBJ reader: polygon faces into named surfaces.
//
// Rules:
// * `v x y z [w | r g b]`: a vertex; the first three numbers are taken.
// * `f a b c ...`: a face; each vertex is `v`, `v/vt`, `v//vn` or `v/vt/vn`
//   and only `v` is used. Indices count from 1; a negative index counts back
//   from the last vertex read so far (-1 is the last). Faces of more than
//   three vertices are triangulated (triangulate.hpp); a triangle is kept as
//   it is.
// * Surface names: a face belongs to the name of the last `o` or `g` line
//   before it (its fields joined with single spaces, so `g roof south` is
//   "roof south"); faces before any, and a bare `o` or `g`, belong to
//   "default", the format's default group. Faces under a name seen before
//   join that surface. A name with no face after it makes no surface.
// * Everything else (`vt`, `vn`, `s`, `l`, `p`, `mtllib`, `usemtl`, comments,
//   free-form curves) is ignored.
// * Numbers: decimal with an optional sign, fraction and exponent, or inf/nan
//   (std::from_chars; correctly rounded).
// Errors carry the 1-based line: a vertex with fewer than three numbers or a
// malformed one (bad_number), an index that is 0, malformed or beyond the
// vertices read so far (bad_index), a face with fewer than three vertices
// (bad_face).
#pragma once
#include <string_view>

#include "kernels/geometry/mesh_read.hpp"

namespace qm::geom {

bool read_obj(std::string_view text, MeshModel& out, ReadProblem& err);

}  // namespace qm::geom
