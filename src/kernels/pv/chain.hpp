// One step of the conversion chain of a PV array, from the light on its plane
// to DC power at its terminals, and the loss tree that sums it over a run.
//
//   poa_global           = poa_direct + poa_circumsolar + poa_sky_diffuse + poa_ground_diffuse  [W/m2]
//   effective_irradiance = (poa_direct + poa_circumsolar) * iam(aoi)
//                          + poa_sky_diffuse * iam_sky + poa_ground_diffuse * iam_ground        [W/m2]
//   cell_temperature     = model(poa_global, temp_air, wind_speed)                               [C]
//   dc_stc               = effective_irradiance / 1000 * pdc0                                   [kW]
//   dc_temperature       = pvwatts_dc(effective_irradiance, cell_temperature, pdc0, gamma_pdc)  [kW]
//   dc                   = dc_temperature * (1 - losses / 100)                                  [kW]
// (iam.hpp, cell_temperature.hpp, dc.hpp, losses.hpp hold the models and their
// references.) The beam and the circumsolar part arrive at the angle of
// incidence aoi [deg]; the sky and ground parts are isotropic and take the
// integrated modifiers iam_sky and iam_ground of the plane's tilt (Marion
// 2017), computed once per panel. This is the order pvlib's ModelChain runs
// (aoi model, temperature model from poa_global, pvwatts dc, pvwatts losses).
//
// At neutral settings (no_loss iam, gamma_pdc = 0, no losses) dc equals
// poa_global * pdc0 / 1000: the simple panel model with pdc0 = area * efficiency.
//
// The loss tree keeps, per stage, the energy over the run [kWh]: light on the
// plane without shading, after beam shading, after diffuse shading, after
// incidence-angle losses (light: irradiance times panel area), then DC at STC,
// after temperature and after system losses. A step whose result is not finite
// adds nothing to any stage, so the stages always describe the same steps.
#pragma once
#include <array>

#include "kernels/pv/cell_temperature.hpp"
#include "kernels/pv/iam.hpp"

namespace qm::pv {

struct ChainSettings {
    IamParameters iam;
    DiffuseIam diffuse_iam;        // marion_diffuse(iam, tilt), set once per panel
    TemperatureParameters temperature;
    double pdc0 = 1.0;             // nameplate DC power at STC [kW]
    double gamma_pdc = -0.004;     // temperature coefficient of power [1/C]
    double temp_ref = 25.0;        // [C]
    double losses = 0.0;           // total system losses [%] (pvwatts_losses)
};

struct PlaneLight {
    double poa_direct = 0.0;          // beam on the plane after shading [W/m2]
    double poa_circumsolar = 0.0;     // circumsolar part, after shading [W/m2]
    double poa_sky_diffuse = 0.0;     // sky diffuse on the plane, after the sky view [W/m2]
    double poa_ground_diffuse = 0.0;  // ground-reflected, after the ground view [W/m2]
    double aoi = 0.0;                 // angle of incidence of the beam [deg]
    // The same light without shading, for the loss tree [W/m2].
    double poa_beam_unshaded = 0.0;     // beam + circumsolar with no obstruction
    double poa_diffuse_unshaded = 0.0;  // sky + ground with free views
};

struct ChainResult {
    double poa_global = 0.0, effective_irradiance = 0.0, cell_temperature = 0.0;  // [W/m2], [W/m2], [C]
    double dc_stc = 0.0, dc_temperature = 0.0, dc = 0.0;                           // [kW]
};

ChainResult run_chain(const ChainSettings& s, const PlaneLight& light, double temp_air, double wind_speed) noexcept;

enum class Stage {
    poa_unshaded,
    poa_beam_shaded,
    poa_global,
    effective_irradiance,
    dc_stc,
    dc_temperature,
    dc,
    count
};
constexpr int kStages = int(Stage::count);
extern const std::array<const char*, kStages> kStageNames;  // "poa_unshaded", ...

struct LossTree {
    std::array<double, kStages> energy{};  // [kWh]
    // Adds one step of `hours` [h] for a panel of `area` [m2]; returns false
    // (adding nothing) when any stage is not finite.
    bool add(const PlaneLight& light, const ChainResult& r, double area, double hours) noexcept;
};

}  // namespace qm::pv
