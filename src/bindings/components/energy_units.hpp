// The building's own use of its power: a load, a battery, the grid connection
// and the bus that balances them with the generators every step.
//
// Division of the work: the bus owns the dispatch. After every module has
// updated in a step (SimUnit::after), it sums the AC power of the generators
// and the demand of the loads named in its table and settles the step
// (kernels/energy/bus.hpp); the battery and the grid hold their parameters
// and state and publish the outputs of the step the bus settles with them.
#pragma once
#include <nanobind/nanobind.h>

#include <array>
#include <string>
#include <vector>

#include "bindings/core/sim_unit.hpp"
#include "kernels/energy/bus.hpp"

namespace qm::py {
namespace nb = nanobind;

// Demand [kW] per step from a load table or a standard profile (kernels/energy/load_profile.hpp).
class LoadModule : public SimUnit {
public:
    std::vector<double> demand_kw;  // one value per step of the run, filled by awake
    double begin_time = 0.0, time_step = 3600.0;

    nb::object _get_module_info() override;
    void awake(nb::handle state) override;
    void update(nb::handle time, nb::handle state) override;
};

class BatteryModule : public SimUnit {
public:
    energy::BatterySpec spec;
    energy::BatteryState state;
    bool prepared = false;
    std::string settled_by;  // the bus that settles it: one bus only, or it would be dispatched twice a step

    nb::object _get_module_info() override;
    void awake(nb::handle state) override;
    void update(nb::handle, nb::handle) override {}  // the bus settles the battery in its after()
    // Reads the parameters from in_file_params and starts from soc_initial (the bus calls it too,
    // whichever of the two awakes first); ValueError naming the module for an inconsistent set.
    void prepare();
    // Publishes the step the bus settled.
    void publish(const energy::StepBalance& b);
};

class GridModule : public SimUnit {
public:
    energy::GridSpec spec;
    double imported = 0.0, exported = 0.0, curtailed = 0.0, cost = 0.0, revenue = 0.0;
    std::string settled_by;  // the bus that settles it (one only)

    nb::object _get_module_info() override;
    void awake(nb::handle state) override;
    void update(nb::handle, nb::handle) override {}  // the bus settles the grid in its after()
    void prepare();
    void publish(const energy::StepBalance& b, double dt_h);
};

class BusModule : public SimUnit {
public:
    struct Source {
        std::string module, output;
        nb::object record;  // the output's variable record, read every step
    };
    std::vector<Source> generators, loads;
    nb::object battery = nb::none(), grid = nb::none();  // the units, or None
    energy::BalanceTotals year;
    std::array<energy::BalanceTotals, 12> months;
    size_t incomplete_steps = 0;

    nb::object _get_module_info() override;
    void awake(nb::handle state) override;
    void update(nb::handle, nb::handle) override {}
    void after(nb::handle time) override;
    // The year's and each month's figures (attribute energy_balance).
    nb::dict energy_balance() const;

    int traverse(visitproc visit, void* arg) override {
        for (auto* list : {&generators, &loads})
            for (Source& s : *list) Py_VISIT(s.record.ptr());
        Py_VISIT(battery.ptr());
        Py_VISIT(grid.ptr());
        return SimUnit::traverse(visit, arg);
    }
    void clear() override {
        generators.clear();
        loads.clear();
        battery = nb::none();
        grid = nb::none();
        SimUnit::clear();
    }
};

// The bound Battery and Grid types (set when they are bound).
nb::handle battery_module_type();
nb::handle grid_module_type();

using PyLoadModule = UnitTrampoline<LoadModule>;
using PyBatteryModule = UnitTrampoline<BatteryModule>;
using PyGridModule = UnitTrampoline<GridModule>;
using PyBusModule = UnitTrampoline<BusModule>;

}  // namespace qm::py
