#include "kernels/geometry/stl_read.hpp"

#include "kernels/text/ascii.hpp"
#include "kernels/text/number_parse.hpp"
#include "kernels/util/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qm::stl {

namespace {

bool starts_with(std::string_view s, std::string_view prefix) noexcept {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// Every field of [p, end) as a number, in one pass over plain decimals.
bool parse_rest(const char* p, const char* end, const NumberFallback& fb, std::vector<double>& values,
                ParseError& err, size_t line_no) {
    while ((p = skip_space(p, end)) < end) {
        double v;
        const char* q = parse_decimal_prefix(p, end, v);
        if (!q || (q < end && !space_at(q, end))) {
            q = field_end(p, end);
            if (!to_double(std::string_view(p, static_cast<size_t>(q - p)), fb, v)) {
                err.kind = ParseError::Kind::bad_number;
                err.token = std::string(p, static_cast<size_t>(q - p));
                err.line = line_no;
                return false;
            }
        }
        values.push_back(v);
        p = q;
    }
    return true;
}

}  // namespace

bool to_double(std::string_view token, const NumberFallback& fb, double& out) {
    if (parse_plain_decimal(token, out)) return true;
    if (parse_py_float(token, out)) return true;
    if (fb.fn && !text::is_ascii(token)) return fb.fn(fb.ctx, token, out);
    return false;
}

double triangle_area(const double* v0, const double* v1, const double* v2) noexcept {
    const double e1x = v1[0] - v0[0], e1y = v1[1] - v0[1], e1z = v1[2] - v0[2];
    const double e2x = v2[0] - v0[0], e2y = v2[1] - v0[1], e2z = v2[2] - v0[2];
    const double cx = e1y * e2z - e1z * e2y;
    const double cy = e1z * e2x - e1x * e2z;
    const double cz = e1x * e2y - e1y * e2x;
    return 0.5 * std::sqrt(cx * cx + cy * cy + cz * cz);
}

// ---------------------------------------------------------------- block reader

bool read_blocks(std::string_view text, const NumberFallback& fb, Solids& out, ParseError& err) {
    LineCutter cut(text);
    std::vector<std::string_view> parts;
    std::unordered_map<std::string, size_t> slot;
    for (size_t i = 0; i < out.solids.size(); ++i) slot.emplace(out.solids[i].name, i);
    size_t line_no = 0;
    std::string_view line, first;
    const char* rest = nullptr;  // just after the first field
    const char* lend = nullptr;  // end of the line

    // Next line: its first field; is_end when it is an "endsolid" line.
    auto take = [&](bool& is_end) -> bool {
        if (!cut.next(line)) return false;
        ++line_no;
        lend = line.data() + line.size();
        const char* s = skip_space(line.data(), lend);
        rest = field_end(s, lend);
        first = std::string_view(s, static_cast<size_t>(rest - s));
        is_end = starts_with(first, "endsolid");
        return true;
    };

    bool outside_end = false;
    while (take(outside_end)) {
        // Outside a solid: only a "solid" line matters.
        if (first != "solid") continue;
        split_ws(std::string_view(rest, static_cast<size_t>(lend - rest)), parts);
        SolidData cur;
        cur.name = join_space(parts.data(), parts.size());
        size_t body_lines = 0;
        bool closed = false, is_end = false;
        while (!closed) {
            if (!take(is_end)) return true;  // no "endsolid": the solid is dropped
            if (is_end) break;
            ++body_lines;
            if (first != "facet") continue;
            const char* s2 = skip_space(rest, lend);
            const char* e2 = field_end(s2, lend);
            if (std::string_view(s2, static_cast<size_t>(e2 - s2)) != "normal") continue;

            // Facet: normal from this line; vertex lines at offsets +2, +3, +4.
            const size_t values_before = cur.values.size();
            if (!parse_rest(e2, lend, fb, cur.values, err, line_no)) return false;
            FacetShape shape;
            shape.normal_n = static_cast<uint32_t>(cur.values.size() - values_before);
            double norm2 = 0.0;
            for (size_t k = values_before; k < cur.values.size(); ++k) norm2 += cur.values[k] * cur.values[k];
            const double norm = std::sqrt(norm2);
            if (norm > 0)
                for (size_t k = values_before; k < cur.values.size(); ++k) cur.values[k] /= norm;

            // Line +1 (the "outer loop" line) is not examined.
            if (!take(is_end)) return true;
            if (is_end) closed = true;
            for (int k = 0; k < 3 && !closed; ++k) {
                if (!take(is_end)) return true;
                const size_t vb = cur.values.size();
                // The first field is dropped, whatever it says; an "endsolid" line holds no number.
                if (!is_end && !parse_rest(rest, lend, fb, cur.values, err, line_no)) return false;
                shape.vert_n[shape.nverts++] = static_cast<uint32_t>(cur.values.size() - vb);
                if (is_end) closed = true;
            }
            // Lines +5 and +6 ("endloop", "endfacet") are skipped.
            for (int k = 0; k < 2 && !closed; ++k) {
                if (!take(is_end)) return true;
                if (is_end) closed = true;
            }
            if (shape.normal_n != 3 || shape.nverts != 3 || shape.vert_n[0] != 3 || shape.vert_n[1] != 3 ||
                shape.vert_n[2] != 3)
                cur.regular = false;
            cur.shapes.push_back(shape);
        }
        // A solid with no line between "solid" and "endsolid" is not recorded.
        if (body_lines == 0) continue;
        put_solid(out, slot, std::move(cur));
    }
    return true;
}

void put_solid(Solids& out, std::unordered_map<std::string, size_t>& slot, SolidData&& item) {
    auto it = slot.find(item.name);
    if (it != slot.end()) out.replaced.push_back(std::move(out.solids[it->second]));
    put_by_name(out.solids, slot, std::move(item));
}

namespace {

// Position just after the first line at or after `from` whose first field
// begins with "endsolid" (text.size() when there is none).
size_t after_end_line(std::string_view text, size_t from) {
    const char* base = text.data();
    const char* end = base + text.size();
    const char* p = base + from;
    while (p < end) {
        const size_t at = text.find("endsolid", static_cast<size_t>(p - base));
        if (at == std::string_view::npos) return text.size();
        const char* k = base + at;
        // The keyword must be the line's first field: only whitespace before it.
        const char* ls = k;
        while (ls > base && ls[-1] != '\n' && ls[-1] != '\r') --ls;
        if (skip_space(ls, k) == k) {
            const char* q = k;
            while (q < end && *q != '\n' && *q != '\r') ++q;
            if (q < end && *q == '\r' && q + 1 < end && q[1] == '\n') ++q;
            if (q < end) ++q;
            return static_cast<size_t>(q - base);
        }
        p = k + 8;
    }
    return text.size();
}

}  // namespace

bool read_blocks_parallel(std::string_view text, const NumberFallback& fb, Solids& out, ParseError& err,
                          unsigned threads) {
    threads = util::resolve_threads(threads);
    const size_t min_piece = size_t(4) << 20;
    threads = static_cast<unsigned>(std::min<size_t>(threads, text.size() / min_piece));
    if (threads <= 1) return read_blocks(text, fb, out, err);
    std::vector<size_t> cuts = {0};
    for (unsigned k = 1; k < threads; ++k) {
        const size_t c = after_end_line(text, std::max(cuts.back(), text.size() / threads * k));
        if (c >= text.size()) break;
        cuts.push_back(c);
    }
    cuts.push_back(text.size());
    const size_t pieces = cuts.size() - 1;
    std::vector<Solids> part(pieces);
    std::vector<ParseError> perr(pieces);
    std::vector<char> ok(pieces, 1);
    auto work = [&](size_t i) {
        ok[i] = read_blocks(text.substr(cuts[i], cuts[i + 1] - cuts[i]), fb, part[i], perr[i]);
    };
    util::ParallelOptions po;
    po.threads = static_cast<unsigned>(pieces);
    util::parallel_for(pieces, 1, [&](size_t i, size_t) { work(i); }, po);
    for (size_t i = 0; i < pieces; ++i) {
        if (!ok[i]) {
            err = perr[i];
            return false;
        }
    }
    // Merge in text order with the reader's rule: a repeated name replaces the
    // earlier solid and keeps its position.
    std::unordered_map<std::string, size_t> slot;
    for (size_t i = 0; i < out.solids.size(); ++i) slot.emplace(out.solids[i].name, i);
    for (auto& p : part) {
        for (auto& s : p.replaced) out.replaced.push_back(std::move(s));
        for (auto& s : p.solids) put_solid(out, slot, std::move(s));
    }
    return true;
}

// ----------------------------------------------------------- statistics reader

bool StatsReader::feed(std::string_view line, const NumberFallback& fb, ParseError& err) {
    ++line_no_;
    split_ws(line, parts_);
    if (parts_.empty()) return true;
    const std::string_view p0 = parts_[0];
    auto number = [&](size_t k, double& v) -> bool {
        if (to_double(parts_[k], fb, v)) return true;
        err.kind = ParseError::Kind::bad_number;
        err.token = std::string(parts_[k]);
        err.line = line_no_;
        return false;
    };
    if (p0 == "solid") {
        if (!current_solid_.empty()) finish_solid();
        current_solid_ = join_space(parts_.data() + 1, parts_.size() - 1);
        total_area_ = total_nx_ = total_ny_ = total_nz_ = 0.0;
        triangle_count_ = 0;
    } else if (p0 == "facet") {
        if (parts_.size() >= 5) {
            double n[3];
            for (int k = 0; k < 3; ++k)
                if (!number(2 + k, n[k])) return false;
            normal_[0] = n[0], normal_[1] = n[1], normal_[2] = n[2];
            vertex_index_ = 0;
        }
    } else if (p0 == "vertex") {
        if (parts_.size() >= 4) {
            double v[3];
            for (int k = 0; k < 3; ++k)
                if (!number(1 + k, v[k])) return false;
            if (vertex_index_ >= 3) {
                err.kind = ParseError::Kind::too_many_vertices;
                err.index = vertex_index_;
                err.line = line_no_;
                return false;
            }
            tri_[vertex_index_][0] = v[0], tri_[vertex_index_][1] = v[1], tri_[vertex_index_][2] = v[2];
            ++vertex_index_;
        }
    } else if (p0 == "endfacet") {
        if (vertex_index_ == 3) {
            total_area_ += triangle_area(tri_[0], tri_[1], tri_[2]);
            total_nx_ += normal_[0];
            total_ny_ += normal_[1];
            total_nz_ += normal_[2];
            ++triangle_count_;
        }
        vertex_index_ = 0;
    }
    return true;
}

void StatsReader::finish() {
    if (!current_solid_.empty()) finish_solid();
}

void StatsReader::finish_solid() {
    SolidStats rec;
    rec.name = current_solid_;
    if (triangle_count_ > 0) {
        const double c = static_cast<double>(triangle_count_);
        const double ax = total_nx_ / c, ay = total_ny_ / c, az = total_nz_ / c;
        const double magnitude = std::sqrt(ax * ax + ay * ay + az * az);
        rec.has_triangles = true;
        rec.area = total_area_;
        if (magnitude > 0) {
            rec.zero_normal = false;
            rec.normal[0] = ax / magnitude;
            rec.normal[1] = ay / magnitude;
            rec.normal[2] = az / magnitude;
        }
    }
    put_by_name(records_, index_, std::move(rec));
}

bool looks_binary(std::string_view t) noexcept {
    if (t.size() < 84) return false;
    uint32_t n;
    std::memcpy(&n, t.data() + 80, 4);
    if (t.size() != 84 + 50 * uint64_t(n)) return false;
    return std::memchr(t.data(), '\0', t.size()) != nullptr || !utf8_valid(t.substr(0, 84));
}

}  // namespace qm::stl
