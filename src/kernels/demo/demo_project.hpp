// Inputs of the demo project, generated here so that the demo depends on no
// outside data: a small house with a gable roof and two neighbours as an
// ASCII STL model, and a synthetic hourly weather year as EPW text.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qm::demo {

// The house: footprint 10 m (x, west to east) by 8 m (y, south to north),
// eaves at 6 m, ridge along x at y = 4 m, 9 m high, so both roof halves are
// tilted atan(3/4) = 36.87 deg, one facing south, one north. Axes: +x east,
// +y north, +z up (the sun azimuth counts from +y towards +x). Every solid is
// one named surface; faces are wound counter-clockwise seen from outside.
//   roof_south_east,         the south roof half, cut at x = 5 m into two
//   roof_south_west          surfaces (one PV array each), each meshed with
//                            roof_cells x 4 quads (two triangles each) so
//                            partial shade resolves
//   roof_north               the north half, 2 roof_cells x 4 quads
//   wall_south, wall_north, wall_east, wall_west
//   neighbour_tower          6 x 6 m, 16 m high, 8 m south of the house's
//                            east end: shades roof_south_east around winter
//                            noons and both south parts on winter mornings
//   neighbour_tree           4 x 4 m, 12 m high block south-west: shades
//                            roof_south_west on afternoons
struct HouseOptions {
    int roof_cells = 5;  // quads along the ridge per south roof part, 1..1000
};

// Names of the solids, in the order they appear in the model.
std::vector<std::string> house_surface_names();

// The model as ASCII STL text. roof_cells outside 1..1000 gives "".
std::string house_stl(const HouseOptions& options = {});

// A synthetic weather year for one site.
//
// Radiation: each row holds the mean over the hour ending at its stamp (the
// EPW convention), taken over twelve 5-minute slices with the solar position
// kernel at each slice's middle (local standard time). Clear sky, no clouds:
//   extraterrestrial normal irradiance I0 = 1367 (1 + 0.033 cos(2 pi n / 365)) [W/m2],
//     n the day of the year;
//   relative air mass after Kasten & Young (1989),
//     AM = 1 / (sin h + 0.50572 (h + 6.07995)^-1.6364), h the sun height [deg];
//   direct normal DNI = I0 0.7^(AM^0.678) (Meinel & Meinel 1976) [W/m2];
//   diffuse horizontal DHI = 0.1 DNI sin h, global GHI = DNI sin h + DHI
//     (the usual "diffuse is a tenth of the beam" clear-sky rule);
//   all three 0 while the sun is below the horizon.
// Temperature [C]: annual mean 27 - 0.4 |lat|, seasonal swing
//   min(15, 0.22 |lat|) peaking 20 days after the solstice of the site's
//   hemisphere, daily swing 4 C peaking at 15:00, plus a slow random
//   deviation (first-order autoregressive, sd about 1.5 C).
// Wind speed [m/s]: Weibull with shape 2 and the given mean, made from an
//   hourly first-order autoregressive Gaussian series (lag-1 correlation
//   0.9) mapped through the normal and Weibull distribution functions, with
//   a 15 % afternoon rise; direction a random walk.
// Output: the 8 EPW header lines and 8760 data rows of 35 fields (29
//   February is left out in a leap year, as EPW years do); hour h of a row
//   (1..24) is the hour ending at h:00. Deterministic for a given seed.
struct WeatherOptions {
    double latitude = 0.0;    // [deg], -90..90
    double longitude = 0.0;   // [deg], -180..180, east positive
    int time_zone = 0;        // [h] east of UTC, -12..14
    int year = 2025;          // 1..9999
    double mean_wind = 4.5;   // [m/s], 0..30
    uint64_t seed = 1;
};

enum class WeatherOptionError { none, bad_latitude, bad_longitude, bad_time_zone, bad_year, bad_mean_wind };
WeatherOptionError weather_option_error(const WeatherOptions& options) noexcept;
const char* weather_option_error_text(WeatherOptionError e) noexcept;  // "" for none

// weather_option_error as its text: empty when the options are valid.
std::string check_weather_options(const WeatherOptions& options);

// The EPW text; "" when check_weather_options refuses the options.
std::string clear_sky_epw(const WeatherOptions& options);

// The same year with clouds (temperature and wind as above, from the same
// seed; the clouds from a stream of their own):
//   each day's clearness index K (daily global over daily extraterrestrial
//     horizontal) is drawn around the month's mean monthly_clearness(): a
//     first-order autoregressive Gaussian series (lag-1 correlation 0.3,
//     sd 0.22), clamped to 0.05..0.78, then shifted so that every month's mean
//     is the month's value (clamping kept);
//   each hour's clearness kt = K (1 + 0.08 e), e a lag-0.7 autoregressive
//     unit series, clamped to 0..0.8;
//   for each 5-minute slice with the sun up: global = kt * extraterrestrial
//     horizontal, at most the clear-sky global of clear_sky(); its diffuse
//     part from erbs_diffuse_fraction(kt), the rest the beam, so direct normal
//     = beam / sin h, at most the clear-sky direct normal (the excess then
//     counted as diffuse);
//   rows hold the means over the hour ending at the stamp, as above.
std::string cloudy_epw(const WeatherOptions& options);

// Mean daily clearness index of a month (1..12) at a latitude [deg]: a smooth
// fit to typical measured values, 0.59 - 0.003 |lat| over the year with a
// seasonal swing of min(0.12, 0.0024 |lat|) peaking at the local summer
// solstice (0.34 in January and 0.55 in July at 48 deg N; about 0.52 all
// year in the tropics). At the demo site (48.2 N) this gives about 1,160
// kWh/m2 of global irradiance a year, 53 % of it diffuse.
double monthly_clearness(double latitude, int month) noexcept;

// Diffuse fraction of hourly global irradiance after Erbs, Klein and Duffie
// (1982): 1 - 0.09 kt for kt <= 0.22, 0.9511 - 0.1604 kt + 4.388 kt^2 -
// 16.638 kt^3 + 12.336 kt^4 up to 0.80, 0.165 above (kt: hourly clearness).
double erbs_diffuse_fraction(double kt) noexcept;

// Clear-sky irradiance for one sun height [deg] on day n of the year:
// {dni, dhi, ghi} [W/m2], zeros below the horizon.
struct ClearSky {
    double dni = 0.0, dhi = 0.0, ghi = 0.0;
};
ClearSky clear_sky(double sun_height_deg, int day_of_year) noexcept;

}  // namespace qm::demo
