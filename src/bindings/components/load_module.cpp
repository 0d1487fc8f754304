// LoadModule: the building's electrical demand per step [kW], from a load
// table the user brings or a standard profile scaled to an annual energy.
#include <cmath>

#include "bindings/components/energy_units.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/manager/internal.hpp"
#include "kernels/energy/load_profile.hpp"

namespace qm::py {
namespace {

struct Keys {
    Key demand{"demand"}, demand_energy{"demand_energy"}, annual_energy{"annual_energy"};
};
const Keys& keys() {
    static Keys* k = new Keys();  // interned for the life of the host
    return *k;
}

enum Pos { kFile, kProfile, kAnnual, kUnit };

ModuleDeclaration load_declaration() {
    ModuleDeclaration d;
    d.values = {optional_path("file"), optional_choice("profile", {"household", "commercial"}, "household"),
                optional_number("annual_energy", 0.0, "[0, inf)"), optional_choice("unit", {"kW", "kWh"}, "kW")};
    return d;
}

nb::object param(const SimUnit& u, long i) {
    if (!PyList_Check(u.in_file_params.ptr()) || PyList_GET_SIZE(u.in_file_params.ptr()) <= i) return nb::none();
    return nb::borrow(PyList_GET_ITEM(u.in_file_params.ptr(), i));
}

[[noreturn]] void load_error(const std::string& where, const energy::LoadIssue& is) {
    using energy::LoadError;
    std::string line = is.line ? "第 " + std::to_string(is.line) + " 行: " : "";
    std::string what;
    switch (is.error) {
        case LoadError::bad_number: what = "\"" + is.token + "\" 不是数值" + (is.expected.empty() ? "" : "（应为" + is.expected + "）"); break;
        case LoadError::negative: what = "负荷 " + is.token + " 小于 0"; break;
        case LoadError::not_finite: what = "负荷 " + is.token + " 不是有限数值"; break;
        case LoadError::bad_stamp: what = "时间 \"" + is.token + "\" 无法读取（应为 " + is.expected + "）"; break;
        case LoadError::mixed_rows: what = "有的行有时间、有的行没有: \"" + is.token + "\""; break;
        case LoadError::unit_mismatch:
            what = "表头的单位 [" + is.token + "] 与模块的 unit = \"" + is.expected + "\" 不符（功率 kW/W 与每步电量 kWh/Wh 不能混用）";
            break;
        case LoadError::unknown_unit: what = "表头的单位 [" + is.token + "] 未知（可用: " + is.expected + "）"; break;
        case LoadError::gap: what = "时间 " + is.token + " 不连续：应为 " + is.expected + "（缺行或重复行）"; break;
        case LoadError::other_period:
            what = "文件的时间 " + is.token + " 不覆盖运行期 " + is.expected +
                   "（别的年份的负荷请去掉时间列，按一年中的位置取用）";
            break;
        case LoadError::row_count:
            what = "有 " + std::to_string(is.count) + " 行数值，既不是运行的步数，也不是按本时间步长的一整年";
            break;
        case LoadError::empty: what = "没有数值行"; break;
        case LoadError::none: break;
    }
    raise(mgr::project_error(), where + ": " + line + what);
}

}  // namespace

nb::object LoadModule::_get_module_info() {
    return module_info_record("Load",
                              {{1, "param", "annual_energy", "number", nb::float_(0.0), "kWh"},
                               {2, "output", "demand", "number", nb::float_(0.0), "kW", 0},
                               {3, "output", "demand_energy", "number", nb::float_(0.0), "kWh", 1}},
                              20, "用电负荷模块");
}

namespace {
// The demand of every step of the clock's period.
void build_profile(LoadModule& u, const SimClock& clk) {
    energy::StepGrid grid;
    grid.start_year = int(clk.start_year);
    grid.begin_s = clk.begin_time;
    grid.dt_s = clk.time_step;
    if (!(clk.time_step > 0.0) || !std::isfinite(clk.time_step)) raise(PyExc_ValueError, "LoadModule: 时间步长应为正的有限数（秒）");
    const double n = std::ceil(clk.end_time / clk.time_step - 1e-9);
    if (!(n >= 0.0) || n > 1e8) raise(PyExc_ValueError, "LoadModule: 时钟的运行期无效");
    grid.n_steps = size_t(n);
    u.begin_time = clk.begin_time;
    u.time_step = clk.time_step;
    nb::object file = param(u, kFile), annual_o = param(u, kAnnual);
    const double annual = annual_o.is_none() ? 0.0 : as_double(annual_o);
    const std::string who = "模块 " + (u.name.is_none() ? std::string("?") : to_text(u.name));
    if (file.is_none()) {
        nb::object profile = param(u, kProfile);
        const std::string kind = PyUnicode_Check(profile.ptr()) ? to_text(profile) : "household";
        if (!(annual > 0.0))
            raise(mgr::project_error(), who + " 的 annual_energy: 标准负荷曲线 \"" + kind +
                                            "\" 需要年用电量（kWh/年，大于 0）");
        u.demand_kw = energy::standard_profile(
            kind == "commercial" ? energy::StandardProfile::commercial : energy::StandardProfile::household, grid, annual);
        return;
    }
    const std::string where = "负荷文件 " + to_text(file) + "（" + who + " 的 file）";
    nb::object text;
    try {
        text = read_host_file(file, "r");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise(mgr::project_error(), where + ": 无法读取: " + exception_text(e));
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) throw_pending();
    energy::LoadTable table;
    energy::LoadIssue is;
    nb::object unit = param(u, kUnit);
    const bool energy_unit = PyUnicode_Check(unit.ptr()) && to_text(unit) == "kWh";
    {
        nb::gil_scoped_release release;
        is = energy::read_load_table(std::string_view(data, size_t(size)), grid.start_year, table);
        if (is.error == energy::LoadError::none)
            is = energy::load_steps(table, energy_unit ? energy::LoadUnit::kWh : energy::LoadUnit::kW, grid, annual,
                                    u.demand_kw);
    }
    if (is.error != energy::LoadError::none) load_error(where, is);
}
}  // namespace

void LoadModule::awake(nb::handle state) {
    demand_kw.clear();
    nb::object annual = param(*this, kAnnual);
    if (!annual.is_none()) set_record_value(params, keys().annual_energy, nb::float_(as_double(annual)));
    PyObject* clock = PyDict_Check(state.ptr()) ? PyDict_GetItemString(state.ptr(), "clock") : nullptr;
    if (clock && clock != Py_None) build_profile(*this, *clock_arg(clock, "state['clock']"));
}

void LoadModule::update(nb::handle time, nb::handle) {
    SimClock* clk = clock_arg(time, "time");
    if (!clk) raise(PyExc_TypeError, "LoadModule.update needs the simulation clock (a SimClock), got None");
    if (demand_kw.empty()) build_profile(*this, *clk);  // driven without awake's clock
    const double k = std::round((clk->current_time - begin_time) / time_step);
    // A step outside the period the profile was built for has no demand value.
    const double p = k >= 0.0 && k < double(demand_kw.size()) ? demand_kw[size_t(k)] : NAN;
    const Keys& ks = keys();
    if (std::isfinite(p)) {
        const double e = as_double(record_value(outputs, ks.demand_energy));
        set_record_value(outputs, ks.demand_energy, nb::float_(e + p * clk->time_step / 3600.0));
    }
    set_record_value(outputs, ks.demand, nb::float_(p));
}

void bind_load_module(nb::module_& m) {
    auto cls = unit_class<LoadModule, PyLoadModule>(
        "quillmere.components.load_module", "LoadModule",
        "Electrical demand of the building [kW] per step: a load table (CSV: one value per step, or time stamp and "
        "value; kW or kWh per step) or a standard household or commercial profile scaled to annual_energy [kWh/a].",
        "The module information record of the load.");
    def_update<LoadModule>(cls, "Publishes the step's demand [kW] and adds demand * time_step / 3600 to demand_energy [kWh].");
    def_awake<LoadModule>(cls, "Builds the demand of every step of state['clock']'s period from in_file_params "
                               "(file, profile, annual_energy, unit).");
    publish_declaration(cls, load_declaration());
    m.attr("LoadModule") = cls;
}

}  // namespace qm::py
