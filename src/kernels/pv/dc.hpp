// DC power of a PV array by the PVWatts model (Dobos 2014, PVWatts Version 5
// Manual, NREL/TP-6A20-62641, eq. 4):
//   pdc = effective_irradiance / 1000 * pdc0 * (1 + gamma_pdc * (temp_cell - temp_ref))
// effective_irradiance [W/m2] (the light reaching the cells, after reflection
// losses), temp_cell [C], pdc0 the nameplate power at 1000 W/m2 and 25 C
// [kW here; any power unit, the result is in the same], gamma_pdc the
// temperature coefficient of power [1/C] (typically -0.003 to -0.005),
// temp_ref 25 C.
//
// What the implementation decides: no low-light correction (pvlib's k
// argument); the result is not clipped at 0 (a hot cell with gamma_pdc < 0
// would need over 200 C to turn it negative), NaN in gives NaN out.
#pragma once

namespace qm::pv {

inline double pvwatts_dc(double effective_irradiance, double temp_cell, double pdc0, double gamma_pdc,
                         double temp_ref = 25.0) noexcept {
    return effective_irradiance * 0.001 * pdc0 * (1.0 + gamma_pdc * (temp_cell - temp_ref));
}

}  // namespace qm::pv
