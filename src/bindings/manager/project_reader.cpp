// Reading the project file: the file itself (TOML, or JSON for a .json file),
// then every check that can be made before a module exists.
#include <cmath>
#include <cstring>

#include "kernels/io/atomic_write.hpp"
#include "kernels/io/file_read.hpp"
#include "kernels/geometry/stl_read.hpp"
#include "bindings/manager/internal.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/manager/project_checks.hpp"
#include "bindings/shadow_calc/occlusion_scan.hpp"
#include "kernels/time/calendar.hpp"

namespace qm::py {
namespace mgr {
namespace {

// Files of a shading module (a type that declares a model and the surfaces it
// analyses) that can be judged before any work: a binary model (not read: say
// how to convert), a generated table path that is not a file, a table folder
// in which no file can be created.
void check_shading_files(const Checker& c, nb::handle mh) {
    nb::dict m = nb::borrow<nb::dict>(mh);
    if (!m.contains("values")) return;
    ModuleDeclaration decl;
    if (!read_declaration(m["class"], decl)) return;
    const ProjectValue* model_value = decl.find(ValueKind::model);
    if (!model_value || !decl.find(ValueKind::surfaces)) return;
    const std::string key = to_text(m["key"]);
    const std::string model = to_text(get_item(m["values"], model_value->key.c_str()));
    {
        io::FileText f;
        io::FileStamp st;
        if (f.open(model, st) == io::ReadStatus::ok) {
            if (stl::looks_binary(f.text()))
                c.fail(key + "." + model_value->key, "二进制 STL 文件不能读取（只读取 ASCII STL）: " + model +
                                                         "；请在建模软件中导出为 ASCII STL（或用转换工具另存为 ASCII）");
        }
    }
    nb::object os_path = nb::module_::import_("os.path");
    for (const std::string& generated : decl.generated) {
        const std::string table_key = key + "." + generated;
        nb::object table = get_item(m["values"], generated.c_str());
        const std::string shown = to_text(table);
        if (nb::cast<bool>(os_path.attr("exists")(table))) {
            if (!nb::cast<bool>(os_path.attr("isfile")(table)))
                c.fail(table_key, "阴影表路径已存在但不是普通文件: " + shown);
            continue;
        }
        // The nearest folder that exists must take a new file (or folder).
        nb::object folder = os_path.attr("dirname")(table);
        while (!nb::cast<bool>(os_path.attr("exists")(folder))) {
            nb::object up = os_path.attr("dirname")(folder);
            if (up.equal(folder)) break;
            folder = up;
        }
        if (!nb::cast<bool>(os_path.attr("isdir")(folder)))
            c.fail(table_key, "无法创建阴影表 " + shown + "：" + to_text(folder) + " 不是文件夹");
        io::AtomicFile probe;
        if (!probe.create(to_text(os_path.attr("join")(folder, "probe"))))
            c.fail(table_key, "无法创建阴影表 " + shown + "：文件夹 " + to_text(folder) + " 中不能创建文件（" +
                                  std::strerror(probe.error()) + "）");
        probe.abandon();
    }
}

// A file a module generates (a shading table) that is one of the project's
// inputs (the project file, a model, a weather table, any declared input
// file) would be overwritten by it, or deleted by --regenerate-shading: refused
// before any work, naming both keys.
void check_generated_not_inputs(const Checker& c, nb::handle modules, nb::handle project_file) {
    nb::object os_path = nb::module_::import_("os.path");
    auto same = [&](nb::handle a, nb::handle b) {
        try {
            return nb::cast<bool>(os_path.attr("samefile")(a, b));
        } catch (nb::python_error&) {
            return bool(os_path.attr("realpath")(a).equal(os_path.attr("realpath")(b)));
        }
    };
    std::vector<std::pair<nb::object, std::string>> inputs;  // (path, key)
    if (!project_file.is_none()) inputs.emplace_back(nb::borrow(project_file), "项目文件");
    for (nb::handle mh : modules) {
        nb::dict m = nb::borrow<nb::dict>(mh);
        ModuleDeclaration decl;
        if (!m.contains("values") || !read_declaration(m["class"], decl)) continue;
        for (const ProjectValue& v : decl.values)
            if (v.kind == ValueKind::path_in || v.kind == ValueKind::model || v.kind == ValueKind::weather)
                inputs.emplace_back(get_item(m["values"], v.key.c_str()), to_text(m["key"]) + "." + v.key);
    }
    for (nb::handle mh : modules) {
        nb::dict m = nb::borrow<nb::dict>(mh);
        ModuleDeclaration decl;
        if (!m.contains("values") || !read_declaration(m["class"], decl)) continue;
        for (const std::string& generated : decl.generated) {
            nb::object file = get_item(m["values"], generated.c_str());
            if (!PyUnicode_Check(file.ptr())) continue;
            for (const auto& [input, input_key] : inputs)
                if (PyUnicode_Check(input.ptr()) && same(file, input))
                    c.fail(to_text(m["key"]) + "." + generated,
                           "生成的文件 " + to_text(file) + " 是项目的输入文件（" + input_key +
                               "），不是可用的阴影表或生成文件；不会覆盖或删除它，请给出另一个路径");
        }
    }
}

// Text of a project that a message can show: Python's escapes for a NUL, a
// lone surrogate or another unprintable character; a long text shortened
// visibly to its first 60 characters and its length.
std::string shown_text(nb::handle s) {
    const Py_ssize_t n = PyUnicode_Check(s.ptr()) ? PyUnicode_GET_LENGTH(s.ptr()) : 0;
    nb::object head = n > 80 ? check(PyUnicode_Substring(s.ptr(), 0, 60)) : nb::borrow(s);
    std::string out = to_text(check(PyObject_Repr(head.ptr())));
    if (n > 80) out += "…（共 " + std::to_string(n) + " 个字符）";
    return out;
}

// A host path with undecodable bytes (a str with surrogate escapes, as
// os.fsdecode gives for a name that is not UTF-8) as the bytes it stands for,
// "\\xff" for each such byte; empty when the path is UTF-8 throughout.
std::string undecodable_path(nb::handle p) {
    if (!PyUnicode_Check(p.ptr())) return {};
    const Py_ssize_t n = PyUnicode_GET_LENGTH(p.ptr());
    bool any = false;
    for (Py_ssize_t i = 0; i < n && !any; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(p.ptr(), i);
        any = ch >= 0xD800 && ch <= 0xDFFF;
    }
    if (!any) return {};
    nb::object bytes = check(PyUnicode_AsEncodedString(p.ptr(), "utf-8", "surrogateescape"));
    nb::object text = check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.ptr()), PyBytes_GET_SIZE(bytes.ptr()),
                                                  "backslashreplace"));
    return to_text(text);
}

// Longest text a project value or key may be: a path the system can open is
// shorter (PATH_MAX), and so is every name, type, pattern and link.
constexpr Py_ssize_t kMaxProjectText = 4096;

// Every key and text value of the project, before any is used: a NUL (a C
// name would end there), a lone surrogate (no UTF-8 form; a JSON "\udc80" or
// a host str from undecodable bytes) or a text longer than kMaxProjectText is
// refused, naming the key and showing the culprit escaped and shortened.
void check_project_texts(const Checker& c, nb::handle v, const std::string& key) {
    auto check_text = [&](nb::handle s, const std::string& k, const char* what) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
        if (n > kMaxProjectText)
            c.fail(k, std::string(what) + "过长（" + std::to_string(n) + " 个字符，最多 " +
                          std::to_string(kMaxProjectText) + "）: " + shown_text(s));
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_UCS4 ch = PyUnicode_READ_CHAR(s.ptr(), i);
            if (ch == 0)
                c.fail(k, std::string(what) + "含有空字符（NUL，第 " + std::to_string(i + 1) + " 个字符）: " +
                              shown_text(s) + "；名称、类型和路径中不能有空字符");
            if (ch >= 0xD800 && ch <= 0xDFFF) {
                char code[8];
                std::snprintf(code, sizeof code, "%04X", unsigned(ch));
                c.fail(k, std::string(what) + "不是有效的 Unicode 文本（第 " + std::to_string(i + 1) +
                              " 个字符是孤立的代理字符 U+" + code + "，没有 UTF-8 形式）: " + shown_text(s));
            }
        }
    };
    auto child = [&](const std::string& sub) { return key.empty() ? sub : key + "." + sub; };
    if (PyUnicode_Check(v.ptr())) {
        check_text(v, key, "值");
    } else if (PyDict_Check(v.ptr())) {
        // A [[modules]] entry is named as the checks name it: modules[i](name).
        PyObject *k, *item;
        Py_ssize_t pos = 0;
        while (PyDict_Next(v.ptr(), &pos, &k, &item)) {
            if (!PyUnicode_Check(k)) continue;  // the structure checks name a key that is not text
            check_text(k, child(shown_text(k)), "键名");
            check_project_texts(c, item, child(to_text(k)));
        }
    } else if (PyList_Check(v.ptr())) {
        const bool modules = key == "modules";
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v.ptr()); ++i) {
            nb::handle item = PyList_GET_ITEM(v.ptr(), i);
            std::string k = key + "[" + std::to_string(i) + "]";
            if (modules && PyDict_Check(item.ptr())) {
                PyObject* name = PyDict_GetItemString(item.ptr(), "name");
                if (name && PyUnicode_Check(name)) {
                    check_text(name, k + ".name", "实例名");
                    k += "(" + to_text(name) + ")";
                }
            }
            check_project_texts(c, item, k);
        }
    }
}

// A model with facets beyond the coordinates the occlusion tests take is
// refused before any work, naming the model's key (the shading module would
// print the reason at its start and then stop on a table it could not make).
// The model is read into the cache that the module's start then uses.
void check_model_extent(const Checker& c, nb::handle modules) {
    nb::object os_path = nb::module_::import_("os.path");
    for (nb::handle mh : modules) {
        nb::dict m = nb::borrow<nb::dict>(mh);
        ModuleDeclaration decl;
        if (!m.contains("values") || !read_declaration(m["class"], decl)) continue;
        const ProjectValue* model = decl.find(ValueKind::model);
        if (!model || !decl.find(ValueKind::surfaces)) continue;
        nb::object path = get_item(m["values"], model->key.c_str());
        if (!PyUnicode_Check(path.ptr()) || !nb::cast<bool>(os_path.attr("isfile")(path))) continue;
        if (std::string problem = model_extent_problem(path, entry_lod(m)); !problem.empty())
            c.fail(to_text(m["key"]) + "." + model->key, problem);
    }
}

// Reads the project file into a dict (TOML, or JSON for a .json file).
nb::object read_project_file(const Checker& c, nb::handle path) {
    std::string p = to_text(path);
    bool json = p.size() >= 5 && p.compare(p.size() - 5, 5, ".json") == 0;
    nb::object raw;
    nb::object text;
    try {
        nb::object data = read_host_file(path, "rb");
        text = data.attr("decode")("utf-8");
        // A byte-order mark some editors put first is not part of the text.
        if (PyUnicode_GET_LENGTH(text.ptr()) > 0 && PyUnicode_READ_CHAR(text.ptr(), 0) == 0xFEFF)
            text = check(PyUnicode_Substring(text.ptr(), 1, PyUnicode_GET_LENGTH(text.ptr())));
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_UnicodeDecodeError)) c.fail_file("不是有效的 UTF-8 文本");
        throw;
    }
    try {
        raw = json ? import("json").attr("loads")(text) : import("tomllib").attr("loads")(text);
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_ValueError))
            c.fail_file(std::string(json ? "JSON" : "TOML") + " 格式错误: " + to_text(e.value()));
        if (e.matches(PyExc_RecursionError) || e.matches(PyExc_MemoryError)) c.fail_file("表或数组嵌套过深，无法读取");
        throw;
    }
    if (!PyDict_Check(raw.ptr())) c.fail_file("顶层应为表（对象）");
    return raw;
}

// [map]: the solar map's settings (quillmere.maps), checked here so that a
// wrong value names its key before anything is cast. Absent: None.
nb::object read_map_table(const Checker& c, nb::handle map, const nb::dict& by_name) {
    if (!map.is_valid()) return nb::none();
    c.table(map, "map");
    c.only_keys(map, "map", {"shading", "resolution", "sky_directions", "horizon_directions", "threshold", "albedo"});
    nb::dict out;
    if (nb::object v = Checker::lookup(map, "shading"); v.is_valid()) {
        const std::string name = c.text(v, "map.shading");
        if (!by_name.contains(nb::str(name.c_str()))) c.fail("map.shading", "没有名为 \"" + name + "\" 的模块");
        out["shading"] = nb::str(name.c_str());
    }
    struct Number {
        const char* key;
        double lo, hi;
        bool integer;
        const char* expected;
    } numbers[] = {{"resolution", 0.0, HUGE_VAL, false, "非负数（模型单位）"},
                   {"sky_directions", 1.0, 1048576.0, true, "1 到 1048576 之间的整数"},
                   {"horizon_directions", 0.0, 1048576.0, true, "0 到 1048576 之间的整数"},
                   {"threshold", 0.0, HUGE_VAL, false, "非负数（kWh/m²/年）"},
                   {"albedo", 0.0, 1.0, false, "0 到 1 之间的数"}};
    for (const Number& n : numbers) {
        nb::object v = Checker::lookup(map, n.key);
        if (!v.is_valid()) continue;
        const std::string key = std::string("map.") + n.key;
        if (n.integer) {
            const long long x = c.integer(v, key);
            if (x < n.lo || x > n.hi) c.wrong(key, n.expected, v);
            out[n.key] = nb::int_(x);
        } else {
            const double x = c.number(v, key);
            if (!(x >= n.lo && x <= n.hi) || !std::isfinite(x)) c.wrong(key, n.expected, v);
            out[n.key] = nb::float_(x);
        }
    }
    return out;
}

}  // namespace
}  // namespace mgr

nb::object Manager::load_project() {
    using namespace mgr;
    nb::object os_mod = import("os"), os_path = import("os.path");
    Checker c;
    nb::object raw, abs;
    if (PyDict_Check(file_path.ptr())) {
        // A project given as data: the file's structure, relative paths
        // against its "folder" entry (else the current folder).
        raw = check(PyDict_Copy(file_path.ptr()));
        nb::object folder = Checker::lookup(raw, "folder");
        if (folder.is_valid()) {
            if (PyDict_DelItemString(raw.ptr(), "folder") < 0) throw_pending();
            if (!PyUnicode_Check(folder.ptr()) && !PyObject_HasAttrString(folder.ptr(), "__fspath__"))
                c.wrong("folder", "项目文件夹的路径（文本）", folder);
            folder = os_mod.attr("fspath")(folder);
            if (!PyUnicode_Check(folder.ptr())) folder = os_mod.attr("fsdecode")(folder);
        } else {
            folder = os_mod.attr("getcwd")();
        }
        c.folder = os_path.attr("abspath")(folder);
        if (std::string bad = undecodable_path(c.folder); !bad.empty()) {
            c.where = "项目字典";
            c.fail("folder", "文件夹的名称不是有效的 UTF-8 文本: " + bad +
                                 "；项目的文件夹和文件名须为 UTF-8（请给文件夹改名，或给出另一个 folder）");
        }
        c.file = to_text(c.folder);
        c.where = "项目字典（文件夹 " + c.file + "）";
        if (!nb::cast<bool>(os_path.attr("isdir")(c.folder))) c.fail("folder", "文件夹不存在: " + c.file);
        abs = nb::none();
    } else {
        nb::object fspath;
        try {
            fspath = os_mod.attr("fspath")(file_path);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_TypeError)) throw;
            raise(PyExc_TypeError, std::string("项目文件路径应为 str 或 os.PathLike（或项目字典），实际为 ") +
                                       host_type_name(file_path));
        }
        if (!PyUnicode_Check(fspath.ptr())) fspath = os_mod.attr("fsdecode")(fspath);
        // Every path of the project is built from its folder and shown in
        // messages as UTF-8: a name that is not is refused here, by its bytes.
        if (std::string bad = undecodable_path(os_path.attr("abspath")(fspath)); !bad.empty()) {
            c.file = bad;
            c.fail_file("路径不是有效的 UTF-8 文本（文件夹或文件名中有 \\x.. 所示的字节）；项目的文件夹和文件名须为 "
                        "UTF-8，请改名后再运行");
        }
        std::string shown = to_text(fspath);
        if (shown.empty()) raise(PyExc_FileNotFoundError, "项目文件路径为空：请给出项目文件（.toml 或 .json）");
        if (!nb::cast<bool>(os_path.attr("isfile")(fspath))) {
            nb::object exc = check(PyObject_CallFunction(PyExc_FileNotFoundError, "isO", 2, "项目文件不存在", fspath.ptr()));
            PyErr_SetObject(PyExc_FileNotFoundError, exc.ptr());
            throw nb::python_error();
        }
        c.file = shown;
        abs = os_path.attr("abspath")(fspath);
        c.folder = os_path.attr("dirname")(abs);
        raw = read_project_file(c, fspath);
    }
    c.where = c.subject();
    check_project_texts(c, raw, "");
    c.only_keys(raw, "", {"period", "time_step", "site", "convergence", "output", "modules", "links", "map"});

    nb::dict out;
    out["file"] = abs;
    out["folder"] = c.folder;
    out["where"] = nb::str(c.where.c_str());

    // Run period: handed to the clock as it is, so the clock's own checks apply.
    nb::object period = Checker::lookup(raw, "period");
    if (period.is_valid() && !PyList_Check(period.ptr()))
        c.wrong("period", "六个整数的数组 [开始年, 开始月, 开始日, 结束年, 结束月, 结束日]", period);
    if (period.is_valid()) {
        // Entries the clock's int() cannot take at all (an array, a date,
        // a number beyond the calendar's range) are named here; text and
        // other values keep the clock's own checks and messages.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(period.ptr()); ++i) {
            nb::handle v = PyList_GET_ITEM(period.ptr(), i);
            std::string key = "period[" + std::to_string(i) + "]";
            PyObject* n = PyNumber_Long(v.ptr());
            if (!n) {
                if (PyErr_ExceptionMatches(PyExc_ValueError)) {
                    PyErr_Clear();
                    continue;
                }
                const bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError);
                PyErr_Clear();
                c.wrong(key, overflow ? "有限的整数" : "整数（年、月或日）", v);
            }
            nb::object owned = nb::steal(n);
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(n, &overflow);
            if (overflow || x < INT32_MIN || x > INT32_MAX) c.wrong(key, "32 位范围内的整数", v);
        }
    }
    out["period"] = period.is_valid() ? period : nb::none();
    if (period.is_valid()) {
        // The clock's own rules, checked now so that nothing runs; the clock's message is
        // printed as the clock prints it, the exception names the file and the key.
        nb::dict run_period;
        run_period["params"] = period;
        calendar::Period checked{};
        if (const char* problem = run_period_problem(run_period, checked)) {
            print(problem);
            std::string text = c.subject() + ": 键 period: " + problem + "，实际为 " + repr_text(period);
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
    c.only_keys(site, "site", {"longitude", "latitude", "time_zone", "sun_time", "transposition_model",
                               "ground_reflection"});
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
    // The light on the panels' planes: the site's sky and ground (defaults in site_light_defaults).
    for (const SiteLightChoice& choice : site_light_choices()) {
        nb::object v = Checker::lookup(site, choice.key);
        if (v.is_valid()) {
            std::string text = PyUnicode_Check(v.ptr()) ? to_text(v) : "";
            if (text != choice.choices[0] && text != choice.choices[1]) {
                const std::string expected = std::string("\"") + choice.choices[0] + "\" 或 \"" + choice.choices[1] + "\"";
                c.wrong(std::string("site.") + choice.key, expected.c_str(), v);
            }
            site_out[choice.key] = v;
        } else {
            site_out[choice.key] = nb::str(choice.choices[0]);
        }
    }
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
    // A binary model or an unusable table path is named before its surfaces are looked for.
    check_generated_not_inputs(c, mod_list, out["file"]);
    for (nb::handle mh : mod_list) check_shading_files(c, mh);
    check_models(c, mod_list, quiet);
    check_model_extent(c, mod_list);
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
    out["map"] = read_map_table(c, Checker::lookup(raw, "map"), by_name);
    return out;
}

nb::object load_project_data(nb::handle path) {
    using namespace mgr;
    if (PyDict_Check(path.ptr()))
        raise(PyExc_TypeError, "load_project 读取项目文件：项目字典请直接交给 Manager(project)");
    // The same checks as a run makes, then the file's own structure.
    Manager m;
    m.file_path = nb::borrow(path);
    nb::object checked = m.Manager::load_project();
    Checker c;
    c.file = to_text(get_item(checked, "file"));
    c.folder = get_item(checked, "folder");
    nb::object raw = read_project_file(c, get_item(checked, "file"));
    if (PyDict_SetItemString(raw.ptr(), "folder", c.folder.ptr()) < 0) throw_pending();
    return raw;
}

}  // namespace qm::py
