// GaleModule: a small wind turbine turning the wind speed on its input into
// power (kW) and accumulated energy (kWh).
#include "bindings/components/gale_module.hpp"

#include <cmath>

#include "bindings/support/common.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_clock.hpp"
#include "bindings/core/sim_unit.hpp"
#include "kernels/wind/power_curve.hpp"

namespace qm::py {


namespace {

nb::handle g_gale_type;

struct Keys {
    Key wind_speed{"wind_speed"}, capacity{"capacity"}, power{"power"}, energy{"energy"};
};
const Keys& keys() {
    static Keys* k = new Keys();  // interned for the life of the host
    return *k;
}

// float(x) of the host for a number object: text and None raise TypeError.
double number_value(nb::handle v) { return as_double(v); }

}  // namespace

nb::object GaleModule::_get_module_info() {
    // The energy entry shares id 3 with power: consumers address variables by name.
    return module_info_record("WindTurbine",
                              {{1, "input", "wind_speed", "number", nb::float_(5.0), "m/s"},
                               {2, "param", "capacity", "number", nb::float_(1.0), "kW"},
                               {3, "output", "power", "number", nb::float_(0.0), "kW", 0},
                               {3, "output", "energy", "number", nb::float_(0.0), "kWh", 1}},
                              2, "风力发电机模块");
}

// The project values awake reads, in in_file_params order, and the rated power.
ModuleDeclaration gale_declaration() {
    ModuleDeclaration d;
    d.values = {required_value("capacity", ValueKind::number, "[0, inf)"), optional_number("wind_speed", 5.0)};
    d.rated_power = {"capacity"};
    return d;
}

void GaleModule::awake(nb::handle) {
    const Keys& k = keys();
    try {
        nb::object capacity = check(PyNumber_Float(check(PyObject_GetItem(in_file_params.ptr(), nb::int_(0).ptr())).ptr()));
        set_record_value(params, k.capacity, capacity);
        nb::object speed = check(PyNumber_Float(check(PyObject_GetItem(in_file_params.ptr(), nb::int_(1).ptr())).ptr()));
        set_record_value(inputs, k.wind_speed, speed);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_KeyError)) throw;
        print("处理输入文件参数错误");
    }
}

double GaleModule::calculate_small_wind_power(double wind_speed, double air_density, double rotor_radius,
                                              double efficiency_a, double efficiency_b, double power_coefficient,
                                              double cut_in_speed, double cut_out_speed) {
    wind::TurbineCurve c{air_density,       rotor_radius, efficiency_a, efficiency_b,
                         power_coefficient, cut_in_speed, cut_out_speed};
    return wind::small_wind_power(wind_speed, c);
}

void GaleModule::update(nb::handle time, nb::handle) {
    SimClock* clock = clock_arg(time, "time");
    if (!clock) raise(PyExc_TypeError, "GaleModule.update needs the simulation clock (a SimClock), got None");
    const double time_step = clock->time_step;
    const Keys& k = keys();
    double wind_speed, energy;
    try {
        wind_speed = number_value(record_value(inputs, k.wind_speed));
        (void)number_value(record_value(params, k.capacity));  // checked, not used by the curve
        energy = number_value(record_value(outputs, k.energy));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_KeyError) && !e.matches(PyExc_TypeError)) throw;
        print("错误：获取变量失败 - " + exception_text(e));
        return;
    }
    const double power = calculate_small_wind_power(wind_speed) / 1000.0;
    // An unknown step power (NaN wind speed) is published but adds no energy,
    // so one missing hour does not spoil the rest of the run's total.
    if (std::isfinite(power)) set_record_value(outputs, k.energy, nb::float_(power * (time_step / 3600.0) + energy));
    set_record_value(outputs, k.power, nb::float_(power));
}

void GaleModule::get_value() {
    if (hello.is_none())
        raise(PyExc_AttributeError,
              "GaleModule.get_value: hello is None; assign the GaleModule whose energy to print first");
    require_ready(hello, "hello", "GaleModule");
    SimUnit* other = nb::inst_ptr<SimUnit>(hello);
    double energy = number_value(record_value(other->outputs, keys().energy));
    print("hello:energy:", nb::float_(energy));
}

void bind_gale_module(nb::module_& m) {
    auto cls = unit_class<GaleModule, PyGaleModule>(
        "quillmere.components.gale_module", "GaleModule",
        "Small wind turbine: cubic power curve between cut-in (3 m/s) and cut-out (18 m/s) speed, both "
        "inclusive; publishes power [kW] and accumulates energy [kWh].",
        "The module information record of the wind turbine.");
    def_update<GaleModule>(cls,
                           "Power of the current wind speed [kW]; adds power * time_step / 3600 to energy [kWh].");
    def_awake<GaleModule>(cls, "Sets capacity and the initial wind speed from in_file_params[0] and [1].",
                          "states");
    cls.def("get_value", [](GaleModule& u) { u.GaleModule::get_value(); },
            "Prints the accumulated energy of the turbine held in hello.");

    g_gale_type = cls;
    def_attr<GaleModule>(
        cls, "hello", "quillmere.components.gale_module.GaleModule | None",
        "Another GaleModule whose accumulated energy get_value prints (or None).",
        [](GaleModule& u) -> nb::object { return u.hello; },
        [](GaleModule& u, nb::handle v) {
            if (!v.is_none() && !PyObject_TypeCheck(v.ptr(), (PyTypeObject*)g_gale_type.ptr()))
                raise_expected("GaleModule", v);
            if (!v.is_none()) require_ready(v, "hello", "GaleModule");
            u.hello = nb::borrow(v);
        },
        [](GaleModule& u) { u.hello = nb::none(); });
    publish_declaration(cls, gale_declaration());
    m.attr("GaleModule") = cls;
}

}  // namespace qm::py
