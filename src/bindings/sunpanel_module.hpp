// SunPanelModule: one PV panel on one surface of the building model (see
// bind_sunpanel_module.cpp). Declared here so that derived panel types can
// reuse its step.
#pragma once
#include <nanobind/nanobind.h>

#include <utility>

#include "bindings/shade_group.hpp"
#include "bindings/sim_unit.hpp"

namespace qm::py {
namespace nb = nanobind;

class SunPanelModule : public SimUnit {
public:
    nb::object shadow = nb::none();           // the bound shading module (or None)
    SurfaceShadowModule* shadow_unit = nullptr;  // its native object, while `shadow` holds it
    nb::object surf_name = nb::str("");
    nb::object shadow_name = nb::str("");
    double area = 0.0;
    nb::object normal = nb::make_tuple(0.0, 0.0, 0.0);
    bool missing_shadow_reported = false;  // the missing-module message is printed once per run

    nb::object _get_module_info() override;
    void update(nb::handle time, nb::handle state) override;
    void awake(nb::handle state) override;

    // Internal: the sky-diffuse and ground-reflected irradiance on the panel
    // [W/m2] for a diffuse horizontal irradiance and albedo; this module uses
    // calculate_sky_diffuse_and_ground_reflection on the surface's normal.
    virtual std::pair<double, double> diffuse_parts(double diffuse_rad, double ground_reflect);

    // Internal: panel output in W for a plane irradiance [W/m2], area [m2] and efficiency.
    virtual double calculate_pv_power(double total_irradiance, double panel_area, double efficiency) {
        return total_irradiance * panel_area * efficiency;
    }

    int traverse(visitproc visit, void* arg) override {
        if (int rc = SimUnit::traverse(visit, arg)) return rc;
        for (nb::object* o : {&shadow, &surf_name, &shadow_name, &normal}) Py_VISIT(o->ptr());
        return 0;
    }
    void clear() override {
        SimUnit::clear();
        shadow_unit = nullptr;
        for (nb::object* o : {&shadow, &surf_name, &shadow_name, &normal}) *o = nb::none();
    }

private:
    void bind_shadow(nb::handle module);
};

}  // namespace qm::py
