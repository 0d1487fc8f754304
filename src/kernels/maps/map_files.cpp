#include "kernels/maps/map_files.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>

#include <nlohmann/json.hpp>

#include "kernels/geometry/cityjson_rules.hpp"

namespace qm::maps {
namespace {

void put_f32(std::string& s, double v) {
    const float f = static_cast<float>(v);
    char b[4];
    std::memcpy(b, &f, 4);  // little-endian hosts only (x86-64, aarch64)
    s.append(b, 4);
}
void put_u32(std::string& s, uint32_t v) {
    char b[4];
    std::memcpy(b, &v, 4);
    s.append(b, 4);
}

std::string number(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}

}  // namespace

std::string ply_binary(const FaceMesh& m) {
    if (!m.consistent()) return {};
    const size_t n = m.faces();
    std::string s = "ply\nformat binary_little_endian 1.0\n";
    s += "comment quillmere solar map: " + m.value_name + " [" + m.unit + "] per face\n";
    s += "comment origin " + number(m.origin[0]) + " " + number(m.origin[1]) + " " + number(m.origin[2]) + "\n";
    s += "element vertex " + std::to_string(3 * n) + "\nproperty float x\nproperty float y\nproperty float z\n";
    s += "element face " + std::to_string(n) + "\nproperty list uchar int vertex_indices\n";
    s += "property float " + m.value_name + "\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n";
    s += "end_header\n";
    s.reserve(s.size() + n * (36 + 20));
    for (size_t k = 0; k < 9 * n; ++k) put_f32(s, m.tris[k]);
    for (size_t f = 0; f < n; ++f) {
        s.push_back(3);
        for (uint32_t j = 0; j < 3; ++j) put_u32(s, uint32_t(3 * f + j));
        put_f32(s, m.values[f]);
        s.append(reinterpret_cast<const char*>(&m.rgb[3 * f]), 3);
    }
    return s;
}

std::string glb(const FaceMesh& m) {
    using json = nlohmann::ordered_json;
    if (!m.consistent()) return {};
    const size_t n = m.faces(), nv = 3 * n;
    std::string bin;
    bin.reserve(nv * 28);
    float lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
    for (size_t v = 0; v < nv; ++v) {
        const double* p = &m.tris[3 * v];
        const float q[3] = {float(p[0]), float(p[2]), float(-p[1])};  // z-up -> y-up
        for (int j = 0; j < 3; ++j) {
            put_f32(bin, q[j]);
            if (v == 0 || q[j] < lo[j]) lo[j] = q[j];
            if (v == 0 || q[j] > hi[j]) hi[j] = q[j];
        }
    }
    const size_t colour_at = bin.size();
    for (size_t v = 0; v < nv; ++v)
        for (int j = 0; j < 3; ++j) put_f32(bin, m.rgb[3 * (v / 3) + j] / 255.0);
    const size_t value_at = bin.size();
    for (size_t v = 0; v < nv; ++v) put_f32(bin, m.values[v / 3]);
    std::string attr = "_";
    for (char c : m.value_name) attr += char(std::toupper(static_cast<unsigned char>(c)));

    json doc;
    doc["asset"] = {{"version", "2.0"}, {"generator", "quillmere"},
                    {"extras", {{"origin", {m.origin[0], m.origin[1], m.origin[2]}}, {"value", m.value_name},
                                {"unit", m.unit}, {"up", "y (model z)"}}}};
    doc["extensionsUsed"] = {"KHR_materials_unlit"};
    doc["scene"] = 0;
    doc["scenes"] = {{{"nodes", {0}}}};
    doc["nodes"] = {{{"mesh", 0}, {"name", "solar map"}}};
    doc["materials"] = {{{"name", "map colours"},
                         {"pbrMetallicRoughness",
                          {{"baseColorFactor", {1, 1, 1, 1}}, {"metallicFactor", 0}, {"roughnessFactor", 1}}},
                         {"doubleSided", true},
                         {"extensions", {{"KHR_materials_unlit", json::object()}}}}};
    doc["meshes"] = {{{"primitives", {{{"attributes", {{"POSITION", 0}, {"COLOR_0", 1}, {attr, 2}}},
                                       {"material", 0},
                                       {"mode", 4}}}}}};
    doc["buffers"] = {{{"byteLength", bin.size()}}};
    doc["bufferViews"] = {{{"buffer", 0}, {"byteOffset", 0}, {"byteLength", colour_at}, {"target", 34962}},
                          {{"buffer", 0}, {"byteOffset", colour_at}, {"byteLength", value_at - colour_at},
                           {"target", 34962}},
                          {{"buffer", 0}, {"byteOffset", value_at}, {"byteLength", bin.size() - value_at},
                           {"target", 34962}}};
    doc["accessors"] = {{{"bufferView", 0}, {"componentType", 5126}, {"count", nv}, {"type", "VEC3"},
                         {"min", {lo[0], lo[1], lo[2]}}, {"max", {hi[0], hi[1], hi[2]}}},
                        {{"bufferView", 1}, {"componentType", 5126}, {"count", nv}, {"type", "VEC3"}},
                        {{"bufferView", 2}, {"componentType", 5126}, {"count", nv}, {"type", "SCALAR"}}};
    std::string js = doc.dump();
    while (js.size() % 4) js.push_back(' ');
    while (bin.size() % 4) bin.push_back('\0');
    std::string out;
    out.reserve(28 + js.size() + bin.size());
    out.append("glTF", 4);
    put_u32(out, 2);
    put_u32(out, uint32_t(12 + 8 + js.size() + 8 + bin.size()));
    put_u32(out, uint32_t(js.size()));
    out.append("JSON", 4);
    out += js;
    put_u32(out, uint32_t(bin.size()));
    out.append("BIN\0", 4);
    out += bin;
    return out;
}

namespace {

using ojson = nlohmann::ordered_json;

const ojson* member(const ojson& o, const char* key) { return geom::cityjson::member_of(o, key); }

class Annotator {
public:
    Annotator(const std::string& lod, const SurfaceValues& v) : lod_(lod), v_(v) {
        for (size_t i = 0; i < v.names.size(); ++i) row_.emplace(v.names[i], i);
    }
    AnnotateResult result;

    bool document(ojson& doc, const ojson* templates) {
        ojson* objects = doc.is_object() && doc.contains("CityObjects") ? &doc["CityObjects"] : nullptr;
        if (!objects) return true;
        if (!objects->is_object()) return fail("CityObjects");
        for (auto& [id, obj] : objects->items())
            if (!object(id, obj, templates)) return false;
        return true;
    }

private:
    bool fail(const std::string& where) {
        result.error = AnnotateError::structure;
        result.where = where;
        return false;
    }

    bool object(const std::string& id, ojson& obj, const ojson* templates) {
        if (!obj.is_object() || !obj.contains("geometry")) return true;
        ojson& geoms = obj["geometry"];
        const std::string op = "CityObjects[\"" + id + "\"]";
        if (!geoms.is_array()) return fail(op + ".geometry");
        // The geometries the reader takes, by its rule.
        const geom::cityjson::LodChoice lod = geom::cityjson::choose_lod(geoms, templates, lod_);
        const std::string bad = op + ".geometry[" + std::to_string(lod.at) + "]";
        switch (lod.error) {
            case geom::cityjson::LodError::none: break;
            case geom::cityjson::LodError::type: return fail(bad + ".type");
            case geom::cityjson::LodError::template_ref: return fail(bad + ".template");
            case geom::cityjson::LodError::lod: return fail(bad + ".lod");
        }
        size_t offset = 0;
        for (size_t g = 0; g < geoms.size(); ++g) {
            if (!lod.taken(g)) continue;
            const bool instance = lod.holder[g] != SIZE_MAX;
            const ojson* sem = member(instance ? (*templates)[lod.holder[g]] : geoms[g], "semantics");
            const ojson* surfaces = sem ? member(*sem, "surfaces") : nullptr;
            if (!surfaces || !surfaces->is_array()) continue;
            if (!instance) {
                ojson& own = geoms[g]["semantics"]["surfaces"];
                for (size_t s = 0; s < own.size(); ++s) {
                    ojson& surface = own[s];
                    const ojson* st = member(surface, "type");
                    if (!st || !st->is_string()) continue;
                    auto it = row_.find(id + "/" + st->get<std::string>() + "/" + std::to_string(s + offset));
                    if (it == row_.end()) continue;
                    for (size_t j = 0; j < v_.keys.size(); ++j) {
                        const double x = v_.values[it->second * v_.keys.size() + j];
                        surface[v_.keys[j]] = std::isfinite(x) ? ojson(x) : ojson(nullptr);
                    }
                    ++result.annotated;
                }
            }
            offset += surfaces->size();
        }
        return true;
    }

    std::string lod_;
    const SurfaceValues& v_;
    std::map<std::string, size_t> row_;
};

}  // namespace

AnnotateResult annotate_cityjson(std::string_view text, const std::string& lod, const SurfaceValues& values,
                                 std::string& out) {
    Annotator a(lod, values);
    out.clear();
    // A CityJSONSeq: several JSON lines, the first a "CityJSON" header.
    size_t first_end = text.find('\n');
    bool seq = false;
    if (first_end != std::string_view::npos) {
        const std::string_view rest = text.substr(first_end + 1);
        seq = rest.find_first_not_of(" \t\r\n") != std::string_view::npos &&
              nlohmann::json::accept(text.substr(0, first_end));
    }
    // The writer recurses once per level: a document nested past what a city
    // model needs is refused before it is parsed.
    auto too_deep = [&](std::string_view part, const std::string& where) {
        size_t at = 0;
        if (geom::cityjson::json_depth(part, geom::cityjson::kMaxJsonDepth, &at) <= geom::cityjson::kMaxJsonDepth)
            return false;
        a.result.error = AnnotateError::too_deep;
        a.result.where = where.empty() ? "byte " + std::to_string(at) : where;
        return true;
    };
    if (!seq) {
        if (too_deep(text, {})) return a.result;
        ojson doc = ojson::parse(text.begin(), text.end(), nullptr, false);
        if (doc.is_discarded()) {
            a.result.error = AnnotateError::syntax;
            a.result.where = "document";
            return a.result;
        }
        const ojson* templates = nullptr;
        if (const ojson* gt = member(doc, "geometry-templates")) templates = member(*gt, "templates");
        if (!a.document(doc, templates)) return a.result;
        out = doc.dump();
        out.push_back('\n');
        return a.result;
    }
    ojson header;
    const ojson* templates = nullptr;
    size_t pos = 0, line = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view l = text.substr(pos, end - pos);
        ++line;
        pos = end + 1;
        if (l.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        if (too_deep(l, "line " + std::to_string(line))) return a.result;
        ojson doc = ojson::parse(l.begin(), l.end(), nullptr, false);
        if (doc.is_discarded()) {
            a.result.error = AnnotateError::syntax;
            a.result.where = "line " + std::to_string(line);
            return a.result;
        }
        if (line == 1) {
            header = doc;
            if (const ojson* gt = member(header, "geometry-templates")) templates = member(*gt, "templates");
        } else if (!a.document(doc, templates)) {
            a.result.where = "line " + std::to_string(line) + ": " + a.result.where;
            return a.result;
        }
        out += doc.dump();
        out.push_back('\n');
    }
    return a.result;
}

}  // namespace qm::maps
