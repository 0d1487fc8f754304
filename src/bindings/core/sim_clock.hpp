// The simulation clock: run period, simulated time and time step.
#pragma once
#include <nanobind/nanobind.h>
#include <nanobind/trampoline.h>

#include <array>
#include <cstdint>
#include <string>

#include "bindings/support/attributes.hpp"
#include "kernels/time/calendar.hpp"

namespace qm::py {
namespace nb = nanobind;

class SimClock {
public:
    SimClock(double current, double step) : current_time(current), begin_time(current), time_step(step) {}
    virtual ~SimClock() = default;

    int32_t start_year = 0, begin_month = 0, begin_day = 0;
    int32_t end_year = 0, end_month = 0, end_day = 0;
    double current_time = 0.0;  // seconds from 1 January 00:00 of start_year
    double begin_time = 0.0;    // first current_time of the run
    double time_step = 3600.0;  // added by advance_time
    double end_time = 0.0;      // length of the run period in seconds

    // Overridable operations (a host subclass's redefinition is reached).
    virtual void advance_time() { current_time += time_step; }
    virtual double get_current_time() { return current_time; }
    virtual void set_time_step(double step) { time_step = step; }

    // Host-level only: validates and sets the run period (None or {} = default year).
    void set_period(nb::handle run_period);

    // Internal: the current date and time, counted from 1 January 00:00 of
    // start_year (the base the weather reader uses for its hour of the year).
    std::array<int64_t, 6> current_datetime() const;
    nb::tuple get_current_datetime_tuple() const;
    std::string get_current_datetime_str() const;
};

// Host subclasses: overrides of the three operations are found by attribute lookup.
class PySimClock final : public SimClock {
public:
    NB_TRAMPOLINE(SimClock);
    void advance_time() override { NB_OVERRIDE(advance_time); }
    double get_current_time() override { NB_OVERRIDE(get_current_time); }
    void set_time_step(double step) override { NB_OVERRIDE(set_time_step, step); }
};

// The date-time tuple (year, month, day, hour, minute, second) of `seconds`
// after 1 January 00:00 of start_year, as a clock at that time gives it.
nb::tuple datetime_tuple_after(int32_t start_year, double seconds);

// The clock argument as signatures show it.
using clock_hint = arg_as<"quillmere.core.sim_clock.SimClock">;

// The clock argument of update/after/finish: a SimClock instance or None.
// Returns nullptr for None; raises the argument-type TypeError otherwise.
SimClock* clock_arg(nb::handle time, const char* arg = "time");

// The clock's check of a run period {"params": [...]} without its exit: the
// message the clock would print, or nullptr (then `out` holds the period).
// Errors other than an invalid entry propagate.
const char* run_period_problem(nb::handle run_period, calendar::Period& out);

// The bound SimClock type, for type names in messages and isinstance checks.
nb::handle sim_clock_type();

void bind_sim_clock(nb::module_& m);

}  // namespace qm::py
