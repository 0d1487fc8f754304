// The energy balance of a building's AC bus in one step: generators, loads,
// an optional battery and the grid connection, self-consumption first.
//
// With G the generation and L the demand on the bus [kW] in a step of dt [h]:
//   own use      U = min(G, L)                   generation used directly by the loads
//   surplus      S = G - U,  deficit D = L - U   (at most one is non-zero)
//   battery      P_c, P_d = step_battery(S, D)   (battery.hpp)
//   export       X = min(S - P_c, feed_in_limit),  curtailment C = S - P_c - X
//   import       I = D - P_d
// so that, to rounding, every step closes both balances
//   G = U + P_c + X + C        (where the generation goes)
//   L = U + P_d + I            (where the demand is served from).
// Figures over a period (sums of power x dt):
//   self-consumption ratio = (G - X - C) / G = (U + P_c) / G   [-]
//   self-sufficiency       = (L - I) / L     = (U + P_d) / L   [-]
// (Luthander, Widén, Nilsson & Palm (2015), "Photovoltaic self-consumption in
// buildings: A review", Applied Energy 142, 80-94,
// doi:10.1016/j.apenergy.2014.12.028.)
//
// What the implementation decides:
// - G sums the positive powers of the generators; a negative generator power
//   (an inverter's night-time draw) is demand. A non-finite power counts as 0
//   in the balance (and the caller counts the step as incomplete).
// - The battery charges from the surplus only, never from the grid, and
//   discharges only into the building, never into the grid.
// - The feed-in limit caps the export [kW]; what the bus cannot export or
//   store is curtailed (the generators are assumed to be throttled).
// - cost = I dt x import_price, revenue = X dt x export_price (currency of the
//   prices, per kWh).
#pragma once

#include <cmath>
#include <cstddef>

#include "kernels/energy/battery.hpp"

namespace qm::energy {

struct GridSpec {
    double feed_in_limit = INFINITY;  // [kW], >= 0
    double import_price = 0.0;        // [currency/kWh]
    double export_price = 0.0;        // [currency/kWh]
};

struct StepBalance {
    double generation = 0.0;   // G [kW]
    double demand = 0.0;       // L [kW]
    double own_use = 0.0;      // U [kW]
    double charge = 0.0;       // P_c [kW]
    double discharge = 0.0;    // P_d [kW]
    double grid_import = 0.0;  // I [kW]
    double grid_export = 0.0;  // X [kW]
    double curtailed = 0.0;    // C [kW]
    double self_discharge = 0.0;  // battery loss in the step [kWh]
    // The two balances' residuals [kW]: G - (U + P_c + X + C) and L - (U + P_d + I).
    double generation_residual() const { return generation - (own_use + charge + grid_export + curtailed); }
    double demand_residual() const { return demand - (own_use + discharge + grid_import); }
};

// Adds one source's power [kW] to G and L as described above; returns false
// for a non-finite power (which adds nothing).
bool add_generator(double power, StepBalance& b) noexcept;
bool add_load(double power, StepBalance& b) noexcept;

// Settles a step whose generation and demand are summed in `b`. `battery` and
// `state` may be null (no battery); `state` is updated.
void settle(StepBalance& b, const BatterySpec* battery, BatteryState* state, const GridSpec& grid, double dt_h) noexcept;

// Sums of a period [kWh] and its figures.
struct BalanceTotals {
    double generation = 0.0, demand = 0.0, own_use = 0.0, charge = 0.0, discharge = 0.0;
    double grid_import = 0.0, grid_export = 0.0, curtailed = 0.0;
    double stored = 0.0, drawn = 0.0;  // inside the battery: P_c eta_c dt and P_d dt / eta_d [kWh]
    double cost = 0.0, revenue = 0.0;  // [currency]
    double max_residual = 0.0;         // largest |residual| of a step [kW]
    size_t steps = 0;

    void add(const StepBalance& b, double dt_h, const BatterySpec* battery, const GridSpec& grid) noexcept;
    double self_consumption() const noexcept;  // NaN without generation
    double self_sufficiency() const noexcept;  // NaN without demand
    double cycles(const BatterySpec* battery) const noexcept;  // equivalent full cycles; 0 without a battery
};

}  // namespace qm::energy
