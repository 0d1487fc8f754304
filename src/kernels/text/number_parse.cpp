#include "kernels/text/number_parse.hpp"

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale.h>
#include <cstdint>
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

// Exact fast path for plain decimals: sign, at most 19 digits with an optional
// point, optional exponent. When the digits fit in 2^53 and the power of ten
// is at most 22, one IEEE multiplication or division gives the correctly
// rounded value. Anything else returns false and takes the general parser.
const char* parse_decimal_prefix(const char* p, const char* end, double& out) noexcept {
    static constexpr double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    bool neg = false;
    if (p < end && (*p == '-' || *p == '+')) neg = *p++ == '-';
    uint64_t mant = 0;
    int digits = 0, frac = 0;
    const char* start = p;
    while (p < end && static_cast<unsigned>(*p - '0') < 10) mant = mant * 10 + static_cast<uint64_t>(*p++ - '0');
    digits = static_cast<int>(p - start);
    const bool int_part = digits != 0;
    bool frac_part = false;
    if (p < end && *p == '.') {
        ++p;
        const char* fs = p;
        while (p < end && static_cast<unsigned>(*p - '0') < 10) mant = mant * 10 + static_cast<uint64_t>(*p++ - '0');
        frac = static_cast<int>(p - fs);
        frac_part = frac != 0;
        digits += frac;
    }
    if (digits > 19) return nullptr;  // the mantissa may have wrapped
    if (!int_part && !frac_part) return nullptr;
    int exp = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool eneg = false;
        if (p < end && (*p == '-' || *p == '+')) eneg = *p++ == '-';
        const char* es = p;
        while (p < end && *p >= '0' && *p <= '9') {
            exp = exp * 10 + (*p++ - '0');
            if (exp > 1000) return nullptr;
        }
        if (p == es) return nullptr;
        if (eneg) exp = -exp;
    }
    if (mant > (uint64_t(1) << 53)) return nullptr;
    const int e10 = exp - frac;
    double v = static_cast<double>(mant);
    if (e10 < 0) {
        if (e10 < -22) return nullptr;
        v /= kPow10[-e10];
    } else {
        if (e10 > 22) return nullptr;
        v *= kPow10[e10];
    }
    out = neg ? -v : v;
    return p;
}

bool parse_plain_decimal(std::string_view s, double& out) noexcept {
    const char* end = s.data() + s.size();
    return parse_decimal_prefix(s.data(), end, out) == end;
}

}  // namespace qm
