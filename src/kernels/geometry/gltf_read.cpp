#include "kernels/geometry/gltf_read.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernels/io/file_read.hpp"

namespace qm::geom {

namespace {

using json = nlohmann::json;

uint32_t le32(const char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;  // little-endian hosts (x86-64, aarch64)
}

struct Problem {
    ReadProblem& err;
    bool fail(ReadError kind, std::string where, std::string detail = {}) {
        err.kind = kind;
        err.where = std::move(where);
        err.detail = std::move(detail);
        return false;
    }
};

const json* member(const json& o, const char* key) {
    if (!o.is_object()) return nullptr;
    auto it = o.find(key);
    return it == o.end() ? nullptr : &*it;
}

// An unsigned integer member; `found` false when absent. False when present but not one.
bool index_member(const json& o, const char* key, uint64_t& out, bool& found) {
    const json* m = member(o, key);
    found = m != nullptr;
    if (!m) return true;
    if (m->is_number_unsigned()) {
        out = m->get<uint64_t>();
        return true;
    }
    if (m->is_number_integer() && m->get<int64_t>() >= 0) {
        out = static_cast<uint64_t>(m->get<int64_t>());
        return true;
    }
    return false;
}

std::string path(const char* a, size_t i, const char* tail = nullptr) {
    std::string s = std::string(a) + "[" + std::to_string(i) + "]";
    if (tail) s += std::string(".") + tail;
    return s;
}

bool base64_decode(std::string_view in, std::string& out) {
    auto val = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    while (!in.empty() && in.back() == '=') in.remove_suffix(1);
    out.clear();
    out.reserve(in.size() * 3 / 4);
    uint32_t acc = 0;
    int bits = 0;
    for (char c : in) {
        const int v = val(c);
        if (v < 0) return false;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return bits < 6;  // a single leftover character carries no whole byte
}

bool percent_decode(std::string_view in, std::string& out) {
    out.clear();
    for (size_t k = 0; k < in.size(); ++k) {
        if (in[k] != '%') {
            out.push_back(in[k]);
            continue;
        }
        if (k + 2 >= in.size()) return false;
        auto hex = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        const int h = hex(in[k + 1]), l = hex(in[k + 2]);
        if (h < 0 || l < 0) return false;
        out.push_back(static_cast<char>(h * 16 + l));
        k += 2;
    }
    return true;
}

struct Mat {
    double m[16];  // column-major
    static Mat identity() {
        Mat r{};
        r.m[0] = r.m[5] = r.m[10] = r.m[15] = 1.0;
        return r;
    }
    Mat operator*(const Mat& b) const {
        Mat r{};
        for (int c = 0; c < 4; ++c)
            for (int row = 0; row < 4; ++row) {
                double s = 0;
                for (int k = 0; k < 4; ++k) s += m[k * 4 + row] * b.m[c * 4 + k];
                r.m[c * 4 + row] = s;
            }
        return r;
    }
    double det3() const {
        return m[0] * (m[5] * m[10] - m[9] * m[6]) - m[4] * (m[1] * m[10] - m[9] * m[2]) +
               m[8] * (m[1] * m[6] - m[5] * m[2]);
    }
    void apply(const double* p, double* out) const {
        for (int r = 0; r < 3; ++r) out[r] = m[r] * p[0] + m[4 + r] * p[1] + m[8 + r] * p[2] + m[12 + r];
    }
};

bool number_array(const json* a, size_t n, double* out) {
    if (!a || !a->is_array() || a->size() != n) return false;
    for (size_t k = 0; k < n; ++k) {
        if (!(*a)[k].is_number()) return false;
        out[k] = (*a)[k].get<double>();
    }
    return true;
}

class GltfReader {
public:
    GltfReader(const json& doc, std::string_view bin, bool has_bin, const std::string& base_dir, ReadProblem& err)
        : doc_(doc), bin_(bin), has_bin_(has_bin), base_dir_(base_dir), p_{err} {}

    bool run(MeshModel& out) {
        if (!doc_.is_object()) return p_.fail(ReadError::bad_structure, "(document)", "not an object");
        if (!check_extensions() || !load_buffers()) return false;
        SurfaceBuilder builder(out.solids);
        const json* nodes = member(doc_, "nodes");
        const size_t node_count = nodes && nodes->is_array() ? nodes->size() : 0;
        if (nodes && !nodes->is_array()) return p_.fail(ReadError::bad_structure, "nodes", "not an array");
        std::vector<uint64_t> roots;
        if (!scene_roots(node_count, roots)) return false;
        std::vector<char> seen(node_count, 0);
        struct Item {
            uint64_t node;
            Mat world;
        };
        std::vector<Item> stack;
        for (auto it = roots.rbegin(); it != roots.rend(); ++it) stack.push_back({*it, Mat::identity()});
        while (!stack.empty()) {
            Item item = stack.back();
            stack.pop_back();
            const uint64_t ni = item.node;
            if (seen[ni]) return p_.fail(ReadError::bad_structure, path("nodes", ni), "node reached twice (cycle)");
            seen[ni] = 1;
            const json& node = (*nodes)[ni];
            if (!node.is_object()) return p_.fail(ReadError::bad_structure, path("nodes", ni), "not an object");
            Mat local;
            if (!node_matrix(node, ni, local)) return false;
            const Mat world = item.world * local;
            uint64_t mi;
            bool has_mesh;
            if (!index_member(node, "mesh", mi, has_mesh))
                return p_.fail(ReadError::bad_structure, path("nodes", ni, "mesh"), "not an index");
            if (has_mesh && !add_mesh(builder, node, ni, mi, world)) return false;
            if (const json* ch = member(node, "children")) {
                if (!ch->is_array()) return p_.fail(ReadError::bad_structure, path("nodes", ni, "children"));
                for (size_t k = ch->size(); k-- > 0;) {
                    const json& c = (*ch)[k];
                    if (!c.is_number_unsigned() || c.get<uint64_t>() >= node_count)
                        return p_.fail(ReadError::bad_index, path("nodes", ni, "children"), c.dump());
                    stack.push_back({c.get<uint64_t>(), world});
                }
            }
        }
        return true;
    }

private:
    const json& doc_;
    std::string_view bin_;
    bool has_bin_;
    const std::string& base_dir_;
    Problem p_;
    std::vector<std::string_view> buffers_;
    std::vector<std::string> decoded_;
    std::vector<std::unique_ptr<io::FileText>> files_;
    std::vector<double> pos_;
    std::vector<uint32_t> idx_;

    bool check_extensions() {
        const json* req = member(doc_, "extensionsRequired");
        if (!req) return true;
        if (!req->is_array()) return p_.fail(ReadError::bad_structure, "extensionsRequired", "not an array");
        for (const json& e : *req) {
            if (!e.is_string()) return p_.fail(ReadError::bad_structure, "extensionsRequired", e.dump());
            const std::string s = e.get<std::string>();
            const bool harmless = s == "KHR_mesh_quantization" || s.rfind("KHR_materials_", 0) == 0 ||
                                  s.rfind("KHR_texture_", 0) == 0;
            if (!harmless) return p_.fail(ReadError::unsupported, "extensionsRequired", s);
        }
        return true;
    }

    bool load_buffers() {
        const json* bufs = member(doc_, "buffers");
        if (!bufs) return true;
        if (!bufs->is_array()) return p_.fail(ReadError::bad_structure, "buffers", "not an array");
        decoded_.reserve(bufs->size());
        for (size_t b = 0; b < bufs->size(); ++b) {
            const json& buf = (*bufs)[b];
            uint64_t length;
            bool found;
            if (!index_member(buf, "byteLength", length, found) || !found)
                return p_.fail(ReadError::bad_structure, path("buffers", b, "byteLength"));
            const json* uri = member(buf, "uri");
            std::string_view data;
            if (!uri) {
                if (b != 0 || !has_bin_) return p_.fail(ReadError::buffer, path("buffers", b), "no uri and no GLB binary chunk");
                data = bin_;
            } else {
                if (!uri->is_string()) return p_.fail(ReadError::bad_structure, path("buffers", b, "uri"));
                const std::string u = uri->get<std::string>();
                if (u.rfind("data:", 0) == 0) {
                    const size_t comma = u.find(',');
                    if (comma == std::string::npos || comma < 12 || u.compare(comma - 7, 7, ";base64") != 0)
                        return p_.fail(ReadError::unsupported, path("buffers", b, "uri"), "data URI that is not base64");
                    decoded_.emplace_back();
                    if (!base64_decode(std::string_view(u).substr(comma + 1), decoded_.back()))
                        return p_.fail(ReadError::buffer, path("buffers", b, "uri"), "malformed base64");
                    data = decoded_.back();
                } else {
                    if (u.find("://") != std::string::npos || u.rfind("file:", 0) == 0)
                        return p_.fail(ReadError::unsupported, path("buffers", b, "uri"), u);
                    std::string rel;
                    if (!percent_decode(u, rel) || rel.empty() || rel.find('\0') != std::string::npos)
                        return p_.fail(ReadError::buffer, path("buffers", b, "uri"), u);
                    if (base_dir_.empty()) return p_.fail(ReadError::buffer, path("buffers", b, "uri"), u);
                    const std::string full = rel[0] == '/' ? rel : base_dir_ + "/" + rel;
                    auto f = std::make_unique<io::FileText>();
                    io::FileStamp stamp;
                    if (f->open(full, stamp) != io::ReadStatus::ok)
                        return p_.fail(ReadError::buffer, path("buffers", b, "uri"), full);
                    data = f->text();
                    files_.push_back(std::move(f));
                }
            }
            if (data.size() < length)
                return p_.fail(ReadError::buffer, path("buffers", b), "shorter than byteLength " + std::to_string(length));
            buffers_.push_back(data.substr(0, length));
        }
        return true;
    }

    bool scene_roots(size_t node_count, std::vector<uint64_t>& roots) {
        const json* scenes = member(doc_, "scenes");
        uint64_t si = 0;
        bool has_scene;
        if (!index_member(doc_, "scene", si, has_scene)) return p_.fail(ReadError::bad_structure, "scene", "not an index");
        if (scenes && !scenes->is_array()) return p_.fail(ReadError::bad_structure, "scenes", "not an array");
        if (scenes && !scenes->empty()) {
            if (si >= scenes->size()) return p_.fail(ReadError::bad_index, "scene", std::to_string(si));
            const json* ns = member((*scenes)[si], "nodes");
            if (!ns) return true;
            if (!ns->is_array()) return p_.fail(ReadError::bad_structure, path("scenes", si, "nodes"));
            for (const json& n : *ns) {
                if (!n.is_number_unsigned() || n.get<uint64_t>() >= node_count)
                    return p_.fail(ReadError::bad_index, path("scenes", si, "nodes"), n.dump());
                roots.push_back(n.get<uint64_t>());
            }
            return true;
        }
        if (has_scene) return p_.fail(ReadError::bad_index, "scene", std::to_string(si));
        std::vector<char> child(node_count, 0);
        const json* nodes = member(doc_, "nodes");
        for (size_t i = 0; i < node_count; ++i)
            if (const json* ch = member((*nodes)[i], "children"); ch && ch->is_array())
                for (const json& c : *ch)
                    if (c.is_number_unsigned() && c.get<uint64_t>() < node_count) child[c.get<uint64_t>()] = 1;
        for (size_t i = 0; i < node_count; ++i)
            if (!child[i]) roots.push_back(i);
        return true;
    }

    bool node_matrix(const json& node, size_t ni, Mat& out) {
        out = Mat::identity();
        if (const json* m = member(node, "matrix")) {
            if (!number_array(m, 16, out.m)) return p_.fail(ReadError::bad_structure, path("nodes", ni, "matrix"));
            return true;
        }
        double t[3] = {0, 0, 0}, r[4] = {0, 0, 0, 1}, s[3] = {1, 1, 1};
        if (const json* a = member(node, "translation"); a && !number_array(a, 3, t))
            return p_.fail(ReadError::bad_structure, path("nodes", ni, "translation"));
        if (const json* a = member(node, "rotation"); a && !number_array(a, 4, r))
            return p_.fail(ReadError::bad_structure, path("nodes", ni, "rotation"));
        if (const json* a = member(node, "scale"); a && !number_array(a, 3, s))
            return p_.fail(ReadError::bad_structure, path("nodes", ni, "scale"));
        const double x = r[0], y = r[1], z = r[2], w = r[3];
        const double rot[9] = {1 - 2 * (y * y + z * z), 2 * (x * y + z * w),     2 * (x * z - y * w),
                               2 * (x * y - z * w),     1 - 2 * (x * x + z * z), 2 * (y * z + x * w),
                               2 * (x * z + y * w),     2 * (y * z - x * w),     1 - 2 * (x * x + y * y)};
        for (int c = 0; c < 3; ++c)
            for (int row = 0; row < 3; ++row) out.m[c * 4 + row] = rot[c * 3 + row] * s[c];
        out.m[12] = t[0], out.m[13] = t[1], out.m[14] = t[2];
        return true;
    }

    // Reads accessor `ai` as `comps` numbers an element into `out`.
    bool read_accessor(uint64_t ai, const char* type, int comps, bool indices, const std::string& where,
                       std::vector<double>* out, std::vector<uint32_t>* out_idx) {
        const json* accs = member(doc_, "accessors");
        if (!accs || !accs->is_array() || ai >= accs->size())
            return p_.fail(ReadError::bad_index, where, std::to_string(ai));
        const json& acc = (*accs)[ai];
        const std::string ap = path("accessors", ai);
        if (member(acc, "sparse")) return p_.fail(ReadError::unsupported, ap, "sparse accessor");
        const json* t = member(acc, "type");
        if (!t || !t->is_string() || t->get<std::string>() != type)
            return p_.fail(ReadError::bad_structure, ap + ".type", std::string("expected ") + type);
        uint64_t ctype, count, offset = 0, view;
        bool found, has_view, has_off;
        if (!index_member(acc, "componentType", ctype, found) || !found)
            return p_.fail(ReadError::bad_structure, ap + ".componentType");
        if (!index_member(acc, "count", count, found) || !found)
            return p_.fail(ReadError::bad_structure, ap + ".count");
        if (!index_member(acc, "byteOffset", offset, has_off)) return p_.fail(ReadError::bad_structure, ap + ".byteOffset");
        if (!index_member(acc, "bufferView", view, has_view)) return p_.fail(ReadError::bad_structure, ap + ".bufferView");
        const json* norm = member(acc, "normalized");
        const bool normalized = norm && norm->is_boolean() && norm->get<bool>();
        size_t csize;
        switch (ctype) {
            case 5120: case 5121: csize = 1; break;
            case 5122: case 5123: csize = 2; break;
            case 5125: case 5126: csize = 4; break;
            default: return p_.fail(ReadError::unsupported, ap + ".componentType", std::to_string(ctype));
        }
        if (indices && ctype != 5121 && ctype != 5123 && ctype != 5125)
            return p_.fail(ReadError::bad_structure, ap + ".componentType", std::to_string(ctype));
        const uint64_t elem = csize * static_cast<uint64_t>(comps);
        if (out) out->assign(0, 0.0);
        if (out_idx) out_idx->clear();
        if (!has_view) {  // all zeros
            if (count > (uint64_t(1) << 24)) return p_.fail(ReadError::buffer, ap + ".count", std::to_string(count));
            if (out) out->assign(count * comps, 0.0);
            if (out_idx) out_idx->assign(count, 0);
            return true;
        }
        const json* views = member(doc_, "bufferViews");
        if (!views || !views->is_array() || view >= views->size())
            return p_.fail(ReadError::bad_index, ap + ".bufferView", std::to_string(view));
        const json& bv = (*views)[view];
        const std::string vp = path("bufferViews", view);
        uint64_t buf, vlen, voff = 0, stride = 0;
        bool has_stride;
        if (!index_member(bv, "buffer", buf, found) || !found) return p_.fail(ReadError::bad_structure, vp + ".buffer");
        if (buf >= buffers_.size()) return p_.fail(ReadError::bad_index, vp + ".buffer", std::to_string(buf));
        if (!index_member(bv, "byteLength", vlen, found) || !found)
            return p_.fail(ReadError::bad_structure, vp + ".byteLength");
        if (!index_member(bv, "byteOffset", voff, found)) return p_.fail(ReadError::bad_structure, vp + ".byteOffset");
        if (!index_member(bv, "byteStride", stride, has_stride)) return p_.fail(ReadError::bad_structure, vp + ".byteStride");
        const std::string_view bdata = buffers_[buf];
        if (voff > bdata.size() || vlen > bdata.size() - voff)
            return p_.fail(ReadError::buffer, vp, "outside its buffer");
        if (!has_stride || stride == 0) stride = elem;
        if (stride < elem || stride > 252) return p_.fail(ReadError::bad_structure, vp + ".byteStride", std::to_string(stride));
        if (count > 0) {
            if (offset > vlen || count - 1 > (vlen - offset) / stride || (count - 1) * stride + elem > vlen - offset)
                return p_.fail(ReadError::buffer, ap, "outside its buffer view");
        }
        const char* base = bdata.data() + voff + offset;
        if (out) out->resize(count * comps);
        if (out_idx) out_idx->resize(count);
        for (uint64_t e = 0; e < count; ++e) {
            const char* q = base + e * stride;
            for (int c = 0; c < comps; ++c, q += csize) {
                double v;
                switch (ctype) {
                    case 5120: { int8_t x; std::memcpy(&x, q, 1); v = normalized ? std::max(x / 127.0, -1.0) : x; break; }
                    case 5121: { uint8_t x; std::memcpy(&x, q, 1); v = normalized ? x / 255.0 : x; break; }
                    case 5122: { int16_t x; std::memcpy(&x, q, 2); v = normalized ? std::max(x / 32767.0, -1.0) : x; break; }
                    case 5123: { uint16_t x; std::memcpy(&x, q, 2); v = normalized ? x / 65535.0 : x; break; }
                    case 5125: { uint32_t x; std::memcpy(&x, q, 4); v = x; break; }
                    default: { float x; std::memcpy(&x, q, 4); v = x; break; }
                }
                if (out) (*out)[e * comps + c] = v;
                if (out_idx) {
                    uint32_t x = 0;
                    std::memcpy(&x, q, csize);
                    (*out_idx)[e] = x;
                }
            }
        }
        return true;
    }

    bool add_mesh(SurfaceBuilder& builder, const json& node, size_t ni, uint64_t mi, const Mat& world) {
        const json* meshes = member(doc_, "meshes");
        if (!meshes || !meshes->is_array() || mi >= meshes->size())
            return p_.fail(ReadError::bad_index, path("nodes", ni, "mesh"), std::to_string(mi));
        const json& mesh = (*meshes)[mi];
        std::string name;
        if (const json* n = member(node, "name"); n && n->is_string()) name = n->get<std::string>();
        if (name.empty())
            if (const json* n = member(mesh, "name"); n && n->is_string()) name = n->get<std::string>();
        if (name.empty()) name = "node" + std::to_string(ni);
        const json* prims = member(mesh, "primitives");
        if (!prims || !prims->is_array()) return p_.fail(ReadError::bad_structure, path("meshes", mi, "primitives"));
        const bool mirror = world.det3() < 0;
        size_t surface = SIZE_MAX;
        for (size_t pi = 0; pi < prims->size(); ++pi) {
            const json& prim = (*prims)[pi];
            const std::string pp = path("meshes", mi) + path(".primitives", pi);
            uint64_t mode = 4, pos, ind;
            bool found, has_ind;
            if (!index_member(prim, "mode", mode, found) || mode > 6) return p_.fail(ReadError::bad_structure, pp + ".mode");
            if (mode < 4) continue;
            const json* attrs = member(prim, "attributes");
            if (!attrs || !attrs->is_object()) return p_.fail(ReadError::bad_structure, pp + ".attributes");
            if (!index_member(*attrs, "POSITION", pos, found)) return p_.fail(ReadError::bad_structure, pp + ".attributes.POSITION");
            if (!found) continue;
            if (!read_accessor(pos, "VEC3", 3, false, pp + ".attributes.POSITION", &pos_, nullptr)) return false;
            const size_t nv = pos_.size() / 3;
            for (size_t v = 0; v < nv; ++v) {
                double w[3];
                world.apply(&pos_[3 * v], w);
                std::memcpy(&pos_[3 * v], w, sizeof w);
            }
            if (!index_member(prim, "indices", ind, has_ind)) return p_.fail(ReadError::bad_structure, pp + ".indices");
            if (has_ind) {
                if (!read_accessor(ind, "SCALAR", 1, true, pp + ".indices", nullptr, &idx_)) return false;
                for (uint32_t i : idx_)
                    if (i >= nv) return p_.fail(ReadError::bad_index, pp + ".indices", std::to_string(i));
            } else {
                if (nv > UINT32_MAX) return p_.fail(ReadError::unsupported, pp, "too many vertices");
                idx_.resize(nv);
                for (size_t v = 0; v < nv; ++v) idx_[v] = static_cast<uint32_t>(v);
            }
            if (surface == SIZE_MAX) surface = builder.surface(name);
            const size_t n = idx_.size();
            auto tri = [&](uint32_t a, uint32_t b, uint32_t c) {
                if (mirror) std::swap(b, c);
                builder.add_triangle(surface, &pos_[3 * size_t(a)], &pos_[3 * size_t(b)], &pos_[3 * size_t(c)]);
            };
            if (mode == 4) {
                for (size_t k = 0; k + 2 < n; k += 3) tri(idx_[k], idx_[k + 1], idx_[k + 2]);
            } else if (mode == 5) {
                for (size_t k = 0; k + 2 < n; ++k) {
                    if (k % 2 == 0) tri(idx_[k], idx_[k + 1], idx_[k + 2]);
                    else tri(idx_[k + 1], idx_[k], idx_[k + 2]);
                }
            } else {
                for (size_t k = 1; k + 1 < n; ++k) tri(idx_[0], idx_[k], idx_[k + 1]);
            }
        }
        return true;
    }
};

}  // namespace

bool read_gltf(std::string_view data, const std::string& base_dir, MeshModel& out, ReadProblem& err) {
    std::string_view json_text = data, bin;
    size_t json_at = 0;
    bool has_bin = false;
    Problem p{err};
    if (data.size() >= 4 && data.substr(0, 4) == "glTF") {
        auto framing = [&](size_t at, const char* what) {
            err.byte = at;
            return p.fail(ReadError::syntax, "GLB", what);
        };
        if (data.size() < 20) return framing(data.size(), "file shorter than the GLB header");
        if (le32(data.data() + 4) != 2) return framing(4, "GLB version is not 2");
        const uint32_t total = le32(data.data() + 8);
        if (total > data.size()) return framing(8, "GLB length beyond the end of the file");
        const uint32_t jlen = le32(data.data() + 12);
        if (le32(data.data() + 16) != 0x4E4F534A) return framing(16, "first chunk is not JSON");
        if (jlen > total - 20) return framing(12, "JSON chunk beyond the GLB length");
        json_at = 20;
        json_text = data.substr(20, jlen);
        size_t at = 20 + size_t(jlen);
        at = (at + 3) & ~size_t(3);
        if (at + 8 <= total) {
            const uint32_t blen = le32(data.data() + at);
            if (le32(data.data() + at + 4) == 0x004E4942) {
                if (blen > total - at - 8) return framing(at, "BIN chunk beyond the GLB length");
                bin = data.substr(at + 8, blen);
                has_bin = true;
            }
        }
    }
    json doc;
    try {
        doc = json::parse(json_text.begin(), json_text.end());
    } catch (const json::parse_error& e) {
        err.byte = json_at + (e.byte > 0 ? e.byte - 1 : 0);
        err.line = json_at == 0 ? line_of_offset(data, err.byte) : 0;
        return p.fail(ReadError::syntax, "JSON", e.what());
    } catch (const json::exception& e) {  // a number beyond double's range
        return p.fail(ReadError::syntax, "JSON", e.what());
    }
    try {
        GltfReader reader(doc, bin, has_bin, base_dir, err);
        return reader.run(out);
    } catch (const json::exception& e) {  // every access is type-checked first: a fault of this reader
        return p.fail(ReadError::bad_structure, "(document)", e.what());
    }
}

}  // namespace qm::geom
