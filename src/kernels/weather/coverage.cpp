#include "kernels/weather/coverage.hpp"

#include <cmath>

namespace qm::epw {

Coverage period_coverage(double begin_s, double step_s, int64_t steps) noexcept {
    constexpr double kYear = 8760.0;
    Coverage c;
    if (steps <= 0 || !(step_s > 0) || !std::isfinite(begin_s) || !std::isfinite(step_s)) return c;
    double first = std::fmod(begin_s / 3600.0, kYear);
    if (first < 0) first += kYear;
    const double last = first + double(steps - 1) * step_s / 3600.0;
    if (last >= kYear || !std::isfinite(last)) {
        c.wraps = true;
        c.last_row = int64_t(kYear) - 1;
        return c;
    }
    // Interpolation reads the row after a fractional hour (row 0 after the year's last hour).
    const double up = std::ceil(last);
    if (up >= kYear) {
        c.wraps = true;
        c.last_row = int64_t(kYear) - 1;
        return c;
    }
    c.last_row = int64_t(up);
    return c;
}

}  // namespace qm::epw
