#include "kernels/energy/bus.hpp"

#include <algorithm>

namespace qm::energy {

bool add_generator(double power, StepBalance& b) noexcept {
    if (!std::isfinite(power)) return false;
    if (power >= 0.0)
        b.generation += power;
    else
        b.demand -= power;
    return true;
}

bool add_load(double power, StepBalance& b) noexcept {
    if (!std::isfinite(power)) return false;
    // A negative demand (a load file that feeds in) is generation on the bus.
    if (power >= 0.0)
        b.demand += power;
    else
        b.generation -= power;
    return true;
}

void settle(StepBalance& b, const BatterySpec* battery, BatteryState* state, const GridSpec& grid, double dt_h) noexcept {
    b.own_use = std::min(b.generation, b.demand);
    const double surplus = b.generation - b.own_use, deficit = b.demand - b.own_use;
    b.charge = b.discharge = b.self_discharge = 0.0;
    if (battery && state) {
        BatteryStep s = step_battery(*battery, *state, surplus, deficit, dt_h);
        b.charge = s.charge_power;
        b.discharge = s.discharge_power;
        b.self_discharge = s.self_discharge;
    }
    const double left = std::max(0.0, surplus - b.charge);
    b.grid_export = std::min(left, std::max(0.0, grid.feed_in_limit));
    b.curtailed = left - b.grid_export;
    b.grid_import = std::max(0.0, deficit - b.discharge);
}

void BalanceTotals::add(const StepBalance& b, double dt_h, const BatterySpec* battery, const GridSpec& grid) noexcept {
    generation += b.generation * dt_h;
    demand += b.demand * dt_h;
    own_use += b.own_use * dt_h;
    charge += b.charge * dt_h;
    discharge += b.discharge * dt_h;
    grid_import += b.grid_import * dt_h;
    grid_export += b.grid_export * dt_h;
    curtailed += b.curtailed * dt_h;
    if (battery) {
        stored += b.charge * battery->charge_efficiency * dt_h;
        drawn += b.discharge / battery->discharge_efficiency * dt_h;
    }
    cost += b.grid_import * dt_h * grid.import_price;
    revenue += b.grid_export * dt_h * grid.export_price;
    max_residual = std::max({max_residual, std::fabs(b.generation_residual()), std::fabs(b.demand_residual())});
    ++steps;
}

double BalanceTotals::self_consumption() const noexcept {
    return generation > 0.0 ? (own_use + charge) / generation : NAN;
}

double BalanceTotals::self_sufficiency() const noexcept {
    return demand > 0.0 ? (own_use + discharge) / demand : NAN;
}

double BalanceTotals::cycles(const BatterySpec* battery) const noexcept {
    if (!battery) return 0.0;
    const double usable = battery->capacity * (battery->soc_max - battery->soc_min);
    return usable > 0.0 ? (stored + drawn) / 2.0 / usable : 0.0;
}

}  // namespace qm::energy
