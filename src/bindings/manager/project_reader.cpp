// Reading the project file: the file itself (TOML, or JSON for a .json file),
// then every check that can be made before a module exists.
#include <cstring>

#include "bindings/manager/internal.hpp"
#include "bindings/manager/project_checks.hpp"
#include "kernels/time/calendar.hpp"

namespace qm::py {
namespace mgr {
namespace {

// Reads the project file into a dict (TOML, or JSON for a .json file).
nb::object read_project_file(const Checker& c, nb::handle path) {
    std::string p = to_text(path);
    bool json = p.size() >= 5 && p.compare(p.size() - 5, 5, ".json") == 0;
    nb::object raw;
    nb::object text;
    try {
        nb::object data = read_host_file(path, "rb");
        text = data.attr("decode")("utf-8");
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_UnicodeDecodeError)) c.fail_file("不是有效的 UTF-8 文本");
        throw;
    }
    try {
        raw = json ? import("json").attr("loads")(text) : import("tomllib").attr("loads")(text);
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_ValueError))
            c.fail_file(std::string(json ? "JSON" : "TOML") + " 格式错误: " + to_text(e.value()));
        throw;
    }
    if (!PyDict_Check(raw.ptr())) c.fail_file("顶层应为表（对象）");
    return raw;
}

}  // namespace
}  // namespace mgr

nb::object Manager::load_project() {
    using namespace mgr;
    nb::object os_mod = import("os"), os_path = import("os.path");
    nb::object fspath;
    try {
        fspath = os_mod.attr("fspath")(file_path);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        raise(PyExc_TypeError, std::string("项目文件路径应为 str 或 os.PathLike，实际为 ") + host_type_name(file_path));
    }
    if (!PyUnicode_Check(fspath.ptr())) fspath = os_mod.attr("fsdecode")(fspath);
    std::string shown = to_text(fspath);
    if (shown.empty()) raise(PyExc_FileNotFoundError, "项目文件路径为空：请给出项目文件（.toml 或 .json）");
    if (!nb::cast<bool>(os_path.attr("isfile")(fspath))) {
        nb::object exc = check(PyObject_CallFunction(PyExc_FileNotFoundError, "isO", 2, "项目文件不存在", fspath.ptr()));
        PyErr_SetObject(PyExc_FileNotFoundError, exc.ptr());
        throw nb::python_error();
    }
    Checker c;
    c.file = shown;
    nb::object abs = os_path.attr("abspath")(fspath);
    c.folder = os_path.attr("dirname")(abs);
    nb::object raw = read_project_file(c, fspath);
    c.only_keys(raw, "", {"period", "time_step", "site", "convergence", "output", "modules", "links"});

    nb::dict out;
    out["file"] = abs;
    out["folder"] = c.folder;

    // Run period: handed to the clock as it is, so the clock's own checks apply.
    nb::object period = Checker::lookup(raw, "period");
    if (period.is_valid() && !PyList_Check(period.ptr()))
        c.wrong("period", "六个整数的数组 [开始年, 开始月, 开始日, 结束年, 结束月, 结束日]", period);
    out["period"] = period.is_valid() ? period : nb::none();
    if (period.is_valid()) {
        // The clock's own rules, checked now so that nothing runs; the clock's message is
        // printed as the clock prints it, the exception names the file and the key.
        nb::dict run_period;
        run_period["params"] = period;
        calendar::Period checked{};
        if (const char* problem = run_period_problem(run_period, checked)) {
            print(problem);
            std::string text = "项目文件 " + c.file + ": 键 period: " + problem + "，实际为 " + repr_text(period);
            nb::object exc = check(PyObject_CallOneArg(run_period_error(), nb::str(text.c_str()).ptr()));
            nb::setattr(exc, "code", nb::int_(1));
            PyErr_SetObject(run_period_error(), exc.ptr());
            throw nb::python_error();
        }
    }

    nb::object step = Checker::lookup(raw, "time_step");
    double time_step = step.is_valid() ? c.number(step, "time_step") : 3600.0;
    if (!(time_step > 0.0)) c.fail("time_step", "时间步长应为正数（秒），实际为 " + repr_text(step));
    out["time_step"] = nb::float_(time_step);

    nb::object site = Checker::lookup(raw, "site");
    // Without [site] the weather file's LOCATION line gives it (after the modules are checked).
    if (site.is_valid()) {
    c.table(site, "site");
    c.only_keys(site, "site", {"longitude", "latitude", "time_zone", "sun_time"});
    nb::dict site_out;
    const char* site_keys[3] = {"longitude", "latitude", "time_zone"};
    for (const char* k : site_keys) {
        nb::object v = Checker::lookup(site, k);
        std::string key = std::string("site.") + k;
        if (!v.is_valid()) c.missing(key, std::strcmp(k, "time_zone") == 0 ? "整数（小时）" : "数值（度）");
        if (std::strcmp(k, "time_zone") == 0) {
            long long tz = c.integer(v, key);
            if (!calendar::valid_time_zone(tz)) c.fail(key, "时区应在 -12 到 14 之间，实际为 " + std::to_string(tz));
            site_out[k] = nb::int_(tz);
        } else {
            double d = c.number(v, key);
            double lim = std::strcmp(k, "longitude") == 0 ? 180.0 : 90.0;
            if (d < -lim || d > lim)
                c.fail(key, std::string("应在 -") + (lim == 180.0 ? "180 到 180" : "90 到 90") + " 度之间，实际为 " + repr_text(v));
            site_out[k] = nb::float_(d);
        }
    }
    // The instant of each step's sun: the middle of the hour its weather row
    // describes (EPW rows are hour-ending means, default), or the clock's time.
    nb::object sun_time = Checker::lookup(site, "sun_time");
    if (sun_time.is_valid()) {
        std::string st = PyUnicode_Check(sun_time.ptr()) ? to_text(sun_time) : "";
        if (st != "middle" && st != "start") c.wrong("site.sun_time", "\"middle\" 或 \"start\"", sun_time);
    }
    site_out["sun_time"] = sun_time.is_valid() ? sun_time : nb::object(nb::str("middle"));
    out["site"] = site_out;
    }

    double threshold = 1e-4;
    long long max_iterations = 20;
    bool always_iterate = false;
    nb::object conv = Checker::lookup(raw, "convergence");
    if (conv.is_valid()) {
        c.table(conv, "convergence");
        c.only_keys(conv, "convergence", {"threshold", "max_iterations", "always_iterate"});
        if (nb::object v = Checker::lookup(conv, "threshold"); v.is_valid()) {
            threshold = c.number(v, "convergence.threshold");
            if (threshold < 0) c.fail("convergence.threshold", "应为非负数，实际为 " + repr_text(v));
        }
        if (nb::object v = Checker::lookup(conv, "max_iterations"); v.is_valid()) {
            max_iterations = c.integer(v, "convergence.max_iterations");
            if (max_iterations < 1 || max_iterations > 1000000)
                c.fail("convergence.max_iterations", "应在 1 到 1000000 之间，实际为 " + repr_text(v));
        }
        if (nb::object v = Checker::lookup(conv, "always_iterate"); v.is_valid()) {
            if (!PyBool_Check(v.ptr())) c.wrong("convergence.always_iterate", "布尔值", v);
            always_iterate = v.ptr() == Py_True;
        }
    }
    out["threshold"] = nb::float_(threshold);
    out["max_iterations"] = nb::int_(max_iterations);
    out["always_iterate"] = nb::bool_(always_iterate);

    // Modules.
    nb::object mods = Checker::lookup(raw, "modules");
    if (!mods.is_valid()) c.missing("modules", "模块表的数组 [[modules]]");
    if (!PyList_Check(mods.ptr())) c.wrong("modules", "模块表的数组 [[modules]]", mods);
    if (PyList_GET_SIZE(mods.ptr()) == 0) c.fail("modules", "至少需要一个模块");
    nb::list mod_list;
    nb::dict by_name;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(mods.ptr()); ++i) {
        nb::dict m = check_module(c, PyList_GET_ITEM(mods.ptr(), i), size_t(i));
        nb::object name = m["name"];
        if (by_name.contains(name))
            c.fail("modules[" + std::to_string(i) + "].name",
                   "实例名 \"" + to_text(name) + "\" 重复（已用于 " +
                       to_text(get_item(get_item(by_name, name), "key")) + "）");
        by_name[name] = m;
        mod_list.append(m);
    }
    check_models(c, mod_list, quiet);
    if (!site.is_valid()) {
        nb::object from_file = site_from_weather(c, mod_list, quiet);
        if (!from_file.is_valid()) c.missing("site", "表，含 longitude、latitude、time_zone");
        out["site"] = from_file;
    } else {
        compare_site_with_weather(c, nb::borrow<nb::dict>(out["site"]), mod_list, quiet);
    }
    check_references(c, mod_list, by_name);
    out["modules"] = mod_list;

    // Links: "source.variable -> target.variable".
    nb::list link_list;
    nb::object links_v = Checker::lookup(raw, "links");
    if (links_v.is_valid()) {
        if (!PyList_Check(links_v.ptr())) c.wrong("links", "文本的数组，如 \"weather.wind_speed -> turbine.wind_speed\"", links_v);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(links_v.ptr()); ++i) {
            std::string key = "links[" + std::to_string(i) + "]";
            std::string s = c.text(PyList_GET_ITEM(links_v.ptr(), i), key);
            size_t arrow = s.find("->");
            std::string sm, sv, tm, tv;
            if (arrow == std::string::npos || !split_ref(strip(s.substr(0, arrow)), sm, sv) ||
                !split_ref(strip(s.substr(arrow + 2)), tm, tv))
                c.fail(key, "应为 \"源模块.输出变量 -> 目标模块.输入变量\"，实际为 \"" + s + "\"");
            for (const std::string* mn : {&sm, &tm})
                if (!by_name.contains(nb::str(mn->c_str())))
                    c.fail(key, "没有名为 \"" + *mn + "\" 的模块（链接 \"" + s + "\"）");
            nb::dict l;
            l["source"] = nb::str(sm.c_str());
            l["source_variable"] = nb::str(sv.c_str());
            l["target"] = nb::str(tm.c_str());
            l["target_variable"] = nb::str(tv.c_str());
            l["key"] = nb::str(key.c_str());
            link_list.append(l);
        }
    }
    out["links"] = link_list;

    // Output.
    out["csv"] = nb::none();
    out["record"] = nb::none();
    nb::object output = Checker::lookup(raw, "output");
    if (output.is_valid()) {
        c.table(output, "output");
        c.only_keys(output, "output", {"csv", "record"});
        if (nb::object v = Checker::lookup(output, "csv"); v.is_valid()) out["csv"] = c.path(v, "output.csv", false);
        if (nb::object v = Checker::lookup(output, "record"); v.is_valid()) {
            if (!PyList_Check(v.ptr())) c.wrong("output.record", "\"模块.输出变量\" 文本的数组", v);
            nb::list rec;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v.ptr()); ++i) {
                std::string key = "output.record[" + std::to_string(i) + "]";
                std::string s = c.text(PyList_GET_ITEM(v.ptr(), i), key);
                std::string mn, var;
                if (!split_ref(s, mn, var)) c.fail(key, "应为 \"模块.输出变量\"，实际为 \"" + s + "\"");
                if (!by_name.contains(nb::str(mn.c_str()))) c.fail(key, "没有名为 \"" + mn + "\" 的模块");
                rec.append(nb::make_tuple(nb::str(mn.c_str()), nb::str(var.c_str()), nb::str(key.c_str())));
            }
            out["record"] = rec;
        }
    }
    return out;
}

}  // namespace qm::py
