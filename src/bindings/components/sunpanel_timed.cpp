// quillmere.components.sunpanel_timed.TimedSunPanelModule: the PV panel that
// projects use. It is a SunPanelModule whose sun is taken at the instant the
// step's weather values belong to: state["site"]["sun_time"] "middle" puts it
// half an hour after the clock's time (the middle of the hour an EPW row
// describes), "start" (or no sun_time) at the clock's time, exactly as the
// panel module does when driven directly.
//
// The light on the plane, per step [W/m2], each part through the geometry:
//   poa_direct         = dni * cos factor (cos aoi x lit share, exact per step)
//   poa_circumsolar    = Perez circumsolar with the same cos factor (shaded as the beam)
//   poa_isotropic      = dome part x sky view     (ray cast past the model)
//   poa_horizon        = band part x horizon view (ray cast past the model)
//   poa_ground_diffuse = albedo x ghi x ground view, ghi = dni sin(height) + dhi
// Choices (the site's sky and ground are the same for every panel, so they are
// read from state["site"] at awake, as sun_time; projects default to the first,
// a site without the key gives the panel module's own light):
//   site transposition_model "perez" | "isotropic"   (kernels/sky)
//   site ground_reflection   "global" | "diffuse"    (the panel module's: albedo x dhi)
//   panel setting diffuse    "shaded" | "isotropic"  (the views of the model, or the
//                                                     free plane's (1 +- cos tilt) / 2, sin tilt)
// "isotropic" + "diffuse" + "isotropic" is the panel module's step exactly
// (calculate_sky_diffuse_and_ground_reflection, a host replacement honoured),
// with the panel module's outputs; any other light adds the light outputs.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>

#include <optional>

#include "bindings/components/sunpanel_timed.hpp"

#include <algorithm>
#include <cmath>

#include "bindings/components/shade_exact.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_clock.hpp"
#include "bindings/support/common.hpp"
#include "kernels/geometry/occlusion.hpp"
#include "kernels/shading/step_sun.hpp"
#include "kernels/sky/isotropic.hpp"
#include "kernels/sky/perez.hpp"
#include "kernels/sun/airmass.hpp"
#include "kernels/sun/extraterrestrial.hpp"
#include "kernels/sun/irradiance.hpp"

namespace qm::py {

namespace {

// The light outputs (name, unit), after the panel module's twelve variables.
struct LightOutput {
    const char* name;
    const char* unit;
};
constexpr LightOutput kLightOutputs[] = {
    {"poa_global", "W/m²"},         {"poa_direct", "W/m²"},         {"poa_circumsolar", "W/m²"},
    {"poa_sky_diffuse", "W/m²"},    {"poa_ground_diffuse", "W/m²"}, {"airmass", "-"},
    {"dni_extra", "W/m²"}};
constexpr size_t kLights = sizeof kLightOutputs / sizeof kLightOutputs[0];

const std::vector<Key>& light_keys() {
    static auto* keys = [] {
        auto* k = new std::vector<Key>();  // interned for the life of the host
        for (const LightOutput& o : kLightOutputs) k->emplace_back(o.name);
        return k;
    }();
    return *keys;
}

// Writes a value into an output record that exists (a host may have removed it).
void write_output(nb::handle outputs, nb::handle key, double v) {
    if (!PyDict_Check(outputs.ptr())) return;
    PyObject* rec = PyDict_GetItem(outputs.ptr(), key.ptr());
    if (rec && PyDict_Check(rec)) set_item(rec, key_value(), nb::float_(v));
}

// The unit normal of a normal tuple as the panel module reads it; horizontal when unreadable.
void unit_normal_of(nb::handle normal, double out[3]) {
    out[0] = out[1] = 0.0, out[2] = 1.0;
    if (!normal.is_valid() || !PyTuple_Check(normal.ptr()) || PyTuple_GET_SIZE(normal.ptr()) != 3) return;
    double n[3];
    for (Py_ssize_t i = 0; i < 3; ++i) {
        n[i] = PyFloat_AsDouble(PyTuple_GET_ITEM(normal.ptr(), i));
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return;
        }
    }
    const double len = std::hypot(n[0], n[1], n[2]);
    if (!(len > 0.0) || !std::isfinite(len)) return;
    for (int i = 0; i < 3; ++i) out[i] = n[i] / len;
}

}  // namespace

nb::object TimedSunPanelModule::_get_module_info() {
    nb::dict info = nb::borrow<nb::dict>(SunPanelModule::_get_module_info());
    if (!light_outputs_) return info;
    nb::list vars = nb::borrow<nb::list>(info["vars"]);
    for (const LightOutput& o : kLightOutputs) {
        nb::dict d;
        d["id"] = 5;
        d["category"] = "output";
        d["name"] = o.name;
        d["type"] = "number";
        d["default"] = nb::float_(0.0);
        d["unit"] = o.unit;
        d["notInstantaneous"] = nb::bool_(false);
        vars.append(d);
    }
    return info;
}

void TimedSunPanelModule::light_on_plane(StepLight& l) {
    PoaComponents p;
    p.poa_direct = l.dni * l.direct_cos;
    const double zenith = 90.0 - l.height;
    p.airmass = sun::relative_airmass_kastenyoung1989(zenith);
    p.dni_extra = sun::dni_extra_spencer(sun::day_of_year(l.year, l.month, l.day));
    if (!perez_ && !global_ground_) {
        // The panel module's light (with the views when "shaded"), as diffuse_parts gave it.
        p.poa_isotropic = l.sky, p.poa_ground_diffuse = l.ground;
    } else {
        const double dhi = l.diffuse_rad;
        const sky::PlaneViews free = {0.5 * (1.0 + cos_tilt_), std::sqrt(std::max(0.0, 1.0 - cos_tilt_ * cos_tilt_))};
        const double free_ground = 0.5 * (1.0 - cos_tilt_);
        const sky::PlaneViews views = shaded_diffuse ? sky::PlaneViews{sky_view, horizon_view} : free;
        const double gview = shaded_diffuse ? ground_view : free_ground;
        const double ghi = global_ground_ ? sky::global_horizontal(l.dni, dhi, l.height) : dhi;
        // The same light on the free plane (nothing shaded, free views), for loss accounting.
        double d[3];
        geom::sun_direction(l.height, l.azimuth, d);
        const double cos_aoi = std::max(0.0, d[0] * normal_[0] + d[1] * normal_[1] + d[2] * normal_[2]);
        sky::SkyDiffuse open{dhi * free.dome, 0.0, 0.0};
        p.poa_ground_diffuse = sky::ground_diffuse(ghi, l.ground_reflect, gview);
        p.poa_isotropic = dhi * views.dome;
        if (perez_) {
            // The circumsolar part takes the beam's factor; the panel module asks
            // for it only with beam light, so ask here when only diffuse light comes.
            double beam_factor = l.direct_cos;
            if (!(l.dni > 0.0) && dhi > 0.0 && l.height > 0.0 && shadow_unit)
                beam_factor = std::max(
                    0.0, shadow_unit->step_cos_value(surf_name, StepSun{l.clock_time, sun_offset, l.height, l.azimuth}));
            sky::PerezSky perez;
            // Sun below the horizon (twilight in the step): the isotropic sky.
            if (sky::perez_sky(dhi, l.dni, p.dni_extra, zenith, p.airmass, perez) == sky::SkyError::none) {
                const sky::SkyDiffuse parts = sky::perez_on_plane(dhi, perez, views, beam_factor, zenith);
                p.poa_isotropic = parts.isotropic, p.poa_circumsolar = parts.circumsolar,
                p.poa_horizon = parts.horizon;
                open = sky::perez_on_plane(dhi, perez, free, cos_aoi, zenith);
            }
        }
        l.sky = p.poa_sky_diffuse(), l.ground = p.poa_ground_diffuse, l.circumsolar = p.poa_circumsolar;
        l.circumsolar_unshaded = open.circumsolar;
        l.diffuse_unshaded = open.isotropic + open.horizon + sky::ground_diffuse(ghi, l.ground_reflect, free_ground);
    }
    poa = p;
    const std::vector<Key>& k = light_keys();
    const double values[kLights] = {p.poa_global(), p.poa_direct, p.poa_circumsolar, p.poa_sky_diffuse(),
                                    p.poa_ground_diffuse, p.airmass, p.dni_extra};
    for (size_t i = 0; i < kLights; ++i) write_output(outputs, k[i], values[i]);
}

void TimedSunPanelModule::awake(nb::handle state) {
    SunPanelModule::awake(state);
    shaded_diffuse = false;
    unit_normal_of(normal, normal_);
    cos_tilt_ = std::clamp(normal_[2], -1.0, 1.0);
    read_light(state);
    {
        if (diffuse == "shaded") {
            SurfaceViews v;
            if (shadow_unit && shadow_unit->surface_views(surf_name, v)) {
                sky_view = v.sky, ground_view = v.ground, horizon_view = v.horizon;
                shaded_diffuse = true;
            } else
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

void TimedSunPanelModule::read_light(nb::handle state) {
    transposition_model = "isotropic", ground_reflection = "diffuse";
    PyObject* site = PyDict_Check(state.ptr()) ? PyDict_GetItemString(state.ptr(), "site") : nullptr;
    if (site && PyDict_Check(site)) {
        struct Choice {
            const char* key;
            std::string* member;
            const char* a;
            const char* b;
        } choices[] = {{"transposition_model", &transposition_model, "perez", "isotropic"},
                       {"ground_reflection", &ground_reflection, "global", "diffuse"}};
        for (const Choice& c : choices) {
            PyObject* v = PyDict_GetItemString(site, c.key);
            if (!v) continue;
            const std::string text = PyUnicode_Check(v) ? to_text(v) : "";
            if (text != c.a && text != c.b)
                raise(PyExc_ValueError, std::string("site.") + c.key + " 应为 \"" + c.a + "\" 或 \"" + c.b +
                                            "\"，实际为 " + to_text(check(PyObject_Repr(v))));
            *c.member = text;
        }
    }
    perez_ = transposition_model == "perez";
    global_ground_ = ground_reflection == "global";
    // The light outputs exist unless the panel module's own light is in use
    // (then the outputs are the panel module's, column for column). A subclass
    // whose own record has one of them keeps it.
    const bool want = perez_ || global_ground_;
    light_outputs_ = false;
    nb::object own = _get_module_info();
    light_outputs_ = want;
    if (!PyDict_Check(outputs.ptr()) || !PyDict_Check(previous_outputs.ptr())) return;
    std::vector<std::string> kept;
    if (PyDict_Check(own.ptr()))
        if (PyObject* vars = PyDict_GetItemString(own.ptr(), "vars"); vars && PyList_Check(vars))
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(vars); ++i) {
                PyObject* spec = PyList_GET_ITEM(vars, i);
                PyObject* nm = PyDict_Check(spec) ? PyDict_GetItemString(spec, "name") : nullptr;
                if (nm && PyUnicode_Check(nm)) kept.push_back(to_text(nm));
            }
    const std::vector<Key>& k = light_keys();
    for (size_t i = 0; i < kLights; ++i) {
        const bool has = PyDict_Contains(outputs.ptr(), k[i].ptr()) == 1;
        if (!want && std::find(kept.begin(), kept.end(), kLightOutputs[i].name) != kept.end()) continue;
        if (want && !has) {
            nb::dict record;
            record["value"] = nb::float_(0.0);
            set_item(outputs, k[i], record);
            set_item(previous_outputs, k[i], nb::float_(0.0));
        } else if (!want && has) {
            if (PyDict_DelItem(outputs.ptr(), k[i].ptr()) < 0) throw_pending();
            if (PyDict_Contains(previous_outputs.ptr(), k[i].ptr()) == 1)
                if (PyDict_DelItem(previous_outputs.ptr(), k[i].ptr()) < 0) throw_pending();
        }
    }
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
    cls.def("_get_module_info", [](M& u) { return info_result(u.M::_get_module_info()); },
            "Returns the module information record: the panel module's variables, then the light on the plane "
            "(poa_global, poa_direct, poa_circumsolar, poa_sky_diffuse, poa_ground_diffuse [W/m²]), airmass [-] "
            "and dni_extra [W/m²].");
    // The panel module's values, plus the light models as declared settings
    // (so in_file_params stay the panel module's); the first choice is the project default.
    ModuleDeclaration decl = sunpanel_declaration();
    decl.settings.push_back({"diffuse", {"shaded", "isotropic"}});
    def_setting_attr<M>(
        cls, decl.setting("diffuse"), &M::diffuse, nullptr,
        "The diffuse model: \"shaded\" (the sky-diffuse and ground-reflected parts through the surface's sky and "
        "ground views from the project shading module) or \"isotropic\" (the panel module's (1 + cos tilt) / 2, "
        "the default when driven directly). Read at awake.");
    cls.def_prop_ro("transposition_model", [](M& u) { return u.transposition_model; },
                    "The sky model in use since awake (pvlib's name), from state[\"site\"][\"transposition_model\"]: "
                    "\"perez\" (Perez 1990: circumsolar part shaded as the beam, dome through the sky view, horizon "
                    "band through the horizon view; projects' default) or \"isotropic\" (also without the key).");
    cls.def_prop_ro("ground_reflection", [](M& u) { return u.ground_reflection; },
                    "What the ground reflects since awake, from state[\"site\"][\"ground_reflection\"]: \"global\" "
                    "(albedo x global horizontal irradiance; projects' default) or \"diffuse\" (albedo x diffuse "
                    "horizontal irradiance, the panel module's; also without the key).");
    publish_declaration(cls, decl);
    cls.def_prop_ro("horizon_view",
                    [](M& u) { return u.shaded_diffuse ? std::optional<double>(u.horizon_view) : std::nullopt; },
                    "The surface's horizon-band view used since awake, None with isotropic diffuse.");
    cls.def_prop_ro("sky_view",
                    [](M& u) { return u.shaded_diffuse ? std::optional<double>(u.sky_view) : std::nullopt; },
                    "The surface's sky view used since awake, None with isotropic diffuse.");
    def_awake<M>(cls, "The panel module's start-up, then the sun time from state[\"site\"][\"sun_time\"] and, "
                      "with diffuse \"shaded\", the surface's sky and ground views.");
    def_update<M>(cls, "One step of the panel module with the sun at the step's sun time.");
    m.attr("TimedSunPanelModule") = cls;
}

}  // namespace qm::py
