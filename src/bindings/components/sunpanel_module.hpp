// The PV panel module: one panel on one surface of the building model. Per
// step: sun position for the site and clock, the surface's cosine factor from
// the shading module, sky-diffuse and ground-reflected irradiance on the
// panel plane, then power (kW) and accumulated energy (kWh).
//
//   P [W] = (DNI * max(cos, 0) + E_sky + E_ground) [W/m2] * A [m2] * eta
//
// The cosine factor is the shading module's answer as is (shown in the "cos"
// output); its neutral -1.0 for an unknown surface counts as no direct sun.
#pragma once
#include <nanobind/nanobind.h>

#include <utility>

#include "bindings/components/shade_group.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_unit.hpp"

namespace qm::py {
namespace nb = nanobind;

// What one step's plane irradiance is made of, as the panel module reads it.
struct StepLight {
    double dni = 0.0, dhi = 0.0, albedo = 0.0;  // inputs [W/m2], [W/m2], [-]
    double cos_factor = 0.0;                   // the shading module's answer (the "cos" output)
    double height = 0.0, azimuth = 0.0;        // the step's sun [deg]
    int year = 0, month = 1, day = 1;          // the sun's date (local standard time)
};

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

    // Internal: the plane irradiance [W/m2] of a step; this module's is
    // dni * max(cos, 0) + sky + ground with diffuse_parts.
    virtual double plane_irradiance(const StepLight& light);

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

void bind_sunpanel_module(nb::module_& m);

// The panel module's project values (in in_file_params order) and summary facts.
ModuleDeclaration sunpanel_declaration();

}  // namespace qm::py
