#include "kernels/shading/factor_file.hpp"

#include <charconv>

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

std::string parse_factor_table(std::string_view text, size_t surfaces, FactorTable& out) {
    out = FactorTable{};
    size_t line_no = 0;
    bool header = true;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (header) {
            header = false;
            continue;
        }
        if (line.empty()) continue;
        const char* p = line.data();
        const char* end = line.data() + line.size();
        std::vector<double> values;
        while (true) {
            double v;
            auto r = std::from_chars(p, end, v);
            if (r.ec != std::errc()) return "第 " + std::to_string(line_no) + " 行不是数值";
            values.push_back(v);
            p = r.ptr;
            if (p == end) break;
            if (*p != ',') return "第 " + std::to_string(line_no) + " 行不是数值";
            ++p;
        }
        if (values.size() != surfaces + 2)
            return "第 " + std::to_string(line_no) + " 行应有 " + std::to_string(surfaces + 2) + " 个数值，实际为 " +
                   std::to_string(values.size());
        out.altitudes.push_back(values[0]);
        out.azimuths.push_back(values[1]);
        out.factors.insert(out.factors.end(), values.begin() + 2, values.end());
    }
    if (header) return "文件为空";
    return "";
}

}  // namespace qm::shading
