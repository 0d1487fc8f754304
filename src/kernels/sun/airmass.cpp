#include "kernels/sun/airmass.hpp"

#include <cmath>
#include <limits>

namespace qm::sun {

double relative_airmass_kastenyoung1989(double zenith) noexcept {
    if (!(zenith <= 90.0)) return std::numeric_limits<double>::quiet_NaN();  // NaN too
    constexpr double kDeg = 3.14159265358979323846 / 180.0;
    return 1.0 / (std::cos(zenith * kDeg) + 0.50572 * std::pow(6.07995 + (90.0 - zenith), -1.6364));
}

}  // namespace qm::sun
