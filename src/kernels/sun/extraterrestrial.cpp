#include "kernels/sun/extraterrestrial.hpp"

#include <cmath>

namespace qm::sun {

double dni_extra_spencer(double day_of_year, double solar_constant) noexcept {
    constexpr double kTwoPi = 2.0 * 3.14159265358979323846;
    const double b = kTwoPi / 365.0 * (day_of_year - 1.0);
    const double r = 1.00011 + 0.034221 * std::cos(b) + 0.00128 * std::sin(b) + 0.000719 * std::cos(2.0 * b) +
                     0.000077 * std::sin(2.0 * b);
    return solar_constant * r;
}

int day_of_year(int year, int month, int day) noexcept {
    static constexpr int kBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    if (month < 1 || month > 12) month = 1;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return kBefore[month - 1] + day + (leap && month > 2 ? 1 : 0);
}

}  // namespace qm::sun
