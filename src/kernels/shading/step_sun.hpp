// Sun positions of a run's steps.
//
// A weather table row holds the mean of the hour that ends at its time stamp
// (EPW: row "hour 1" covers 00:00-01:00). The weather reader publishes row h at
// clock time h * 3600 s, so the values a step sees describe the hour that
// starts at the step's clock time. The sun of that step belongs to the middle
// of that hour: clock time + 1800 s ("middle"). "start" takes the sun at the
// clock's own time, as the PV module does when driven directly.
//
//   clock time   weather row (EPW stamp)   covers          sun "start"   sun "middle"
//   00:00        hour 1  (01:00)           00:00-01:00     00:00         00:30
//   12:00        hour 13 (13:00)           12:00-13:00     12:00         12:30
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "kernels/sun/spa.hpp"

namespace qm::shading {

enum class SunTime { start, middle };

// "start" / "middle"; false for anything else.
bool parse_sun_time(std::string_view text, SunTime& out) noexcept;
const char* sun_time_name(SunTime t) noexcept;

// Seconds added to a step's clock time to get the instant of its sun [s].
constexpr double kWeatherInterval = 3600.0;  // one weather row covers one hour
double sun_offset(SunTime t) noexcept;

// Clock times of a run: begin, then each previous time plus step, as the
// clock advances (repeated addition, so the times equal the clock's bits).
std::vector<double> step_times(double begin_time, double time_step, size_t steps);

// Number of steps of a period of `span` seconds: ceil(span / step), the
// last step may overrun the end (0 for a non-positive span).
size_t step_count(double span, double time_step) noexcept;

// The sun for a step at clock time `clock_time` [s from 1 January 00:00 of
// start_year] plus `offset` [s]: the local standard date-time at that instant
// (whole seconds, as the clock gives it) through the solar position kernel.
solar::SpaError step_sun(double longitude, double latitude, double time_zone, int64_t start_year,
                         double clock_time, double offset, solar::SunPosition& out) noexcept;

}  // namespace qm::shading
