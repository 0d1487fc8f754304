#include "bindings/manager/project_checks.hpp"

#include <cmath>
#include <vector>

#include "bindings/core/util.hpp"
#include "bindings/manager/internal.hpp"
#include "bindings/manager/project_schema.hpp"

namespace qm::py::mgr {

// ---------------------------------------------------------------------------
// Values

void Checker::fail(const std::string& key, const std::string& what) const {
    raise(project_error(), "项目文件 " + file + ": 键 " + key + ": " + what);
}
void Checker::wrong(const std::string& key, const char* expected, nb::handle got) const {
    fail(key, std::string("应为") + expected + "，实际为 " + repr_text(got));
}
void Checker::missing(const std::string& key, const char* expected) const {
    raise(project_error(), "项目文件 " + file + ": 缺少键 " + key + "（应为" + expected + "）");
}
void Checker::fail_file(const std::string& what) const { raise(project_error(), "项目文件 " + file + ": " + what); }

nb::object Checker::lookup(nb::handle table, const char* key) {
    PyObject* v = PyDict_GetItemString(table.ptr(), key);
    return v ? nb::borrow(v) : nb::object();
}

namespace {
std::string joined(const std::vector<const char*>& names) {
    std::string list;
    for (const char* a : names) list += std::string(list.empty() ? "" : ", ") + a;
    return list;
}

void only_keys_of(const Checker& c, nb::handle table, const std::string& where, const std::vector<const char*>& allowed) {
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(table.ptr(), &pos, &k, &v)) {
        bool ok = false;
        if (PyUnicode_Check(k))
            for (const char* a : allowed) ok = ok || PyUnicode_CompareWithASCIIString(k, a) == 0;
        if (!ok) c.fail(where + (where.empty() ? "" : ".") + to_text(k), "未知的键，可用的键为 " + joined(allowed));
    }
}

bool is_real(nb::handle v) { return (PyFloat_Check(v.ptr()) || PyLong_Check(v.ptr())) && !PyBool_Check(v.ptr()); }
}  // namespace

void Checker::only_keys(nb::handle table, const std::string& where, std::initializer_list<const char*> allowed) const {
    only_keys_of(*this, table, where, std::vector<const char*>(allowed));
}

nb::object Checker::table(nb::handle v, const std::string& key) const {
    if (!PyDict_Check(v.ptr())) wrong(key, "表", v);
    return nb::borrow(v);
}

double Checker::number(nb::handle v, const std::string& key) const {
    if (!is_real(v)) wrong(key, "数值", v);
    double d = PyFloat_Check(v.ptr()) ? PyFloat_AS_DOUBLE(v.ptr()) : PyLong_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        wrong(key, "有限的数值", v);
    }
    if (!std::isfinite(d)) wrong(key, "有限的数值", v);
    return d;
}

long long Checker::integer(nb::handle v, const std::string& key) const {
    if (!PyLong_Check(v.ptr()) || PyBool_Check(v.ptr())) wrong(key, "整数", v);
    int overflow = 0;
    long long i = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow) wrong(key, "32 位范围内的整数", v);
    return i;
}

std::string Checker::text(nb::handle v, const std::string& key) const {
    if (!PyUnicode_Check(v.ptr()) || PyUnicode_GetLength(v.ptr()) == 0) wrong(key, "非空文本", v);
    return to_text(v);
}

nb::object Checker::path(nb::handle v, const std::string& key, bool must_exist) const {
    text(v, key);
    nb::object p;
    try {
        p = resolve_path(v, folder);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        wrong(key, "非空文本", v);  // only quotes and spaces
    }
    if (must_exist && !nb::cast<bool>(import("os.path").attr("isfile")(p))) fail(key, "文件不存在: " + to_text(p));
    return p;
}

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

// ---------------------------------------------------------------------------
// Modules

namespace {

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

// The values of a declared type, given either as params = [...] in order or one key per value.
struct Given {
    std::vector<nb::object> values;
    std::vector<std::string> keys;
};

Given given_values(const Checker& c, nb::handle entry, const std::string& key, const std::string& type,
                   const ModuleDeclaration& decl, nb::handle params) {
    const auto& vals = decl.values;
    Given g{std::vector<nb::object>(vals.size()), std::vector<std::string>(vals.size())};
    bool trailing_list = !vals.empty() && vals.back().kind == ValueKind::surfaces;
    if (params.is_valid()) {
        c.only_keys(entry, key, {"name", "type", "params"});
        if (!PyList_Check(params.ptr())) c.wrong(key + ".params", "数组", params);
        Py_ssize_t n = PyList_GET_SIZE(params.ptr());
        size_t fixed = vals.size() - (trailing_list ? 1 : 0);
        for (size_t i = 0; i < vals.size(); ++i) {
            g.keys[i] = key + ".params[" + std::to_string(i) + "](" + vals[i].key + ")";
            if (vals[i].kind == ValueKind::surfaces) {
                nb::list rest;
                for (Py_ssize_t j = Py_ssize_t(i); j < n; ++j) rest.append(nb::borrow(PyList_GET_ITEM(params.ptr(), j)));
                g.values[i] = rest;
            } else if (Py_ssize_t(i) < n) {
                g.values[i] = nb::borrow(PyList_GET_ITEM(params.ptr(), i));
            }
        }
        if (!trailing_list && size_t(n) > fixed)
            c.fail(key + ".params", "值过多：模块类型 " + type + " 需要 " + std::to_string(fixed) + " 个值，实际为 " +
                                        std::to_string(n));
        for (size_t i = 0; i < vals.size(); ++i)
            if (!g.values[i].is_valid() && vals[i].required) c.missing(g.keys[i], expected_text(vals[i].kind));
        return g;
    }
    std::vector<const char*> allowed = {"name", "type", "params"};
    for (const ProjectValue& p : vals) allowed.push_back(p.key.c_str());
    only_keys_of(c, entry, key, allowed);
    for (size_t i = 0; i < vals.size(); ++i) {
        g.keys[i] = key + "." + vals[i].key;
        g.values[i] = Checker::lookup(entry, vals[i].key.c_str());
        if (!g.values[i].is_valid() && vals[i].required) c.missing(g.keys[i], expected_text(vals[i].kind));
        if (g.values[i].is_valid() && vals[i].kind == ValueKind::surfaces && !PyList_Check(g.values[i].ptr()))
            c.wrong(g.keys[i], "表面名称的数组", g.values[i]);
    }
    return g;
}

}  // namespace

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
    const BuiltinType* builtin = find_builtin(type);
    nb::object cls = builtin ? builtin_class(*builtin) : user_class(c, key + ".type", type);

    nb::dict out;
    out["name"] = name_v;
    out["type"] = type_v;
    out["class"] = cls;
    out["key"] = nb::str(key.c_str());
    out["ref"] = nb::none();
    nb::list values;
    nb::object params = Checker::lookup(entry, "params");
    ModuleDeclaration decl;
    bool declared;
    try {
        declared = read_declaration(cls, decl);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        c.fail(key + ".type", "模块类型的项目值声明有误: " + to_text(e.value()));
    }
    if (!declared) {
        // An undeclared user class gets its params array as it is.
        c.only_keys(entry, key, {"name", "type", "params"});
        if (params.is_valid()) {
            if (!PyList_Check(params.ptr())) c.wrong(key + ".params", "数组", params);
            for (nb::handle v : params) values.append(v);
        }
        out["in_file_params"] = values;
        return out;
    }

    Given g = given_values(c, entry, key, type, decl, params);
    nb::dict named;  // value key -> the value handed over
    nb::dict attributes;  // values set as the unit's attributes
    for (size_t i = 0; i < decl.values.size(); ++i) {
        const ProjectValue& p = decl.values[i];
        nb::handle v = g.values[i];
        const std::string& k = g.keys[i];
        nb::object value;
        switch (p.kind) {
            case ValueKind::number:
                value = nb::float_(v.is_valid() ? c.number(v, k) : p.fallback);
                // A given number must lie in the type's declared range.
                if (v.is_valid() && !p.range.contains(nb::cast<double>(value)))
                    c.fail(k, "应在 " + p.range.text() + " 之间，实际为 " + repr_text(v));
                break;
            case ValueKind::choice: {
                if (!v.is_valid()) {
                    value = nb::str(p.text_fallback.c_str());
                    break;
                }
                std::string t = PyUnicode_Check(v.ptr()) ? to_text(v) : "";
                bool listed = false;
                std::string list;
                for (const auto& ch : p.choices) {
                    listed = listed || ch == t;
                    list += (list.empty() ? "\"" : "、\"") + ch + "\"";
                }
                if (!listed) c.fail(k, "应为 " + list + " 之一，实际为 " + repr_text(v));
                value = nb::str(t.c_str());
                break;
            }
            case ValueKind::grid: {
                if (!v.is_valid()) {
                    value = nb::none();
                    break;
                }
                if (!PyList_Check(v.ptr()) || PyList_GET_SIZE(v.ptr()) != 2) c.wrong(k, expected_text(p.kind), v);
                const double az = c.number(PyList_GET_ITEM(v.ptr(), 0), k + "[0]");
                const double alt = c.number(PyList_GET_ITEM(v.ptr(), 1), k + "[1]");
                if (!(az > 0 && az <= 360))
                    c.fail(k + "[0]", "方位角步长应在 (0, 360] 度之间，实际为 " + repr_text(PyList_GET_ITEM(v.ptr(), 0)));
                if (!(alt > 0 && alt <= 90))
                    c.fail(k + "[1]", "高度角步长应在 (0, 90] 度之间，实际为 " + repr_text(PyList_GET_ITEM(v.ptr(), 1)));
                value = nb::make_tuple(az, alt);
                break;
            }
            case ValueKind::text:
            case ValueKind::surface: value = nb::str(c.text(v, k).c_str()); break;
            case ValueKind::module_ref:
                c.text(v, k);
                value = nb::borrow(v);
                out["ref"] = nb::make_tuple(v, nb::str(k.c_str()));
                break;
            case ValueKind::path_in: value = c.path(v, k, true); break;
            case ValueKind::path_out: value = c.path(v, k, false); break;
            case ValueKind::surfaces: {
                Py_ssize_t n = PyList_GET_SIZE(v.ptr());
                if (n == 0) c.fail(k, "至少需要一个表面名称");
                nb::list names;
                for (Py_ssize_t j = 0; j < n; ++j) {
                    std::string item_key = params.is_valid()
                                               ? key + ".params[" + std::to_string(i + size_t(j)) + "](" + p.key + ")"
                                               : k + "[" + std::to_string(j) + "]";
                    nb::str s(c.text(PyList_GET_ITEM(v.ptr(), j), item_key).c_str());
                    values.append(s);
                    names.append(s);
                }
                named[p.key.c_str()] = names;
                continue;
            }
        }
        named[p.key.c_str()] = value;
        if (p.attribute) attributes[p.key.c_str()] = value;
        else values.append(value);
    }
    out["in_file_params"] = values;
    out["values"] = named;
    if (PyDict_Size(attributes.ptr()) > 0) out["attributes"] = attributes;
    return out;
}

void check_references(const Checker& c, nb::handle modules, nb::handle by_name) {
    for (nb::handle mh : modules) {
        nb::dict m = nb::borrow<nb::dict>(mh);
        nb::object ref = m["ref"];
        if (ref.is_none()) continue;
        nb::object target_name = ref[0];
        std::string key = to_text(ref[1]);
        if (!PyDict_Contains(by_name.ptr(), target_name.ptr())) c.fail(key, "没有名为 \"" + to_text(target_name) + "\" 的模块");
        nb::object target = get_item(by_name, target_name);
        ModuleDeclaration tdecl, decl;
        const ProjectValue* listed = read_declaration(target["class"], tdecl) ? tdecl.find(ValueKind::surfaces) : nullptr;
        if (!listed) c.fail(key, "模块 \"" + to_text(target_name) + "\" 不是 SurfaceShadow 类型");
        read_declaration(m["class"], decl);
        const ProjectValue* surface = decl.find(ValueKind::surface);
        if (!surface) continue;
        nb::object wanted = get_item(m["values"], surface->key.c_str());
        nb::object names = get_item(target["values"], listed->key.c_str());
        if (!PySequence_Contains(names.ptr(), wanted.ptr()))
            c.fail(to_text(m["key"]) + "." + surface->key, "表面 \"" + to_text(wanted) + "\" 不在阴影模块 \"" +
                                                               to_text(target_name) + "\" 的 " + listed->key + " 中");
    }
}

}  // namespace qm::py::mgr
