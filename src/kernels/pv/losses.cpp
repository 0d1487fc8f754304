#include "kernels/pv/losses.hpp"

#include <cmath>

namespace qm::pv {

const std::array<const char*, 10> kLossNames = {"soiling", "shading",     "snow", "mismatch",         "wiring",
                                                "connections", "lid", "nameplate_rating", "age", "availability"};

double pvwatts_losses(const PvwattsLosses& l) noexcept {
    double perf = 1.0;
    for (double x : l.values()) perf *= 1.0 - x / 100.0;
    return (1.0 - perf) * 100.0;
}

bool losses_in_range(const PvwattsLosses& l) noexcept {
    for (double x : l.values())
        if (!(x >= 0.0 && x <= 100.0)) return false;
    return true;
}

}  // namespace qm::pv
