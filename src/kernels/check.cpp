#include "kernels/check.hpp"

#include <cstdio>
#include <cstdlib>

namespace qm {
void debug_check_failed(const char* condition, const char* file, int line) noexcept {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}
}  // namespace qm
