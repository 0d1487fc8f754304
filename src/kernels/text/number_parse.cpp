#include "kernels/text/number_parse.hpp"

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>
#include <string>

namespace qm {
namespace {

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

inline char lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool iequals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != b[i]) return false;
    return true;
}

// from_chars reports out-of-range without a value; strtod in the C locale
// gives the saturated result (inf or a signed zero) that float() returns.
double saturated(const char* digits, size_t n) {
    static locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", nullptr);
    std::string buf(digits, n);
    return strtod_l(buf.c_str(), nullptr, c_locale);
}

}  // namespace

bool is_ascii(std::string_view s) noexcept {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

bool parse_py_float(std::string_view text, double& out) noexcept {
    std::string_view s = py_strip(text);
    if (s.empty()) return false;
    bool negative = false;
    if (s[0] == '+' || s[0] == '-') {
        negative = s[0] == '-';
        s.remove_prefix(1);
        if (s.empty()) return false;
    }
    if (!is_digit(s[0]) && s[0] != '.') {
        double v;
        if (iequals(s, "inf") || iequals(s, "infinity"))
            v = std::numeric_limits<double>::infinity();
        else if (iequals(s, "nan"))
            v = std::numeric_limits<double>::quiet_NaN();
        else
            return false;
        out = negative ? -v : v;
        return true;
    }

    // Validate the grammar digits [. digits] [(e|E) [sign] digits] with
    // underscores only between two digits, copying the underscore-free form.
    char small[128];
    std::string big;
    char* buf = small;
    if (s.size() >= sizeof(small)) {
        big.resize(s.size() + 1);
        buf = big.data();
    }
    size_t n = 0;
    size_t i = 0;
    const size_t len = s.size();
    auto digit_run = [&](size_t& count) -> bool {
        // A run of digits; an underscore must sit between two digits.
        count = 0;
        while (i < len) {
            char c = s[i];
            if (is_digit(c)) {
                buf[n++] = c;
                ++count;
                ++i;
            } else if (c == '_') {
                if (count == 0 || i + 1 >= len || !is_digit(s[i + 1])) return false;
                ++i;
            } else {
                break;
            }
        }
        return true;
    };
    size_t int_digits = 0, frac_digits = 0;
    if (!digit_run(int_digits)) return false;
    if (i < len && s[i] == '.') {
        buf[n++] = '.';
        ++i;
        if (!digit_run(frac_digits)) return false;
    }
    if (int_digits + frac_digits == 0) return false;
    if (i < len && (s[i] == 'e' || s[i] == 'E')) {
        buf[n++] = 'e';
        ++i;
        if (i < len && (s[i] == '+' || s[i] == '-')) buf[n++] = s[i++];
        size_t exp_digits = 0;
        if (!digit_run(exp_digits) || exp_digits == 0) return false;
    }
    if (i != len) return false;

    double v = 0.0;
    auto res = std::from_chars(buf, buf + n, v, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range)
        v = saturated(buf, n);
    else if (res.ec != std::errc() || res.ptr != buf + n)
        return false;
    out = negative ? -v : v;
    return true;
}

}  // namespace qm
