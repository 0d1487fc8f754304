// A stationary battery behind the building's AC bus, one step at a time.
//
// State: the stored energy E [kWh], kept within [soc_min, soc_max] x capacity.
// Per step of length dt [h], with the bus offering a surplus S [kW] and asking
// for a deficit D [kW] (at most one of them non-zero, self-consumption first):
//   self-discharge first:  E <- E * (1 - self_discharge)^(dt / 24 h)
//   charging:     P_c = min(S, max_charge_power, (E_max - E) / (eta_c dt)),  E <- E + eta_c P_c dt
//   discharging:  P_d = min(D, max_discharge_power, (E - E_min) eta_d / dt), E <- E - P_d dt / eta_d
// P_c and P_d [kW] are AC powers at the bus; the efficiencies eta_c, eta_d [-]
// are one-way (the round-trip efficiency is eta_c eta_d). This is the simple
// energy-reservoir model of the battery studies of building PV, e.g.
// Weniger, Tjaden & Quaschning (2014), "Sizing of residential PV battery
// systems", Energy Procedia 46, 78-87, doi:10.1016/j.egypro.2014.01.160.
//
// What the implementation decides:
// - capacity is the usable (net) capacity [kWh]; soc is E / capacity [-].
// - self_discharge is a fraction per day [-/d], applied to the stored energy
//   before the step's exchange; it may take E below E_min (the limit binds the
//   dispatch, not the chemistry), but never below 0.
// - equivalent full cycles = (energy stored + energy drawn) / 2 / (capacity x
//   (soc_max - soc_min)), both counted inside the battery (after eta_c, before
//   eta_d); 0 for a battery without usable capacity.
// - A battery of zero capacity (or zero power limits) exchanges nothing: it is
//   the same as no battery.
#pragma once

namespace qm::energy {

struct BatterySpec {
    double capacity = 0.0;               // usable capacity [kWh]
    double max_charge_power = 0.0;       // [kW], at the bus
    double max_discharge_power = 0.0;    // [kW], at the bus
    double charge_efficiency = 1.0;      // eta_c [-], (0, 1]
    double discharge_efficiency = 1.0;   // eta_d [-], (0, 1]
    double soc_min = 0.0;                // [-] of capacity
    double soc_max = 1.0;                // [-] of capacity
    double soc_initial = 0.5;            // [-] of capacity, within [soc_min, soc_max]
    double self_discharge = 0.0;         // [-/d], [0, 1)
};

enum class BatteryError {
    none,
    negative_capacity,
    negative_power,
    efficiency_out_of_range,   // not in (0, 1]
    soc_limits_out_of_order,   // not 0 <= soc_min <= soc_max <= 1
    soc_initial_outside,       // not in [soc_min, soc_max]
    self_discharge_out_of_range,  // not in [0, 1)
};
const char* battery_error_text(BatteryError e) noexcept;
BatteryError check_battery(const BatterySpec& spec) noexcept;

struct BatteryState {
    double stored = 0.0;        // E [kWh]
    double charged = 0.0;       // energy put into storage over the run [kWh], after eta_c
    double discharged = 0.0;    // energy drawn from storage over the run [kWh], before eta_d
};

// The state at the start of a run: E = soc_initial x capacity.
BatteryState initial_state(const BatterySpec& spec) noexcept;

struct BatteryStep {
    double charge_power = 0.0;     // P_c [kW]
    double discharge_power = 0.0;  // P_d [kW]
    double self_discharge = 0.0;   // energy lost to self-discharge in the step [kWh]
};

// One step of dt_h hours: takes at most `surplus` [kW] and gives at most
// `deficit` [kW] (negative or NaN offers count as 0); updates `state`. A spec
// that fails check_battery must not be stepped (the bindings check it once).
BatteryStep step_battery(const BatterySpec& spec, BatteryState& state, double surplus, double deficit,
                         double dt_h) noexcept;

// Equivalent full cycles of the run so far (see above).
double equivalent_full_cycles(const BatterySpec& spec, const BatteryState& state) noexcept;

}  // namespace qm::energy
