#include "kernels/text/glob.hpp"

namespace qm::text {

bool has_glob(std::string_view s) noexcept { return s.find_first_of("*?[") != std::string_view::npos; }

namespace {

// Matches one byte against the set starting at pattern[p] == '['; sets `next`
// to just after the set. False (and next = p + 1, a literal '[') when unclosed.
bool in_set(std::string_view pat, size_t p, unsigned char c, size_t& next, bool& closed) {
    size_t q = p + 1;
    bool negate = false;
    if (q < pat.size() && pat[q] == '!') negate = true, ++q;
    bool hit = false, first = true;
    while (q < pat.size() && (first || pat[q] != ']')) {
        first = false;
        unsigned char lo = static_cast<unsigned char>(pat[q]), hi = lo;
        if (q + 2 < pat.size() && pat[q + 1] == '-' && pat[q + 2] != ']') {
            hi = static_cast<unsigned char>(pat[q + 2]);
            q += 3;
        } else {
            ++q;
        }
        if (c >= lo && c <= hi) hit = true;
    }
    closed = q < pat.size();
    next = closed ? q + 1 : p + 1;
    return closed ? hit != negate : c == '[';
}

}  // namespace

bool glob_match(std::string_view pat, std::string_view s) noexcept {
    size_t p = 0, i = 0, star_p = std::string_view::npos, star_i = 0;
    while (i < s.size()) {
        if (p < pat.size()) {
            const char c = pat[p];
            if (c == '*') {
                star_p = p++;
                star_i = i;
                continue;
            }
            if (c == '?') {
                ++p, ++i;
                continue;
            }
            if (c == '[') {
                size_t next;
                bool closed;
                if (in_set(pat, p, static_cast<unsigned char>(s[i]), next, closed)) {
                    p = next, ++i;
                    continue;
                }
            } else if (c == s[i]) {
                ++p, ++i;
                continue;
            }
        }
        if (star_p == std::string_view::npos) return false;
        p = star_p + 1;
        i = ++star_i;
    }
    while (p < pat.size() && pat[p] == '*') ++p;
    return p == pat.size();
}

}  // namespace qm::text
