// AC power of an inverter by the PVWatts part-load curve (Dobos 2014, PVWatts
// Version 5 Manual, NREL/TP-6A20-62641, eq. 5-6):
//   zeta = pdc / pdc0,  pac0 = eta_inv_nom * pdc0,
//   eta = eta_inv_nom / eta_inv_ref * (-0.0162 zeta - 0.0059 / zeta + 0.9858),
//   pac = min(eta * pdc, pac0), at least 0.
// pdc the DC input and pdc0 the inverter's DC rating [kW here; any power unit,
// results in the same]; eta_inv_nom the nominal efficiency (0.96) and
// eta_inv_ref the reference efficiency of the curve (0.9637) [-]. pac0 is the
// AC rating: what eta * pdc exceeds it by is the clipping loss.
//
// What the implementation decides: pdc = 0 gives 0 (the curve is not
// evaluated); eta below 0 (zeta < 0.006) gives 0, as pvlib does; the lossless
// model passes pdc through unchanged up to pdc0 (an ideal inverter of AC
// rating pdc0), for comparisons with the simple panel model.
#pragma once

namespace qm::pv {

struct InverterParameters {
    double pdc0 = 1.0;            // DC input rating [kW]
    double eta_inv_nom = 0.96;    // [-]
    double eta_inv_ref = 0.9637;  // [-]
    bool lossless = false;        // ideal inverter: eta = 1, pac0 = pdc0
};

enum class InverterError { none, parameter_out_of_range };
const char* inverter_error_text(InverterError e) noexcept;
// pdc0 > 0, eta_inv_nom and eta_inv_ref in (0, 1], all finite.
InverterError check_inverter(const InverterParameters& p) noexcept;

struct AcPower {
    double before_clipping = 0.0;  // eta * pdc, at least 0 [kW]
    double ac = 0.0;               // after clipping at pac0 [kW]
};

AcPower pvwatts_ac(double pdc, const InverterParameters& p) noexcept;

}  // namespace qm::pv
