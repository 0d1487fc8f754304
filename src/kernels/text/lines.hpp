// Cutting text into lines, one rule for every reader.
#pragma once
#include <cstring>
#include <string_view>

namespace qm::text {

// Cuts text into lines the way the host's text mode does: "\r\n", "\r" and
// "\n" all end a line; a final line without an end is still a line.
class LineCutter {
public:
    explicit LineCutter(std::string_view text) noexcept
        : p_(text.data()), end_(text.data() + text.size()), nl_(nullptr), cr_(nullptr) {}
    bool next(std::string_view& line) noexcept {
        if (p_ >= end_) return false;
        // The next "\n" and "\r" are looked up once and reused while they lie
        // ahead: linear time whatever the line ends.
        if (nl_ < p_) nl_ = find(p_, '\n');
        if (cr_ < p_) cr_ = find(p_, '\r');
        const char* q = nl_ < cr_ ? nl_ : cr_;
        line = std::string_view(p_, static_cast<size_t>(q - p_));
        if (q < end_) {
            if (*q == '\r' && q + 1 < end_ && q[1] == '\n') ++q;
            ++q;
        }
        p_ = q;
        return true;
    }

private:
    const char* p_;
    const char* end_;
    const char* find(const char* from, char c) const noexcept {
        const void* f = std::memchr(from, c, static_cast<size_t>(end_ - from));
        return f ? static_cast<const char*>(f) : end_;
    }
    const char* nl_;  // next "\n" at or after p_ (end_ when none); null before the first look-up
    const char* cr_;  // likewise for "\r"
};

}  // namespace qm::text
