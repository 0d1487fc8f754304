// quillmere.components.sunpanel_timed.TimedSunPanelModule: the PV panel that
// projects use (see sunpanel_timed.cpp). Declared here so that modules built
// on the light of the plane (angle of incidence, cell temperature, DC and
// inverter models) can take its parts one by one.
#pragma once
#include <nanobind/nanobind.h>

#include <string>
#include <utility>

#include "bindings/components/sunpanel_module.hpp"

namespace qm::py {

// The light on the plane of one step, by part [W/m2] (pvlib's names): the
// sky's diffuse light is poa_isotropic + poa_circumsolar + poa_horizon.
struct PoaComponents {
    double poa_direct = 0.0;       // beam after shading: dni * cos factor
    double poa_circumsolar = 0.0;  // the sky around the sun, shaded as the beam
    double poa_isotropic = 0.0;    // the sky dome through the sky view
    double poa_horizon = 0.0;      // the horizon band through the horizon view (may be negative)
    double poa_ground_diffuse = 0.0;
    double airmass = 0.0;          // relative air mass [-] (NaN with the sun below the horizon)
    double dni_extra = 0.0;        // extraterrestrial irradiance [W/m2]
    double poa_sky_diffuse() const noexcept { return poa_isotropic + poa_circumsolar + poa_horizon; }
    double poa_diffuse() const noexcept { return poa_sky_diffuse() + poa_ground_diffuse; }
    // Summed left to right as the panel module sums direct + sky + ground (same bits).
    double poa_global() const noexcept { return poa_direct + poa_sky_diffuse() + poa_ground_diffuse; }
};

class TimedSunPanelModule : public SunPanelModule {
public:
    double sun_offset = 0.0;           // [s] added to the clock's time for the sun (the site's sun_time)
    // The declared setting; the panel module's own behaviour when the module is
    // driven directly, projects get "shaded".
    std::string diffuse = "isotropic";               // "shaded" or "isotropic"
    // The site's light, read at awake (the panel module's without the keys).
    std::string transposition_model = "isotropic";   // "perez" or "isotropic"
    std::string ground_reflection = "diffuse";       // "global" or "diffuse"
    bool shaded_diffuse = false;       // views found for "shaded"
    double sky_view = 0.0, ground_view = 0.0, horizon_view = 0.0;
    PoaComponents poa;                 // the last step's light on the plane

    nb::object _get_module_info() override;
    void awake(nb::handle state) override;
    std::pair<double, double> diffuse_parts(double diffuse_rad, double ground_reflect) override {
        if (!shaded_diffuse) return SunPanelModule::diffuse_parts(diffuse_rad, ground_reflect);
        return {diffuse_rad * sky_view, ground_reflect * diffuse_rad * ground_view};
    }
    void light_on_plane(StepLight& light) override;
    double sun_time_offset() const override { return sun_offset; }

private:
    void read_light(nb::handle state);  // the site's light choices and the light outputs
    bool light_outputs_ = true;         // the light outputs exist (from construction until awake decides)
    bool perez_ = false, global_ground_ = false;  // settings as read at awake
    double cos_tilt_ = 1.0;                       // of the surface's normal, for free-plane views
    double normal_[3] = {0.0, 0.0, 1.0};          // the surface's unit normal
};

}  // namespace qm::py
