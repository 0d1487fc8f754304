// quillmere.components.sunpanel_timed.TimedSunPanelModule: the PV panel that
// projects use. It is a SunPanelModule whose sun is taken at the instant the
// step's weather values belong to: state["site"]["sun_time"] "middle" puts it
// half an hour after the clock's time (the middle of the hour an EPW row
// describes), "start" (or no sun_time) at the clock's time, exactly as the
// panel module does when driven directly. Everything else is the panel
// module's own step.
#include <nanobind/nanobind.h>

#include "bindings/components/sunpanel_module.hpp"
#include "bindings/core/sim_clock.hpp"
#include "bindings/support/common.hpp"
#include "kernels/shading/step_sun.hpp"

namespace qm::py {

class TimedSunPanelModule : public SunPanelModule {
public:
    double sun_offset = 0.0;           // [s] added to the clock's time for the sun
    nb::object shifted = nb::none();  // the clock as the sun sees it (a private SimClock)

    void awake(nb::handle state) override;
    void update(nb::handle time, nb::handle state) override;

    int traverse(visitproc visit, void* arg) override {
        if (int rc = SunPanelModule::traverse(visit, arg)) return rc;
        Py_VISIT(shifted.ptr());
        return 0;
    }
    void clear() override {
        SunPanelModule::clear();
        shifted = nb::none();
    }
};

void TimedSunPanelModule::awake(nb::handle state) {
    SunPanelModule::awake(state);
    sun_offset = 0.0;
    if (!PyDict_Check(state.ptr())) return;
    PyObject* site = PyDict_GetItemString(state.ptr(), "site");
    PyObject* st = site && PyDict_Check(site) ? PyDict_GetItemString(site, "sun_time") : nullptr;
    if (!st) return;
    shading::SunTime t;
    if (!PyUnicode_Check(st) || !shading::parse_sun_time(to_text(st), t))
        raise(PyExc_ValueError, "site.sun_time 应为 \"middle\" 或 \"start\"，实际为 " + to_text(check(PyObject_Repr(st))));
    sun_offset = shading::sun_offset(t);
}

void TimedSunPanelModule::update(nb::handle time, nb::handle state) {
    SimClock* clock = clock_arg(time, "time");
    if (sun_offset == 0.0 || !clock) {
        SunPanelModule::update(time, state);
        return;
    }
    if (shifted.is_none()) shifted = nb::borrow(sim_clock_type())(0.0, 3600.0);
    SimClock* s = nb::inst_ptr<SimClock>(shifted);
    s->start_year = clock->start_year;
    s->begin_month = clock->begin_month, s->begin_day = clock->begin_day;
    s->end_year = clock->end_year, s->end_month = clock->end_month, s->end_day = clock->end_day;
    s->begin_time = clock->begin_time;
    s->end_time = clock->end_time;
    s->time_step = clock->time_step;
    s->current_time = clock->current_time + sun_offset;
    SunPanelModule::update(shifted, state);
}

namespace {
class PyTimedSunPanelModule final : public UnitTrampoline<TimedSunPanelModule> {};
}  // namespace

void bind_sunpanel_timed(nb::module_& m) {
    using M = TimedSunPanelModule;
    nb::module_ scope = named_scope("quillmere.components.sunpanel_timed");
    auto cls = nb::class_<M, SunPanelModule, PyTimedSunPanelModule>(
        scope, "TimedSunPanelModule", nb::type_slots(unit_type_slots()),
        "The project PV panel: a SunPanelModule that takes the sun at the middle of the hour the step's weather "
        "row describes (state[\"site\"][\"sun_time\"] == \"middle\") or at the clock's time (\"start\").");
    cls.def("__init__", &construct_unit<M, PyTimedSunPanelModule>, nb::arg("name").none());
    def_awake<M>(cls, "The panel module's start-up, then the sun time from state[\"site\"][\"sun_time\"].");
    def_update<M>(cls, "One step of the panel module with the sun at the step's sun time.");
    m.attr("TimedSunPanelModule") = cls;
}

}  // namespace qm::py
