#include "kernels/geometry/stl_text.hpp"

#include <cstdint>
#include <cstring>
#include <string>

namespace qm::stl {

bool utf8_valid(std::string_view s) noexcept {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    const unsigned char* end = p + s.size();
    while (p < end) {
        // Skip ASCII eight bytes at a time.
        while (end - p >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ULL) break;
            p += 8;
        }
        if (p >= end) break;
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t n;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
        else return false;
        if (static_cast<size_t>(end - p) < n) return false;
        for (size_t k = 1; k < n; ++k) {
            if ((p[k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[k] & 0x3F);
        }
        if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += n;
    }
    return true;
}

void split_ws(std::string_view line, std::vector<std::string_view>& out) {
    out.clear();
    const char* p = line.data();
    const char* end = p + line.size();
    while ((p = skip_space(p, end)) < end) {
        const char* s = p;
        p = field_end(p, end);
        out.emplace_back(s, static_cast<size_t>(p - s));
    }
}

std::string join_space(const std::string_view* fields, size_t n) {
    std::string r;
    for (size_t i = 0; i < n; ++i) {
        if (i) r.push_back(' ');
        r.append(fields[i]);
    }
    return r;
}

}  // namespace qm::stl
