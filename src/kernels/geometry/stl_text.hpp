// Text primitives shared by the STL readers: UTF-8 validation, universal
// line ends and splitting at runs of whitespace with the host's str.split()
// notion of whitespace (ASCII and the Unicode space characters).
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/number_parse.hpp"

namespace qm::stl {

// True when `s` is well-formed UTF-8 (no overlongs, no surrogates, <= U+10FFFF),
// i.e. when the host's strict UTF-8 decoder accepts it.
bool utf8_valid(std::string_view s) noexcept;

// Length in bytes of the whitespace character starting at p (0 when the
// character there is not whitespace). Whitespace is what str.isspace() accepts:
// ASCII \t\n\v\f\r, 0x1c..0x1f, space, and U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
inline size_t space_len(const char* p, const char* end) noexcept {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x80) return is_py_space(c) ? 1 : 0;
    const size_t left = static_cast<size_t>(end - p);
    const unsigned char c1 = left > 1 ? static_cast<unsigned char>(p[1]) : 0;
    const unsigned char c2 = left > 2 ? static_cast<unsigned char>(p[2]) : 0;
    if (c == 0xC2) return (c1 == 0x85 || c1 == 0xA0) ? 2 : 0;
    if (c == 0xE1) return (c1 == 0x9A && c2 == 0x80) ? 3 : 0;
    if (c == 0xE2) {
        if (c1 == 0x80) return (c2 <= 0x8A || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF) && c2 >= 0x80 ? 3 : 0;
        if (c1 == 0x81) return c2 == 0x9F ? 3 : 0;
        return 0;
    }
    if (c == 0xE3) return (c1 == 0x80 && c2 == 0x80) ? 3 : 0;
    return 0;
}

// Cuts text into lines the way the host's text mode does: "\r\n", "\r" and
// "\n" all end a line; a final line without an end is still a line.
class LineCutter {
public:
    explicit LineCutter(std::string_view text) noexcept : p_(text.data()), end_(text.data() + text.size()) {}
    bool next(std::string_view& line) noexcept {
        if (p_ >= end_) return false;
        const char* s = p_;
        const char* q = s;
        while (q < end_ && *q != '\n' && *q != '\r') ++q;
        line = std::string_view(s, static_cast<size_t>(q - s));
        if (q < end_) {
            if (*q == '\r' && q + 1 < end_ && q[1] == '\n') ++q;
            ++q;
        }
        p_ = q;
        return true;
    }
    // Bytes consumed so far (for progress and tests).
    const char* position() const noexcept { return p_; }

private:
    const char* p_;
    const char* end_;
};

// Splits `line` at runs of whitespace into `out` (cleared first), as
// line.split() does; leading and trailing whitespace give no empty fields.
void split_ws(std::string_view line, std::vector<std::string_view>& out);

// Joins fields with single spaces.
std::string join_space(const std::string_view* fields, size_t n);

}  // namespace qm::stl
