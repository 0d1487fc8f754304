// The PV panel module: one panel on one surface of the building model. Per
// step: sun position for the site and clock, the surface's cosine factor from
// the shading module, sky-diffuse and ground-reflected irradiance on the
// panel plane, then power (kW) and accumulated energy (kWh).
//
//   P [W] = (DNI * max(cos, 0) + E_sky + E_ground) [W/m2] * A [m2] * eta
//
// The cosine factor is the shading module's answer as is (shown in the "cos"
// output); its neutral -1.0 for an unknown surface counts as no direct sun.
#include "bindings/components/sunpanel_module.hpp"

#include <nanobind/nanobind.h>

#include <cmath>
#include <tuple>

#include "bindings/support/common.hpp"
#include "bindings/components/shade_group.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_clock.hpp"
#include "bindings/core/sim_unit.hpp"
#include "bindings/core/util.hpp"

namespace qm::py {
namespace {

// Interned names of the variables and record keys used per step.
struct Names {
    Key normal_rad{"normal_rad"}, diffuse_rad{"diffuse_rad"}, ground_reflect{"ground_reflect"},
        panel_area{"panel_area"}, efficiency{"efficiency"}, power{"power"}, energy{"energy"},
        surface_name{"surface_name"}, shadow_name{"shadow_name"}, height_angle{"height_angle"},
        azimuth_angle{"azimuth_angle"}, cos{"cos"}, modules{"modules"}, site{"site"}, longitude{"longitude"},
        latitude{"latitude"}, time_zone{"time_zone"}, area{"area"}, normal{"normal"};
};
const Names& names() {
    static Names* n = new Names();  // interned for the life of the host
    return *n;
}

// float(x): numbers and numeric text, with the host's errors.
double to_float(nb::handle v) {
    nb::object f = check(PyNumber_Float(v.ptr()));
    return PyFloat_AS_DOUBLE(f.ptr());
}

constexpr const char* kMissingShadow = "错误：未找到 阴影表面组模块 ";

}  // namespace


nb::object SunPanelModule::_get_module_info() {
    // The ids repeat as the record has always had them; consumers address variables by name.
    return module_info_record("SunPanel",
                              {{1, "input", "normal_rad", "number", nb::float_(800.0), "W/m²"},
                               {1, "input", "diffuse_rad", "number", nb::float_(100.0), "W/m²"},
                               {1, "input", "ground_reflect", "number", nb::float_(0.2), "-"},
                               {2, "param", "panel_area", "number", nb::float_(1.0), "m²"},
                               {3, "param", "efficiency", "number", nb::float_(0.2), ""},
                               {4, "output", "power", "number", nb::float_(0.0), "kW", 0},
                               {5, "output", "energy", "number", nb::float_(0.0), "kWh", 1},
                               {2, "param", "surface_name", "string", nb::str(""), "-"},
                               {2, "param", "shadow_name", "string", nb::str(""), "-"},
                               {5, "output", "height_angle", "number", nb::float_(0.0), "c", 0},
                               {5, "output", "azimuth_angle", "number", nb::float_(0.0), "c", 0},
                               {5, "output", "cos", "number", nb::float_(0.0), "c", 0}},
                              2, "光伏模块");
}

void SunPanelModule::bind_shadow(nb::handle module) {
    if (!module.is_none() && !PyObject_TypeCheck(module.ptr(), (PyTypeObject*)surface_shadow_type().ptr()))
        raise_expected("SurfaceShadowModule", module);
    if (!module.is_none()) {
        const std::string where = "state['modules'][" + to_text(check(PyObject_Repr(shadow_name.ptr()))) + "]";
        require_ready(module, where.c_str(), "SurfaceShadowModule");
    }
    shadow = nb::borrow(module);
    shadow_unit = module.is_none() ? nullptr : nb::inst_ptr<SurfaceShadowModule>(module);
}

// The project values awake reads, in in_file_params order; rated power is
// panel_area x efficiency x 1 kW/m2 (standard test irradiance).
ModuleDeclaration sunpanel_declaration() {
    ModuleDeclaration d;
    d.values = {required_value("shading", ValueKind::module_ref),
                required_value("surface", ValueKind::surface),
                required_value("area", ValueKind::number, "(0, inf)"),
                required_value("efficiency", ValueKind::number, "(0, 1]"),
                optional_number("normal_rad", 800.0),
                optional_number("diffuse_rad", 100.0),
                optional_number("ground_reflect", 0.2, "[0, 1]")};
    d.rated_power = {"panel_area", "efficiency"};
    // The record's "c" on the sun angles and the cosine factor is not a unit of theirs.
    d.output_units = {{"height_angle", "°"}, {"azimuth_angle", "°"}, {"cos", "-"}};
    return d;
}

void SunPanelModule::awake(nb::handle state) {
    const Names& n = names();
    missing_shadow_reported = false;
    // Project values into the parameters and inputs.
    try {
        set_record_value(params, n.shadow_name, get_item(in_file_params, nb::int_(0)));
        set_record_value(params, n.surface_name, get_item(in_file_params, nb::int_(1)));
        set_record_value(params, n.panel_area, nb::float_(to_float(get_item(in_file_params, nb::int_(2)))));
        set_record_value(params, n.efficiency, nb::float_(to_float(get_item(in_file_params, nb::int_(3)))));
        set_record_value(inputs, n.normal_rad, nb::float_(to_float(get_item(in_file_params, nb::int_(4)))));
        set_record_value(inputs, n.diffuse_rad, nb::float_(to_float(get_item(in_file_params, nb::int_(5)))));
        set_record_value(inputs, n.ground_reflect, nb::float_(to_float(get_item(in_file_params, nb::int_(6)))));
        nb::object surface = record_value(params, n.surface_name);
        if (!surface.is_none() && !PyUnicode_Check(surface.ptr())) raise_expected("str", surface);
        surf_name = surface;
        nb::object shading = record_value(params, n.shadow_name);
        if (!shading.is_none() && !PyUnicode_Check(shading.ptr())) raise_expected("str", shading);
        shadow_name = shading;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_KeyError)) throw;
        print("处理输入文件参数错误");
        print(nb::borrow(handle()));
    }
    // The shading module and the surface's statistics.
    try {
        bind_shadow(get_item(get_item(state, n.modules), shadow_name));
        if (!shadow_unit) {
            print(kMissingShadow, shadow_name);  // no module: no statistics to ask for
            return;
        }
        nb::object stats = shadow_unit->get_surf_stats(surf_name);
        if (!stats.is_none() && !PyDict_Check(stats.ptr())) raise_expected("dict", stats);
        area = as_double(get_item(stats, n.area));
        nb::object nrm = get_item(stats, n.normal);
        if (!nrm.is_none() && !PyTuple_Check(nrm.ptr())) raise_expected("tuple", nrm);
        normal = nrm;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_KeyError)) throw;
        print(kMissingShadow, shadow_name);
    }
}

std::pair<double, double> SunPanelModule::diffuse_parts(double diffuse_rad, double ground_reflect) {
    return sky_diffuse_and_ground_reflection(normal, diffuse_rad, ground_reflect);
}

void SunPanelModule::update(nb::handle time, nb::handle state) {
    const Names& n = names();
    SimClock* clock = clock_arg(time, "time");
    if (!clock) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%s'", "time_step");
        throw_pending();
    }
    const double dt = clock->time_step / 3600.0;  // hours
    double dni, diffuse, reflect, panel_area, eff, previous_energy, cos_value, height, azimuth;
    int date[3] = {0, 1, 1};  // the sun's date (year, month, day)
    try {
        dni = as_double(record_value(inputs, n.normal_rad));
        diffuse = as_double(record_value(inputs, n.diffuse_rad));
        reflect = as_double(record_value(inputs, n.ground_reflect));
        panel_area = as_double(record_value(params, n.panel_area));
        eff = as_double(record_value(params, n.efficiency));
        previous_energy = as_double(record_value(outputs, n.energy));
        nb::object site = get_item(state, n.site);
        const double longitude = as_double(get_item(site, n.longitude));
        const double latitude = as_double(get_item(site, n.latitude));
        const int32_t zone = as_int32(get_item(site, n.time_zone));
        const double offset = sun_time_offset();
        nb::tuple when = offset == 0.0 ? clock->get_current_datetime_tuple()
                                       : datetime_tuple_after(clock->start_year, clock->current_time + offset);
        std::tie(height, azimuth) = sun_position(longitude, latitude, zone, when);
        for (Py_ssize_t i = 0; i < 3 && i < PyTuple_GET_SIZE(when.ptr()); ++i)
            date[i] = int(PyLong_AsLong(PyTuple_GET_ITEM(when.ptr(), i)));
        if (PyErr_Occurred()) PyErr_Clear();  // the clock's tuple holds small ints
        set_record_value(outputs, n.height_angle, nb::float_(height));
        set_record_value(outputs, n.azimuth_angle, nb::float_(azimuth));
        cos_value = 0.0;
        if (dni > 0) {
            if (shadow_unit) {
                cos_value = shadow_unit->step_cos_value(
                    surf_name, StepSun{clock->current_time, sun_time_offset(), height, azimuth});
            } else if (!missing_shadow_reported) {
                print(kMissingShadow, shadow_name);  // direct sun counts as 0 without a shading module
                missing_shadow_reported = true;
            }
        }
        set_record_value(outputs, n.cos, nb::float_(cos_value));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_KeyError) && !e.matches(PyExc_TypeError)) throw;
        print("错误：获取变量失败 - " + exception_text(e));
        return;
    }
    auto [sky, ground] = diffuse_parts(diffuse, reflect);
    const double direct_cos = cos_value < 0.0 ? 0.0 : cos_value;  // NaN stays NaN
    StepLight light{dni, direct_cos, sky, ground, height, azimuth, dt, diffuse, reflect,
                    clock->current_time + sun_time_offset(), clock->current_time};
    light.year = date[0], light.month = date[1], light.day = date[2];
    light_on_plane(light);
    const double power = step_power(light, panel_area, eff);
    // A non-finite step power is shown but not accumulated.
    const double energy = std::isfinite(power) ? power * dt + previous_energy : previous_energy;
    set_record_value(outputs, n.energy, nb::float_(energy));
    set_record_value(outputs, n.power, nb::float_(power));
}

namespace {
class PySunPanelModule final : public UnitTrampoline<SunPanelModule> {};
}  // namespace

void bind_sunpanel_module(nb::module_& m) {
    using M = SunPanelModule;
    auto cls = unit_class<M, PySunPanelModule>(
        "quillmere.components.sunpanel_module", "SunPanelModule",
        "光伏模块: one PV panel on one surface of the building model; power [kW] and energy [kWh] from the "
        "direct irradiance reduced by the surface's shading plus the sky-diffuse and ground-reflected parts.",
        "Returns the module information record: three inputs, four parameters, five outputs.");
    def_awake<M>(cls,
                 "Copies the project values into the parameters and inputs and binds the shading module and the "
                 "surface's statistics.");
    def_update<M>(cls, "One step: sun position, shading lookup, plane irradiance, power and accumulated energy.");
    publish_declaration(cls, sunpanel_declaration());
    m.attr("SunPanelModule") = cls;
}

}  // namespace qm::py
