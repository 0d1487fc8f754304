// The run manager and the entry object.
//
// A run: load_project (read + check everything that can be checked before a
// module exists) -> create_clock (the clock's own run-period check, which may
// end the process with status 1) -> create_modules (construct, fill
// in_file_params, check the recorded outputs) -> create_links (check the
// variables) -> awake_modules (shading modules first) -> run_steps -> finish
// -> write_results -> summarize.
#include "bindings/manager.hpp"

#include <nanobind/ndarray.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "bindings/common.hpp"
#include "bindings/link.hpp"
#include "bindings/sim_clock.hpp"
#include "bindings/sim_unit.hpp"
#include "kernels/demo_project.hpp"

namespace qm::py {
using namespace nb::literals;
namespace {

PyObject* g_project_error = nullptr;  // quillmere.core.manager.ProjectError (a ValueError)
nb::handle g_manager_type;

nb::object import(const char* name) { return nb::module_::import_(name); }

std::string repr_text(nb::handle v) {
    std::string s = to_text(check(PyObject_Repr(v.ptr())));
    if (s.size() > 80) s = s.substr(0, 77) + "...";
    return s;
}

// ---------------------------------------------------------------------------
// Project checking

enum class Kind { number, text, path_in, path_out, module_ref, text_list, method, grid, resolution, diffuse };

struct ParamSpec {
    const char* key;
    Kind kind;
    bool required;
    double fallback;  // used when an optional number is absent
};

struct TypeSpec {
    const char* type_name;   // module type name of the module information record
    const char* py_module;   // where the class lives
    const char* py_class;
    std::vector<ParamSpec> params;  // in in_file_params order
};

const std::vector<TypeSpec>& builtin_types() {
    static const std::vector<TypeSpec> types = {
        {"WaetherFeed", "quillmere.components.weather_feed", "WeatherFeed", {{"file", Kind::path_in, true, 0}}},
        {"SunPanel",
         "quillmere.components.sunpanel_timed",
         "TimedSunPanelModule",
         {{"shading", Kind::module_ref, true, 0},
          {"surface", Kind::text, true, 0},
          {"area", Kind::number, true, 0},
          {"efficiency", Kind::number, true, 0},
          {"normal_rad", Kind::number, false, 800.0},
          {"diffuse_rad", Kind::number, false, 100.0},
          {"ground_reflect", Kind::number, false, 0.2},
          {"diffuse", Kind::diffuse, false, 0}}},
        {"WindTurbine",
         "quillmere.components.gale_module",
         "GaleModule",
         {{"capacity", Kind::number, true, 0}, {"wind_speed", Kind::number, false, 5.0}}},
        {"SurfaceShadow",
         "quillmere.components.shade_exact",
         "ExactShadowModule",
         {{"model", Kind::path_in, true, 0},
          {"table", Kind::path_out, true, 0},
          {"method", Kind::method, false, 0},
          {"grid", Kind::grid, false, 0},
          {"resolution", Kind::resolution, false, 0},
          {"surfaces", Kind::text_list, true, 0}}},
    };
    return types;
}

const TypeSpec* find_builtin(const std::string& name) {
    for (const TypeSpec& t : builtin_types())
        if (name == t.type_name) return &t;
    return nullptr;
}

std::string known_type_list() {
    std::string s;
    for (const TypeSpec& t : builtin_types()) s += std::string(s.empty() ? "" : ", ") + t.type_name;
    return s + "，或用户类 \"包.模块:类名\"";
}

const char* kind_text(Kind k) {
    switch (k) {
        case Kind::number: return "数值";
        case Kind::text: return "非空文本";
        case Kind::path_in: return "已存在文件的路径（文本）";
        case Kind::path_out: return "文件路径（文本）";
        case Kind::module_ref: return "阴影模块的实例名（文本）";
        case Kind::text_list: return "表面名称（文本）";
        case Kind::method: return "\"exact\" 或 \"table\"";
        case Kind::grid: return "两个数值 [方位角步长, 高度角步长]（度）";
        case Kind::resolution: return "正数（模型单位）";
        case Kind::diffuse: return "\"shaded\" 或 \"isotropic\"";
    }
    return "";
}

struct Checker {
    std::string file;    // the project file, as shown in messages
    nb::object folder;   // its folder (str), base of relative paths
    nb::object os_path = import("os.path");

    [[noreturn]] void fail(const std::string& key, const std::string& what) const {
        raise(g_project_error, "项目文件 " + file + ": 键 " + key + ": " + what);
    }
    [[noreturn]] void wrong(const std::string& key, const char* expected, nb::handle got) const {
        fail(key, std::string("应为") + expected + "，实际为 " + repr_text(got));
    }
    [[noreturn]] void missing(const std::string& key, const char* expected) const {
        raise(g_project_error, "项目文件 " + file + ": 缺少键 " + key + "（应为" + expected + "）");
    }

    // table[key] or an invalid object when absent.
    static nb::object lookup(nb::handle table, const char* key) {
        PyObject* v = PyDict_GetItemString(table.ptr(), key);
        return v ? nb::borrow(v) : nb::object();
    }

    void only_keys(nb::handle table, const std::string& where, std::initializer_list<const char*> allowed) const {
        PyObject *k, *v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(table.ptr(), &pos, &k, &v)) {
            bool ok = false;
            if (PyUnicode_Check(k))
                for (const char* a : allowed) ok = ok || PyUnicode_CompareWithASCIIString(k, a) == 0;
            if (!ok) {
                std::string list;
                for (const char* a : allowed) list += std::string(list.empty() ? "" : ", ") + a;
                fail(where + (where.empty() ? "" : ".") + to_text(k), "未知的键，可用的键为 " + list);
            }
        }
    }

    nb::object table(nb::handle v, const std::string& key) const {
        if (!PyDict_Check(v.ptr())) wrong(key, "表", v);
        return nb::borrow(v);
    }

    static bool is_real(nb::handle v) {
        return (PyFloat_Check(v.ptr()) || PyLong_Check(v.ptr())) && !PyBool_Check(v.ptr());
    }

    double number(nb::handle v, const std::string& key) const {
        if (!is_real(v)) wrong(key, "数值", v);
        double d = PyFloat_Check(v.ptr()) ? PyFloat_AS_DOUBLE(v.ptr()) : PyLong_AsDouble(v.ptr());
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            wrong(key, "有限的数值", v);
        }
        if (!std::isfinite(d)) wrong(key, "有限的数值", v);
        return d;
    }

    long long integer(nb::handle v, const std::string& key) const {
        if (!PyLong_Check(v.ptr()) || PyBool_Check(v.ptr())) wrong(key, "整数", v);
        int overflow = 0;
        long long i = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
        if (overflow) wrong(key, "32 位范围内的整数", v);
        return i;
    }

    std::string text(nb::handle v, const std::string& key) const {
        if (!PyUnicode_Check(v.ptr()) || PyUnicode_GetLength(v.ptr()) == 0) wrong(key, "非空文本", v);
        return to_text(v);
    }

    // A path of the project, resolved against the project file's folder.
    nb::object path(nb::handle v, const std::string& key, bool must_exist) const {
        text(v, key);
        nb::object p = os_path.attr("expanduser")(v);
        if (!nb::cast<bool>(os_path.attr("isabs")(p))) p = os_path.attr("join")(folder, p);
        p = os_path.attr("normpath")(p);
        if (must_exist && !nb::cast<bool>(os_path.attr("isfile")(p)))
            fail(key, "文件不存在: " + to_text(p));
        return p;
    }
};

// Splits "module.variable" at the first dot.
bool split_ref(const std::string& s, std::string& module, std::string& var) {
    size_t dot = s.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == s.size()) return false;
    module = s.substr(0, dot);
    var = s.substr(dot + 1);
    return true;
}

std::string strip(const std::string& s) {
    size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// The class of a "package.module:Class" type name.
nb::object user_class(const Checker& c, const std::string& key, const std::string& spec) {
    size_t colon = spec.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == spec.size())
        c.fail(key, "未知模块类型 \"" + spec + "\"，可用类型为 " + known_type_list());
    std::string mod_name = spec.substr(0, colon), cls_name = spec.substr(colon + 1);
    nb::object sys_path = import("sys").attr("path");
    bool added = false;
    if (!nb::cast<bool>(sys_path.attr("__contains__")(c.folder))) {
        sys_path.attr("insert")(0, c.folder);  // modules next to the project file are found
        added = true;
    }
    nb::object mod;
    try {
        mod = nb::module_::import_(mod_name.c_str());
    } catch (nb::python_error& e) {
        if (added) sys_path.attr("remove")(c.folder);
        c.fail(key, "无法导入模块 \"" + mod_name + "\": " + to_text(e.value()));
    }
    if (added) sys_path.attr("remove")(c.folder);
    if (!nb::hasattr(mod, cls_name.c_str())) c.fail(key, "模块 \"" + mod_name + "\" 中没有类 \"" + cls_name + "\"");
    nb::object cls = mod.attr(cls_name.c_str());
    if (!PyType_Check(cls.ptr()) || !PyType_IsSubtype((PyTypeObject*)cls.ptr(), (PyTypeObject*)sim_unit_type().ptr()))
        c.fail(key, "\"" + spec + "\" 不是 SimUnit 的子类");
    return cls;
}

nb::object builtin_class(const TypeSpec& t) {
    return import(t.py_module).attr(t.py_class);
}

// One module entry: {"name", "type", "class", "in_file_params", "key", "ref"}.
nb::dict check_module(const Checker& c, nb::handle entry, size_t index) {
    std::string key = "modules[" + std::to_string(index) + "]";
    c.table(entry, key);
    nb::object name_v = Checker::lookup(entry, "name");
    if (!name_v.is_valid()) c.missing(key + ".name", "模块实例名（文本）");
    std::string name = c.text(name_v, key + ".name");
    if (name.find('.') != std::string::npos || name.find("->") != std::string::npos)
        c.fail(key + ".name", "实例名不能包含 \".\" 或 \"->\": \"" + name + "\"");
    key += "(" + name + ")";
    nb::object type_v = Checker::lookup(entry, "type");
    if (!type_v.is_valid()) c.missing(key + ".type", "模块类型名（文本）");
    std::string type = c.text(type_v, key + ".type");
    const TypeSpec* spec = find_builtin(type);
    nb::object cls = spec ? builtin_class(*spec) : user_class(c, key + ".type", type);

    nb::dict out;
    out["name"] = name_v;
    out["type"] = type_v;
    out["class"] = cls;
    out["key"] = nb::str(key.c_str());
    nb::list values;
    nb::object params = Checker::lookup(entry, "params");
    if (!spec) {
        c.only_keys(entry, key, {"name", "type", "params"});
        if (params.is_valid()) {
            if (!PyList_Check(params.ptr())) c.wrong(key + ".params", "数组", params);
            for (nb::handle v : params) values.append(v);
        }
        out["in_file_params"] = values;
        return out;
    }

    // Built-in types: either params = [...] in order, or one key per value.
    std::vector<nb::object> given(spec->params.size());
    std::vector<std::string> keys(spec->params.size());
    if (params.is_valid()) {
        c.only_keys(entry, key, {"name", "type", "params"});
        if (!PyList_Check(params.ptr())) c.wrong(key + ".params", "数组", params);
        Py_ssize_t n = PyList_GET_SIZE(params.ptr());
        size_t fixed = spec->params.size() - (spec->params.back().kind == Kind::text_list ? 1 : 0);
        for (size_t i = 0; i < spec->params.size(); ++i) {
            keys[i] = key + ".params[" + std::to_string(i) + "](" + spec->params[i].key + ")";
            if (spec->params[i].kind == Kind::text_list) {
                nb::list rest;
                for (Py_ssize_t j = Py_ssize_t(i); j < n; ++j) rest.append(nb::borrow(PyList_GET_ITEM(params.ptr(), j)));
                given[i] = rest;
            } else if (Py_ssize_t(i) < n) {
                given[i] = nb::borrow(PyList_GET_ITEM(params.ptr(), i));
            }
        }
        if (spec->params.back().kind != Kind::text_list && size_t(n) > fixed)
            c.fail(key + ".params", "值过多：模块类型 " + type + " 需要 " + std::to_string(fixed) + " 个值，实际为 " +
                                        std::to_string(n));
        for (size_t i = 0; i < spec->params.size(); ++i)
            if (!given[i].is_valid() && spec->params[i].required)
                c.missing(keys[i], kind_text(spec->params[i].kind));
    } else {
        std::vector<const char*> allowed = {"name", "type", "params"};
        for (const ParamSpec& p : spec->params) allowed.push_back(p.key);
        PyObject *k, *v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(entry.ptr(), &pos, &k, &v)) {
            bool ok = false;
            for (const char* a : allowed) ok = ok || (PyUnicode_Check(k) && PyUnicode_CompareWithASCIIString(k, a) == 0);
            if (!ok) {
                std::string list;
                for (const char* a : allowed) list += std::string(list.empty() ? "" : ", ") + a;
                c.fail(key + "." + to_text(k), "未知的键，可用的键为 " + list);
            }
        }
        for (size_t i = 0; i < spec->params.size(); ++i) {
            keys[i] = key + "." + spec->params[i].key;
            given[i] = Checker::lookup(entry, spec->params[i].key);
            if (!given[i].is_valid() && spec->params[i].required) c.missing(keys[i], kind_text(spec->params[i].kind));
            if (given[i].is_valid() && spec->params[i].kind == Kind::text_list) {
                if (!PyList_Check(given[i].ptr())) c.wrong(keys[i], "表面名称的数组", given[i]);
            }
        }
    }

    nb::object ref = nb::none();
    nb::dict options;
    for (size_t i = 0; i < spec->params.size(); ++i) {
        const ParamSpec& p = spec->params[i];
        nb::handle v = given[i];
        switch (p.kind) {
            case Kind::number:
                values.append(nb::float_(v.is_valid() ? c.number(v, keys[i]) : p.fallback));
                break;
            case Kind::text: values.append(nb::str(c.text(v, keys[i]).c_str())); break;
            case Kind::method: {
                std::string m = v.is_valid() ? c.text(v, keys[i]) : "exact";
                if (m != "exact" && m != "table") c.wrong(keys[i], kind_text(p.kind), v);
                values.append(nb::str(m.c_str()));
                break;
            }
            case Kind::diffuse: {
                // A module option (set as the unit's attribute), not an in_file_params entry.
                std::string m = v.is_valid() ? c.text(v, keys[i]) : "shaded";
                if (m != "shaded" && m != "isotropic") c.wrong(keys[i], kind_text(p.kind), v);
                options[p.key] = nb::str(m.c_str());
                break;
            }
            case Kind::grid: {
                if (!v.is_valid()) {
                    values.append(nb::none());
                    break;
                }
                if (!PyList_Check(v.ptr()) || PyList_GET_SIZE(v.ptr()) != 2) c.wrong(keys[i], kind_text(p.kind), v);
                double az = c.number(PyList_GET_ITEM(v.ptr(), 0), keys[i] + "[0]");
                double alt = c.number(PyList_GET_ITEM(v.ptr(), 1), keys[i] + "[1]");
                if (!(az > 0 && az <= 360)) c.fail(keys[i] + "[0]", "方位角步长应在 (0, 360] 度之间，实际为 " + repr_text(PyList_GET_ITEM(v.ptr(), 0)));
                if (!(alt > 0 && alt <= 90)) c.fail(keys[i] + "[1]", "高度角步长应在 (0, 90] 度之间，实际为 " + repr_text(PyList_GET_ITEM(v.ptr(), 1)));
                values.append(nb::make_tuple(az, alt));
                break;
            }
            case Kind::resolution: {
                double r = v.is_valid() ? c.number(v, keys[i]) : 0.0;
                if (v.is_valid() && !(r > 0)) c.fail(keys[i], "应为正数（模型单位），实际为 " + repr_text(v));
                values.append(nb::float_(r));
                break;
            }
            case Kind::module_ref:
                c.text(v, keys[i]);
                values.append(v);
                ref = nb::make_tuple(v, nb::str(keys[i].c_str()));
                break;
            case Kind::path_in: values.append(c.path(v, keys[i], true)); break;
            case Kind::path_out: values.append(c.path(v, keys[i], false)); break;
            case Kind::text_list: {
                Py_ssize_t n = PyList_GET_SIZE(v.ptr());
                if (n == 0) c.fail(keys[i], "至少需要一个表面名称");
                for (Py_ssize_t j = 0; j < n; ++j) {
                    std::string item_key = params.is_valid() ? key + ".params[" + std::to_string(i + j) + "](" + p.key + ")"
                                                             : keys[i] + "[" + std::to_string(j) + "]";
                    values.append(nb::str(c.text(PyList_GET_ITEM(v.ptr(), j), item_key).c_str()));
                }
                break;
            }
        }
    }
    out["in_file_params"] = values;
    out["ref"] = ref;
    if (PyDict_Size(options.ptr()) > 0) out["options"] = options;
    return out;
}

// Reads the project file into a dict (TOML, or JSON for a .json file).
nb::object read_project_file(const Checker& c, nb::handle path) {
    nb::object builtins = import("builtins");
    std::string p = to_text(path);
    bool json = p.size() >= 5 && p.compare(p.size() - 5, 5, ".json") == 0;
    nb::object raw;
    nb::object text;
    try {
        nb::object f = builtins.attr("open")(path, "rb");
        nb::object data;
        try {
            data = f.attr("read")();
        } catch (...) {
            f.attr("close")();
            throw;
        }
        f.attr("close")();
        text = data.attr("decode")("utf-8");
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_UnicodeDecodeError)) raise(g_project_error, "项目文件 " + c.file + ": 不是有效的 UTF-8 文本");
        throw;
    }
    try {
        raw = json ? import("json").attr("loads")(text) : import("tomllib").attr("loads")(text);
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_ValueError))
            raise(g_project_error, "项目文件 " + c.file + ": " + (json ? "JSON" : "TOML") + " 格式错误: " + to_text(e.value()));
        throw;
    }
    if (!PyDict_Check(raw.ptr())) raise(g_project_error, "项目文件 " + c.file + ": 顶层应为表（对象）");
    return raw;
}

// ---------------------------------------------------------------------------
// Step loop helpers

// A recorded output: numbers go into a float column; the first value that is
// not a real number turns the column into an object column, so nothing is lost.
struct Column {
    SimUnit* unit;
    nb::object unit_obj;
    nb::object var;
    std::vector<double> values;
    nb::object objects;  // list, once the column holds something other than numbers

    void push(nb::handle v) {
        if (!objects.is_valid()) {
            PyObject* o = v.ptr();
            if (PyFloat_CheckExact(o)) {
                values.push_back(PyFloat_AS_DOUBLE(o));
                return;
            }
            // Real numbers, including numpy scalars and other types with __float__.
            PyNumberMethods* num = Py_TYPE(o)->tp_as_number;
            if (!PyBool_Check(o) && num && num->nb_float) {
                double d = PyFloat_AsDouble(o);
                if (!(d == -1.0 && PyErr_Occurred())) {
                    values.push_back(d);
                    return;
                }
                PyErr_Clear();
            }
            objects = check(PyList_New(0));
            for (double d : values) {
                nb::object f = nb::float_(d);
                if (PyList_Append(objects.ptr(), f.ptr()) < 0) throw_pending();
            }
            std::vector<double>().swap(values);
        }
        if (PyList_Append(objects.ptr(), v.ptr()) < 0) throw_pending();
    }
};

struct Generator {
    SimUnit* unit;
    nb::object name;
    double energy0 = 0.0;
    double peak = -INFINITY;
    double rated = NAN;  // kW; NaN when unknown
};

double value_as_double(nb::handle v) {
    if (PyFloat_CheckExact(v.ptr())) return PyFloat_AS_DOUBLE(v.ptr());
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return NAN;
    }
    return d;
}

// A cheap tick counter for the loop's own accounting (the time stamp counter
// where there is one); converted to seconds against steady_clock over the loop.
inline uint64_t ticks() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

// (key, value) pairs of a dict as a new list: host code run while they are
// walked cannot change the walk or free a value in use.
std::vector<std::pair<nb::object, nb::object>> dict_items(nb::handle d) {
    nb::object items = check(PyDict_Items(d.ptr()));
    std::vector<std::pair<nb::object, nb::object>> out;
    for (nb::handle pair : items) out.emplace_back(pair[0], pair[1]);
    return out;
}

nb::object key_str(const char* s) { return check(PyUnicode_InternFromString(s)); }

// Adds "where it happened" to an exception leaving the loop; type and message stay.
void add_note(nb::python_error& e, const std::string& note) {
    nb::object exc = nb::borrow(e.value());
    if (nb::hasattr(exc, "add_note")) {
        try {
            exc.attr("add_note")(note);
        } catch (nb::python_error&) {
        }
    }
}

nb::object numpy_array(std::vector<double>&& v) {
    auto* heap = new std::vector<double>(std::move(v));
    nb::capsule owner(heap, [](void* p) noexcept { delete static_cast<std::vector<double>*>(p); });
    size_t shape[1] = {heap->size()};
    return nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<1>>(heap->data(), 1, shape, owner));
}

SimClock* clock_of(nb::handle clock) {
    if (!PyObject_TypeCheck(clock.ptr(), (PyTypeObject*)sim_clock_type().ptr()))
        raise(PyExc_TypeError, "Manager.clock 应为 SimClock，实际为 " + std::string(host_type_name(clock)));
    return nb::inst_ptr<SimClock>(clock);
}

SimUnit* unit_of(nb::handle unit, const std::string& name) {
    if (!PyObject_TypeCheck(unit.ptr(), (PyTypeObject*)sim_unit_type().ptr()))
        raise(PyExc_TypeError, "模块 " + name + " 应为 SimUnit，实际为 " + host_type_name(unit));
    return nb::inst_ptr<SimUnit>(unit);
}

nb::object project_item(const Manager& m, const char* key) {
    if (!PyDict_Check(m.project.ptr())) raise(PyExc_RuntimeError, "Manager.project 未设置：请先调用 load_project()");
    return get_item(m.project, key);
}

}  // namespace

// ---------------------------------------------------------------------------
// Manager

nb::object Manager::load_project() {
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

    nb::object step = Checker::lookup(raw, "time_step");
    double time_step = step.is_valid() ? c.number(step, "time_step") : 3600.0;
    if (!(time_step > 0.0)) c.fail("time_step", "时间步长应为正数（秒），实际为 " + repr_text(step));
    out["time_step"] = nb::float_(time_step);

    nb::object site = Checker::lookup(raw, "site");
    if (!site.is_valid()) c.missing("site", "表，含 longitude、latitude、time_zone");
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
            if (tz < -12 || tz > 14) c.fail(key, "时区应在 -12 到 14 之间，实际为 " + std::to_string(tz));
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
    // describes (EPW rows are hour-ending means), or the clock's time.
    nb::object sun_time = Checker::lookup(site, "sun_time");
    if (sun_time.is_valid()) {
        std::string st = c.text(sun_time, "site.sun_time");
        if (st != "middle" && st != "start") c.wrong("site.sun_time", "\"middle\" 或 \"start\"", sun_time);
    }
    site_out["sun_time"] = sun_time.is_valid() ? sun_time : nb::object(nb::str("middle"));
    out["site"] = site_out;

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
    // A panel's shading module must exist, be a shading module, and know the panel's surface.
    nb::object shade_cls;
    for (nb::handle mh : mod_list) {
        nb::dict m = nb::borrow<nb::dict>(mh);
        if (!m.contains("ref") || nb::object(m["ref"]).is_none()) continue;
        nb::object ref = m["ref"];
        nb::object target_name = ref[0];
        std::string key = to_text(ref[1]);
        if (!by_name.contains(target_name))
            c.fail(key, "没有名为 \"" + to_text(target_name) + "\" 的模块");
        nb::object target = get_item(by_name, target_name);
        if (!shade_cls.is_valid()) shade_cls = import("quillmere.components.shade_group").attr("SurfaceShadowModule");
        nb::object tcls = target["class"];
        if (!PyType_IsSubtype((PyTypeObject*)tcls.ptr(), (PyTypeObject*)shade_cls.ptr()))
            c.fail(key, "模块 \"" + to_text(target_name) + "\" 不是 SurfaceShadow 类型");
        nb::object surface = nb::object(m["in_file_params"])[1];
        nb::list tparams = target["in_file_params"];
        bool found = false;
        const size_t first_surface = find_builtin(to_text(target["type"])) ? 5 : 2;  // after the shading options
        for (size_t j = first_surface; j < tparams.size(); ++j) found = found || surface.equal(tparams[j]);
        if (!found && find_builtin(to_text(target["type"])))
            c.fail(to_text(m["key"]) + ".surface",
                   "表面 \"" + to_text(surface) + "\" 不在阴影模块 \"" + to_text(target_name) + "\" 的 surfaces 中");
    }
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

nb::object Manager::create_clock() {
    nb::object c = nb::borrow(sim_clock_type())(0.0, project_item(*this, "time_step"));
    nb::object period = project_item(*this, "period");
    nb::dict run_period;
    if (!period.is_none()) run_period["params"] = period;
    c.attr("set_period")(period.is_none() ? nb::none() : nb::object(run_period));
    return c;
}

nb::object Manager::create_modules() {
    std::string file = to_text(project_item(*this, "file"));
    nb::dict mods;
    for (nb::handle entry : nb::borrow<nb::list>(project_item(*this, "modules"))) {
        nb::object cls = entry["class"];
        nb::object name = entry["name"];
        nb::object unit = cls(name);
        unit_of(unit, to_text(name));
        // A copy, so the project record keeps the values as read.
        unit.attr("in_file_params") = nb::list(nb::borrow(entry["in_file_params"]));
        if (PyObject* options = PyDict_GetItemString(entry.ptr(), "options"))
            for (auto [key, value] : nb::borrow<nb::dict>(options)) nb::setattr(unit, key, value);
        mods[name] = unit;
    }
    // Recorded outputs must exist.
    nb::object record = project_item(*this, "record");
    if (!record.is_none()) {
        for (nb::handle r : record) {
            nb::object unit = mods[r[0]];
            nb::object outs = unit.attr("outputs");
            if (!PyDict_Check(outs.ptr()) || !PyDict_Contains(outs.ptr(), nb::object(r[1]).ptr())) {
                std::string list;
                if (PyDict_Check(outs.ptr()))
                    for (nb::handle k : nb::borrow<nb::dict>(outs).keys()) list += (list.empty() ? "" : ", ") + to_text(k);
                raise(g_project_error, "项目文件 " + file + ": 键 " + to_text(r[2]) + ": 模块 \"" + to_text(r[0]) +
                                           "\" 没有输出变量 \"" + to_text(r[1]) + "\"（可用: " + list + "）");
            }
        }
    }
    modules = mods;
    nb::dict st;
    st["modules"] = mods;
    st["site"] = nb::dict(nb::borrow<nb::dict>(project_item(*this, "site")));
    if (!clock.is_none()) st["clock"] = clock;  // the shading modules plan the run's sun positions
    state = st;
    return mods;
}

nb::object Manager::create_links() {
    std::string file = to_text(project_item(*this, "file"));
    if (!PyDict_Check(modules.ptr())) raise(PyExc_RuntimeError, "Manager.modules 未设置：请先调用 create_modules()");
    nb::list out;
    nb::object link_type = import("quillmere._native").attr("Link");
    for (nb::handle l : nb::borrow<nb::list>(project_item(*this, "links"))) {
        nb::object src = get_item(modules, l["source"]);
        nb::object dst = get_item(modules, l["target"]);
        struct Side {
            nb::object unit;
            nb::object var;
            const char* dict;
            const char* what;
        } sides[2] = {{src, l["source_variable"], "outputs", "输出变量"}, {dst, l["target_variable"], "inputs", "输入变量"}};
        for (const Side& s : sides) {
            nb::object d = s.unit.attr(s.dict);
            if (!PyDict_Check(d.ptr()) || !PyDict_Contains(d.ptr(), s.var.ptr())) {
                std::string list;
                if (PyDict_Check(d.ptr()))
                    for (nb::handle k : nb::borrow<nb::dict>(d).keys()) list += (list.empty() ? "" : ", ") + to_text(k);
                raise(g_project_error, "项目文件 " + file + ": 键 " + to_text(l["key"]) + ": 模块 \"" +
                                           to_text(s.unit.attr("name")) + "\" 没有" + s.what + " \"" + to_text(s.var) +
                                           "\"（可用: " + (list.empty() ? "无" : list) + "）");
            }
        }
        out.append(link_type(src, l["source_variable"], dst, l["target_variable"]));
    }
    links = out;
    return out;
}

namespace {
bool is_shading(nb::handle unit) {
    static nb::object cls;
    if (!cls.is_valid()) {
        try {
            cls = import("quillmere.components.shade_group").attr("SurfaceShadowModule");
        } catch (nb::python_error&) {
            cls = nb::none();
        }
    }
    if (!cls.is_none() && PyObject_TypeCheck(unit.ptr(), (PyTypeObject*)cls.ptr())) return true;
    nb::object mn = nb::borrow(unit).attr("module_name");
    return PyUnicode_Check(mn.ptr()) && PyUnicode_CompareWithASCIIString(mn.ptr(), "SurfaceShadow") == 0;
}
}  // namespace

void Manager::awake_modules() {
    if (!PyDict_Check(modules.ptr())) raise(PyExc_RuntimeError, "Manager.modules 未设置：请先调用 create_modules()");
    nb::dict mods = nb::borrow<nb::dict>(modules);
    // Shading modules first: panels look theirs up and query it in their own awake.
    std::vector<std::pair<nb::object, nb::object>> order;
    for (int pass = 0; pass < 2; ++pass)
        for (auto& [name, unit] : dict_items(mods))
            if (is_shading(unit) == (pass == 0)) order.emplace_back(name, unit);
    if (regenerate_shading) {
        nb::object os_mod = import("os"), os_path = import("os.path");
        for (auto& [name, unit] : order) {
            if (!is_shading(unit)) continue;
            if (nb::hasattr(unit, "discard_caches")) {
                nb::object params = unit.attr("in_file_params");
                if (PyList_Check(params.ptr()) && PyList_GET_SIZE(params.ptr()) >= 2 && !quiet)
                    print("已删除阴影表，将重新生成: " + to_text(nb::borrow(PyList_GET_ITEM(params.ptr(), 1))));
                unit.attr("discard_caches")();
                continue;
            }
            nb::object params = unit.attr("in_file_params");
            if (!PyList_Check(params.ptr()) || PyList_GET_SIZE(params.ptr()) < 2) continue;
            nb::object table = nb::borrow(PyList_GET_ITEM(params.ptr(), 1));
            if (nb::cast<bool>(os_path.attr("isfile")(table))) {
                os_mod.attr("remove")(table);
                if (!quiet) print("已删除阴影表，将重新生成: " + to_text(table));
            }
        }
    }
    for (auto& [name, unit] : order) {
        SimUnit* u = unit_of(unit, to_text(name));
        try {
            u->awake(state);
        } catch (nb::python_error& e) {
            add_note(e, "模块 " + to_text(name) + " 的 awake 出错");
            throw;
        }
    }
}

nb::object Manager::run_steps() {
    using steady = std::chrono::steady_clock;
    if (!PyDict_Check(modules.ptr())) raise(PyExc_RuntimeError, "Manager.modules 未设置：请先调用 create_modules()");
    if (!PyList_Check(links.ptr())) raise(PyExc_RuntimeError, "Manager.links 未设置：请先调用 create_links()");
    nb::object clock_obj = clock;  // held for the whole run
    SimClock* clk = clock_of(clock_obj);
    nb::object state_obj = state;
    nb::dict mods = nb::borrow<nb::dict>(modules);
    nb::object threshold_obj = project_item(*this, "threshold");
    double threshold = nb::cast<double>(threshold_obj);
    long long max_iterations = nb::cast<long long>(project_item(*this, "max_iterations"));
    bool always_iterate = nb::cast<bool>(project_item(*this, "always_iterate"));

    // Units in file order, then in dependency order of the links: a module
    // updates after the modules it reads from, with its incoming links copied
    // just before its update, so one pass is exact when the links form no cycle.
    std::vector<nb::object> unit_objs, unit_names;
    std::vector<SimUnit*> units;
    for (auto& [name, unit] : dict_items(mods)) {
        unit_names.push_back(name);
        unit_objs.push_back(unit);
        units.push_back(unit_of(unit, to_text(name)));
    }
    size_t n_units = units.size();
    auto index_of = [&](nb::handle unit) -> size_t {
        for (size_t i = 0; i < n_units; ++i)
            if (unit_objs[i].ptr() == unit.ptr()) return i;
        return n_units;
    };
    std::vector<nb::object> link_objs;
    std::vector<std::vector<Link*>> incoming(n_units);
    std::vector<std::vector<size_t>> successors(n_units);
    std::vector<size_t> indegree(n_units, 0);
    std::vector<Link*> orphan_links;  // links whose target is not one of the modules
    nb::object link_type = import("quillmere._native").attr("Link");
    for (nb::handle l : nb::borrow<nb::list>(links)) {
        if (!PyObject_TypeCheck(l.ptr(), (PyTypeObject*)link_type.ptr()))
            raise(PyExc_TypeError, std::string("Manager.links 的元素应为 Link，实际为 ") + host_type_name(l));
        link_objs.push_back(nb::borrow(l));
        Link* lp = nb::inst_ptr<Link>(l);
        size_t s = index_of(lp->source_module), t = index_of(lp->target_module);
        if (t == n_units) {
            orphan_links.push_back(lp);
            continue;
        }
        incoming[t].push_back(lp);
        if (s < n_units) {
            successors[s].push_back(t);
            ++indegree[t];
        }
    }
    std::vector<size_t> order;
    std::vector<bool> placed(n_units, false);
    for (size_t k = 0; k < n_units; ++k) {
        size_t pick = n_units;
        for (size_t i = 0; i < n_units && pick == n_units; ++i)
            if (!placed[i] && indegree[i] == 0) pick = i;
        if (pick == n_units) break;
        placed[pick] = true;
        order.push_back(pick);
        for (size_t t : successors[pick]) --indegree[t];
    }
    bool cyclic = order.size() != n_units;
    if (cyclic) {
        order.clear();
        for (size_t i = 0; i < n_units; ++i) order.push_back(i);
    }
    bool iterate = (cyclic || always_iterate) && max_iterations > 1;

    // Recorded columns.
    std::vector<Column> columns;
    nb::object record = project_item(*this, "record");
    if (record.is_none()) {
        for (size_t i = 0; i < n_units; ++i) {
            nb::object outs = unit_objs[i].attr("outputs");
            if (!PyDict_Check(outs.ptr())) continue;
            for (nb::handle k : nb::borrow<nb::dict>(outs).keys())
                columns.push_back(Column{units[i], unit_objs[i], nb::borrow(k), {}, nb::object()});
        }
    } else {
        for (nb::handle r : record) {
            nb::object unit = get_item(mods, r[0]);
            columns.push_back(Column{unit_of(unit, to_text(r[0])), unit, r[1], {}, nb::object()});
        }
    }

    // Generators: modules with "power" (kW) and "energy" (kWh) outputs.
    nb::object k_power = key_str("power"), k_energy = key_str("energy");
    std::vector<Generator> gens;
    for (size_t i = 0; i < n_units; ++i) {
        SimUnit* u = units[i];
        if (!PyDict_Check(u->outputs.ptr()) || !PyDict_Contains(u->outputs.ptr(), k_power.ptr()) ||
            !PyDict_Contains(u->outputs.ptr(), k_energy.ptr()))
            continue;
        Generator g{u, unit_names[i]};
        g.energy0 = value_as_double(record_value(u->outputs, k_energy));
        if (PyDict_Check(u->params.ptr())) {
            nb::object mn = u->module_name;
            auto param = [&](const char* k) -> double {
                PyObject* rec = PyDict_GetItemString(u->params.ptr(), k);
                if (!rec || !PyDict_Check(rec)) return NAN;
                PyObject* v = PyDict_GetItemString(rec, "value");
                return v ? value_as_double(v) : NAN;
            };
            if (PyUnicode_Check(mn.ptr()) && PyUnicode_CompareWithASCIIString(mn.ptr(), "SunPanel") == 0)
                g.rated = param("panel_area") * param("efficiency");  // kWp at 1000 W/m²
            else
                g.rated = param("capacity");
        }
        gens.push_back(g);
    }

    // Number of steps: the whole period, the last step may overrun its end.
    double span = clk->end_time, dt = clk->time_step;
    if (!(dt > 0.0) || !std::isfinite(dt)) raise(PyExc_ValueError, "时间步长应为正的有限数（秒）");
    double n_steps_d = std::ceil(span / dt - 1e-9);
    if (!std::isfinite(n_steps_d) || n_steps_d > 1e8)
        raise(PyExc_ValueError, "运行步数过多（" + std::to_string(n_steps_d) + "）：请增大时间步长");
    size_t n_steps = n_steps_d > 0 ? size_t(n_steps_d) : 0;
    std::vector<double> times;
    times.reserve(n_steps);
    for (Column& c : columns) c.values.reserve(n_steps);

    size_t step = 0, iterations_total = 0, non_converged = 0;
    // Ticks spent inside the modules' update calls, and inside every module,
    // link and clock operation; the rest of the loop is the manager's own.
    uint64_t update_ticks = 0, op_ticks = 0;
    auto timed = [&](auto&& op) {
        uint64_t a = ticks();
        op();
        op_ticks += ticks() - a;
    };
    const char* phase = "";
    size_t current = n_units;
    size_t progress_every = std::max<size_t>(1, n_steps / 100);
    auto t_start = steady::now();
    uint64_t tick_start = ticks();

    auto pass = [&]() {
        for (size_t i : order) {
            current = i;
            phase = "link";
            for (Link* l : incoming[i]) timed([&] { l->update_link(); });
            phase = "update";
            uint64_t t0 = ticks();
            units[i]->update(clock_obj, state_obj);
            uint64_t used = ticks() - t0;
            update_ticks += used;
            op_ticks += used;
        }
        current = n_units;
        phase = "link";
        for (Link* l : orphan_links) timed([&] { l->update_link(); });
        ++iterations_total;
    };

    try {
        for (step = 0; step < n_steps; ++step) {
            double now = clk->current_time;
            phase = "snapshot";
            for (size_t i : order) {
                current = i;
                timed([&] {
                    units[i]->update_previous_values();
                    units[i]->update_previous_outputs_2();
                });
            }
            pass();
            if (iterate) {
                bool converged = false;
                for (long long k = 1; k < max_iterations && !converged; ++k) {
                    phase = "iterate";
                    for (size_t i : order) {
                        current = i;
                        timed([&] {
                            units[i]->set_previous_outputs_2_to_current();
                            units[i]->update_previous_values();
                        });
                    }
                    pass();
                    converged = true;
                    phase = "check_convergence";
                    for (size_t i : order) {
                        current = i;
                        int ok = 0;
                        timed([&] { ok = units[i]->check_convergence(threshold); });
                        units[i]->is_converged = ok;
                        converged = converged && ok;
                    }
                }
                if (!converged) {
                    if (non_converged == 0)
                        print("警告：第 " + std::to_string(step + 1) + " 步（" + clk->get_current_datetime_str() +
                              "）在 " + std::to_string(max_iterations) + " 次迭代内未收敛");
                    ++non_converged;
                }
            }
            phase = "after";
            for (size_t i : order) {
                current = i;
                timed([&] { units[i]->after(clock_obj); });
            }
            phase = "record";
            current = n_units;
            times.push_back(now);
            for (Column& c : columns) c.push(record_value(c.unit->outputs, c.var));
            for (Generator& g : gens) {
                double p = value_as_double(record_value(g.unit->outputs, k_power));
                if (p > g.peak) g.peak = p;
            }
            phase = "advance_time";
            timed([&] { clk->advance_time(); });
            if (progress && (step + 1) % progress_every == 0)
                PySys_WriteStderr("\r运行中 %3d%% (%zu/%zu 步)", int((step + 1) * 100 / n_steps), step + 1, n_steps);
            if ((step & 255) == 255 && PyErr_CheckSignals() < 0) throw_pending();  // Ctrl-C in native-only runs
        }
    } catch (nb::python_error& e) {
        if (progress) PySys_WriteStderr("\n");
        std::string where = current < n_units ? "模块 " + to_text(unit_names[current]) + " 的 " + phase : phase;
        std::string when;
        try {
            when = "（" + clk->get_current_datetime_str() + "）";
        } catch (nb::python_error&) {
        }
        add_note(e, "第 " + std::to_string(step + 1) + " 步" + when + "，" + where + " 出错");
        throw;
    }
    if (progress && n_steps) PySys_WriteStderr("\r运行中 100%% (%zu/%zu 步)\n", n_steps, n_steps);
    double loop_seconds = std::chrono::duration<double>(steady::now() - t_start).count();
    uint64_t loop_ticks = ticks() - tick_start;
    double seconds_per_tick = loop_ticks ? loop_seconds / double(loop_ticks) : 0.0;

    // Results table.
    nb::object np = import("numpy"), pd = import("pandas");
    nb::dict data;
    nb::object secs = np.attr("floor")(numpy_array(std::move(times))).attr("astype")("int64");
    char base[32];
    std::snprintf(base, sizeof base, "%04d-01-01", int(clk->start_year));
    data["timestamp"] = np.attr("datetime64")(base, "s") + secs.attr("astype")("timedelta64[s]");
    for (Column& c : columns) {
        std::string col = to_text(c.unit->name) + "." + to_text(c.var);
        // Object columns stay objects (None is not turned into NaN, tuples stay tuples).
        data[col.c_str()] = c.objects.is_valid() ? pd.attr("Series")(c.objects, "dtype"_a = "object")
                                                 : numpy_array(std::move(c.values));
    }
    nb::object table = pd.attr("DataFrame")(data);

    nb::dict gen_summary;
    for (Generator& g : gens) {
        double energy = value_as_double(record_value(g.unit->outputs, k_energy)) - g.energy0;
        nb::dict d;
        d["type"] = g.unit->module_name;
        d["energy_kwh"] = energy;
        d["peak_kw"] = n_steps ? g.peak : 0.0;
        d["rated_kw"] = std::isfinite(g.rated) && g.rated > 0 ? nb::object(nb::float_(g.rated)) : nb::none();
        d["full_load_hours"] =
            std::isfinite(g.rated) && g.rated > 0 ? nb::object(nb::float_(energy / g.rated)) : nb::none();
        gen_summary[g.name] = d;
    }
    summary = gen_summary;
    nb::dict tm;
    tm["steps"] = n_steps;
    tm["modules"] = n_units;
    tm["iterations"] = iterations_total;
    tm["non_converged_steps"] = non_converged;
    tm["loop_s"] = loop_seconds;
    tm["module_update_s"] = double(update_ticks) * seconds_per_tick;
    double op_seconds = double(op_ticks) * seconds_per_tick;
    tm["operations_s"] = op_seconds;
    double module_steps = double(n_units) * double(iterations_total);
    tm["overhead_us_per_module_step"] = module_steps > 0 ? (loop_seconds - op_seconds) / module_steps * 1e6 : 0.0;
    timings = tm;
    results = table;
    return table;
}

void Manager::finish_modules() {
    if (!PyDict_Check(modules.ptr())) return;
    // A list of the pairs: a finish() that changes the dict cannot pull a module away mid-call.
    nb::object items = check(PyDict_Items(modules.ptr()));
    for (nb::handle pair : items) {
        nb::object name = pair[0], unit = pair[1];
        try {
            unit_of(unit, to_text(name))->finish(clock);
        } catch (nb::python_error& e) {
            add_note(e, "模块 " + to_text(name) + " 的 finish 出错");
            throw;
        }
    }
}

void Manager::write_results() {
    nb::object path = output_path;
    if (path.is_none() && PyDict_Check(project.ptr())) path = get_item(project, "csv");
    if (path.is_none() || results.is_none()) return;
    nb::object os_mod = import("os"), os_path = import("os.path");
    nb::object folder = os_path.attr("dirname")(os_path.attr("abspath")(path));
    os_mod.attr("makedirs")(folder, "exist_ok"_a = true);
    results.attr("to_csv")(path, "index"_a = false);
    if (!quiet) print("结果已写入: " + to_text(path));
}

nb::object Manager::summarize() {
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
        if (flh.is_none())
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
    return summary;
}

nb::object Manager::run_simulation() {
    project = clock = modules = links = state = results = summary = timings = nb::none();
    project = load_project();
    // Relative paths that modules resolve themselves are taken from the project's folder.
    nb::object util, old_base;
    try {
        util = import("quillmere.core.util");
        if (!nb::hasattr(util, "set_base_folder") || !nb::hasattr(util, "get_base_folder")) util = nb::object();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        util = nb::object();
    }
    if (util.is_valid()) {
        old_base = util.attr("get_base_folder")();
        util.attr("set_base_folder")(get_item(project, "folder"));
    }
    try {
        clock = create_clock();
        create_modules();
        create_links();
        awake_modules();
        nb::object table = run_steps();
        finish_modules();
        write_results();
        summarize();
        if (util.is_valid()) util.attr("set_base_folder")(old_base);
        return table;
    } catch (...) {
        if (util.is_valid()) {
            // The original error wins over a failing restore.
            PyObject *t, *v, *tb;
            PyErr_Fetch(&t, &v, &tb);
            try {
                util.attr("set_base_folder")(old_base);
            } catch (nb::python_error&) {
            }
            PyErr_Restore(t, v, tb);
        }
        throw;
    }
}

int Manager::traverse(visitproc visit, void* arg) {
    for (nb::object* o : {&file_path, &output_path, &project, &clock, &modules, &links, &state, &results, &summary, &timings})
        Py_VISIT(o->ptr());
    return 0;
}

void Manager::clear() {
    for (nb::object* o : {&file_path, &output_path, &project, &clock, &modules, &links, &state, &results, &summary, &timings})
        *o = nb::none();
}

void QuillMere::run() {
    if (!PyObject_TypeCheck(manager.ptr(), (PyTypeObject*)g_manager_type.ptr()))
        raise(PyExc_TypeError, std::string("QuillMere.manager 应为 Manager，实际为 ") + host_type_name(manager));
    nb::object keep = manager;
    nb::inst_ptr<Manager>(keep)->run_simulation();
}

namespace {

int manager_tp_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    return nb::inst_ptr<Manager>(self)->traverse(visit, arg);
}
int manager_tp_clear(PyObject* self) {
    if (nb::inst_ready(self)) nb::inst_ptr<Manager>(self)->clear();
    return 0;
}
PyType_Slot g_manager_slots[] = {{Py_tp_traverse, (void*)manager_tp_traverse},
                                 {Py_tp_clear, (void*)manager_tp_clear},
                                 {0, nullptr}};

int entry_tp_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    Py_VISIT(nb::inst_ptr<QuillMere>(self)->manager.ptr());
    return 0;
}
int entry_tp_clear(PyObject* self) {
    if (nb::inst_ready(self)) nb::inst_ptr<QuillMere>(self)->manager = nb::none();
    return 0;
}
PyType_Slot g_entry_slots[] = {{Py_tp_traverse, (void*)entry_tp_traverse},
                               {Py_tp_clear, (void*)entry_tp_clear},
                               {0, nullptr}};

template <typename T>
void def_bool_attr(nb::handle cls, const char* name, bool Manager::*member) {
    def_attr<Manager>(
        cls, name, [member](Manager& m) -> nb::object { return nb::bool_(m.*member); },
        [member](Manager& m, nb::handle v) {
            int t = PyObject_IsTrue(v.ptr());
            if (t < 0) throw_pending();
            m.*member = t != 0;
        },
        [](Manager&) { raise_del(); });
}

}  // namespace

void bind_manager(nb::module_& m) {
    nb::module_ scope = named_scope("quillmere.core.manager");
    g_project_error = PyErr_NewExceptionWithDoc(
        "quillmere.core.manager.ProjectError",
        "An invalid project file: the message names the file, the key and what was expected.", PyExc_ValueError,
        nullptr);
    if (!g_project_error) throw_pending();
    m.attr("ProjectError") = nb::handle(g_project_error);

    auto cls = nb::class_<Manager, PyManager>(
        scope, "Manager", nb::type_slots(g_manager_slots),
        "The run manager: reads a project file, builds the modules, the clock and the links, runs the step "
        "loop and returns the recorded outputs as a pandas DataFrame.");
    cls.def(
        "__init__",
        [](nb::pointer_and_handle<Manager> v, nb::handle file_path) {
            Manager* mg = nb::inst_python_derived(v.h) ? new ((void*)v.p) PyManager() : new (v.p) Manager();
            mg->file_path = nb::borrow(file_path);
        },
        nb::arg("file_path").none());
    cls.def("load_project", [](Manager& mg) { return mg.Manager::load_project(); },
            "Reads and checks the project file; returns the checked project record (raises ProjectError).");
    cls.def("create_clock", [](Manager& mg) { return mg.Manager::create_clock(); },
            "Creates the clock with the project's time step and run period.");
    cls.def("create_modules", [](Manager& mg) { return mg.Manager::create_modules(); },
            "Creates the modules, fills their in_file_params and builds the state dict.");
    cls.def("create_links", [](Manager& mg) { return mg.Manager::create_links(); },
            "Creates the links, checked against the modules' variables.");
    cls.def("awake_modules", [](Manager& mg) { mg.Manager::awake_modules(); },
            "Calls awake(state) once on every module, shading modules first.");
    cls.def("run_steps", [](Manager& mg) { return mg.Manager::run_steps(); },
            "Runs the step loop over the whole period; returns the results DataFrame.");
    cls.def("finish_modules", [](Manager& mg) { mg.Manager::finish_modules(); },
            "Calls finish(clock) on every module.");
    cls.def("write_results", [](Manager& mg) { mg.Manager::write_results(); },
            "Writes the results to output_path (or the project's [output] csv) when one is set.");
    cls.def("summarize", [](Manager& mg) { return mg.Manager::summarize(); },
            "Prints the energy, peak power and full-load hours of every generator; returns them as a dict.");
    cls.def("run_simulation", [](Manager& mg) { return mg.Manager::run_simulation(); },
            "Runs the whole project; returns the results DataFrame (one row per step).");
    nb::handle c = cls;
    nb::object file_prop = nb::module_::import_("builtins").attr("property")(
        nb::cpp_function([](Manager& mg) -> nb::object { return mg.file_path; }));
    nb::setattr(c, "file_path", file_prop);
    def_attr<Manager>(
        c, "output_path", [](Manager& mg) -> nb::object { return mg.output_path; },
        [](Manager& mg, nb::handle v) {
            if (v.is_none()) {
                mg.output_path = nb::none();
                return;
            }
            nb::object p = nb::module_::import_("os").attr("fspath")(v);
            if (!PyUnicode_Check(p.ptr())) p = nb::module_::import_("os").attr("fsdecode")(p);
            mg.output_path = p;
        },
        [](Manager& mg) { mg.output_path = nb::none(); });
    def_bool_attr<Manager>(c, "quiet", &Manager::quiet);
    def_bool_attr<Manager>(c, "progress", &Manager::progress);
    def_bool_attr<Manager>(c, "regenerate_shading", &Manager::regenerate_shading);
    def_typed_object_attr<Manager>(c, "project", &Manager::project, PyDict_Check_fn, "dict");
    def_typed_object_attr<Manager>(c, "modules", &Manager::modules, PyDict_Check_fn, "dict");
    def_typed_object_attr<Manager>(c, "links", &Manager::links, PyList_Check_fn, "list");
    def_typed_object_attr<Manager>(c, "state", &Manager::state, PyDict_Check_fn, "dict");
    def_typed_object_attr<Manager>(c, "summary", &Manager::summary, PyDict_Check_fn, "dict");
    def_typed_object_attr<Manager>(c, "timings", &Manager::timings, PyDict_Check_fn, "dict");
    def_attr<Manager>(
        c, "clock", [](Manager& mg) -> nb::object { return mg.clock; },
        [](Manager& mg, nb::handle v) {
            if (!v.is_none() && !PyObject_TypeCheck(v.ptr(), (PyTypeObject*)sim_clock_type().ptr()))
                raise_expected("SimClock", v);
            mg.clock = nb::borrow(v);
        },
        [](Manager& mg) { mg.clock = nb::none(); });
    def_attr<Manager>(
        c, "results", [](Manager& mg) -> nb::object { return mg.results; },
        [](Manager& mg, nb::handle v) { mg.results = nb::borrow(v); }, [](Manager& mg) { mg.results = nb::none(); });
    g_manager_type = cls;
    m.attr("Manager") = cls;

    nb::module_ top = named_scope("quillmere");
    auto entry = nb::class_<QuillMere, PyQuillMere>(
        top, "QuillMere", nb::type_slots(g_entry_slots),
        "Entry object: QuillMere(file_path).run() runs the project file through the run manager.");
    entry.def(
        "__init__",
        [](nb::pointer_and_handle<QuillMere> v, nb::handle file_path) {
            // The manager first: a failing Manager(...) leaves no half-made entry object.
            nb::object mgr = nb::borrow(g_manager_type)(file_path);
            QuillMere* q = nb::inst_python_derived(v.h) ? new ((void*)v.p) PyQuillMere() : new (v.p) QuillMere();
            q->manager = mgr;
        },
        nb::arg("file_path").none() = "");
    entry.def("run", [](QuillMere& q) { q.QuillMere::run(); },
              "Runs the project through the manager's run_simulation; returns None.");
    m.attr("QuillMere") = entry;

    // Demo inputs made by our own code.
    nb::module_ demo = named_scope("quillmere.core.demo");
    demo.def(
        "house_stl",
        [](nb::handle roof_cells) {
            int64_t cells = as_int64(roof_cells);
            if (cells < 1 || cells > 1000) raise(PyExc_ValueError, "roof_cells 应在 1 到 1000 之间");
            qm::demo::HouseOptions o;
            o.roof_cells = int(cells);
            std::string text;
            {
                nb::gil_scoped_release release;
                text = qm::demo::house_stl(o);
            }
            return text;
        },
        nb::arg("roof_cells").none() = 5,
        "ASCII STL of the demo house (10 x 8 m, gable roof with a south and a north half, +x east, +y north) "
        "and two neighbours that shade parts of the south roof; one named solid per surface.");
    demo.def("house_surfaces", []() { return qm::demo::house_surface_names(); },
             "Names of the solids of house_stl(), in file order.");
    demo.def(
        "clear_sky_epw",
        [](nb::handle latitude, nb::handle longitude, nb::handle time_zone, nb::handle year, nb::handle mean_wind,
           nb::handle seed) {
            qm::demo::WeatherOptions o;
            o.latitude = as_double(latitude);
            o.longitude = as_double(longitude);
            int64_t tz = as_int64(time_zone), y = as_int64(year), sd = as_int64(seed);
            if (tz < -12 || tz > 14) raise(PyExc_ValueError, "时区应在 -12 到 14 小时之间");
            if (y < 1 || y > 9999) raise(PyExc_ValueError, "年份应在 1 到 9999 之间");
            if (sd < 0) raise(PyExc_ValueError, "seed 不能为负数");
            o.time_zone = int(tz);
            o.year = int(y);
            o.mean_wind = as_double(mean_wind);
            o.seed = uint64_t(sd);
            std::string problem = qm::demo::check_weather_options(o);
            if (!problem.empty()) raise(PyExc_ValueError, problem);
            std::string text;
            {
                nb::gil_scoped_release release;
                text = qm::demo::clear_sky_epw(o);
            }
            return text;
        },
        nb::arg("latitude").none(), nb::arg("longitude").none(), nb::arg("time_zone").none(),
        nb::arg("year").none() = 2025, nb::arg("mean_wind").none() = 4.5, nb::arg("seed").none() = 1,
        "A synthetic hourly weather year as EPW text: clear-sky irradiance from the sun position, modelled "
        "temperature and Weibull wind with the given mean [m/s]. 8760 rows; deterministic for a seed.");
    demo.def(
        "cloudy_epw",
        [](nb::handle latitude, nb::handle longitude, nb::handle time_zone, nb::handle year, nb::handle mean_wind,
           nb::handle seed) {
            qm::demo::WeatherOptions o;
            o.latitude = as_double(latitude);
            o.longitude = as_double(longitude);
            int64_t tz = as_int64(time_zone), y = as_int64(year), sd = as_int64(seed);
            if (tz < -12 || tz > 14) raise(PyExc_ValueError, "时区应在 -12 到 14 小时之间");
            if (y < 1 || y > 9999) raise(PyExc_ValueError, "年份应在 1 到 9999 之间");
            if (sd < 0) raise(PyExc_ValueError, "seed 不能为负数");
            o.time_zone = int(tz);
            o.year = int(y);
            o.mean_wind = as_double(mean_wind);
            o.seed = uint64_t(sd);
            std::string problem = qm::demo::check_weather_options(o);
            if (!problem.empty()) raise(PyExc_ValueError, problem);
            std::string text;
            {
                nb::gil_scoped_release release;
                text = qm::demo::cloudy_epw(o);
            }
            return text;
        },
        nb::arg("latitude").none(), nb::arg("longitude").none(), nb::arg("time_zone").none(),
        nb::arg("year").none() = 2025, nb::arg("mean_wind").none() = 4.5, nb::arg("seed").none() = 1,
        "The demo's synthetic weather year with clouds as EPW text: seeded daily clearness around monthly means "
        "typical for the latitude, hourly global split into direct normal and diffuse by the Erbs-Klein-Duffie "
        "diffuse fraction, hour-ending means; temperature and wind as clear_sky_epw. Deterministic for a seed.");
    for (const char* name : {"house_stl", "house_surfaces", "clear_sky_epw", "cloudy_epw"}) m.attr(name) = demo.attr(name);
}

}  // namespace qm::py
