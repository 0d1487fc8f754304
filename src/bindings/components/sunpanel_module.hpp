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

#include <cmath>
#include <utility>

#include "bindings/components/shade_group.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_unit.hpp"

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
    // Internal: seconds added to the clock's time for the step's sun; this module's is 0.
    virtual double sun_time_offset() const { return 0.0; }

    // Internal: the light of one step on the panel, as the step found it.
    struct StepLight {
        double dni = 0.0;             // direct normal irradiance [W/m2]
        double direct_cos = 0.0;      // the shading module's factor, at least 0 (NaN stays NaN)
        double sky = 0.0, ground = 0.0;  // diffuse parts on the plane [W/m2]
        double height = 0.0, azimuth = 0.0;  // sun position [deg]
        double hours = 0.0;           // the step [h]
        double diffuse_rad = 0.0, ground_reflect = 0.0;  // the step's inputs [W/m2], [-]
        double time = 0.0;            // the instant of the step's sun [s] (clock time + sun_time_offset())
        double clock_time = 0.0;      // the clock's own time of the step [s]
        double circumsolar = 0.0;     // the part of `sky` around the sun, shaded as the beam [W/m2]
        // The same light on the free plane (nothing shaded, free views) [W/m2]: the
        // circumsolar part, and sky without it plus ground; NaN: not set (the
        // panel module's light, which a user may compute otherwise).
        double circumsolar_unshaded = NAN, diffuse_unshaded = NAN;
        int year = 0, month = 1, day = 1;  // the sun's date (local standard time)
    };
    // Internal: sets the step's light on the plane (sky, ground, circumsolar)
    // before step_power; this module's is diffuse_parts' sky and ground as they are.
    virtual void light_on_plane(StepLight&) {}
    // Internal: the step's power [kW] from its light; this module's is
    // calculate_pv_power(dni * cos + sky + ground, area, efficiency) / 1000.
    virtual double step_power(const StepLight& light, double panel_area, double efficiency) {
        return calculate_pv_power(light.dni * light.direct_cos + light.sky + light.ground, panel_area, efficiency) /
               1000.0;
    }

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
