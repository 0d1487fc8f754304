#include "kernels/geometry/cityjson_read.hpp"

#include "kernels/geometry/cityjson_rules.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace qm::geom {

namespace {

using json = nlohmann::json;

const json* member(const json& o, const char* key) { return cityjson::member_of(o, key); }
using cityjson::is_index;

class CityReader {
public:
    CityReader(const CityJsonOptions& opt, MeshModel& out, ReadProblem& err)
        : opt_(opt), out_(out), err_(err), builder_(out.solids) {}

    size_t line = 0;  // CityJSONSeq line, 0 for a document

    bool fail(ReadError kind, std::string where, std::string detail = {}) {
        err_.kind = kind;
        err_.line = line;
        err_.where = std::move(where);
        err_.detail = std::move(detail);
        return false;
    }

    bool header(const json& doc) {
        if (!doc.is_object()) return fail(ReadError::bad_structure, "(document)", "not an object");
        const json* type = member(doc, "type");
        if (!type || !type->is_string() || type->get<std::string>() != "CityJSON")
            return fail(ReadError::bad_structure, "type", "not \"CityJSON\"");
        const json* version = member(doc, "version");
        if (!version || !version->is_string()) return fail(ReadError::bad_structure, "version");
        const std::string v = version->get<std::string>();
        if (v.rfind("1.0", 0) != 0 && v.rfind("1.1", 0) != 0 && v.rfind("2.0", 0) != 0)
            return fail(ReadError::unsupported, "version", v);
        if (const json* tr = member(doc, "transform")) {
            const json* s = member(*tr, "scale");
            const json* t = member(*tr, "translate");
            if (!three(s, scale_) || !three(t, translate_)) return fail(ReadError::bad_structure, "transform");
            has_transform_ = true;
        }
        if (const json* gt = member(doc, "geometry-templates")) {
            templates_ = member(*gt, "templates");
            const json* tv = member(*gt, "vertices-templates");
            if (!templates_ || !templates_->is_array() || !tv || !tv->is_array())
                return fail(ReadError::bad_structure, "geometry-templates");
            for (size_t k = 0; k < tv->size(); ++k) {
                double p[3];
                if (!three(&(*tv)[k], p))
                    return fail(ReadError::bad_structure, "geometry-templates.vertices-templates[" + std::to_string(k) + "]");
                tpl_vertices_.insert(tpl_vertices_.end(), p, p + 3);
            }
        }
        return true;
    }

    // CityObjects and vertices of a document or of one CityJSONSeq line.
    bool body(const json& doc, bool feature) {
        if (feature) {
            const json* type = member(doc, "type");
            if (!type || !type->is_string() || type->get<std::string>() != "CityJSONFeature")
                return fail(ReadError::bad_structure, "type", "not \"CityJSONFeature\"");
        }
        const json* verts = member(doc, "vertices");
        const json* objs = member(doc, "CityObjects");
        if (!verts || !verts->is_array()) return fail(ReadError::bad_structure, "vertices");
        if (!objs || !objs->is_object()) return fail(ReadError::bad_structure, "CityObjects");
        if (!vertices(*verts)) return false;
        for (const auto& [id, obj] : objs->items())
            if (!object(id, obj)) return false;
        return true;
    }

private:
    const CityJsonOptions& opt_;
    MeshModel& out_;
    ReadProblem& err_;
    SurfaceBuilder builder_;
    bool has_transform_ = false;
    double scale_[3] = {1, 1, 1}, translate_[3] = {0, 0, 0};
    bool origin_set_ = false, origin_int_ = false;
    int64_t o_int_[3] = {0, 0, 0};
    const json* templates_ = nullptr;
    std::vector<double> tpl_vertices_;
    std::vector<double> rel_;   // vertices of the current document or line, local frame
    std::vector<double> inst_;  // template vertices placed for one instance
    std::vector<double> pts_;
    std::vector<uint32_t> rings_;

    static bool three(const json* a, double* out) {
        if (!a || !a->is_array() || a->size() != 3) return false;
        for (size_t k = 0; k < 3; ++k) {
            if (!(*a)[k].is_number()) return false;
            out[k] = (*a)[k].get<double>();
        }
        return true;
    }

    bool vertices(const json& arr) {
        rel_.resize(3 * arr.size());
        for (size_t k = 0; k < arr.size(); ++k) {
            const json& v = arr[k];
            if (!v.is_array() || v.size() != 3) return fail(ReadError::bad_structure, "vertices[" + std::to_string(k) + "]");
            bool ints = has_transform_;
            int64_t iv[3];
            for (size_t c = 0; c < 3; ++c) {
                if (!v[c].is_number()) return fail(ReadError::bad_structure, "vertices[" + std::to_string(k) + "]");
                if (v[c].is_number_integer() && !(v[c].is_number_unsigned() && v[c].get<uint64_t>() > INT64_MAX))
                    iv[c] = v[c].get<int64_t>();
                else
                    ints = false;
            }
            if (!origin_set_) {
                origin_set_ = true;
                origin_int_ = ints;
                for (int c = 0; c < 3; ++c) {
                    o_int_[c] = ints ? iv[c] : 0;
                    const double x = v[c].get<double>();
                    out_.origin[c] = has_transform_ ? x * scale_[c] + translate_[c] : x;
                }
            }
            for (int c = 0; c < 3; ++c) {
                int64_t d;
                if (ints && origin_int_ && !__builtin_sub_overflow(iv[c], o_int_[c], &d)) {
                    rel_[3 * k + c] = static_cast<double>(d) * scale_[c];
                } else {
                    const double x = v[c].get<double>();
                    const double w = has_transform_ ? x * scale_[c] + translate_[c] : x;
                    rel_[3 * k + c] = w - out_.origin[c];
                }
            }
        }
        return true;
    }

    bool object(const std::string& id, const json& obj) {
        const std::string op = "CityObjects[\"" + id + "\"]";
        if (!obj.is_object()) return fail(ReadError::bad_structure, op, "not an object");
        const json* geoms = member(obj, "geometry");
        if (!geoms) return true;
        if (!geoms->is_array()) return fail(ReadError::bad_structure, op + ".geometry");
        // The level of detail to take.
        const cityjson::LodChoice lod = cityjson::choose_lod(*geoms, templates_, opt_.lod);
        const std::string bad = op + ".geometry[" + std::to_string(lod.at) + "]";
        switch (lod.error) {
            case cityjson::LodError::none: break;
            case cityjson::LodError::type: return fail(ReadError::bad_structure, bad + ".type");
            case cityjson::LodError::template_ref: {
                const json* ti = member((*geoms)[lod.at], "template");
                return fail(ReadError::bad_index, bad + ".template", ti && !ti->is_structured() ? ti->dump() : "");
            }
            case cityjson::LodError::lod: return fail(ReadError::bad_structure, bad + ".lod");
        }
        for (const std::string& l : lod.lods)
            if (!l.empty() && std::find(out_.lods.begin(), out_.lods.end(), l) == out_.lods.end()) out_.lods.push_back(l);
        size_t sem_offset = 0;
        for (size_t g = 0; g < geoms->size(); ++g) {
            if (!lod.taken(g)) continue;
            const json& geo = (*geoms)[g];
            const std::string gp = op + ".geometry[" + std::to_string(g) + "]";
            if (member(geo, "type")->get<std::string>() == "GeometryInstance") {
                if (!instance(id, geo, gp, sem_offset)) return false;
            } else if (!geometry(id, geo, gp, rel_, sem_offset)) {
                return false;
            }
        }
        return true;
    }

    bool instance(const std::string& id, const json& geo, const std::string& gp, size_t& sem_offset) {
        const json& tpl = (*templates_)[member(geo, "template")->get<size_t>()];
        const json* b = member(geo, "boundaries");
        if (!b || !b->is_array() || b->size() != 1 || !is_index((*b)[0]) || (*b)[0].get<uint64_t>() >= rel_.size() / 3)
            return fail(ReadError::bad_index, gp + ".boundaries", b ? b->dump() : "");
        const double* ref = &rel_[3 * (*b)[0].get<size_t>()];
        const json* mj = member(geo, "transformationMatrix");
        double m[16];
        if (!mj || !mj->is_array() || mj->size() != 16) return fail(ReadError::bad_structure, gp + ".transformationMatrix");
        for (size_t k = 0; k < 16; ++k) {
            if (!(*mj)[k].is_number()) return fail(ReadError::bad_structure, gp + ".transformationMatrix");
            m[k] = (*mj)[k].get<double>();
        }
        const size_t n = tpl_vertices_.size() / 3;
        std::vector<double> placed(3 * n);
        for (size_t k = 0; k < n; ++k) {
            const double* p = &tpl_vertices_[3 * k];
            for (int r = 0; r < 3; ++r)
                placed[3 * k + r] = m[4 * r] * p[0] + m[4 * r + 1] * p[1] + m[4 * r + 2] * p[2] + m[4 * r + 3] + ref[r];
        }
        return geometry(id, tpl, gp + "(template)", placed, sem_offset);
    }

    // One geometry whose boundaries index `verts`.
    bool geometry(const std::string& id, const json& geo, const std::string& gp, const std::vector<double>& verts,
                  size_t& sem_offset) {
        const std::string t = member(geo, "type")->get<std::string>();
        const int depth = (t == "MultiSurface" || t == "CompositeSurface") ? 1 : t == "Solid" ? 2 : 3;
        const json* b = member(geo, "boundaries");
        if (!b || !b->is_array()) return fail(ReadError::bad_structure, gp + ".boundaries");
        const json* sem = member(geo, "semantics");
        const json* surfaces = sem ? member(*sem, "surfaces") : nullptr;
        const json* values = sem ? member(*sem, "values") : nullptr;
        if (sem && (!surfaces || !surfaces->is_array())) return fail(ReadError::bad_structure, gp + ".semantics.surfaces");
        std::string where;
        // Walks the nesting down to surfaces, with the semantic values beside it.
        auto walk = [&](auto&& self, const json& node, const json* val, int level, const std::string& p) -> bool {
            if (!node.is_array()) return fail(ReadError::bad_structure, p);
            if (val && !val->is_null() && level > 0 && !val->is_array()) val = nullptr;
            for (size_t k = 0; k < node.size(); ++k) {
                const std::string q = p + "[" + std::to_string(k) + "]";
                const json* v = val && val->is_array() && k < val->size() ? &(*val)[k] : nullptr;
                if (level > 1) {
                    if (!self(self, node[k], v, level - 1, q)) return false;
                } else if (!polygon(id, node[k], v, surfaces, verts, sem_offset, q)) {
                    return false;
                }
            }
            return true;
        };
        if (!walk(walk, *b, values, depth, gp + ".boundaries")) return false;
        if (surfaces) sem_offset += surfaces->size();
        return true;
    }

    bool polygon(const std::string& id, const json& poly, const json* value, const json* surfaces,
                 const std::vector<double>& verts, size_t sem_offset, const std::string& p) {
        if (!poly.is_array()) return fail(ReadError::bad_structure, p);
        pts_.clear();
        rings_.clear();
        const size_t nv = verts.size() / 3;
        for (size_t r = 0; r < poly.size(); ++r) {
            const json& ring = poly[r];
            if (!ring.is_array()) return fail(ReadError::bad_structure, p + "[" + std::to_string(r) + "]");
            for (size_t k = 0; k < ring.size(); ++k) {
                const json& i = ring[k];
                if (!is_index(i) || i.get<uint64_t>() >= nv)
                    return fail(ReadError::bad_index, p + "[" + std::to_string(r) + "][" + std::to_string(k) + "]",
                                i.dump());
                const double* q = &verts[3 * i.get<size_t>()];
                pts_.insert(pts_.end(), q, q + 3);
            }
            if (ring.size() > UINT32_MAX) return fail(ReadError::unsupported, p, "ring too long");
            rings_.push_back(static_cast<uint32_t>(ring.size()));
        }
        std::string name = id;
        if (value && !value->is_null()) {
            if (!is_index(*value) || !surfaces || value->get<uint64_t>() >= surfaces->size())
                return fail(ReadError::bad_index, p + " (semantics.values)", value->dump());
            const size_t s = value->get<size_t>();
            const json* st = member((*surfaces)[s], "type");
            if (!st || !st->is_string())
                return fail(ReadError::bad_structure, "semantics.surfaces[" + std::to_string(s) + "].type");
            name += "/" + st->get<std::string>() + "/" + std::to_string(s + sem_offset);
        }
        if (rings_.empty() || rings_[0] < 3) return true;  // no area
        builder_.add_polygon(builder_.surface(name), pts_.data(), rings_.data(), rings_.size());
        return true;
    }
};

bool parse(std::string_view text, size_t at, size_t line, json& doc, ReadProblem& err) {
    size_t deep = 0;
    if (cityjson::json_depth(text, cityjson::kMaxJsonDepth, &deep) > cityjson::kMaxJsonDepth) {
        err.kind = ReadError::unsupported;
        err.byte = at + deep;
        err.line = line;
        err.where = "JSON";
        err.detail = "nested deeper than " + std::to_string(cityjson::kMaxJsonDepth) + " levels";
        return false;
    }
    try {
        doc = json::parse(text.begin(), text.end());
        return true;
    } catch (const json::parse_error& e) {
        err.kind = ReadError::syntax;
        err.byte = at + (e.byte > 0 ? e.byte - 1 : 0);
        err.line = line;
        err.where = "JSON";
        err.detail = e.what();
        return false;
    } catch (const json::exception& e) {  // a number beyond double's range
        err.kind = ReadError::syntax;
        err.line = line;
        err.where = "JSON";
        err.detail = e.what();
        return false;
    }
}

bool read_all(std::string_view text, const CityJsonOptions& opt, MeshModel& out, ReadProblem& err);

}  // namespace

bool read_cityjson(std::string_view text, const CityJsonOptions& opt, MeshModel& out, ReadProblem& err) {
    try {
        return read_all(text, opt, out, err);
    } catch (const json::exception& e) {  // every access is type-checked first: a fault of this reader
        err.kind = ReadError::bad_structure;
        err.detail = e.what();
        return false;
    }
}

namespace {

bool read_all(std::string_view text, const CityJsonOptions& opt, MeshModel& out, ReadProblem& err) {
    CityReader reader(opt, out, err);
    // A CityJSONSeq: the first non-empty line is a whole JSON object and more lines follow.
    std::vector<std::pair<size_t, size_t>> lines;  // start, length of non-empty lines
    size_t first_end = text.find('\n');
    bool seq = false;
    {
        size_t s = 0;
        while (s < text.size() && (text[s] == ' ' || text[s] == '\t' || text[s] == '\r' || text[s] == '\n')) ++s;
        const size_t e = text.find('\n', s);
        if (e != std::string_view::npos && text.find_first_not_of(" \t\r\n", e) != std::string_view::npos)
            seq = json::accept(text.substr(s, e - s));
        first_end = e;
    }
    if (!seq) {
        json doc;
        if (!parse(text, 0, 0, doc, err)) {
            err.line = line_of_offset(text, err.byte);
            return false;
        }
        return reader.header(doc) && reader.body(doc, false);
    }
    (void)first_end;
    size_t start = 0, line_no = 0;
    bool first = true;
    while (start < text.size()) {
        size_t e = text.find('\n', start);
        if (e == std::string_view::npos) e = text.size();
        ++line_no;
        const std::string_view l = text.substr(start, e - start);
        const size_t at = start;
        start = e + 1;
        if (l.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        json doc;
        if (!parse(l, at, line_no, doc, err)) return false;
        reader.line = line_no;
        if (first) {
            if (!reader.header(doc)) return false;
            // The header may hold objects and vertices too (usually empty).
            if (member(doc, "CityObjects") && !reader.body(doc, false)) return false;
            first = false;
        } else if (!reader.body(doc, true)) {
            return false;
        }
    }
    return true;
}

}  // namespace

}  // namespace qm::geom
