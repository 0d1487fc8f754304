#include "kernels/epw.hpp"

#include <cfloat>
#include <cmath>
#include <limits>

#include "kernels/number_parse.hpp"

namespace qm::epw {
namespace {

constexpr double kHoursPerYear = 8760.0;

bool has_non_ascii(std::string_view s) noexcept { return !is_ascii(s); }

// The first field of a stripped line (without splitting the whole line).
std::string_view first_field(std::string_view line, const Delimiter& d) {
    if (d.whitespace) {
        size_t e = 0;
        while (e < line.size() && !is_py_space(static_cast<unsigned char>(line[e]))) ++e;
        return line.substr(0, e);
    }
    size_t pos = line.find(d.sep);
    return pos == std::string_view::npos ? line : line.substr(0, pos);
}

}  // namespace

void split_fields(std::string_view line, const Delimiter& d, std::vector<std::string_view>& out) {
    out.clear();
    if (d.whitespace) {
        size_t i = 0;
        const size_t n = line.size();
        while (true) {
            while (i < n && is_py_space(static_cast<unsigned char>(line[i]))) ++i;
            if (i >= n) break;
            size_t b = i;
            while (i < n && !is_py_space(static_cast<unsigned char>(line[i]))) ++i;
            out.push_back(line.substr(b, i - b));
        }
        return;
    }
    size_t b = 0;
    while (true) {
        size_t pos = line.find(d.sep, b);
        if (pos == std::string_view::npos) {
            out.push_back(line.substr(b));
            return;
        }
        out.push_back(line.substr(b, pos - b));
        b = pos + d.sep.size();
    }
}

bool is_data_line(std::string_view stripped, const Delimiter& d) {
    std::string_view first = py_strip(first_field(stripped, d));
    if (first.size() != 4) return false;
    for (char c : first)
        if (c < '0' || c > '9') return false;
    return true;
}

float to_float32(double v) noexcept {
    // Halfway between FLT_MAX and 2^128: from there on, round-to-nearest gives inf.
    constexpr double kOverflow = 340282356779733661637539395458142568448.0;  // 2^128 - 2^103
    if (std::isnan(v)) return std::signbit(v) ? -std::numeric_limits<float>::quiet_NaN()
                                               : std::numeric_limits<float>::quiet_NaN();
    if (v >= kOverflow) return std::numeric_limits<float>::infinity();
    if (v <= -kOverflow) return -std::numeric_limits<float>::infinity();
    if (v > FLT_MAX) return FLT_MAX;
    if (v < -FLT_MAX) return -FLT_MAX;
    return static_cast<float>(v);
}

FieldError parse_fields(std::string_view stripped, const Delimiter& d, const Column* cols, size_t ncols,
                        float* out, std::vector<std::string_view>& scratch) {
    split_fields(stripped, d, scratch);
    const int64_t n = static_cast<int64_t>(scratch.size());
    for (size_t k = 0; k < ncols; ++k) {
        int64_t c = cols[k];
        if (c >= n) {
            out[k] = std::numeric_limits<float>::quiet_NaN();
            continue;
        }
        if (c < 0) {
            c += n;
            if (c < 0) return FieldError::index_out_of_range;
        }
        double v;
        out[k] = parse_py_float(py_strip(scratch[static_cast<size_t>(c)]), v)
                     ? to_float32(v)
                     : std::numeric_limits<float>::quiet_NaN();
    }
    return FieldError::none;
}

void read_table(std::string_view text, const Delimiter& d, const Column* cols, size_t ncols, Table& out) {
    out.entries.clear();
    out.values.clear();
    out.error = TableError::none;
    out.error_entry = 0;
    std::vector<std::string_view> scratch;
    size_t b = 0;
    while (b <= text.size()) {
        size_t e = text.find('\n', b);
        if (e == std::string_view::npos) e = text.size();
        std::string_view raw = text.substr(b, e - b);
        const size_t next = e + 1;
        if (has_non_ascii(raw)) {
            // The host's rules for non-ASCII text (Unicode whitespace, digits) decide.
            out.entries.push_back({static_cast<size_t>(raw.data() - text.data()), raw.size(), true});
            out.values.resize(out.values.size() + ncols, 0.0f);
            b = next;
            continue;
        }
        std::string_view line = py_strip(raw);
        b = next;
        if (line.empty() || line[0] == '#') continue;
        if (!d.whitespace && d.sep.empty()) {
            out.error = TableError::empty_separator;
            out.error_entry = out.entries.size();
            return;
        }
        if (!is_data_line(line, d)) continue;
        const size_t slot = out.values.size();
        out.values.resize(slot + ncols);
        if (parse_fields(line, d, cols, ncols, out.values.data() + slot, scratch) != FieldError::none) {
            out.values.resize(slot);
            out.error = TableError::index_out_of_range;
            out.error_entry = out.entries.size();
            return;
        }
        out.entries.push_back({static_cast<size_t>(line.data() - text.data()), line.size(), false});
    }
}

HourLookup locate_hour(double hour, int64_t rows) noexcept {
    HourLookup r;
    if (!std::isfinite(hour)) {
        r.kind = HourLookup::not_finite;
        return r;
    }
    // Floored modulo with the sign of the divisor, as the host's % on floats.
    double h = std::fmod(hour, kHoursPerYear);
    if (h != 0.0) {
        if (h < 0) h += kHoursPerYear;
    } else {
        h = 0.0;
    }
    // A tiny negative hour rounds up to exactly 8760 when wrapped: that is hour 0.
    if (h >= kHoursPerYear) h = 0.0;
    const int64_t i = static_cast<int64_t>(h);
    r.i = i;
    if (h == static_cast<double>(i)) {
        r.kind = (i >= 0 && i < rows) ? HourLookup::exact : HourLookup::out_of_range_exact;
        return r;
    }
    r.j = (i + 1) % 8760;
    r.f = h - static_cast<double>(i);
    r.kind = (i >= 0 && i < rows && r.j >= 0 && r.j < rows) ? HourLookup::interpolate
                                                            : HourLookup::out_of_range_pair;
    return r;
}

void interpolate_rows(const float* a, const float* b, double f, float* out, size_t n) noexcept {
    const float ff = to_float32(f);
    for (size_t k = 0; k < n; ++k) {
        // Separate roundings (no fused multiply-add): numpy computes B - A,
        // then f * (B - A), then A + that, each rounded to float32.
        volatile float diff = b[k] - a[k];
        volatile float step = ff * diff;
        out[k] = a[k] + step;
    }
}

}  // namespace qm::epw
