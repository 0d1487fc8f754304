// Text primitives shared by the STL readers: UTF-8 validation, universal
// line ends and splitting at runs of whitespace with the host's str.split()
// notion of whitespace (ASCII and the Unicode space characters).
#pragma once
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/text/lines.hpp"
#include "kernels/text/number_parse.hpp"

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

// 0: part of a field, 1: ASCII whitespace, 2: first byte of a multi-byte character.
struct ByteClass {
    unsigned char c[256];
    constexpr ByteClass() : c() {
        for (int i = 0; i < 256; ++i)
            c[i] = i >= 0x80 ? 2 : ((i == 0x20 || (i >= 0x09 && i <= 0x0d) || (i >= 0x1c && i <= 0x1f)) ? 1 : 0);
    }
};
inline constexpr ByteClass kByteClass{};

// Whitespace character at p (p < end)?
inline bool space_at(const char* p, const char* end) noexcept {
    const unsigned char k = kByteClass.c[static_cast<unsigned char>(*p)];
    return k == 1 || (k == 2 && space_len(p, end) != 0);
}

// First byte at or after p that is not whitespace (or end).
inline const char* skip_space(const char* p, const char* end) noexcept {
    while (p < end) {
        const unsigned char k = kByteClass.c[static_cast<unsigned char>(*p)];
        if (k == 1) {
            ++p;
        } else if (k == 2) {
            const size_t w = space_len(p, end);
            if (!w) break;
            p += w;
        } else {
            break;
        }
    }
    return p;
}

// End of the field starting at p.
inline const char* field_end(const char* p, const char* end) noexcept {
    while (p < end) {
        if (static_cast<unsigned char>(*p - 0x21) < 0x5E) {
            ++p;
            continue;
        }
        if (space_at(p, end)) break;
        ++p;
    }
    return p;
}

// The reader's line cutter is the shared one.
using text::LineCutter;

// Splits `line` at runs of whitespace into `out` (cleared first), as
// line.split() does; leading and trailing whitespace give no empty fields.
void split_ws(std::string_view line, std::vector<std::string_view>& out);

// Joins fields with single spaces.
std::string join_space(const std::string_view* fields, size_t n);

}  // namespace qm::stl
