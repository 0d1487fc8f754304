// CityJSON reader (versions 1.0, 1.1 and 2.0, and CityJSONSeq: a CityJSON
// header line followed by one CityJSONFeature a line): the surfaces of every
// city object at one level of detail, named by their semantic surfaces.
//
// Rules:
// * Vertices: `vertices` times `transform.scale` plus `transform.translate`
//   (plain coordinates when there is no transform). A CityJSONSeq feature
//   indexes its own `vertices` with the header's transform.
// * Local origin: all coordinates are relative to the file's first vertex
//   (in a CityJSONSeq, the first vertex of the first line that has any).
//   For integer vertices with a transform the offset is taken in integers,
//   (v - v0) * scale, so a georeferenced model hundreds of kilometres from
//   its datum keeps the transform's full precision: one rounding per
//   coordinate of a small number. The origin's world coordinates (v0 * scale
//   + translate) are kept in MeshModel::origin; everything downstream
//   (facets, the tree, shading) works in the local frame.
// * Level of detail: per city object, its geometries of the highest `lod`
//   (compared as numbers: "2.2" above "2"), or of the requested `lod` exactly
//   (objects without it contribute nothing). Geometry instances take their
//   template's `lod` and are placed by `transformationMatrix` (row-major) at
//   their reference vertex. MultiPoint and MultiLineString are skipped.
// * Surface names: a polygon with a semantic surface is named
//   `<object id>/<semantic type>/<index>`, the index being the surface's
//   position in the geometry's `semantics.surfaces` (counted on across the
//   object's chosen geometries, so two geometries never share an index);
//   polygons sharing a semantic surface are one surface. A polygon without
//   one (no `semantics`, or a null value) belongs to the surface
//   `<object id>`. Objects are read in order of their ids (byte order).
// * Polygons: the first ring is the outline, the others holes; triangulated
//   by triangulate.hpp, facets turned to the outline's orientation.
// Errors name the JSON path of the culprit (and, in a CityJSONSeq, the line);
// JSON syntax errors give the byte offset.
#pragma once
#include <string>
#include <string_view>

#include "kernels/geometry/mesh_read.hpp"

namespace qm::geom {

struct CityJsonOptions {
    std::string lod;  // "" : the highest of each object
};

// `text`: a CityJSON document or a CityJSONSeq (told apart by the content).
bool read_cityjson(std::string_view text, const CityJsonOptions& opt, MeshModel& out, ReadProblem& err);

}  // namespace qm::geom
