#include "bindings/manager/project_checks.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "bindings/components/shade_group.hpp"
#include "bindings/core/util.hpp"
#include "bindings/manager/internal.hpp"
#include "bindings/manager/project_schema.hpp"
#include "bindings/shadow_calc/model_files.hpp"
#include "kernels/geometry/model_read.hpp"
#include "kernels/geometry/stl_read.hpp"
#include "kernels/geometry/survey.hpp"
#include "kernels/text/closest.hpp"
#include "kernels/text/glob.hpp"
#include "kernels/time/calendar.hpp"
#include "kernels/weather/epw_table.hpp"

namespace qm::py::mgr {
using namespace nb::literals;

// ---------------------------------------------------------------------------
// Values

void Checker::fail(const std::string& key, const std::string& what) const {
    raise(project_error(), subject() + ": 键 " + key + ": " + what);
}
void Checker::wrong(const std::string& key, const char* expected, nb::handle got) const {
    fail(key, std::string("应为") + expected + "，实际为 " + repr_text(got));
}
void Checker::missing(const std::string& key, const char* expected) const {
    raise(project_error(), subject() + ": 缺少键 " + key + "（应为" + expected + "）");
}
void Checker::fail_file(const std::string& what) const { raise(project_error(), subject() + ": " + what); }

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
        std::vector<const char*> allowed = {"name", "type", "params"};
        for (const ProjectSetting& st : decl.settings) allowed.push_back(st.key.c_str());
        only_keys_of(c, entry, key, allowed);
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
    for (const ProjectSetting& st : decl.settings) allowed.push_back(st.key.c_str());
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

    // A type with a model whose modules have a `lod` attribute (the shading
    // types) takes the model's level of detail as a setting of the entry.
    if (decl.find(ValueKind::model) && PyObject_HasAttrString(cls.ptr(), "lod") == 1)
        decl.settings.push_back(lod_setting());
    Given g = given_values(c, entry, key, type, decl, params);
    nb::dict named;  // value key -> the value handed over
    for (size_t i = 0; i < decl.values.size(); ++i) {
        const ProjectValue& p = decl.values[i];
        nb::handle v = g.values[i];
        const std::string& k = g.keys[i];
        nb::object value;
        switch (p.kind) {
            case ValueKind::number: {
                double d = v.is_valid() ? c.number(v, k) : p.fallback;
                // The declared range: a percentage typed for a fraction, a negative area, ...
                if (v.is_valid() && !p.range.contains(d))
                    c.fail(k, "应在 " + p.range.text() + " 之内，实际为 " + repr_text(v) +
                                  (p.range.hi == 1.0 && d > 1.0 && d <= 100.0 ? "（比例应为小数，如 0.2 表示 20 %）" : ""));
                value = nb::float_(d);
                break;
            }
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
                if (!v.is_valid()) {
                    value = nb::str(p.text_fallback.c_str());
                    break;
                }
                [[fallthrough]];
            case ValueKind::surface: value = nb::str(c.text(v, k).c_str()); break;
            case ValueKind::modules: {
                nb::list names;
                if (v.is_valid()) {
                    if (!PyList_Check(v.ptr())) c.wrong(k, expected_text(p.kind), v);
                    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(v.ptr()); ++j)
                        names.append(nb::str(c.text(PyList_GET_ITEM(v.ptr(), j), k + "[" + std::to_string(j) + "]").c_str()));
                }
                value = names;
                break;
            }
            case ValueKind::module_ref:
                c.text(v, k);
                value = nb::borrow(v);
                out["ref"] = nb::make_tuple(v, nb::str(k.c_str()));
                break;
            case ValueKind::path_in:
                if (!v.is_valid()) {
                    value = nb::none();
                    break;
                }
                value = c.path(v, k, true);
                break;
            case ValueKind::model:
            case ValueKind::weather: value = c.path(v, k, true); break;
            case ValueKind::flag:
                if (v.is_valid() && !PyBool_Check(v.ptr())) c.wrong(k, "布尔值（true 或 false）", v);
                value = nb::bool_(v.is_valid() ? v.ptr() == Py_True : p.fallback != 0.0);
                break;
            case ValueKind::path_out: value = c.path(v, k, false); break;
            case ValueKind::surfaces: {
                Py_ssize_t n = PyList_GET_SIZE(v.ptr());
                if (n == 0) c.fail(k, "至少需要一个表面名称");
                nb::list names, item_keys;
                for (Py_ssize_t j = 0; j < n; ++j) {
                    std::string item_key = params.is_valid()
                                               ? key + ".params[" + std::to_string(i + size_t(j)) + "](" + p.key + ")"
                                               : k + "[" + std::to_string(j) + "]";
                    nb::str s(c.text(PyList_GET_ITEM(v.ptr(), j), item_key).c_str());
                    values.append(s);
                    names.append(s);
                    item_keys.append(nb::str(item_key.c_str()));
                }
                named[p.key.c_str()] = names;
                out["surface_keys"] = item_keys;
                continue;
            }
        }
        named[p.key.c_str()] = value;
        values.append(value);
    }
    out["in_file_params"] = values;
    out["values"] = named;
    out["params_form"] = nb::bool_(params.is_valid());  // written as params = [...], not by key
    nb::dict settings;
    for (const ProjectSetting& st : decl.settings) {
        nb::object v = Checker::lookup(entry, st.key.c_str());
        std::string chosen = v.is_valid() ? c.text(v, key + "." + st.key) : st.choices.front();
        if (std::find(st.choices.begin(), st.choices.end(), chosen) == st.choices.end()) {
            std::string list;
            for (const std::string& ch : st.choices) list += (list.empty() ? "\"" : ", \"") + ch + "\"";
            c.fail(key + "." + st.key, "应为 " + list + " 之一，实际为 " + repr_text(v));
        }
        settings[st.key.c_str()] = nb::str(chosen.c_str());
    }
    out["settings"] = settings;
    return out;
}

std::string closest_hint(const std::string& word, const std::vector<std::string>& names) {
    std::vector<std::string> near = text::closest_names(word, names);
    std::string list;
    const std::vector<std::string>& shown = near.empty() ? names : near;
    for (size_t i = 0; i < shown.size() && i < 12; ++i) list += (i ? ", " : "") + shown[i];
    if (near.empty() && names.size() > 12) list += ", …";
    return std::string(near.empty() ? "（可用的表面: " : "（最接近的表面: ") + (list.empty() ? "无" : list) + "）";
}

// Surface names given as patterns ("*/RoofSurface/*", kernels/text/glob)
// stand for every surface of the model they match, in model order; a surface
// a pattern brings in is not repeated. A name that is a surface of the model
// is a name even when it holds a pattern character. A pattern that matches
// nothing stops the run. False when no name is a pattern.
bool expand_patterns(const Checker& c, nb::handle path, const std::vector<std::string>& known, nb::list& names,
                     nb::list& keys) {
    auto is_pattern = [&](const std::string& s) {
        return text::has_glob(s) && std::find(known.begin(), known.end(), s) == known.end();
    };
    bool any = false;
    for (nb::handle n : names) any = any || is_pattern(to_text(n));
    if (!any) return false;
    nb::list out_names, out_keys;
    std::unordered_set<std::string> taken;
    for (size_t j = 0; j < names.size(); ++j) {
        const std::string s = to_text(names[j]), key = to_text(keys[j]);
        if (!is_pattern(s)) {
            out_names.append(names[j]);
            out_keys.append(keys[j]);
            taken.insert(s);
            continue;
        }
        size_t hits = 0;
        for (const std::string& k : known) {
            if (!text::glob_match(s, k)) continue;
            ++hits;
            if (!taken.insert(k).second) continue;
            out_names.append(nb::str(k.c_str(), k.size()));
            out_keys.append(nb::str((key + "（" + k + "）").c_str()));
        }
        if (hits == 0)
            c.fail(key, "模型 " + to_text(path) + " 中没有与模式 \"" + s + "\" 匹配的表面" + closest_hint(s, known));
    }
    names = out_names;
    keys = out_keys;
    return true;
}

std::string entry_lod(nb::handle entry) {
    nb::object settings = Checker::lookup(entry, "settings");
    if (!settings.is_valid() || !PyDict_Check(settings.ptr())) return {};
    nb::object lod = Checker::lookup(settings, "lod");
    if (!lod.is_valid() || !PyUnicode_Check(lod.ptr())) return {};
    const std::string text = to_text(lod);
    return text == "highest" ? std::string() : text;
}

void check_models(const Checker& c, nb::handle modules, bool quiet) {
    for (nb::handle mh : modules) {
        nb::dict m = nb::borrow<nb::dict>(mh);
        if (!m.contains("values")) continue;
        ModuleDeclaration decl;
        read_declaration(m["class"], decl);
        const ProjectValue* model = decl.find(ValueKind::model);
        const ProjectValue* listed = decl.find(ValueKind::surfaces);
        if (!model || !listed) continue;
        std::string model_key = to_text(m["key"]) + "." + model->key;
        nb::object path = get_item(m["values"], model->key.c_str());
        const std::string lod = entry_lod(m);
        stl::Solids solids;
        if (std::string fs; mesh_file_arg(path, fs)) {
            // OBJ, glTF, CityJSON: the format by extension.
            geom::MeshModel mm;
            geom::ReadProblem problem;
            io::FileStamp stamp;
            int error = 0;
            io::ReadStatus st;
            {
                nb::gil_scoped_release release;
                st = geom::read_mesh_file(fs, mm, problem, stamp, error, nullptr, lod);
            }
            if (st != io::ReadStatus::ok)
                c.fail(model_key, "无法读取模型 " + to_text(path) + ": " + std::strerror(error ? error : EIO));
            if (problem.failed()) c.fail(model_key, model_problem_text(to_text(path), problem));
            if (std::string p = lod_problem(to_text(path), fs, lod, mm.lods); !p.empty())
                c.fail(to_text(m["key"]) + ".lod", p);
            solids = std::move(mm.solids);
        } else {
            if (!lod.empty()) c.fail(to_text(m["key"]) + ".lod", lod_problem(to_text(path), {}, lod, {}));
            nb::object text;
            try {
                text = read_host_file(path, "r");
            } catch (nb::python_error& e) {
                if (!e.matches(PyExc_Exception)) throw;
                c.fail(model_key, "无法读取模型 " + to_text(path) + ": " + to_text(e.value()));
            }
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
            if (!data) throw_pending();
            stl::ParseError err;
            bool ok;
            {
                nb::gil_scoped_release release;
                ok = stl::read_blocks(std::string_view(data, size_t(size)), {}, solids, err);
            }
            if (!ok)
                c.fail(model_key, "模型 " + to_text(path) + " 第 " + std::to_string(err.line) + " 行无法读取" +
                                      (err.token.empty() ? std::string() : "（\"" + err.token + "\" 不是数值）"));
        }
        std::vector<geom::SurfaceSurvey> survey = geom::survey_surfaces(solids);
        std::vector<std::string> known;
        std::string repeated;
        for (const auto& s : survey) {
            known.push_back(s.name);
            if (s.earlier) repeated += (repeated.empty() ? "\"" : "、\"") + s.name + "\"（" + std::to_string(s.earlier + 1) + " 次）";
        }
        for (const auto& s : survey) {
            if (quiet) break;
            const std::string head = "警告：模型 " + to_text(path) + " 的表面 " + s.name + " 有 ";
            if (s.non_finite)
                print(head + std::to_string(s.non_finite) + "/" + std::to_string(s.facets) +
                      " 个面片的顶点坐标不是有限数（NaN 或无穷大），已略去（不分析、不遮挡）");
            if (s.non_finite_normals)
                print(head + std::to_string(s.non_finite_normals) + "/" + std::to_string(s.facets) +
                      " 个面片的法向量不是有限数，按顶点顺序（右手定则）取其法向量");
        }
        if (!repeated.empty() && !quiet)
            print("注意：模型 " + to_text(path) + " 中有同名实体 " + repeated +
                  "：作为表面（分析、面积）每个名称只取最后一个实体，其余实体的三角形仍参与遮挡");
        nb::list names = nb::borrow<nb::list>(get_item(m["values"], listed->key.c_str()));
        nb::list keys = nb::borrow<nb::list>(m["surface_keys"]);
        const size_t listed_count = names.size();
        if (expand_patterns(c, path, known, names, keys)) {
            nb::list params = nb::borrow<nb::list>(m["in_file_params"]);
            nb::list expanded;
            for (size_t j = 0; j + listed_count < params.size(); ++j) expanded.append(params[j]);
            for (nb::handle n : names) expanded.append(n);
            m["in_file_params"] = expanded;
            nb::borrow<nb::dict>(m["values"])[listed->key.c_str()] = names;
            m["surface_keys"] = keys;
        }
        for (size_t j = 0; j < names.size(); ++j) {
            std::string name = to_text(names[j]);
            auto it = std::find(known.begin(), known.end(), name);
            if (it == known.end())
                c.fail(to_text(keys[j]), "模型 " + to_text(path) + " 中没有表面 \"" + name + "\"" + closest_hint(name, known));
            const geom::SurfaceSurvey& s = survey[size_t(it - known.begin())];
            if (s.facets == s.non_finite + s.degenerate)
                c.fail(to_text(keys[j]), "模型 " + to_text(path) + " 的表面 \"" + name + "\" 没有可分析的面片（共 " +
                                             std::to_string(s.facets) + " 个：" + std::to_string(s.degenerate) +
                                             " 个面积为 0，" + std::to_string(s.non_finite) + " 个坐标不是有限数）");
            if (s.zero_normals && !quiet) {
                // A declared setting that offers "from-vertices" repairs them.
                std::string repair;
                bool repaired = false;
                for (const ProjectSetting& st : decl.settings)
                    if (std::find(st.choices.begin(), st.choices.end(), "from-vertices") != st.choices.end()) {
                        repair = st.key;
                        repaired = to_text(get_item(m["settings"], st.key.c_str())) == "from-vertices";
                    }
                std::string head = "模型 " + to_text(path) + " 的表面 " + name + " 有 " + std::to_string(s.zero_normals) +
                                   "/" + std::to_string(s.facets) + " 个面片的法向量为 (0, 0, 0)";
                if (repaired)
                    print("注意：" + head + "，按顶点顺序（右手定则）取其法向量（" + to_text(m["key"]) + "." + repair + "）");
                else
                    print("警告：" + head + "，这些面片不会被直射光照到" +
                          (repair.empty() ? "" : "；可设 " + to_text(m["key"]) + "." + repair + " = \"from-vertices\""));
            }
        }
        check_layouts(c, modules, m, solids);
    }
}

void check_interpolators(const std::string& file, nb::handle project_modules, nb::handle units) {
    Checker c;
    c.file = file;
    nb::dict by_name;
    for (nb::handle mh : project_modules) by_name[nb::borrow(mh)["name"]] = mh;
    for (nb::handle mh : project_modules) {
        nb::object m = nb::borrow(mh);
        nb::object ref = m["ref"];
        if (ref.is_none() || !PyDict_Check(units.ptr())) continue;
        ModuleDeclaration decl, tdecl;
        read_declaration(m["class"], decl);
        const ProjectValue* surface = decl.find(ValueKind::surface);
        PyObject* unit = PyDict_GetItem(units.ptr(), nb::object(ref[0]).ptr());
        if (!surface || !unit || !PyObject_TypeCheck(unit, (PyTypeObject*)surface_shadow_type().ptr()) ||
            !nb::inst_ready(unit))
            continue;
        auto* shade = nb::inst_ptr<SurfaceShadowModule>(unit);
        nb::object wanted = get_item(m["values"], surface->key.c_str());
        std::vector<std::string> columns;
        const SurfaceShadowModule::Service service = shade->serves_surface(wanted, columns);
        if (service == SurfaceShadowModule::Service::served) continue;
        // Where the shading module's table comes from, for the message.
        nb::object target = get_item(by_name, ref[0]);
        read_declaration(target["class"], tdecl);
        std::string key = to_text(target["key"]), table;
        for (const std::string& g : tdecl.generated) {
            key += "." + g;
            if (PyDict_Contains(target.ptr(), nb::str("values").ptr()) == 1) table = to_text(get_item(target["values"], g.c_str()));
            break;
        }
        std::string why;
        if (service == SurfaceShadowModule::Service::no_table)
            why = "不是可用的阴影表（无法读取，或缺少 方位角、高度角 列）";
        else
            why = "中没有表面 \"" + to_text(wanted) + "\" 的数据" + closest_hint(to_text(wanted), columns);
        c.fail(key, "阴影表 " + table + " " + why + "，模块 " + to_text(m["name"]) +
                        " 将得不到直射光；请检查该表或用 --regenerate-shading 重新生成");
    }
}

// Every module a modules value names ("name" or "name.output") exists.
void check_module_lists(const Checker& c, nb::dict m, nb::handle by_name) {
    ModuleDeclaration decl;
    if (!m.contains("values") || !read_declaration(m["class"], decl)) return;
    for (const ProjectValue& p : decl.values) {
        if (p.kind != ValueKind::modules) continue;
        nb::object names = get_item(m["values"], p.key.c_str());
        size_t j = 0;
        for (nb::handle n : names) {
            std::string ref = to_text(n), module = ref.substr(0, ref.find('.'));
            if (!PyDict_Contains(by_name.ptr(), nb::str(module.c_str()).ptr())) {
                std::vector<std::string> known;
                for (nb::handle k : nb::borrow<nb::dict>(by_name).keys()) known.push_back(to_text(k));
                std::vector<std::string> near = text::closest_names(module, known);
                std::string list;
                for (const std::string& s : near.empty() ? known : near) list += (list.empty() ? "" : ", ") + s;
                c.fail(to_text(m["key"]) + "." + p.key + "[" + std::to_string(j) + "]",
                       "没有名为 \"" + module + "\" 的模块（" + (near.empty() ? "可用: " : "最接近的: ") + list + "）");
            }
            ++j;
        }
    }
}

void check_references(const Checker& c, nb::handle modules, nb::handle by_name) {
    for (nb::handle mh : modules) {
        nb::dict m = nb::borrow<nb::dict>(mh);
        check_module_lists(c, m, by_name);
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
        if (!PySequence_Contains(names.ptr(), wanted.ptr())) {
            std::vector<std::string> known;
            for (nb::handle n : names) known.push_back(to_text(n));
            c.fail(to_text(m["key"]) + "." + surface->key, "表面 \"" + to_text(wanted) + "\" 不在阴影模块 \"" +
                                                               to_text(target_name) + "\" 的 " + listed->key + " 中" +
                                                               closest_hint(to_text(wanted), known));
        }
    }
}

}  // namespace qm::py::mgr
