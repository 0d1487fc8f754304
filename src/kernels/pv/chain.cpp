#include "kernels/pv/chain.hpp"

#include <cmath>

#include "kernels/pv/dc.hpp"

namespace qm::pv {

const std::array<const char*, kStages> kStageNames = {
    "poa_unshaded", "poa_beam_shaded", "poa_global", "effective_irradiance", "dc_stc", "dc_temperature", "dc"};

ChainResult run_chain(const ChainSettings& s, const PlaneLight& l, double temp_air, double wind_speed) noexcept {
    ChainResult r;
    const double beam = l.poa_direct + l.poa_circumsolar;
    r.poa_global = beam + l.poa_sky_diffuse + l.poa_ground_diffuse;
    // No beam, no angle needed: a night step's aoi may be anything.
    const double beam_iam = beam != 0.0 ? beam * iam(s.iam, l.aoi) : 0.0;
    r.effective_irradiance =
        beam_iam + l.poa_sky_diffuse * s.diffuse_iam.sky + l.poa_ground_diffuse * s.diffuse_iam.ground;
    r.cell_temperature = cell_temperature(s.temperature, r.poa_global, temp_air, wind_speed);
    r.dc_stc = r.effective_irradiance * 0.001 * s.pdc0;
    // Without a temperature effect the cell temperature does not matter (nor
    // whether the weather has one).
    r.dc_temperature = s.gamma_pdc == 0.0 ? r.dc_stc
                                          : pvwatts_dc(r.effective_irradiance, r.cell_temperature, s.pdc0,
                                                       s.gamma_pdc, s.temp_ref);
    r.dc = r.dc_temperature * (1.0 - s.losses / 100.0);
    return r;
}

bool LossTree::add(const PlaneLight& l, const ChainResult& r, double area, double hours) noexcept {
    const double light = area / 1000.0 * hours;  // W/m2 -> kWh on the panel
    std::array<double, kStages> e = {
        (l.poa_beam_unshaded + l.poa_diffuse_unshaded) * light,
        (l.poa_direct + l.poa_circumsolar + l.poa_diffuse_unshaded) * light,
        r.poa_global * light,
        r.effective_irradiance * light,
        r.dc_stc * hours,
        r.dc_temperature * hours,
        r.dc * hours};
    for (double v : e)
        if (!std::isfinite(v)) return false;
    for (int i = 0; i < kStages; ++i) energy[i] += e[i];
    return true;
}

}  // namespace qm::pv
