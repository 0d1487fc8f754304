// BatteryModule and GridModule: the parameters, state and outputs of the
// battery and the grid connection that the bus settles every step.
#include <cmath>
#include <cstdio>

#include "bindings/components/energy_units.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/manager/internal.hpp"

namespace qm::py {
namespace {
nb::handle g_battery_type, g_grid_type;

struct Keys {
    Key charge_power{"charge_power"}, discharge_power{"discharge_power"}, soc{"soc"}, stored_energy{"stored_energy"},
        throughput{"throughput"}, cycles{"cycles"};
    Key import_power{"import_power"}, export_power{"export_power"}, curtailed_power{"curtailed_power"},
        imported{"imported"}, exported{"exported"}, curtailed{"curtailed"}, cost{"cost"}, revenue{"revenue"};
};
const Keys& keys() {
    static Keys* k = new Keys();  // interned for the life of the host
    return *k;
}

// Battery values, in in_file_params order.
constexpr const char* kBatteryKeys[] = {"capacity",          "max_charge_power", "max_discharge_power",
                                        "charge_efficiency", "discharge_efficiency", "soc_min",
                                        "soc_max",           "soc_initial",      "self_discharge"};

ModuleDeclaration battery_declaration() {
    ModuleDeclaration d;
    d.values = {required_value("capacity", ValueKind::number, "[0, inf)"),
                optional_number("max_charge_power", 5.0, "[0, inf)"),
                optional_number("max_discharge_power", 5.0, "[0, inf)"),
                optional_number("charge_efficiency", 0.95, "(0, 1]"),
                optional_number("discharge_efficiency", 0.95, "(0, 1]"),
                optional_number("soc_min", 0.0, "[0, 1]"),
                optional_number("soc_max", 1.0, "[0, 1]"),
                optional_number("soc_initial", 0.5, "[0, 1]"),
                optional_number("self_discharge", 0.0, "[0, 1)")};
    return d;
}

ModuleDeclaration grid_declaration() {
    ModuleDeclaration d;
    d.values = {optional_number("feed_in_limit", INFINITY, "[0, inf)"), optional_number("import_price", 0.0),
                optional_number("export_price", 0.0)};
    return d;
}

// in_file_params[i] as a number, or the declared default when absent.
double value_at(const SimUnit& u, size_t i, double fallback) {
    if (!PyList_Check(u.in_file_params.ptr()) || PyList_GET_SIZE(u.in_file_params.ptr()) <= Py_ssize_t(i)) return fallback;
    return as_double(PyList_GET_ITEM(u.in_file_params.ptr(), Py_ssize_t(i)));
}

std::string unit_name(const SimUnit& u) { return u.name.is_none() ? std::string("?") : to_text(u.name); }

}  // namespace

nb::handle battery_module_type() { return g_battery_type; }
nb::handle grid_module_type() { return g_grid_type; }

nb::object BatteryModule::_get_module_info() {
    nb::object f0 = nb::float_(0.0);
    return module_info_record("Battery",
                              {{1, "param", "capacity", "number", f0, "kWh"},
                               {2, "param", "max_charge_power", "number", nb::float_(5.0), "kW"},
                               {3, "param", "max_discharge_power", "number", nb::float_(5.0), "kW"},
                               {4, "param", "charge_efficiency", "number", nb::float_(0.95), "-"},
                               {5, "param", "discharge_efficiency", "number", nb::float_(0.95), "-"},
                               {6, "param", "soc_min", "number", f0, "-"},
                               {7, "param", "soc_max", "number", nb::float_(1.0), "-"},
                               {8, "param", "soc_initial", "number", nb::float_(0.5), "-"},
                               {9, "param", "self_discharge", "number", f0, "1/d"},
                               {10, "output", "charge_power", "number", f0, "kW", 0},
                               {11, "output", "discharge_power", "number", f0, "kW", 0},
                               {12, "output", "soc", "number", f0, "-", 0},
                               {13, "output", "stored_energy", "number", f0, "kWh", 1},
                               {14, "output", "throughput", "number", f0, "kWh", 1},
                               {15, "output", "cycles", "number", f0, "-", 1}},
                              21, "电池储能模块");
}

void BatteryModule::prepare() {
    const ModuleDeclaration d = battery_declaration();
    double v[9];
    for (size_t i = 0; i < 9; ++i) {
        v[i] = value_at(*this, i, d.values[i].fallback);
        if (PyDict_Check(params.ptr())) set_record_value(params, nb::str(kBatteryKeys[i]), nb::float_(v[i]));
    }
    spec = energy::BatterySpec{v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8]};
    const energy::BatteryError err = energy::check_battery(spec);
    if (err != energy::BatteryError::none) {
        char line[200];
        switch (err) {
            case energy::BatteryError::soc_limits_out_of_order:
                std::snprintf(line, sizeof line, "soc_min %g 大于 soc_max %g", spec.soc_min, spec.soc_max);
                break;
            case energy::BatteryError::soc_initial_outside:
                std::snprintf(line, sizeof line, "soc_initial %g 不在 [soc_min, soc_max] = [%g, %g] 之内", spec.soc_initial,
                              spec.soc_min, spec.soc_max);
                break;
            default: std::snprintf(line, sizeof line, "参数无效（%s）", energy::battery_error_text(err)); break;
        }
        raise(mgr::project_error(), "模块 " + unit_name(*this) + "（Battery）: " + line);
    }
    state = energy::initial_state(spec);
    prepared = true;
    const Keys& k = keys();
    set_record_value(outputs, k.stored_energy, nb::float_(state.stored));
    set_record_value(outputs, k.soc, nb::float_(spec.capacity > 0 ? state.stored / spec.capacity : 0.0));
    set_record_value(outputs, k.throughput, nb::float_(0.0));
    set_record_value(outputs, k.cycles, nb::float_(0.0));
}

void BatteryModule::awake(nb::handle) { prepare(); }

void BatteryModule::publish(const energy::StepBalance& b) {
    const Keys& k = keys();
    set_record_value(outputs, k.charge_power, nb::float_(b.charge));
    set_record_value(outputs, k.discharge_power, nb::float_(b.discharge));
    set_record_value(outputs, k.stored_energy, nb::float_(state.stored));
    set_record_value(outputs, k.soc, nb::float_(spec.capacity > 0 ? state.stored / spec.capacity : 0.0));
    set_record_value(outputs, k.throughput, nb::float_(state.charged + state.discharged));
    set_record_value(outputs, k.cycles, nb::float_(energy::equivalent_full_cycles(spec, state)));
}

nb::object GridModule::_get_module_info() {
    nb::object f0 = nb::float_(0.0);
    return module_info_record("Grid",
                              {{1, "param", "feed_in_limit", "number", nb::float_(INFINITY), "kW"},
                               {2, "param", "import_price", "number", f0, "1/kWh"},
                               {3, "param", "export_price", "number", f0, "1/kWh"},
                               {4, "output", "import_power", "number", f0, "kW", 0},
                               {5, "output", "export_power", "number", f0, "kW", 0},
                               {6, "output", "curtailed_power", "number", f0, "kW", 0},
                               {7, "output", "imported", "number", f0, "kWh", 1},
                               {8, "output", "exported", "number", f0, "kWh", 1},
                               {9, "output", "curtailed", "number", f0, "kWh", 1},
                               {10, "output", "cost", "number", f0, "currency", 1},
                               {11, "output", "revenue", "number", f0, "currency", 1}},
                              22, "电网连接模块");
}

void GridModule::prepare() {
    spec.feed_in_limit = value_at(*this, 0, INFINITY);
    spec.import_price = value_at(*this, 1, 0.0);
    spec.export_price = value_at(*this, 2, 0.0);
    if (!(spec.feed_in_limit >= 0.0))
        raise(mgr::project_error(), "模块 " + unit_name(*this) + "（Grid）: feed_in_limit 应不小于 0");
    if (PyDict_Check(params.ptr())) {
        set_record_value(params, nb::str("feed_in_limit"), nb::float_(spec.feed_in_limit));
        set_record_value(params, nb::str("import_price"), nb::float_(spec.import_price));
        set_record_value(params, nb::str("export_price"), nb::float_(spec.export_price));
    }
    imported = exported = curtailed = cost = revenue = 0.0;
}

void GridModule::awake(nb::handle) { prepare(); }

void GridModule::publish(const energy::StepBalance& b, double dt_h) {
    const Keys& k = keys();
    imported += b.grid_import * dt_h;
    exported += b.grid_export * dt_h;
    curtailed += b.curtailed * dt_h;
    cost += b.grid_import * dt_h * spec.import_price;
    revenue += b.grid_export * dt_h * spec.export_price;
    set_record_value(outputs, k.import_power, nb::float_(b.grid_import));
    set_record_value(outputs, k.export_power, nb::float_(b.grid_export));
    set_record_value(outputs, k.curtailed_power, nb::float_(b.curtailed));
    set_record_value(outputs, k.imported, nb::float_(imported));
    set_record_value(outputs, k.exported, nb::float_(exported));
    set_record_value(outputs, k.curtailed, nb::float_(curtailed));
    set_record_value(outputs, k.cost, nb::float_(cost));
    set_record_value(outputs, k.revenue, nb::float_(revenue));
}

void bind_battery_grid(nb::module_& m) {
    auto bat = unit_class<BatteryModule, PyBatteryModule>(
        "quillmere.components.battery_module", "BatteryModule",
        "Battery behind the building's bus: usable capacity [kWh], charge and discharge power limits [kW], one-way "
        "efficiencies, state-of-charge limits, initial state and self-discharge [1/d]. The Bus that names it settles "
        "it every step (self-consumption first) and it publishes charge_power, discharge_power [kW], soc [-], "
        "stored_energy, throughput [kWh] and equivalent full cycles.",
        "The module information record of the battery.");
    def_update<BatteryModule>(bat, "Nothing: the bus that names this battery settles it after the step's updates.");
    def_awake<BatteryModule>(bat, "Reads the parameters from in_file_params, checks them and starts at soc_initial.");
    publish_declaration(bat, battery_declaration());
    m.attr("BatteryModule") = bat;
    g_battery_type = bat;

    auto grid = unit_class<GridModule, PyGridModule>(
        "quillmere.components.grid_module", "GridModule",
        "Grid connection of the building: a feed-in limit [kW] above which the surplus is curtailed, optional import "
        "and export prices per kWh. The Bus that names it settles it every step; it publishes import, export and "
        "curtailed power [kW], their energies [kWh], cost and revenue.",
        "The module information record of the grid connection.");
    def_update<GridModule>(grid, "Nothing: the bus that names this grid connection settles it after the step's updates.");
    def_awake<GridModule>(grid, "Reads feed_in_limit, import_price and export_price from in_file_params.");
    publish_declaration(grid, grid_declaration());
    m.attr("GridModule") = grid;
    g_grid_type = grid;
}

}  // namespace qm::py
