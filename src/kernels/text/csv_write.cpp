#include "kernels/text/csv_write.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>

#include "kernels/io/atomic_write.hpp"

namespace qm::text {
namespace {

// Lays out the digits and decimal exponent of std::to_chars' shortest
// scientific form ("d.ddde+XX") the way repr(float) does.
void layout_scientific(std::string& out, const char* first, const char* last) {
    const char* p = first;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    std::string digits;
    while (p < last && *p != 'e') {
        if (*p != '.') digits += *p;
        ++p;
    }
    int exp = 0;
    if (p < last) std::from_chars(p + 1 + (p[1] == '+'), last, exp);
    // The value is 0.DIGITS x 10^decpt with decpt = exp + 1.
    const int decpt = exp + 1;
    const int n = int(digits.size());
    if (decpt <= -4 || decpt > 16) {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        char buf[16];
        std::snprintf(buf, sizeof buf, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp);
        out += buf;
    } else if (decpt <= 0) {
        out += "0.";
        out.append(size_t(-decpt), '0');
        out += digits;
    } else if (decpt >= n) {
        out += digits;
        out.append(size_t(decpt - n), '0');
        out += ".0";
    } else {
        out.append(digits, 0, size_t(decpt));
        out += '.';
        out.append(digits, size_t(decpt), std::string::npos);
    }
}

template <typename F>
void append_shortest_impl(std::string& out, F v) {
    if (std::isnan(v)) {
        out += "nan";
        return;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return;
    }
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    layout_scientific(out, buf, r.ptr);
}

// Days since 1970-01-01 to (year, month, day) in the proleptic Gregorian calendar.
void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) noexcept {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool needs_quotes(std::string_view s) noexcept {
    if (s.empty()) return false;
    if (s.front() == ' ' || s.back() == ' ') return true;
    for (char c : s)
        if (c == ',' || c == '"' || c == '\n' || c == '\r') return true;
    return false;
}

}  // namespace

void append_shortest(std::string& out, double v) { append_shortest_impl(out, v); }
void append_shortest(std::string& out, float v) { append_shortest_impl(out, v); }

bool is_float32_exact(double v) noexcept {
    if (!std::isfinite(v)) return true;
    if (std::fabs(v) > double(std::numeric_limits<float>::max())) return false;
    return double(float(v)) == v;
}

bool append_datetime(std::string& out, int64_t seconds) {
    // 0001-01-01 .. 9999-12-31 23:59:59
    constexpr int64_t lo = -62135596800LL, hi = 253402300799LL;
    if (seconds < lo || seconds > hi) return false;
    int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    int64_t rest = seconds - days * 86400;
    int64_t y;
    unsigned m, d;
    civil_from_days(days, y, m, d);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02d:%02d:%02d", int(y), m, d, int(rest / 3600),
                  int(rest / 60 % 60), int(rest % 60));
    out += buf;
    return true;
}

void append_field(std::string& out, std::string_view text) {
    if (!needs_quotes(text)) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

size_t CsvColumn::size() const noexcept {
    switch (kind) {
        case Kind::f64:
        case Kind::f32: return numbers.size();
        case Kind::i64: return integers.size();
        case Kind::text: return cells.size();
    }
    return 0;
}

const char* csv_error_text(CsvError e) noexcept {
    switch (e) {
        case CsvError::none: return "";
        case CsvError::ragged: return "columns of different lengths";
        case CsvError::bad_time: return "time stamp outside the years 1..9999";
    }
    return "";
}

CsvError format_csv(const CsvTable& table, std::string& out) {
    size_t rows = table.has_times ? table.times.size() : (table.columns.empty() ? 0 : table.columns[0].size());
    for (const CsvColumn& c : table.columns)
        if (c.size() != rows) return CsvError::ragged;

    // Header.
    bool first = true;
    if (table.has_times) {
        append_field(out, table.time_header);
        first = false;
    }
    for (const CsvColumn& c : table.columns) {
        if (!first) out += ',';
        append_field(out, c.header);
        first = false;
    }
    out += '\n';
    out.reserve(out.size() + rows * (20 + 12 * table.columns.size()));

    for (size_t r = 0; r < rows; ++r) {
        first = true;
        if (table.has_times) {
            int64_t t = table.times[r];
            if (t != std::numeric_limits<int64_t>::min() && !append_datetime(out, t)) return CsvError::bad_time;
            first = false;
        }
        for (const CsvColumn& c : table.columns) {
            if (!first) out += ',';
            first = false;
            switch (c.kind) {
                case CsvColumn::Kind::f64:
                    if (!std::isnan(c.numbers[r])) append_shortest(out, c.numbers[r]);
                    break;
                case CsvColumn::Kind::f32:
                    if (!std::isnan(c.numbers[r])) append_shortest(out, float(c.numbers[r]));
                    break;
                case CsvColumn::Kind::i64: {
                    char buf[24];
                    auto res = std::to_chars(buf, buf + sizeof buf, c.integers[r]);
                    out.append(buf, res.ptr);
                    break;
                }
                case CsvColumn::Kind::text: append_field(out, c.cells[r]); break;
            }
        }
        out += '\n';
    }
    return CsvError::none;
}

WriteError write_file_replacing(const std::string& path, std::string_view content, int& error_number) {
    const char* step = "";
    if (io::write_file_atomic(path, content, error_number, step)) return WriteError::none;
    if (std::strcmp(step, "create") == 0 || std::strcmp(step, "not_regular") == 0) return WriteError::open;
    if (std::strcmp(step, "rename") == 0) return WriteError::rename;
    return WriteError::write;
}

}  // namespace qm::text
