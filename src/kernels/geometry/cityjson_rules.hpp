// The rules of the CityJSON reader (cityjson_read.hpp) that other code
// walking the same documents must follow to meet the same surfaces: which
// geometries have area, what a level of detail is, which geometries of a city
// object are taken, and how deep a document may nest.
//
// Level of detail: "2.2", 2 or 2.2 (CityJSON 1.0 wrote numbers), compared as
// numbers to find the highest; a requested LoD is matched as text ("2" is not
// "2.0"). A geometry whose `lod` is neither is malformed.
//
// Nesting: a city model nests arrays and objects about ten deep (a
// MultiSolid's boundaries are five arrays inside its geometry inside its
// object); the JSON library's writer, copies and comparisons recurse once per
// level, so a document nested deeper than kMaxJsonDepth is refused before it
// is parsed instead of exhausting the stack.
//
// Templates over the JSON type: the reader walks nlohmann::json, the map
// writer nlohmann::ordered_json (member order kept).
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace qm::geom::cityjson {

// MultiSurface, CompositeSurface, Solid, MultiSolid, CompositeSolid.
bool area_type(std::string_view type) noexcept;

inline constexpr size_t kMaxJsonDepth = 256;

// The levels of detail a project may choose, as CityJSON writes them (whole
// levels and the refined x.0 .. x.3), after "highest" (each object's highest).
inline const std::vector<std::string>& lod_choices() {
    static const std::vector<std::string> levels = {"highest", "0",   "0.0", "0.1", "0.2", "0.3", "0.4", "1",
                                                    "1.0",     "1.1", "1.2", "1.3", "2",   "2.0", "2.1", "2.2",
                                                    "2.3",     "3",   "3.0", "3.1", "3.2", "3.3", "4"};
    return levels;
}

// The deepest nesting of arrays and objects in a JSON text (brackets inside
// strings not counted), stopping as soon as it exceeds `limit`; `at` gets the
// byte offset of the bracket that went past the limit.
size_t json_depth(std::string_view text, size_t limit, size_t* at = nullptr) noexcept;

template <class Json>
const Json* member_of(const Json& o, const char* key) {
    if (!o.is_object()) return nullptr;
    auto it = o.find(key);
    return it == o.end() ? nullptr : &*it;
}

template <class Json>
bool is_index(const Json& v) {
    return v.is_number_unsigned() || (v.is_number_integer() && v.template get<int64_t>() >= 0);
}

// A geometry's `lod` as text and as a number for comparison; false when it is
// neither a numeric text nor a finite number.
template <class Json>
bool lod_of(const Json* l, std::string& text, double& value) {
    if (!l) return false;
    if (l->is_string()) {
        text = l->template get<std::string>();
        char* end = nullptr;
        value = std::strtod(text.c_str(), &end);
        return end && *end == '\0' && !text.empty() && std::isfinite(value);
    }
    if (!l->is_number()) return false;
    text = l->dump();
    value = l->template get<double>();
    return std::isfinite(value);
}

enum class LodError { none, type, template_ref, lod };

// The geometries of one city object the reader takes.
struct LodChoice {
    std::vector<std::string> lods;     // per geometry: its LoD, "" for one without area (skipped)
    std::vector<size_t> holder;        // per geometry: SIZE_MAX itself, else its template's index
    std::string want;                  // the LoD taken ("" when the object has none)
    LodError error = LodError::none;
    size_t at = 0;                     // the geometry of the error
    bool taken(size_t g) const { return !lods[g].empty() && lods[g] == want; }
};

// `geoms`: the object's "geometry" array; `templates`: the document's
// geometry-templates.templates or null; `requested`: "" for the highest.
template <class Json>
LodChoice choose_lod(const Json& geoms, const Json* templates, const std::string& requested) {
    LodChoice c;
    c.want = requested;
    c.lods.resize(geoms.size());
    c.holder.assign(geoms.size(), SIZE_MAX);
    double best = -HUGE_VAL;
    for (size_t g = 0; g < geoms.size(); ++g) {
        const Json& geo = geoms[g];
        const Json* type = member_of(geo, "type");
        c.at = g;
        if (!type || !type->is_string()) return c.error = LodError::type, c;
        const Json* lod = member_of(geo, "lod");
        if (type->template get<std::string>() == "GeometryInstance") {
            const Json* ti = member_of(geo, "template");
            if (!ti || !is_index(*ti) || !templates || !templates->is_array() ||
                ti->template get<uint64_t>() >= templates->size())
                return c.error = LodError::template_ref, c;
            const Json& tpl = (*templates)[ti->template get<size_t>()];
            const Json* tt = member_of(tpl, "type");
            if (!tt || !tt->is_string() || !area_type(tt->template get<std::string>())) continue;
            lod = member_of(tpl, "lod");
            c.holder[g] = ti->template get<size_t>();
        } else if (!area_type(type->template get<std::string>())) {
            continue;
        }
        double value;
        if (!lod_of(lod, c.lods[g], value)) return c.error = LodError::lod, c;
        if (requested.empty() && value > best) best = value, c.want = c.lods[g];
    }
    return c;
}

}  // namespace qm::geom::cityjson
