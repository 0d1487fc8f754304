// Solar position: the Solar Position Algorithm of Reda & Andreas (NREL),
// "Solar Position Algorithm for Solar Radiation Applications", Solar Energy
// 76(5), 2004, pp. 577-589 (revised 2008). Stated uncertainty +-0.0003 deg for
// the years -2000..6000.
//
// The earth's heliocentric position uses the paper's truncated VSOP87 series,
// nutation its 63-term series; the observer is placed on the WGS-like
// ellipsoid of the paper (flattening 0.99664719, radius 6378140 m) and the
// elevation is corrected for atmospheric refraction with the paper's formula.
// Angles are degrees everywhere in this interface.
#pragma once
#include <cstdint>

namespace qm::solar {

// Everything the algorithm needs for one instant and one observer.
struct SpaInput {
    // Local standard time of a zone `timezone` hours east of UTC.
    double year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    double timezone = 0.0;       // [h], east of UTC positive
    double delta_t = 67.0;       // TT - UT [s]
    double longitude = 0.0;      // [deg], east positive, -180..180
    double latitude = 0.0;       // [deg], north positive, -90..90
    double elevation = 0.0;      // observer height above sea level [m]
    double pressure = 1013.25;   // mean annual local pressure [mbar]
    double temperature = 15.0;   // mean annual local temperature [deg C]
    double atmos_refract = 0.5667;  // refraction at sunrise/sunset [deg]
};

// Result with the intermediate quantities the paper tabulates for its example.
struct SpaResult {
    double jd = 0;          // Julian day (UT)
    double L = 0, B = 0, R = 0;  // earth heliocentric longitude, latitude [deg], radius [AU]
    double delta_psi = 0, delta_epsilon = 0;  // nutation in longitude and obliquity [deg]
    double epsilon = 0;     // true obliquity of the ecliptic [deg]
    double lambda = 0;      // apparent sun longitude [deg]
    double alpha = 0, delta = 0;  // geocentric right ascension and declination [deg]
    double hour_angle = 0;  // observer local hour angle [deg]
    double e0 = 0;          // topocentric elevation without refraction [deg]
    double elevation = 0;   // topocentric elevation with refraction [deg]
    double zenith = 0;      // 90 - elevation [deg]
    double azimuth = 0;     // eastward from north, [0, 360) [deg]
};

enum class SpaError {
    none,
    not_finite,      // an input is NaN or infinite
    bad_year,        // outside -2000..6000
    bad_month,       // outside 1..12 or not whole
    bad_day,         // outside 1..31 or not whole
    bad_hour,        // outside 0..24
    bad_minute,      // outside 0..59
    bad_second,      // outside 0..<61 (a leap second is allowed)
    bad_timezone,    // outside -18..18 h
    bad_longitude,   // outside -180..180
    bad_latitude,    // outside -90..90
    bad_atmosphere,  // pressure outside 0..5000 mbar, temperature outside -273..6000 C, |refraction| > 5
};

// Human-readable text of an error (for exception messages).
const char* spa_error_text(SpaError e) noexcept;

// Full algorithm. Returns the error and leaves `out` unspecified on failure.
SpaError spa_calculate(const SpaInput& in, SpaResult& out) noexcept;

// TT - UT [s] after Espenak & Meeus (the polynomial fits of the NASA
// "Five Millennium Canon"), evaluated at y = year + (month - 0.5) / 12.
double delta_t_estimate(double year, double month) noexcept;

// The sun as the simulation uses it: apparent elevation (refraction for a
// standard atmosphere at sea level: 1013.25 mbar, 15 C) and azimuth clockwise
// from north in [0, 360), for a local standard date-time of a zone
// `timezone` hours east of UTC, with delta_t_estimate for TT - UT.
struct SunPosition {
    double height = 0.0;   // [deg]
    double azimuth = 0.0;  // [deg]
};
SpaError sun_position(double longitude, double latitude, double timezone, const double datetime[6],
                      SunPosition& out) noexcept;

// cos(x) as the periodic series evaluate it: |x| < 1e6, absolute error about
// 1e-15 (exposed for its test).
double series_cos(double x) noexcept;

}  // namespace qm::solar
