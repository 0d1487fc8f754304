// Extraterrestrial radiation: the beam irradiance at the top of the
// atmosphere on a plane normal to the sun, through the year as the earth's
// distance from the sun changes.
//
//   B = 2 pi (doy - 1) / 365                                        [rad]
//   (R0 / R)^2 = 1.00011 + 0.034221 cos B + 0.00128 sin B
//                + 0.000719 cos 2B + 0.000077 sin 2B                [-]
//   dni_extra = solar_constant * (R0 / R)^2                         [W/m2]
//
// doy the day of the year [1..366], solar_constant 1366.1 W/m2 by default.
// Spencer, J. W., "Fourier series representation of the position of the
// sun", Search 2(5), p. 172, 1971. pvlib: irradiance.get_extra_radiation(
// datetime_or_doy, method='spencer'), which takes the whole day of the year.
//
// Decided here: the day of the year is taken as given (a fraction is allowed;
// callers that follow pvlib pass the whole day); 366 continues the series.
#pragma once

namespace qm::sun {

constexpr double kSolarConstant = 1366.1;  // [W/m2], pvlib's default

double dni_extra_spencer(double day_of_year, double solar_constant = kSolarConstant) noexcept;

// Day of the year [1..366] of a Gregorian date (no range checks beyond the
// month: 1..12).
int day_of_year(int year, int month, int day) noexcept;

}  // namespace qm::sun
