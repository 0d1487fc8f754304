#include "kernels/sky/isotropic.hpp"

#include <algorithm>
#include <cmath>

namespace qm::sky {

double isotropic(double dhi, double dome_view) noexcept { return std::max(dhi, 0.0) * dome_view; }

double ground_diffuse(double ghi, double albedo, double ground_view) noexcept {
    return albedo * std::max(ghi, 0.0) * ground_view;
}

double global_horizontal(double dni, double dhi, double solar_altitude) noexcept {
    constexpr double kDeg = 3.14159265358979323846 / 180.0;
    const double beam = solar_altitude > 0.0 ? std::max(dni, 0.0) * std::sin(solar_altitude * kDeg) : 0.0;
    return beam + std::max(dhi, 0.0);
}

}  // namespace qm::sky
