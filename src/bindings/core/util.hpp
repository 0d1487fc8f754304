// The shared utility functions of quillmere.core.util, for direct calls from
// other native modules (one call per module and step, so they are cheap).
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <utility>

namespace qm::py {
namespace nb = nanobind;

// Apparent sun (height, azimuth) in degrees for a local standard date-time
// `datetime_tuple` = (year, month, day, hour, minute, second) of a zone
// `time_zone` hours east of UTC. Azimuth clockwise from north (+y) towards
// east (+x), in [0, 360). Raises the host's TypeError / ValueError on bad input,
// exactly as quillmere.core.util.calculate_sun_position does.
std::pair<double, double> sun_position(double longitude, double latitude, int32_t time_zone,
                                       nb::handle datetime_tuple);

// (diffuse sky, ground reflected) irradiance on the plane with the given
// normal [W/m2]. When the host replaced
// quillmere.core.util.calculate_sky_diffuse_and_ground_reflection on that
// module, the replacement is called (and its result unpacked into two
// numbers); otherwise the native kernel runs without any host call, and a
// NaN diffuse_rad (a missing weather value) gives (NaN, NaN).
std::pair<double, double> sky_diffuse_and_ground_reflection(nb::handle normal, double diffuse_rad,
                                                            double ground_reflect);

// The one path rule of the package: surrounding whitespace and quotes
// stripped, environment variables and "~" expanded, a relative path joined to
// `base_folder`, then normalised. Always a str; the file need not exist. The
// run manager resolves every project path with it against the project's
// folder and hands modules the absolute result.
nb::object resolve_path(nb::handle path, nb::handle base_folder);

// quillmere.core.util.convert_to_valid_path: resolve_path against the folder
// set with set_base_folder (the current folder when none is set).
nb::object convert_to_valid_path(nb::handle path);

void bind_util(nb::module_& m);

}  // namespace qm::py
