#include "kernels/text/ascii.hpp"

#include <cstddef>

namespace qm::text {

bool is_ascii(std::string_view s) noexcept {
    // Chunks of plain byte ORs (vectorised by the compiler), early exit per chunk.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size();
    while (n) {
        const size_t chunk = n < 4096 ? n : 4096;
        unsigned char acc = 0;
        for (size_t i = 0; i < chunk; ++i) acc |= p[i];
        if (acc & 0x80) return false;
        p += chunk;
        n -= chunk;
    }
    return true;
}

}  // namespace qm::text
