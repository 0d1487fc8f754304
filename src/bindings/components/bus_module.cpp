// BusModule: the building's AC bus. After every module has updated in a step
// it sums the generators' AC power and the loads' demand named in its table,
// settles the step with its battery and grid connection (self-consumption
// first, kernels/energy/bus.hpp) and keeps the month's and the year's figures.
#include <cmath>

#include "bindings/components/energy_units.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/manager/internal.hpp"

namespace qm::py {
namespace {

struct Keys {
    Key generation{"generation"}, demand{"demand"}, own_use{"own_use"}, battery_charge{"battery_charge"},
        battery_discharge{"battery_discharge"}, grid_import{"grid_import"}, grid_export{"grid_export"},
        curtailed{"curtailed"}, residual{"residual"}, value{"value"};
};
const Keys& keys() {
    static Keys* k = new Keys();  // interned for the life of the host
    return *k;
}

enum Pos { kGenerators, kLoads, kBattery, kGrid };

ModuleDeclaration bus_declaration() {
    ModuleDeclaration d;
    d.values = {optional_modules("generators"), optional_modules("loads"), optional_text("battery", ""),
                optional_text("grid", "")};
    return d;
}

nb::object param(const SimUnit& u, long i) {
    if (!PyList_Check(u.in_file_params.ptr()) || PyList_GET_SIZE(u.in_file_params.ptr()) <= i) return nb::none();
    return nb::borrow(PyList_GET_ITEM(u.in_file_params.ptr(), i));
}

// The units of state["modules"] by name, or an empty dict.
nb::object units_of(nb::handle state) {
    PyObject* m = PyDict_Check(state.ptr()) ? PyDict_GetItemString(state.ptr(), "modules") : nullptr;
    return m && PyDict_Check(m) ? nb::borrow(m) : nb::object(nb::dict());
}

// Resolves "name" or "name.output" of a generators/loads list to the output's record.
std::vector<BusModule::Source> resolve(const std::string& who, const char* key, nb::handle list, nb::handle units,
                                       std::initializer_list<const char*> defaults) {
    std::vector<BusModule::Source> out;
    if (!PyList_Check(list.ptr()) && !PyTuple_Check(list.ptr())) return out;
    size_t j = 0;
    for (nb::handle item : list) {
        const std::string where = who + " 的 " + key + "[" + std::to_string(j++) + "]";
        if (!PyUnicode_Check(item.ptr())) raise(mgr::project_error(), where + ": 应为模块实例名（文本）");
        std::string ref = to_text(item);
        BusModule::Source s;
        size_t dot = ref.find('.');
        s.module = ref.substr(0, dot);
        PyObject* unit = PyDict_GetItemString(units.ptr(), s.module.c_str());
        if (!unit) raise(mgr::project_error(), where + ": 没有名为 \"" + s.module + "\" 的模块");
        nb::object outs = nb::borrow(unit).attr("outputs");
        if (!PyDict_Check(outs.ptr())) raise(mgr::project_error(), where + ": 模块 \"" + s.module + "\" 没有输出");
        if (dot != std::string::npos) {
            s.output = ref.substr(dot + 1);
        } else {
            for (const char* d : defaults)
                if (s.output.empty() && PyDict_GetItemString(outs.ptr(), d)) s.output = d;
        }
        PyObject* rec = s.output.empty() ? nullptr : PyDict_GetItemString(outs.ptr(), s.output.c_str());
        if (!rec || !PyDict_Check(rec)) {
            std::string avail;
            for (nb::handle k : nb::borrow<nb::dict>(outs).keys()) avail += (avail.empty() ? "" : ", ") + to_text(k);
            std::string wanted = s.output.empty() ? std::string(*defaults.begin()) : s.output;
            raise(mgr::project_error(), where + ": 模块 \"" + s.module + "\" 没有输出 \"" + wanted + "\"（可用: " +
                                            avail + "；可写 \"" + s.module + ".输出名\"）");
        }
        s.record = nb::borrow(rec);
        for (const BusModule::Source& o : out)
            if (o.record.ptr() == s.record.ptr())
                raise(mgr::project_error(), where + ": \"" + s.module + "." + s.output + "\" 已列出，会被重复计入");
        out.push_back(std::move(s));
    }
    return out;
}

// The unit named by the text value at `pos`, checked to be of `type`; None when the value is "".
nb::object named_unit(const SimUnit& u, long pos, const char* key, nb::handle units, nb::handle type, const char* type_name) {
    nb::object v = param(u, pos);
    if (!PyUnicode_Check(v.ptr()) || PyUnicode_GetLength(v.ptr()) == 0) return nb::none();
    const std::string who = "模块 " + (u.name.is_none() ? std::string("?") : to_text(u.name)) + " 的 " + key;
    PyObject* unit = PyDict_GetItem(units.ptr(), v.ptr());
    if (!unit) raise(mgr::project_error(), who + ": 没有名为 \"" + to_text(v) + "\" 的模块");
    if (!PyObject_TypeCheck(unit, (PyTypeObject*)type.ptr()))
        raise(mgr::project_error(), who + ": 模块 \"" + to_text(v) + "\" 不是 " + type_name + " 类型");
    require_ready(unit, key, type_name);
    return nb::borrow(unit);
}

double source_power(const BusModule::Source& s) {
    PyObject* v = PyDict_GetItem(s.record.ptr(), keys().value.ptr());
    if (!v) return NAN;
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return NAN;
    }
    return d;
}

nb::dict figures(const energy::BalanceTotals& t, const energy::BatterySpec* battery) {
    nb::dict d;
    d["generation_kwh"] = t.generation;
    d["demand_kwh"] = t.demand;
    d["own_use_kwh"] = t.own_use;
    d["charge_kwh"] = t.charge;
    d["discharge_kwh"] = t.discharge;
    d["import_kwh"] = t.grid_import;
    d["export_kwh"] = t.grid_export;
    d["curtailed_kwh"] = t.curtailed;
    d["self_consumption"] = t.self_consumption();
    d["self_sufficiency"] = t.self_sufficiency();
    d["battery_cycles"] = t.cycles(battery);
    d["cost"] = t.cost;
    d["revenue"] = t.revenue;
    d["max_residual_kw"] = t.max_residual;
    d["steps"] = t.steps;
    return d;
}

}  // namespace

nb::object BusModule::_get_module_info() {
    nb::object f0 = nb::float_(0.0);
    return module_info_record("Bus",
                              {{1, "output", "generation", "number", f0, "kW", 0},
                               {2, "output", "demand", "number", f0, "kW", 0},
                               {3, "output", "own_use", "number", f0, "kW", 0},
                               {4, "output", "battery_charge", "number", f0, "kW", 0},
                               {5, "output", "battery_discharge", "number", f0, "kW", 0},
                               {6, "output", "grid_import", "number", f0, "kW", 0},
                               {7, "output", "grid_export", "number", f0, "kW", 0},
                               {8, "output", "curtailed", "number", f0, "kW", 0},
                               {9, "output", "residual", "number", f0, "kW", 0}},
                              23, "交流母线（能量平衡）模块");
}

void BusModule::awake(nb::handle state) {
    const std::string who = "模块 " + (name.is_none() ? std::string("?") : to_text(name));
    nb::object units = units_of(state);
    // An inverter publishes ac_power; a panel or a turbine power.
    generators = resolve(who, "generators", param(*this, kGenerators), units, {"ac_power", "power"});
    loads = resolve(who, "loads", param(*this, kLoads), units, {"demand"});
    battery = named_unit(*this, kBattery, "battery", units, battery_module_type(), "Battery");
    grid = named_unit(*this, kGrid, "grid", units, grid_module_type(), "Grid");
    // A battery or grid connection settled by two buses would be dispatched twice a step.
    const std::string me = name.is_none() ? std::string("?") : to_text(name);
    auto claim = [&](std::string& owner, const char* key, nb::handle unit) {
        if (!owner.empty() && owner != me)
            raise(mgr::project_error(), who + " 的 " + key + ": 模块 \"" + to_text(nb::borrow(unit).attr("name")) +
                                            "\" 已由母线 \"" + owner + "\" 结算，每个只能属于一个母线");
        owner = me;
    };
    if (!battery.is_none()) {
        claim(nb::inst_ptr<BatteryModule>(battery)->settled_by, "battery", battery);
        nb::inst_ptr<BatteryModule>(battery)->prepare();
    }
    if (!grid.is_none()) {
        claim(nb::inst_ptr<GridModule>(grid)->settled_by, "grid", grid);
        nb::inst_ptr<GridModule>(grid)->prepare();
    }
    year = energy::BalanceTotals{};
    months.fill(energy::BalanceTotals{});
    incomplete_steps = 0;
}

void BusModule::after(nb::handle time) {
    SimClock* clk = clock_arg(time, "time");
    if (!clk) raise(PyExc_TypeError, "BusModule.after needs the simulation clock (a SimClock), got None");
    const double dt_h = clk->time_step / 3600.0;
    energy::StepBalance b;
    bool complete = true;
    std::string missing;
    for (const Source& s : generators)
        if (!energy::add_generator(source_power(s), b) && missing.empty()) complete = false, missing = s.module + "." + s.output;
    for (const Source& s : loads)
        if (!energy::add_load(source_power(s), b) && missing.empty()) complete = false, missing = s.module + "." + s.output;
    if (!complete && incomplete_steps++ == 0)
        print("注意：模块 " + to_text(name) + " 在 " + clk->get_current_datetime_str() + " 读到非有限的功率（" + missing +
              "），按 0 计入能量平衡；此类步数见 energy_balance[\"incomplete_steps\"]");
    BatteryModule* bat = battery.is_none() ? nullptr : nb::inst_ptr<BatteryModule>(battery);
    GridModule* grd = grid.is_none() ? nullptr : nb::inst_ptr<GridModule>(grid);
    if (bat && !bat->prepared) bat->prepare();
    energy::GridSpec no_grid;
    const energy::GridSpec& gs = grd ? grd->spec : no_grid;
    energy::settle(b, bat ? &bat->spec : nullptr, bat ? &bat->state : nullptr, gs, dt_h);
    const int month = int(clk->current_datetime()[1]);
    year.add(b, dt_h, bat ? &bat->spec : nullptr, gs);
    if (month >= 1 && month <= 12) months[size_t(month - 1)].add(b, dt_h, bat ? &bat->spec : nullptr, gs);
    if (bat) bat->publish(b);
    if (grd) grd->publish(b, dt_h);
    const Keys& k = keys();
    set_record_value(outputs, k.generation, nb::float_(b.generation));
    set_record_value(outputs, k.demand, nb::float_(b.demand));
    set_record_value(outputs, k.own_use, nb::float_(b.own_use));
    set_record_value(outputs, k.battery_charge, nb::float_(b.charge));
    set_record_value(outputs, k.battery_discharge, nb::float_(b.discharge));
    set_record_value(outputs, k.grid_import, nb::float_(b.grid_import));
    set_record_value(outputs, k.grid_export, nb::float_(b.grid_export));
    set_record_value(outputs, k.curtailed, nb::float_(b.curtailed));
    set_record_value(outputs, k.residual,
                     nb::float_(std::fmax(std::fabs(b.generation_residual()), std::fabs(b.demand_residual()))));
}

nb::dict BusModule::energy_balance() const {
    const energy::BatterySpec* spec = battery.is_none() ? nullptr : &nb::inst_ptr<BatteryModule>(battery)->spec;
    nb::dict out, per_month;
    out["year"] = figures(year, spec);
    for (size_t m = 0; m < 12; ++m)
        if (months[m].steps) per_month[nb::int_(m + 1)] = figures(months[m], spec);
    out["months"] = per_month;
    out["incomplete_steps"] = incomplete_steps;
    out["battery"] = battery.is_none() ? nb::object(nb::none()) : nb::borrow(battery).attr("name");
    out["grid"] = grid.is_none() ? nb::object(nb::none()) : nb::borrow(grid).attr("name");
    return out;
}

void bind_bus_module(nb::module_& m) {
    auto cls = unit_class<BusModule, PyBusModule>(
        "quillmere.components.bus_module", "BusModule",
        "The building's AC bus: sums the AC power of the generators and the demand of the loads named in its "
        "table and settles every step with its battery and grid connection, self-consumption first, so that "
        "generation = own use + charge + export + curtailment and demand = own use + discharge + import [kW].",
        "The module information record of the bus.");
    def_update<BusModule>(cls, "Nothing: the bus settles the step in after(), once every module has updated.");
    def_awake<BusModule>(cls, "Finds the generators, loads, battery and grid named in in_file_params among "
                              "state['modules'] (ProjectError naming the key otherwise) and resets the figures.");
    cls.def(
        "after",
        [](BusModule& u, clock_hint time) {
            clock_arg(time, "time");
            u.BusModule::after(time);
        },
        nb::arg("time").none(),
        "Settles the step: generation, demand, own use, battery charge/discharge, grid import/export and "
        "curtailment [kW]; publishes the battery's and the grid's outputs.");
    def_readonly_attr<BusModule>(
        cls, "energy_balance", "dict[str, typing.Any]",
        "Figures of the run so far: 'year' and 'months' (month number -> figures), each with generation_kwh, "
        "demand_kwh, own_use_kwh, charge_kwh, discharge_kwh, import_kwh, export_kwh, curtailed_kwh, "
        "self_consumption, self_sufficiency, battery_cycles, cost, revenue, max_residual_kw and steps; "
        "'incomplete_steps', 'battery' and 'grid'.",
        [](BusModule& u) { return u.energy_balance(); });
    publish_declaration(cls, bus_declaration());
    m.attr("BusModule") = cls;
}

}  // namespace qm::py
