#include "kernels/energy/battery.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/check.hpp"

namespace qm::energy {

const char* battery_error_text(BatteryError e) noexcept {
    switch (e) {
        case BatteryError::none: return "none";
        case BatteryError::negative_capacity: return "capacity below 0";
        case BatteryError::negative_power: return "power limit below 0";
        case BatteryError::efficiency_out_of_range: return "efficiency not in (0, 1]";
        case BatteryError::soc_limits_out_of_order: return "soc limits not 0 <= soc_min <= soc_max <= 1";
        case BatteryError::soc_initial_outside: return "soc_initial outside [soc_min, soc_max]";
        case BatteryError::self_discharge_out_of_range: return "self_discharge not in [0, 1)";
    }
    return "unknown";
}

BatteryError check_battery(const BatterySpec& s) noexcept {
    if (!(s.capacity >= 0.0) || !std::isfinite(s.capacity)) return BatteryError::negative_capacity;
    if (!(s.max_charge_power >= 0.0) || !(s.max_discharge_power >= 0.0)) return BatteryError::negative_power;
    if (!(s.charge_efficiency > 0.0 && s.charge_efficiency <= 1.0) ||
        !(s.discharge_efficiency > 0.0 && s.discharge_efficiency <= 1.0))
        return BatteryError::efficiency_out_of_range;
    if (!(s.soc_min >= 0.0 && s.soc_min <= s.soc_max && s.soc_max <= 1.0)) return BatteryError::soc_limits_out_of_order;
    if (!(s.soc_initial >= s.soc_min && s.soc_initial <= s.soc_max)) return BatteryError::soc_initial_outside;
    if (!(s.self_discharge >= 0.0 && s.self_discharge < 1.0)) return BatteryError::self_discharge_out_of_range;
    return BatteryError::none;
}

BatteryState initial_state(const BatterySpec& spec) noexcept {
    BatteryState st;
    st.stored = spec.soc_initial * spec.capacity;
    return st;
}

namespace {
double offered(double p) { return p > 0.0 ? p : 0.0; }  // NaN and negatives: nothing
}  // namespace

BatteryStep step_battery(const BatterySpec& s, BatteryState& st, double surplus, double deficit, double dt_h) noexcept {
    QM_DCHECK(check_battery(s) == BatteryError::none);
    BatteryStep out;
    if (!(dt_h > 0.0) || s.capacity <= 0.0) return out;
    if (s.self_discharge > 0.0) {
        const double kept = st.stored * std::pow(1.0 - s.self_discharge, dt_h / 24.0);
        out.self_discharge = st.stored - kept;
        st.stored = kept;
    }
    const double e_min = s.soc_min * s.capacity, e_max = s.soc_max * s.capacity;
    const double in = offered(surplus), need = offered(deficit);
    if (in > 0.0 && st.stored < e_max) {
        const double room = (e_max - st.stored) / (s.charge_efficiency * dt_h);
        out.charge_power = std::min({in, s.max_charge_power, room});
        const double added = out.charge_power * s.charge_efficiency * dt_h;
        // The last charge of a full battery lands on E_max exactly, not a rounding above it.
        st.stored = out.charge_power == room ? e_max : std::min(e_max, st.stored + added);
        st.charged += added;
    } else if (need > 0.0 && st.stored > e_min) {
        const double available = (st.stored - e_min) * s.discharge_efficiency / dt_h;
        out.discharge_power = std::min({need, s.max_discharge_power, available});
        const double drawn = out.discharge_power * dt_h / s.discharge_efficiency;
        st.stored = out.discharge_power == available ? e_min : std::max(e_min, st.stored - drawn);
        st.discharged += drawn;
    }
    return out;
}

double equivalent_full_cycles(const BatterySpec& s, const BatteryState& st) noexcept {
    const double usable = s.capacity * (s.soc_max - s.soc_min);
    return usable > 0.0 ? (st.charged + st.discharged) / 2.0 / usable : 0.0;
}

}  // namespace qm::energy
