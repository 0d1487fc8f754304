// The ASCII test shared by the readers: ASCII text takes the fast paths
// (byte-wise whitespace, digits); anything else follows the host's rules.
#pragma once
#include <string_view>

namespace qm::text {

// True when every byte is below 0x80.
bool is_ascii(std::string_view s) noexcept;

}  // namespace qm::text
