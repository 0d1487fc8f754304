#include "kernels/shading/factor_file.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace qm::shading {
namespace {

void append_number(std::string& s, double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, r.ptr);
}

}  // namespace

std::string factor_table_text(const FactorTable& t) {
    std::string s = "altitude,azimuth";
    for (const auto& name : t.surfaces) s += "," + name;
    s += "\n";
    const size_t m = t.surfaces.size();
    s.reserve(s.size() + t.positions() * (m + 2) * 20);
    for (size_t p = 0; p < t.positions(); ++p) {
        append_number(s, t.altitudes[p]);
        s += ',';
        append_number(s, t.azimuths[p]);
        for (size_t k = 0; k < m; ++k) {
            s += ',';
            append_number(s, t.factors[p * m + k]);
        }
        s += '\n';
    }
    return s;
}

const char* factor_file_error_text(FactorFileError e) noexcept {
    switch (e) {
        case FactorFileError::none: return "none";
        case FactorFileError::empty: return "empty file";
        case FactorFileError::header: return "header does not name the expected surfaces";
        case FactorFileError::not_number: return "field is not a number";
        case FactorFileError::count: return "wrong number of fields";
        case FactorFileError::range: return "angle not finite or factor outside [0, 1]";
        case FactorFileError::surface: return "line names another surface";
    }
    return "unknown";
}

namespace {

// names null: the header is not checked, nor are the ranges.
FactorFileError read_table(std::string_view text, size_t surfaces, const std::vector<std::string>* names,
                           FactorTable& out, size_t& line_no) {
    out = FactorTable{};
    line_no = 0;
    bool header = true;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (header) {
            header = false;
            if (names) {
                std::string expected = "altitude,azimuth";
                for (const auto& n : *names) expected += "," + n;
                if (line != expected) return FactorFileError::header;
                out.surfaces = *names;
            }
            continue;
        }
        if (line.empty()) continue;
        const char* p = line.data();
        const char* end = line.data() + line.size();
        std::vector<double> values;
        while (true) {
            double v;
            auto r = std::from_chars(p, end, v);
            if (r.ec != std::errc()) return FactorFileError::not_number;
            values.push_back(v);
            p = r.ptr;
            if (p == end) break;
            if (*p != ',') return FactorFileError::not_number;
            ++p;
        }
        if (values.size() != surfaces + 2) return FactorFileError::count;
        if (names) {
            bool ok = std::isfinite(values[0]) && std::isfinite(values[1]);
            for (size_t k = 2; k < values.size(); ++k) ok = ok && values[k] >= 0.0 && values[k] <= 1.0;
            if (!ok) return FactorFileError::range;
        }
        out.altitudes.push_back(values[0]);
        out.azimuths.push_back(values[1]);
        out.factors.insert(out.factors.end(), values.begin() + 2, values.end());
    }
    if (header) return FactorFileError::empty;
    line_no = 0;
    return FactorFileError::none;
}

}  // namespace

FactorFileError read_factor_table(std::string_view text, const std::vector<std::string>& names, FactorTable& out,
                                  size_t& line) {
    return read_table(text, names.size(), &names, out, line);
}

std::string parse_factor_table(std::string_view text, size_t surfaces, FactorTable& out) {
    size_t line = 0;
    const FactorFileError e = read_table(text, surfaces, nullptr, out, line);
    if (e == FactorFileError::none) return "";
    return std::string(factor_file_error_text(e)) + (line ? " (line " + std::to_string(line) + ")" : "");
}

std::string view_table_text(const ViewTable& t) {
    std::string s = "surface";
    for (const auto& v : t.views) s += "," + v;
    s += "\n";
    const size_t m = t.views.size();
    for (size_t i = 0; i < t.surfaces.size(); ++i) {
        s += t.surfaces[i];
        for (size_t k = 0; k < m; ++k) {
            char buf[40];
            std::snprintf(buf, sizeof buf, ",%.17g", t.values[i * m + k]);
            s += buf;
        }
        s += "\n";
    }
    return s;
}

FactorFileError read_view_table(std::string_view text, const std::vector<std::string>& surfaces,
                                const std::vector<std::string>& views, ViewTable& out, size_t& line_no) {
    out = ViewTable{};
    line_no = 0;
    auto next_line = [&text, &line_no]() {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return line;
    };
    if (text.empty()) return FactorFileError::empty;
    std::string header = "surface";
    for (const auto& v : views) header += "," + v;
    if (next_line() != header) return FactorFileError::header;
    const size_t m = views.size();
    for (const std::string& name : surfaces) {
        if (text.empty()) return FactorFileError::count;
        std::string_view line = next_line();
        // The last m fields are the values; what comes before them is the name.
        size_t cut = line.size();
        std::vector<double> row(m);
        for (size_t k = m; k-- > 0;) {
            const size_t comma = cut == 0 ? std::string_view::npos : line.rfind(',', cut - 1);
            if (comma == std::string_view::npos) return FactorFileError::count;
            const char* b = line.data() + comma + 1;
            const char* e = line.data() + cut;
            auto r = std::from_chars(b, e, row[k]);
            if (r.ec != std::errc() || r.ptr != e) return FactorFileError::not_number;
            // A view's midpoint sum may pass 1 (sin 90 deg) by about 1e-6.
            if (!(row[k] >= 0.0 && row[k] <= 1.000001)) return FactorFileError::range;
            cut = comma;
        }
        if (line.substr(0, cut) != name) return FactorFileError::surface;
        out.surfaces.push_back(name);
        out.values.insert(out.values.end(), row.begin(), row.end());
    }
    out.views = views;
    line_no = 0;
    return FactorFileError::none;
}

}  // namespace qm::shading
