// quillmere.components.inverter.InverterModule (project type "Inverter"): the
// inverter of one or more PV arrays. Each step it adds the DC power of the
// arrays named in its `panels` value (their `power` output [kW], read after
// they update) and turns it into AC power by the PVWatts part-load curve
// (kernels/pv/inverter), clipped at its AC rating eta_inv_nom x pdc0.
// Outputs dc_power, ac_power [kW], ac_energy [kWh], clipping [kW]; its loss
// tree is its arrays' trees summed, then after the inverter and after clipping.
#include <nanobind/nanobind.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "bindings/components/pv_array.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_clock.hpp"
#include "bindings/core/sim_unit.hpp"
#include "bindings/support/common.hpp"
#include "kernels/pv/inverter.hpp"

namespace qm::py {
namespace {

struct Keys {
    Key pdc0{"pdc0"}, eta_inv_nom{"eta_inv_nom"}, eta_inv_ref{"eta_inv_ref"}, dc_power{"dc_power"},
        ac_power{"ac_power"}, ac_energy{"ac_energy"}, clipping{"clipping"}, power{"power"}, modules{"modules"};
};
const Keys& keys() {
    static Keys* k = new Keys();  // interned for the life of the host
    return *k;
}

}  // namespace

class InverterModule : public SimUnit {
public:
    std::vector<nb::object> panels;        // the PVArray modules served
    std::vector<PVArrayModule*> arrays;    // their native objects, while `panels` holds them
    pv::InverterParameters inv;
    std::string ac_model = "pvwatts";
    bool pdc0_from_arrays = false;  // pdc0 = 0: the arrays' sum, taken at the first step
    // Energy over the run [kWh]: DC in, after the inverter's curve, after clipping.
    std::array<double, 3> stages{};
    double last_time = NAN;
    std::array<double, 3> last_add{};

    nb::object _get_module_info() override {
        return module_info_record("Inverter",
                                  {{2, "param", "pdc0", "number", nb::float_(0.0), "kW"},
                                   {2, "param", "eta_inv_nom", "number", nb::float_(0.96), "-"},
                                   {2, "param", "eta_inv_ref", "number", nb::float_(0.9637), "-"},
                                   {4, "output", "dc_power", "number", nb::float_(0.0), "kW", 0},
                                   {4, "output", "ac_power", "number", nb::float_(0.0), "kW", 0},
                                   {4, "output", "clipping", "number", nb::float_(0.0), "kW", 0},
                                   {5, "output", "ac_energy", "number", nb::float_(0.0), "kWh", 1}},
                                  2, "逆变器模块");
    }
    void awake(nb::handle state) override;
    void update(nb::handle time, nb::handle state) override;
    std::vector<SimUnit*> reads_from() const override {
        return std::vector<SimUnit*>(arrays.begin(), arrays.end());
    }
    nb::dict loss_tree() const;

    int traverse(visitproc visit, void* arg) override {
        for (const nb::object& p : panels) Py_VISIT(p.ptr());
        return SimUnit::traverse(visit, arg);
    }
    void clear() override {
        panels.clear();
        arrays.clear();
        SimUnit::clear();
    }
};

ModuleDeclaration inverter_declaration() {
    ModuleDeclaration d;
    d.values = {required_value("panels", ValueKind::text),
                optional_number("pdc0", 0.0, "[0, inf)"),  // 0: the sum of the arrays' pdc0
                optional_number("eta_inv_nom", 0.96, "(0, 1]"),
                optional_number("eta_inv_ref", 0.9637, "(0, 1]"),
                optional_choice("ac_model", {"pvwatts", "lossless"}, "pvwatts")};
    return d;
}

void InverterModule::awake(nb::handle state) {
    const Keys& k = keys();
    static const ModuleDeclaration decl = inverter_declaration();
    const std::string who = "逆变器 " + to_text(name) + "：";
    const Py_ssize_t given = PyList_Check(in_file_params.ptr()) ? PyList_GET_SIZE(in_file_params.ptr()) : 0;
    auto at = [&](size_t i) { return get_item(in_file_params, nb::int_(i)); };
    if (given < 1) raise(PyExc_ValueError, who + "in_file_params 应至少包含 panels（所服务的光伏阵列名称）");
    nb::object listed = at(0);
    if (!PyUnicode_Check(listed.ptr())) raise_expected("str", listed);
    inv.pdc0 = given > 1 ? as_double(at(1)) : decl.values[1].fallback;
    inv.eta_inv_nom = given > 2 ? as_double(at(2)) : decl.values[2].fallback;
    inv.eta_inv_ref = given > 3 ? as_double(at(3)) : decl.values[3].fallback;
    ac_model = given > 4 ? to_text(at(4)) : decl.values[4].text_fallback;
    if (ac_model != "pvwatts" && ac_model != "lossless")
        raise(PyExc_ValueError, who + "ac_model 应为 \"pvwatts\" 或 \"lossless\"，实际为 " + ac_model);
    inv.lossless = ac_model == "lossless";

    // The arrays it serves: names separated by commas or spaces.
    panels.clear();
    arrays.clear();
    nb::object modules = get_item(state, k.modules);
    std::string names = to_text(listed), one;
    for (size_t i = 0; i <= names.size(); ++i) {
        const char c = i < names.size() ? names[i] : ',';
        if (c != ',' && c != ' ' && c != '\t') {
            one += c;
            continue;
        }
        if (one.empty()) continue;
        nb::str key(one.c_str());
        if (!contains(modules, key)) raise(PyExc_ValueError, who + "没有名为 " + one + " 的模块（panels）");
        nb::object unit = get_item(modules, key);
        PVArrayModule* a = nb::isinstance<PVArrayModule>(unit) ? nb::inst_ptr<PVArrayModule>(unit) : nullptr;
        if (!a || !nb::inst_ready(unit))
            raise(PyExc_ValueError, who + "模块 " + one + " 不是光伏阵列（type = \"PVArray\"），不能接到逆变器");
        for (PVArrayModule* b : arrays)
            if (b == a) raise(PyExc_ValueError, who + "光伏阵列 " + one + " 在 panels 中出现了两次");
        panels.push_back(unit);
        arrays.push_back(a);
        one.clear();
    }
    if (arrays.empty()) raise(PyExc_ValueError, who + "panels 中没有光伏阵列");
    // pdc0 = 0: the arrays' ratings, known once they are awake (they may start after the inverter).
    pdc0_from_arrays = inv.pdc0 == 0.0;
    pv::InverterParameters probe = inv;
    if (pdc0_from_arrays) probe.pdc0 = 1.0;
    if (pv::check_inverter(probe) != pv::InverterError::none)
        raise(PyExc_ValueError, who + "pdc0 应为正数，eta_inv_nom 和 eta_inv_ref 应在 (0, 1] 之内");
    set_record_value(params, k.pdc0, nb::float_(inv.pdc0));
    set_record_value(params, k.eta_inv_nom, nb::float_(inv.eta_inv_nom));
    set_record_value(params, k.eta_inv_ref, nb::float_(inv.eta_inv_ref));
    stages = {};
    last_time = NAN;
}

void InverterModule::update(nb::handle time, nb::handle) {
    SimClock* clock = clock_arg(time, "time");
    if (!clock) raise(PyExc_TypeError, "InverterModule.update needs the simulation clock (a SimClock), got None");
    const Keys& k = keys();
    if (pdc0_from_arrays) {
        inv.pdc0 = 0.0;
        for (const PVArrayModule* a : arrays) inv.pdc0 += a->chain.pdc0;
        pdc0_from_arrays = false;
        set_record_value(params, k.pdc0, nb::float_(inv.pdc0));
    }
    double pdc = 0.0;
    for (size_t i = 0; i < arrays.size(); ++i) pdc += as_double(record_value(arrays[i]->outputs, k.power));
    const pv::AcPower ac = pv::pvwatts_ac(pdc, inv);
    const double hours = clock->time_step / 3600.0;
    const double energy = as_double(record_value(outputs, k.ac_energy));
    if (clock->current_time == last_time)
        for (int i = 0; i < 3; ++i) stages[i] -= last_add[i];
    last_time = clock->current_time;
    last_add.fill(0.0);
    // A step without a finite AC power is published but adds nothing, as for the panels.
    if (std::isfinite(ac.ac) && std::isfinite(pdc)) {
        last_add = {pdc * hours, ac.before_clipping * hours, ac.ac * hours};
        for (int i = 0; i < 3; ++i) stages[i] += last_add[i];
        set_record_value(outputs, k.ac_energy, nb::float_(energy + ac.ac * hours));
    }
    set_record_value(outputs, k.dc_power, nb::float_(pdc));
    set_record_value(outputs, k.clipping, nb::float_(ac.before_clipping - ac.ac));
    set_record_value(outputs, k.ac_power, nb::float_(ac.ac));
}

nb::dict InverterModule::loss_tree() const {
    std::array<double, pv::kStages> sum{};
    // DC after the electrical partial-shade loss: a laid-out array's own stage,
    // an array without a layout has none (its DC after temperature).
    double mismatch = 0.0;
    bool laid_out = false;
    for (const PVArrayModule* a : arrays) {
        for (int i = 0; i < pv::kStages; ++i) sum[i] += a->tree.energy[i];
        laid_out = laid_out || a->layout;
        mismatch += a->layout ? a->layout->mismatch_energy : a->tree.energy[int(pv::Stage::dc_temperature)];
    }
    nb::dict d;
    for (int i = 0; i < pv::kStages; ++i) {
        if (laid_out && i == int(pv::Stage::dc)) d["dc_mismatch"] = nb::float_(mismatch);
        d[pv::kStageNames[i]] = nb::float_(sum[i]);
    }
    d["ac_before_clipping"] = nb::float_(stages[1]);
    d["ac"] = nb::float_(stages[2]);
    return d;
}

namespace {
class PyInverterModule final : public UnitTrampoline<InverterModule> {};
}  // namespace

void bind_inverter(nb::module_& m) {
    using M = InverterModule;
    auto cls = unit_class<M, PyInverterModule>(
        "quillmere.components.inverter", "InverterModule",
        "逆变器: the inverter of the PV arrays named in its panels value; AC power [kW] by the PVWatts part-load "
        "curve (pdc0, eta_inv_nom, eta_inv_ref), clipped at eta_inv_nom * pdc0, and AC energy [kWh].",
        "The module information record of the inverter.");
    def_awake<M>(cls, "Reads panels, pdc0 (0: the arrays' sum), eta_inv_nom, eta_inv_ref and ac_model from "
                      "in_file_params and binds the PV arrays named in panels (state[\"modules\"]).");
    def_update<M>(cls, "One step: the arrays' DC power, the AC power and its clipping, the AC energy.");
    cls.def("loss_tree", [](M& u) { return result_as<"dict[str, float]">(u.loss_tree()); },
            "The energy of the run so far at each stage [kWh]: the served arrays' loss trees summed (with "
            "dc_mismatch, DC after the electrical partial-shade loss, before dc when an array has a module "
            "layout), then ac_before_clipping and ac.");
    publish_declaration(cls, inverter_declaration());
    m.attr("InverterModule") = cls;
}

}  // namespace qm::py
