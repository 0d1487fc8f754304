#include "kernels/wind/power_curve.hpp"

#include <cmath>

namespace qm::wind {

double small_wind_power(double v, const TurbineCurve& c) noexcept {
    if (v < c.cut_in_speed || v > c.cut_out_speed) return 0.0;
    const double area = kPi * std::pow(c.rotor_radius, 2.0);
    const double factor = (((c.efficiency_b * c.efficiency_a) * 0.5) * c.air_density) * area * c.power_coefficient;
    return std::pow(v, 3.0) * factor;
}

}  // namespace qm::wind
