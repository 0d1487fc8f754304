#include "kernels/pv/inverter.hpp"

#include <cmath>

namespace qm::pv {

const char* inverter_error_text(InverterError e) noexcept {
    switch (e) {
        case InverterError::none: return "none";
        case InverterError::parameter_out_of_range: return "an inverter parameter is out of range";
    }
    return "?";
}

InverterError check_inverter(const InverterParameters& p) noexcept {
    const bool ok = std::isfinite(p.pdc0) && p.pdc0 > 0.0 && p.eta_inv_nom > 0.0 && p.eta_inv_nom <= 1.0 &&
                    p.eta_inv_ref > 0.0 && p.eta_inv_ref <= 1.0;
    return ok ? InverterError::none : InverterError::parameter_out_of_range;
}

AcPower pvwatts_ac(double pdc, const InverterParameters& p) noexcept {
    AcPower r;
    if (std::isnan(pdc)) return {pdc, pdc};
    if (p.lossless) {
        r.before_clipping = pdc > 0.0 ? pdc : 0.0;
        r.ac = r.before_clipping < p.pdc0 ? r.before_clipping : p.pdc0;
        return r;
    }
    const double pac0 = p.eta_inv_nom * p.pdc0;
    const double zeta = pdc / p.pdc0;
    const double eta =
        pdc == 0.0 ? 0.0 : p.eta_inv_nom / p.eta_inv_ref * (-0.0162 * zeta - 0.0059 / zeta + 0.9858);
    double ac = eta * pdc;
    r.before_clipping = ac > 0.0 ? ac : 0.0;
    if (ac > pac0) ac = pac0;
    r.ac = ac > 0.0 ? ac : 0.0;
    return r;
}

}  // namespace qm::pv
