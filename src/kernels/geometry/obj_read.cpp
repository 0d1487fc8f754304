#include "kernels/geometry/obj_read.hpp"

#include <charconv>
#include <cstring>
#include <limits>

namespace qm::geom {

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

const char* skip_blank(const char* p, const char* end) {
    while (p < end && blank(*p)) ++p;
    return p;
}
const char* token_end(const char* p, const char* end) {
    while (p < end && !blank(*p)) ++p;
    return p;
}

bool to_number(const char* p, const char* end, double& out) {
    if (p < end && *p == '+') {
        ++p;
        if (p < end && *p == '-') return false;
    }
    if (p == end) return false;
    auto r = std::from_chars(p, end, out);
    return r.ec == std::errc() && r.ptr == end;
}

// The vertex index of a face token ("v", "v/vt", "v//vn", "v/vt/vn").
bool to_index(const char* p, const char* end, int64_t& out) {
    const char* slash = static_cast<const char*>(std::memchr(p, '/', static_cast<size_t>(end - p)));
    if (slash) end = slash;
    if (p < end && *p == '+') {
        ++p;
        if (p < end && *p == '-') return false;
    }
    if (p == end) return false;
    auto r = std::from_chars(p, end, out);
    return r.ec == std::errc() && r.ptr == end;
}

}  // namespace

bool read_obj(std::string_view text, MeshModel& out, ReadProblem& err) {
    SurfaceBuilder builder(out.solids);
    std::vector<double> v;
    std::vector<double> poly;
    std::string name = "default";
    size_t current = SIZE_MAX;  // surface of `name`, made at its first face
    const char* p = text.data();
    const char* const end = p + text.size();
    size_t line_no = 0;
    auto fail = [&](ReadError kind, const char* where, const char* tb, const char* te) {
        err.kind = kind;
        err.line = line_no;
        err.where = where;
        err.detail = std::string(tb, te);
        return false;
    };
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* le = nl ? nl : end;
        ++line_no;
        const char* s = skip_blank(p, le);
        p = nl ? nl + 1 : end;
        if (s == le || *s == '#') continue;
        const char* ke = token_end(s, le);
        const std::string_view key(s, static_cast<size_t>(ke - s));
        if (key == "v") {
            const char* q = ke;
            for (int k = 0; k < 3; ++k) {
                q = skip_blank(q, le);
                const char* te = token_end(q, le);
                double x;
                if (q == le) return fail(ReadError::bad_number, "v", q, q);
                if (!to_number(q, te, x)) return fail(ReadError::bad_number, "v", q, te);
                v.push_back(x);
                q = te;
            }
        } else if (key == "f") {
            poly.clear();
            const int64_t nv = static_cast<int64_t>(v.size() / 3);
            for (const char* q = skip_blank(ke, le); q < le; q = skip_blank(q, le)) {
                const char* te = token_end(q, le);
                int64_t i;
                if (!to_index(q, te, i)) return fail(ReadError::bad_index, "f", q, te);
                const int64_t at = i > 0 ? i - 1 : nv + i;
                if (i == 0 || at < 0 || at >= nv) return fail(ReadError::bad_index, "f", q, te);
                poly.insert(poly.end(), v.begin() + 3 * at, v.begin() + 3 * at + 3);
                q = te;
            }
            if (poly.size() < 9) return fail(ReadError::bad_face, "f", s, le);
            if (poly.size() / 3 > std::numeric_limits<uint32_t>::max())
                return fail(ReadError::unsupported, "f", s, s);
            if (current == SIZE_MAX) current = builder.surface(name);
            const uint32_t count = static_cast<uint32_t>(poly.size() / 3);
            builder.add_polygon(current, poly.data(), &count, 1);
        } else if (key == "o" || key == "g") {
            name.clear();
            for (const char* q = skip_blank(ke, le); q < le; q = skip_blank(q, le)) {
                const char* te = token_end(q, le);
                if (!name.empty()) name += ' ';
                name.append(q, static_cast<size_t>(te - q));
                q = te;
            }
            if (name.empty()) name = "default";
            current = SIZE_MAX;
        }
    }
    return true;
}

}  // namespace qm::geom
