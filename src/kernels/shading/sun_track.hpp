// The sun track of a run: the sun position of every step and, for each step
// with the sun above the horizon, the index of its position.
//
// Step k's clock time is begin_time + k * time_step by repeated addition (the
// clock's own bits, step_times), its sun that of step_sun at that time plus
// sun_offset(sun_time) (step_sun.hpp says why "middle" adds half an hour).
// A step is sunny when its solar position is found and its altitude is
// above 0 deg. Positions are kept once, in the order of their first sunny
// step (two steps whose altitude and azimuth have the same bits share one),
// so the shading module casts each position once and a panel asks for the
// factor of step k: positions[position_of_step[k]].
//
// Usage (a product that needs per-step sun positions):
//   SunRun run = ...;                       // from the site and the clock
//   SunTrack track = sun_track(run);
//   for (size_t k = 0; k < run.steps; ++k)
//       if (int64_t p = track.position(k); p >= 0) use(track.altitudes[p], track.azimuths[p]);
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/shading/step_sun.hpp"

namespace qm::shading {

// What decides a run's sun positions, and the period that names it in a fingerprint.
struct SunRun {
    double latitude = 0.0, longitude = 0.0;  // [deg]
    int32_t time_zone = 0;                   // [h] of local standard time
    int64_t start_year = 2000;               // clock times count from 1 January 00:00 of this year
    int begin_month = 1, begin_day = 1;      // the period (fingerprint text only)
    int64_t end_year = 2000;
    int end_month = 12, end_day = 31;
    double begin_time = 0.0;                 // [s] clock time of step 0
    double time_step = 3600.0;               // [s]
    size_t steps = 0;
    SunTime sun_time = SunTime::start;
};

struct SunTrack {
    std::vector<double> altitudes, azimuths;  // [deg] distinct sunny positions, by first sunny step
    std::vector<int64_t> position_of_step;    // per step: index of its position, -1 without sun
    size_t positions() const noexcept { return altitudes.size(); }
    size_t sunny_steps = 0;
    // Position index of step k; -1 without sun or beyond the run.
    int64_t position(size_t step) const noexcept {
        return step < position_of_step.size() ? position_of_step[step] : -1;
    }
};

SunTrack sun_track(const SunRun& run);

}  // namespace qm::shading
