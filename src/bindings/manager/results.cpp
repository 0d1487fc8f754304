#include "bindings/manager/results.hpp"

#include <nanobind/ndarray.h>

#include <cstdio>
#include <string>

#include "bindings/manager/internal.hpp"
#include "bindings/manager/loss_tree.hpp"
#include "bindings/manager/project_schema.hpp"

namespace qm::py::mgr {
using namespace nb::literals;
namespace {

nb::object numpy_array(std::vector<double>&& v) {
    auto* heap = new std::vector<double>(std::move(v));
    nb::capsule owner(heap, [](void* p) noexcept { delete static_cast<std::vector<double>*>(p); });
    size_t shape[1] = {heap->size()};
    return nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<1>>(heap->data(), 1, shape, owner));
}

nb::handle energy_key() {
    static PyObject* k = PyUnicode_InternFromString("energy");
    return k;
}
nb::handle power_key() {
    static PyObject* k = PyUnicode_InternFromString("power");
    return k;
}

}  // namespace

double value_as_double(nb::handle v) {
    if (PyFloat_CheckExact(v.ptr())) return PyFloat_AS_DOUBLE(v.ptr());
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return NAN;
    }
    return d;
}

std::vector<Column> recorded_columns(nb::handle record, nb::handle mods, const std::vector<nb::object>& unit_objs,
                                     const std::vector<SimUnit*>& units) {
    std::vector<Column> columns;
    if (record.is_none()) {
        for (size_t i = 0; i < units.size(); ++i) {
            nb::object outs = unit_objs[i].attr("outputs");
            if (!PyDict_Check(outs.ptr())) continue;
            for (nb::handle k : nb::borrow<nb::dict>(outs).keys())
                columns.push_back(Column{units[i], unit_objs[i], nb::borrow(k), {}, nb::object()});
        }
        return columns;
    }
    for (nb::handle r : record) {
        nb::object unit = get_item(mods, r[0]);
        columns.push_back(Column{unit_of(unit, to_text(r[0])), unit, r[1], {}, nb::object()});
    }
    return columns;
}

namespace {
[[noreturn]] void refuse_rated_power(const std::string& where, nb::handle unit, nb::handle name,
                                     const std::string& key, nb::handle params, bool found) {
    std::string list;
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(params.ptr(), &pos, &k, &v)) list += (list.empty() ? "" : ", ") + to_text(k);
    const std::string cls = declaring_class_name(nb::handle((PyObject*)Py_TYPE(unit.ptr())));
    raise(project_error(), where + ": 模块 " + to_text(name) + "（" + cls + "）: " + cls + ".summary_facts[\"rated_power\"]: \"" +
                               key + "\" " + (found ? "参数的值不是数值" : "不是这个模块的参数") + "（参数: " +
                               (list.empty() ? "无" : list) + "）；额定功率和满负荷小时数无法计算");
}
}  // namespace

std::vector<Generator> find_generators(const std::vector<nb::object>& unit_objs, const std::vector<SimUnit*>& units,
                                       const std::vector<nb::object>& names, const std::string& where) {
    std::vector<Generator> gens;
    for (size_t i = 0; i < units.size(); ++i) {
        SimUnit* u = units[i];
        if (!PyDict_Check(u->outputs.ptr()) || !PyDict_Contains(u->outputs.ptr(), power_key().ptr()) ||
            !PyDict_Contains(u->outputs.ptr(), energy_key().ptr()))
            continue;
        Generator g{u, names[i]};
        g.energy0 = value_as_double(record_value(u->outputs, energy_key()));
        if (PyDict_Check(u->params.ptr())) {
            ModuleDeclaration decl;
            std::vector<std::string> factors = {"capacity"};
            const bool declared = declaration_of_unit(unit_objs[i], decl) && !decl.rated_power.empty();
            if (declared) factors = decl.rated_power;
            g.rated = 1.0;
            for (const std::string& k : factors) {
                PyObject* rec = PyDict_GetItemString(u->params.ptr(), k.c_str());
                PyObject* v = rec && PyDict_Check(rec) ? PyDict_GetItemString(rec, "value") : nullptr;
                // A declared factor that names no parameter, or one without a
                // number, would leave the full-load hours unknown in silence.
                if (declared && !(v && (PyFloat_Check(v) || PyLong_Check(v) || PyNumber_Check(v)) && !PyBool_Check(v)))
                    refuse_rated_power(where, unit_objs[i], names[i], k, u->params, rec != nullptr);
                g.rated *= v ? value_as_double(v) : NAN;
            }
        }
        gens.push_back(g);
    }
    return gens;
}

namespace {
// The "unit" of every output a unit's module information record declares.
nb::dict output_units(nb::handle unit) {
    nb::dict units;
    nb::object info;
    try {
        info = nb::borrow(unit).attr("_get_module_info")();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return units;  // a record that cannot be had again gives no units
    }
    if (!PyDict_Check(info.ptr())) return units;
    PyObject* vars = PyDict_GetItemString(info.ptr(), "vars");
    if (!vars || !(PyList_Check(vars) || PyTuple_Check(vars))) return units;
    nb::object seq = check(PySequence_Fast(vars, "vars"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
        PyObject* spec = PySequence_Fast_GET_ITEM(seq.ptr(), i);
        if (!PyDict_Check(spec)) continue;
        PyObject* cat = PyDict_GetItemString(spec, "category");
        PyObject* name = PyDict_GetItemString(spec, "name");
        PyObject* u = PyDict_GetItemString(spec, "unit");
        if (cat && name && u && PyUnicode_Check(cat) && PyUnicode_CompareWithASCIIString(cat, "output") == 0 &&
            PyUnicode_Check(u))
            units[nb::handle(name)] = nb::handle(u);
    }
    // Where the type declares an output's unit, that one (the record's may be a placeholder).
    ModuleDeclaration decl;
    if (declaration_of_unit(unit, decl))
        for (const auto& [output, unit_text] : decl.output_units)
            if (units.contains(output.c_str())) units[output.c_str()] = nb::str(unit_text.c_str());
    return units;
}
}  // namespace

nb::object results_table(int start_year, long long time_zone, std::vector<double>&& times,
                         std::vector<Column>& columns) {
    nb::object np = import("numpy"), pd = import("pandas"), dt = import("datetime");
    nb::object secs = np.attr("floor")(numpy_array(std::move(times))).attr("astype")("int64");
    char base[32];
    std::snprintf(base, sizeof base, "%04d-01-01", int(start_year));
    // The clock counts site standard time: a fixed offset from UTC, the site's time zone.
    nb::object tz = dt.attr("timezone")(dt.attr("timedelta")("hours"_a = time_zone));
    nb::object stamps = np.attr("datetime64")(base, "s") + secs.attr("astype")("timedelta64[s]");
    nb::object index = pd.attr("DatetimeIndex")(stamps, "name"_a = "timestamp").attr("tz_localize")(tz);
    nb::dict data, units, unit_cache;
    for (Column& c : columns) {
        std::string col = to_text(c.unit->name) + "." + to_text(c.var);
        // Object columns stay objects (None is not turned into NaN, tuples stay tuples).
        data[col.c_str()] = c.objects.is_valid() ? pd.attr("Series")(c.objects, "dtype"_a = "object", "index"_a = index)
                                                 : numpy_array(std::move(c.values));
        nb::object key = nb::int_(reinterpret_cast<uintptr_t>(c.unit_obj.ptr()));
        if (!unit_cache.contains(key)) unit_cache[key] = output_units(c.unit_obj);
        nb::dict declared = nb::borrow<nb::dict>(unit_cache[key]);
        units[col.c_str()] = declared.contains(c.var) ? nb::object(declared[c.var]) : nb::none();
    }
    nb::object table = pd.attr("DataFrame")(data, "index"_a = index);
    table.attr("attrs")["units"] = units;
    return table;
}

// The run's loss trees (DataFrame.attrs["loss_tree"]), or None.
nb::object loss_trees_of(nb::handle results) {
    if (results.is_none() || !nb::hasattr(results, "attrs")) return nb::none();
    nb::object attrs = results.attr("attrs");
    if (!PyDict_Check(attrs.ptr())) return nb::none();
    PyObject* t = PyDict_GetItemString(attrs.ptr(), "loss_tree");
    return t && PyDict_Check(t) ? nb::borrow(t) : nb::none();
}

nb::dict generator_summary(const std::vector<Generator>& gens, size_t n_steps) {
    nb::dict gen_summary;
    for (const Generator& g : gens) {
        double energy = value_as_double(record_value(g.unit->outputs, energy_key())) - g.energy0;
        nb::dict d;
        d["type"] = g.unit->module_name;
        d["energy_kwh"] = energy;
        // No step with a known power (all weather missing): no peak, rather than -inf.
        d["peak_kw"] = !n_steps ? 0.0 : std::isfinite(g.peak) || g.peak > 0 ? g.peak : NAN;
        d["rated_kw"] = std::isfinite(g.rated) && g.rated > 0 ? nb::object(nb::float_(g.rated)) : nb::none();
        d["full_load_hours"] =
            std::isfinite(g.rated) && g.rated > 0 ? nb::object(nb::float_(energy / g.rated)) : nb::none();
        gen_summary[g.name] = d;
    }
    return gen_summary;
}

nb::dict energy_balances(const std::vector<nb::object>& unit_objs, const std::vector<nb::object>& names) {
    nb::dict out;
    for (size_t i = 0; i < unit_objs.size(); ++i) {
        if (!nb::hasattr(unit_objs[i], "energy_balance")) continue;
        nb::object b = unit_objs[i].attr("energy_balance");
        if (PyDict_Check(b.ptr())) out[names[i]] = b;
    }
    return out;
}

void print_energy_balances(nb::handle balances) {
    if (!PyDict_Check(balances.ptr())) return;
    for (auto& [name, b] : dict_items(balances)) {
        PyObject* y = PyDict_Check(b.ptr()) ? PyDict_GetItemString(b.ptr(), "year") : nullptr;
        if (!y || !PyDict_Check(y)) continue;
        auto f = [&](const char* k) {
            PyObject* v = PyDict_GetItemString(y, k);
            return v ? value_as_double(v) : NAN;
        };
        auto pct = [](double r) { return std::isfinite(r) ? r * 100.0 : 0.0; };
        char line[400];
        std::snprintf(line, sizeof line,
                      "：发电 %.2f kWh，用电 %.2f kWh，自发自用率 %.1f %%，自给率 %.1f %%，购电 %.2f kWh，上网 %.2f kWh，"
                      "弃电 %.2f kWh，电池等效循环 %.1f 次",
                      f("generation_kwh"), f("demand_kwh"), pct(f("self_consumption")), pct(f("self_sufficiency")),
                      f("import_kwh"), f("export_kwh"), f("curtailed_kwh"), f("battery_cycles"));
        std::string text = "能量平衡 " + to_text(name) + line;
        if (f("cost") != 0.0 || f("revenue") != 0.0) {
            std::snprintf(line, sizeof line, "，购电费用 %.2f，上网收入 %.2f", f("cost"), f("revenue"));
            text += line;
        }
        print(text);
    }
}

}  // namespace qm::py::mgr

namespace qm::py {
using namespace nb::literals;

void Manager::write_results() {
    using namespace mgr;
    nb::object path = output_path;
    if (path.is_none() && PyDict_Check(project.ptr())) path = get_item(project, "csv");
    if (path.is_none() || results.is_none()) return;
    nb::object os_mod = import("os"), os_path = import("os.path");
    nb::object folder = os_path.attr("dirname")(os_path.attr("abspath")(path));
    if (!nb::cast<bool>(os_path.attr("isdir")(folder))) {
        os_mod.attr("makedirs")(folder, "exist_ok"_a = true);
        if (!quiet) print("已创建文件夹: " + to_text(folder));
    }
    // Written whole to a temporary file beside the target, then renamed: the old results stay until then.
    write_results_csv(results, path);
    // The loss trees go beside it, in the same way.
    if (nb::object trees = loss_trees_of(results); !trees.is_none()) {
        nb::object companion = loss_tree_path(path);
        nb::module_::import_("quillmere._native").attr("write_text_file")(companion, loss_tree_csv(trees));
        if (!quiet) print("损失树已写入: " + to_text(companion));
    }
    if (!quiet) print("结果已写入: " + to_text(path));
}

nb::object Manager::summarize() {
    using namespace mgr;
    if (quiet || !PyDict_Check(summary.ptr())) return summary;
    if (!clock.is_none() && PyDict_Check(timings.ptr())) {
        SimClock* clk = clock_of(clock);
        char line[256];
        std::snprintf(line, sizeof line, "运行完成：%04d-%02d-%02d 至 %04d-%02d-%02d，共 %lld 步，%lld 个模块",
                      int(clk->start_year), int(clk->begin_month), int(clk->begin_day), int(clk->end_year),
                      int(clk->end_month), int(clk->end_day), nb::cast<long long>(get_item(timings, "steps")),
                      nb::cast<long long>(get_item(timings, "modules")));
        print(std::string(line));
        long long nc = nb::cast<long long>(get_item(timings, "non_converged_steps"));
        if (nc) print("警告：共 " + std::to_string(nc) + " 步未收敛");
    }
    double total = 0.0;
    for (auto& [name, d] : dict_items(summary)) {
        double e = nb::cast<double>(d["energy_kwh"]), p = nb::cast<double>(d["peak_kw"]);
        total += e;
        char line[256];
        nb::object flh = d["full_load_hours"];
        if (std::isnan(p))
            std::snprintf(line, sizeof line, "：发电量 %.2f kWh，峰值功率未知（没有一步的功率已知）", e);
        else if (flh.is_none())
            std::snprintf(line, sizeof line, "：发电量 %.2f kWh，峰值功率 %.3f kW", e, p);
        else
            std::snprintf(line, sizeof line, "：发电量 %.2f kWh，峰值功率 %.3f kW，满负荷小时数 %.1f h", e, p,
                          nb::cast<double>(flh));
        print("发电模块 " + to_text(name) + "（" + to_text(d["type"]) + "）" + line);
    }
    if (nb::borrow<nb::dict>(summary).size() > 1) {
        char line[64];
        std::snprintf(line, sizeof line, "%.2f kWh", total);
        print(std::string("总发电量 ") + line);
    }
    if (nb::object trees = loss_trees_of(results); !trees.is_none())
        for (const std::string& line : loss_tree_lines(trees)) print(line);
    if (!results.is_none() && nb::hasattr(results, "attrs")) {
        nb::object attrs = results.attr("attrs");
        if (PyDict_Check(attrs.ptr())) {
            if (PyObject* b = PyDict_GetItemString(attrs.ptr(), "energy_balance")) print_energy_balances(b);
        }
    }
    return summary;
}

}  // namespace qm::py
