#include "kernels/geometry/mesh_read.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/geometry/triangulate.hpp"

namespace qm::geom {

const char* read_error_text(ReadError e) noexcept {
    switch (e) {
        case ReadError::none: return "no error";
        case ReadError::syntax: return "syntax error";
        case ReadError::bad_number: return "malformed number";
        case ReadError::bad_index: return "index out of range";
        case ReadError::bad_face: return "face with fewer than three vertices";
        case ReadError::bad_structure: return "missing or malformed member";
        case ReadError::unsupported: return "unsupported feature";
        case ReadError::buffer: return "buffer missing or too short";
    }
    return "unknown error";
}

SurfaceBuilder::SurfaceBuilder(stl::Solids& out) : out_(out) {
    for (size_t i = 0; i < out_.solids.size(); ++i) slot_.emplace(out_.solids[i].name, i);
}

size_t SurfaceBuilder::surface(std::string_view name) {
    auto it = slot_.find(std::string(name));
    if (it != slot_.end()) return it->second;
    stl::SolidData s;
    s.name = std::string(name);
    out_.solids.push_back(std::move(s));
    slot_.emplace(std::string(name), out_.solids.size() - 1);
    return out_.solids.size() - 1;
}

void SurfaceBuilder::add_triangle(size_t surface, const double* a, const double* b, const double* c) {
    stl::SolidData& s = out_.solids[surface];
    stl::FacetShape shape;
    shape.normal_n = 3;
    shape.nverts = 3;
    shape.vert_n[0] = shape.vert_n[1] = shape.vert_n[2] = 3;
    s.shapes.push_back(shape);
    const double e1[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double e2[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
    const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (len > 0 && std::isfinite(len)) {
        n[0] /= len, n[1] /= len, n[2] /= len;
    } else {
        n[0] = n[1] = n[2] = 0.0;
    }
    s.values.insert(s.values.end(), {n[0], n[1], n[2], a[0], a[1], a[2], b[0], b[1], b[2], c[0], c[1], c[2]});
}

void SurfaceBuilder::add_polygon(size_t surface, const double* pts, const uint32_t* ring_sizes, size_t rings) {
    if (rings == 0) return;
    if (rings == 1 && ring_sizes[0] == 3) {
        add_triangle(surface, pts, pts + 3, pts + 6);
        return;
    }
    tris_.clear();
    triangulate_polygon(pts, ring_sizes, rings, tris_);
    for (size_t t = 0; t + 2 < tris_.size(); t += 3)
        add_triangle(surface, pts + 3 * size_t(tris_[t]), pts + 3 * size_t(tris_[t + 1]),
                     pts + 3 * size_t(tris_[t + 2]));
}

namespace {
bool ends_with_ci(std::string_view s, std::string_view suffix) {
    if (s.size() < suffix.size()) return false;
    for (size_t k = 0; k < suffix.size(); ++k) {
        char c = s[s.size() - suffix.size() + k];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[k]) return false;
    }
    return true;
}
}  // namespace

ModelFormat format_of_path(std::string_view path) noexcept {
    if (ends_with_ci(path, ".stl")) return ModelFormat::stl;
    if (ends_with_ci(path, ".obj")) return ModelFormat::obj;
    if (ends_with_ci(path, ".gltf")) return ModelFormat::gltf;
    if (ends_with_ci(path, ".glb")) return ModelFormat::glb;
    if (ends_with_ci(path, ".jsonl")) return ModelFormat::cityjson_seq;
    if (ends_with_ci(path, ".json")) return ModelFormat::cityjson;
    return ModelFormat::unknown;
}

size_t line_of_offset(std::string_view text, size_t offset) noexcept {
    offset = std::min(offset, text.size());
    return 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

}  // namespace qm::geom
