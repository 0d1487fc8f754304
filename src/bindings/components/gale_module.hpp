// GaleModule: a small wind turbine turning the wind speed on its input into
// power (kW) and accumulated energy (kWh).
#pragma once
#include <nanobind/nanobind.h>

#include "bindings/core/sim_unit.hpp"
#include "kernels/wind/power_curve.hpp"

namespace qm::py {
namespace nb = nanobind;

class GaleModule : public SimUnit {
public:
    nb::object hello = nb::none();  // another GaleModule whose energy get_value prints

    nb::object _get_module_info() override;
    void update(nb::handle time, nb::handle state) override;
    void awake(nb::handle states) override;
    virtual void get_value();
    // Internal: power [W] of the turbine's curve at a wind speed [m/s].
    // The defaults are those of the kernel's curve.
    virtual double calculate_small_wind_power(double wind_speed, double air_density = wind::TurbineCurve{}.air_density,
                                              double rotor_radius = wind::TurbineCurve{}.rotor_radius,
                                              double efficiency_a = wind::TurbineCurve{}.efficiency_a,
                                              double efficiency_b = wind::TurbineCurve{}.efficiency_b,
                                              double power_coefficient = wind::TurbineCurve{}.power_coefficient,
                                              double cut_in_speed = wind::TurbineCurve{}.cut_in_speed,
                                              double cut_out_speed = wind::TurbineCurve{}.cut_out_speed);

    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(hello.ptr());
        return SimUnit::traverse(visit, arg);
    }
    void clear() override {
        hello = nb::none();
        SimUnit::clear();
    }
};

class PyGaleModule final : public UnitTrampoline<GaleModule> {
public:
    void get_value() override { NB_OVERRIDE(get_value); }
};

void bind_gale_module(nb::module_& m);

}  // namespace qm::py
