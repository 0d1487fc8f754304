#include "bindings/core/sim_clock.hpp"

#include <cstdio>

#include "bindings/support/common.hpp"
#include "kernels/time/calendar.hpp"

namespace qm::py {
namespace {

nb::handle g_clock_type;

// Prints the run-period message and ends the run with exit status 1.
[[noreturn]] void period_exit(const char* message) {
    print(message);
    host_exit(1);
}

calendar::Period check_run_periods(nb::handle run_period) {
    calendar::Period out{};
    if (const char* problem = run_period_problem(run_period, out)) period_exit(problem);
    return out;
}

}  // namespace

const char* run_period_problem(nb::handle run_period, calendar::Period& out) {
    nb::object p = get_item(run_period, "params");
    Py_ssize_t n = PyObject_Length(p.ptr());
    if (n < 0) throw_pending();
    if (n != 6) return "运行期参数应为6";
    int32_t v[6];
    for (int i = 0; i < 6; ++i) {
        nb::object idx = nb::int_(i);
        // Each entry with the host's int(); a ValueError means an invalid entry,
        // other errors propagate unchanged.
        PyObject* converted = PyNumber_Long(check(PyObject_GetItem(p.ptr(), idx.ptr())).ptr());
        if (!converted) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw_pending();
            PyErr_Clear();
            return "运行期参数必须为有效的整数";
        }
        nb::object owned = nb::steal(converted);
        v[i] = as_int32(owned);
    }
    switch (calendar::check_run_period(v[0], v[1], v[2], v[3], v[4], v[5], out)) {
        case calendar::PeriodError::bad_month: return "月份必须在 1 到 12 之间";
        case calendar::PeriodError::bad_day: return "日期不合法，请检查日期的有效性";
        case calendar::PeriodError::end_before: return "结束时间必须大于等于开始时间";
        case calendar::PeriodError::none: break;
    }
    return nullptr;
}

void SimClock::set_period(nb::handle run_period) {
    int truth = PyObject_IsTrue(run_period.ptr());
    if (truth < 0) throw_pending();
    if (!truth) {
        start_year = 2025, begin_month = 1, begin_day = 1;
        end_year = 2025, end_month = 12, end_day = 31;
        current_time = begin_time = 0.0;
        end_time = 365 * calendar::kSecondsPerDay;
        return;
    }
    if (!PyDict_Check(run_period.ptr())) raise_expected("dict", run_period);
    // Everything is validated before the first field changes.
    calendar::Period p = check_run_periods(run_period);
    start_year = int32_t(p.start_year), begin_month = int32_t(p.begin_month), begin_day = int32_t(p.begin_day);
    end_year = int32_t(p.end_year), end_month = int32_t(p.end_month), end_day = int32_t(p.end_day);
    current_time = begin_time = p.begin_time;
    end_time = p.end_time;
}

namespace {
std::array<int64_t, 6> datetime_at(int32_t start_year, double current_time) {
    std::array<int64_t, 6> out{};
    switch (calendar::datetime_after(start_year, 1, 1, current_time, out)) {
        case calendar::DateTimeError::not_finite:
            raise(PyExc_ValueError, "cannot convert float NaN to integer: the clock's current_time is not finite");
        case calendar::DateTimeError::year_overflow:
            raise(PyExc_OverflowError, "the clock's current_time lies beyond the supported calendar years");
        case calendar::DateTimeError::none: break;
    }
    return out;
}

nb::tuple as_tuple(const std::array<int64_t, 6>& d) {
    return nb::make_tuple(nb::int_(d[0]), nb::int_(d[1]), nb::int_(d[2]), nb::int_(d[3]), nb::int_(d[4]),
                          nb::int_(d[5]));
}
}  // namespace

std::array<int64_t, 6> SimClock::current_datetime() const { return datetime_at(start_year, current_time); }

nb::tuple datetime_tuple_after(int32_t start_year, double seconds) {
    return as_tuple(datetime_at(start_year, seconds));
}

nb::tuple SimClock::get_current_datetime_tuple() const {
    auto d = current_datetime();
    return nb::make_tuple(nb::int_(d[0]), nb::int_(d[1]), nb::int_(d[2]), nb::int_(d[3]), nb::int_(d[4]),
                          nb::int_(d[5]));
}

std::string SimClock::get_current_datetime_str() const {
    auto d = current_datetime();
    char buf[128];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", (long long)d[0], (long long)d[1],
                  (long long)d[2], (long long)d[3], (long long)d[4], (long long)d[5]);
    return buf;
}

SimClock* clock_arg(nb::handle time, const char* arg) { return typed_arg<SimClock>(time, g_clock_type, arg); }

nb::handle sim_clock_type() { return g_clock_type; }

void bind_sim_clock(nb::module_& m) {
    nb::module_ scope = named_scope("quillmere.core.sim_clock");
    auto cls = nb::class_<SimClock, PySimClock>(scope, "SimClock",
        "Simulation clock: run period as calendar dates, simulated time and time step in seconds.");
    cls.def(
        "__init__",
        [](nb::pointer_and_handle<SimClock> v, nb::handle current_time, nb::handle time_step) {
            double current = as_double(current_time), step = as_double(time_step);
            if (!nb::inst_python_derived(v.h))
                new (v.p) SimClock(current, step);
            else
                new ((void*)v.p) PySimClock(current, step);
        },
        nb::arg("current_time").none() = 0.0, nb::arg("time_step").none() = 3600.0,
        nb::sig("def __init__(self, current_time: float = 0.0, time_step: float = 3600.0) -> None"),
        "Creates a clock at current_time [s] (also its begin_time) that advances by time_step [s]; the run "
        "period stays unset until set_period.");
    cls.def("advance_time", [](SimClock& c) { c.SimClock::advance_time(); },
            "Adds time_step to current_time (no check against the end of the period).");
    cls.def("get_current_time", [](SimClock& c) { return c.SimClock::get_current_time(); },
            "Returns current_time in seconds.");
    cls.def("set_time_step", [](SimClock& c, nb::handle step) { c.SimClock::set_time_step(as_double(step)); },
            nb::arg("time_step").none(), nb::sig("def set_time_step(self, time_step: float) -> None"),
            "Sets the amount added by advance_time; current_time is not touched.");
    cls.def("set_period", [](SimClock& c, arg_as<"dict[str, typing.Any]"> run_period) { c.set_period(run_period); },
            nb::arg("run_period").none(),
            "Sets the run period from {'params': [start year, begin month, begin day, end year, end month, "
            "end day]}; None or {} sets 2025-01-01 to 2025-12-31.");
    struct DateField {
        const char* name;
        int32_t SimClock::*member;
        const char* doc;
    };
    for (const DateField& f : {DateField{"start_year", &SimClock::start_year, "First year of the run period."},
                               DateField{"begin_month", &SimClock::begin_month, "Month (1-12) the run period begins in."},
                               DateField{"begin_day", &SimClock::begin_day, "Day of the month the run period begins on."},
                               DateField{"end_year", &SimClock::end_year, "Last year of the run period."},
                               DateField{"end_month", &SimClock::end_month, "Month (1-12) the run period ends in."},
                               DateField{"end_day", &SimClock::end_day, "Last day of the run period (inclusive)."}})
        def_int32_attr<SimClock>(cls, f.name, f.member, f.doc);
    def_double_attr<SimClock>(cls, "current_time", &SimClock::current_time,
                              "Simulated time [s] from 1 January 00:00 of start_year.");
    def_double_attr<SimClock>(cls, "begin_time", &SimClock::begin_time, "The first current_time of the run [s].");
    def_double_attr<SimClock>(cls, "time_step", &SimClock::time_step, "The amount advance_time adds [s].");
    def_double_attr<SimClock>(cls, "end_time", &SimClock::end_time, "Length of the run period [s].");
    g_clock_type = cls;
    m.attr("SimClock") = cls;
}

}  // namespace qm::py
