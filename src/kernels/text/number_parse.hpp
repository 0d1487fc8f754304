// Text-to-number conversion with the rules of the host's float(), for ASCII text.
#pragma once
#include <string_view>

namespace qm {

// True for the ASCII characters that str.isspace() accepts (including the
// information separators 0x1c..0x1f, which float() also strips).
inline bool is_py_space(unsigned char c) noexcept {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
}

// Removes leading and trailing whitespace as str.strip() does for ASCII text.
inline std::string_view py_strip(std::string_view s) noexcept {
    size_t b = 0, e = s.size();
    while (b < e && is_py_space(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && is_py_space(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// Exact fast path for plain decimals: sign, at most 19 digits with an optional
// point, optional exponent. When the digits fit in 2^53 and the power of ten
// is at most 22, one IEEE multiplication or division gives the correctly
// rounded value, as float() does. parse_decimal_prefix reads from p and
// returns where the number ends, or nullptr when the fast path does not
// apply; parse_plain_decimal accepts only a whole token. Anything else takes
// parse_py_float.
const char* parse_decimal_prefix(const char* p, const char* end, double& out) noexcept;
bool parse_plain_decimal(std::string_view s, double& out) noexcept;

// Parses `text` as float(text) would for an ASCII string: surrounding
// whitespace is ignored; an optional sign; "inf", "infinity" or "nan" in any
// case; or decimal digits with an optional fraction and exponent, where single
// underscores may stand between two digits. The result is correctly rounded;
// overflow gives +-inf and underflow +-0.0, as float() does. Returns false
// (leaving `out` untouched) wherever float() would raise ValueError.
// Non-ASCII text always returns false: callers defer such text to the host.
bool parse_py_float(std::string_view text, double& out) noexcept;

}  // namespace qm
