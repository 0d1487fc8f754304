// What the OBJ, glTF and CityJSON readers share: their error record, the
// builder that turns named polygons into the STL reader's model structure
// (stl::Solids: per surface, per facet a unit normal and three vertices), and
// the choice of reader by file name.
//
// Every reader yields the same structure as the STL block reader, so the
// model, the tree, the surveys and the checks downstream do not know the
// format. Facet normals are not read from these formats: each facet's normal
// is the unit normal of its vertex order (right hand, (v1 - v0) x (v2 - v0)),
// (0, 0, 0) when that cross product has length 0 or is not finite.
// Surfaces named twice are one surface (faces appended), unlike STL solids,
// where a repeated name replaces the earlier solid.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kernels/geometry/stl_read.hpp"

namespace qm::geom {

enum class ReadError {
    none,
    syntax,         // not the format's syntax (JSON syntax, a GLB header): `byte` set
    bad_number,     // a number that does not convert (OBJ): `detail` is the token
    bad_index,      // a vertex, accessor, node or buffer index that does not exist: `detail` is the index
    bad_face,       // a face with fewer than three vertices (OBJ)
    bad_structure,  // a member missing or of the wrong kind: `where` names it
    unsupported,    // a valid feature this reader does not take (`detail` says which)
    buffer,         // a glTF buffer that cannot be read or is shorter than declared
};

// Developer text of an error kind (users see the bindings' wording).
const char* read_error_text(ReadError e) noexcept;

struct ReadProblem {
    ReadError kind = ReadError::none;
    size_t line = 0;          // 1-based line (text formats, CityJSONSeq), 0 when not known
    size_t byte = SIZE_MAX;   // 0-based byte offset in the file, SIZE_MAX when not known
    std::string where;        // JSON path or OBJ keyword of the culprit
    std::string detail;       // token, index or feature name
    bool failed() const noexcept { return kind != ReadError::none; }
};

// A model read from any format. Coordinates are relative to `origin` (world
// coordinates of the local origin): (0, 0, 0) for STL, OBJ and glTF;
// CityJSON: the first vertex of the file, so that georeferenced coordinates
// (hundreds of kilometres) keep their precision (see cityjson_read.hpp).
struct MeshModel {
    stl::Solids solids;
    double origin[3] = {0.0, 0.0, 0.0};
    std::vector<std::string> lods;  // CityJSON: the levels of detail of area geometries, as first met
};

// Appends triangles to named surfaces of a stl::Solids.
class SurfaceBuilder {
public:
    explicit SurfaceBuilder(stl::Solids& out);
    // The surface of that name (created at the end when new).
    size_t surface(std::string_view name);
    // One facet: normal from the vertex order, then the three vertices.
    void add_triangle(size_t surface, const double* a, const double* b, const double* c);
    // A planar polygon given as rings of 3-D points (`pts`, three numbers a
    // point, ring after ring; the first ring the outline, the others holes):
    // a triangle as it is, larger polygons triangulated (triangulate.hpp),
    // facets turned to the outline's orientation.
    void add_polygon(size_t surface, const double* pts, const uint32_t* ring_sizes, size_t rings);

private:
    stl::Solids& out_;
    std::unordered_map<std::string, size_t> slot_;
    std::vector<uint32_t> tris_;  // scratch
};

enum class ModelFormat { stl, obj, gltf, glb, cityjson, cityjson_seq, unknown };

// The reader for a file name, by its extension (case-insensitive): .stl,
// .obj, .gltf, .glb, .json (CityJSON, also .city.json), .jsonl (CityJSONSeq).
ModelFormat format_of_path(std::string_view path) noexcept;

// Line number (1-based) of byte `offset` in `text`.
size_t line_of_offset(std::string_view text, size_t offset) noexcept;

}  // namespace qm::geom
