// quillmere.components.sunpanel_timed.TimedSunPanelModule: the PV panel that
// projects use. It is a SunPanelModule whose sun is taken at the instant the
// step's weather values belong to: state["site"]["sun_time"] "middle" puts it
// half an hour after the clock's time (the middle of the hour an EPW row
// describes), "start" (or no sun_time) at the clock's time, exactly as the
// panel module does when driven directly.
//
// The attribute `diffuse` (projects set it; "shaded" by default there) is the
// diffuse model: "shaded" takes the sky-diffuse part as diffuse_rad times the
// surface's sky view and the ground-reflected part as ground_reflect times
// diffuse_rad times its ground view (both from the project shading module,
// computed by ray casting past the whole model); "isotropic" (the default when
// the module is driven directly) is the panel module's (1 + cos tilt) / 2 and (1 - cos tilt) / 2.
// Everything else is the panel module's own step.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>

#include <optional>

#include "bindings/components/sunpanel_timed.hpp"

#include "bindings/components/shade_exact.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_clock.hpp"
#include "bindings/support/common.hpp"
#include "kernels/shading/step_sun.hpp"

namespace qm::py {

void TimedSunPanelModule::awake(nb::handle state) {
    SunPanelModule::awake(state);
    shaded_diffuse = false;
    {
        if (diffuse == "shaded") {
            ExactShadowModule* exact = dynamic_cast<ExactShadowModule*>(shadow_unit);
            if (exact && exact->surface_views(surf_name, sky_view, ground_view)) shaded_diffuse = true;
            else
                print("表面 " + to_text(surf_name) + " 没有天空视角系数（阴影模块 " + to_text(shadow_name) +
                      " 未分析该表面或不是项目阴影模块），散射按各向同性天空计算");
        }
    }
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
    cls.def("__init__", &construct_unit<M, PyTimedSunPanelModule>, nb::arg("name").none(), kUnitInitDoc);
    // The panel module's values, plus the diffuse model as a declared setting
    // (so in_file_params stay the panel module's); "shaded" is the project default.
    ModuleDeclaration decl = sunpanel_declaration();
    decl.settings.push_back({"diffuse", {"shaded", "isotropic"}});
    def_setting_attr<M>(
        cls, decl.setting("diffuse"), &M::diffuse, nullptr,
        "The diffuse model: \"shaded\" (the sky-diffuse and ground-reflected parts through the surface's sky and "
        "ground views from the project shading module) or \"isotropic\" (the panel module's (1 + cos tilt) / 2, "
        "the default when driven directly). Read at awake.");
    publish_declaration(cls, decl);
    cls.def_prop_ro("sky_view",
                    [](M& u) { return u.shaded_diffuse ? std::optional<double>(u.sky_view) : std::nullopt; },
                    "The surface's sky view used since awake, None with isotropic diffuse.");
    def_awake<M>(cls, "The panel module's start-up, then the sun time from state[\"site\"][\"sun_time\"] and, "
                      "with diffuse \"shaded\", the surface's sky and ground views.");
    def_update<M>(cls, "One step of the panel module with the sun at the step's sun time.");
    m.attr("TimedSunPanelModule") = cls;
}

}  // namespace qm::py
