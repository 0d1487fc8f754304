// Which rows of an hourly weather table a run period reads. The weather
// module looks a step up at hour = current_time / 3600, wrapped into a year
// of 8760 hours, and interpolates between rows floor(h) and floor(h) + 1 when
// h is not whole (epw::locate_hour). A run therefore reads, within the year,
// the hours from its first step's to its last step's (both included), or the
// whole year when it crosses the year's end.
//
// Decisions: the last row a run needs is ceil(h_last) (the row after a
// fractional hour); a period of a whole year or more, or one that crosses the
// end of the year, needs every row and reads some rows again ("wraps").
#pragma once
#include <cstdint>

namespace qm::epw {

struct Coverage {
    int64_t last_row = -1;  // the highest row index the run reads (-1: no steps)
    bool wraps = false;     // the run reads past hour 8760 of the table's year (the year repeats)
};

// begin_s: current_time of the first step [s from 1 January 00:00];
// step_s: time step [s] (> 0); steps: number of steps.
Coverage period_coverage(double begin_s, double step_s, int64_t steps) noexcept;

}  // namespace qm::epw
