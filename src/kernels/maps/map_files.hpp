// Files of a solar map for viewers: per-face values and colours on the
// analysed triangles (PLY, glTF binary), and the values written into a
// CityJSON model as attributes of its semantic surfaces.
//
// PLY (binary little endian 1.0): three unshared float vertices per face in
// the model's local frame, each face with its value (float, named by the
// caller) and its colour (uchar red, green, blue); the local origin's world
// coordinates and the value's unit in "comment" lines.
//
// glTF 2.0 binary (GLB): one mesh of unshared triangles, POSITION (float,
// converted to glTF's y-up frame: (x, y, z) -> (x, z, -y)), COLOR_0 (float
// RGB, the face's colour on its three vertices) and the value as the
// application attribute "_" + upper-case name (float per vertex); one
// double-sided unlit material (KHR_materials_unlit, viewers without it shade
// the colours). The origin and the value's name and unit are in asset.extras.
//
// CityJSON: for every city object, the geometries the reader takes (the
// highest LoD, or `lod`; geometry/cityjson_read.hpp) are walked with the
// reader's semantic-surface numbering, and each semantic surface whose name
// `<object id>/<type>/<index>` has values gets them as members of its
// surface object (e.g. "solar_annual_kwh_m2": 1012.4). Surfaces of geometry
// templates are shared by every instance and are left as they are. The rest
// of the document is written back unchanged in content (member order kept;
// numbers in shortest round-trip form). A CityJSONSeq is annotated line by
// line.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm::maps {

struct FaceMesh {
    std::vector<double> tris;    // 9 per face, local frame [model units]
    std::vector<double> values;  // per face
    std::vector<uint8_t> rgb;    // 3 per face
    double origin[3] = {0.0, 0.0, 0.0};
    std::string value_name = "annual";  // [A-Za-z0-9_]+
    std::string unit = "kWh/m2";
    size_t faces() const noexcept { return values.size(); }
    bool consistent() const noexcept { return tris.size() == 9 * values.size() && rgb.size() == 3 * values.size(); }
};

std::string ply_binary(const FaceMesh& mesh);
std::string glb(const FaceMesh& mesh);

// Values per surface name: names[i] has values[i * keys.size() + j] for keys[j].
struct SurfaceValues {
    std::vector<std::string> names;
    std::vector<std::string> keys;
    std::vector<double> values;
};

// too_deep: arrays and objects nested deeper than a city model needs
// (geometry/cityjson_rules.hpp: kMaxJsonDepth).
enum class AnnotateError { none, syntax, structure, too_deep };

struct AnnotateResult {
    AnnotateError error = AnnotateError::none;
    std::string where;     // JSON path or line of the culprit
    size_t annotated = 0;  // semantic surfaces that got values
};

// `text`: a CityJSON document or CityJSONSeq; `out` the annotated text.
AnnotateResult annotate_cityjson(std::string_view text, const std::string& lod, const SurfaceValues& values,
                                 std::string& out);

}  // namespace qm::maps
