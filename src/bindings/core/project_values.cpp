#include "bindings/core/project_values.hpp"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "bindings/support/common.hpp"

namespace qm::py {
namespace {

struct KindName {
    ValueKind kind;
    const char* name;
};
constexpr KindName kKinds[] = {{ValueKind::number, "number"},         {ValueKind::text, "text"},
                               {ValueKind::path_in, "input_file"},     {ValueKind::path_out, "output_file"},
                               {ValueKind::model, "model"},
                               {ValueKind::weather, "weather_file"}, {ValueKind::flag, "flag"},
                               {ValueKind::module_ref, "shading_module"}, {ValueKind::surface, "surface"},
                               {ValueKind::surfaces, "surfaces"},       {ValueKind::choice, "choice"},
                               {ValueKind::grid, "grid"},               {ValueKind::modules, "modules"}};

std::string number_text(double v) {
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

bool parse_bound(std::string s, double& out) {
    size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
    if (b == std::string::npos) return false;
    s = s.substr(b, e - b + 1);
    if (s == "inf" || s == "+inf") return out = INFINITY, true;
    if (s == "-inf") return out = -INFINITY, true;
    char* end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return end && *end == '\0' && std::isfinite(out);
}

nb::object tuple_of(const std::vector<std::string>& items) {
    nb::list l;
    for (const auto& s : items) l.append(nb::str(s.c_str()));
    return nb::tuple(l);
}

// "module.Class" of the declaring class itself (not of its metaclass).
std::string class_name(nb::handle cls) {
    if (PyType_Check(cls.ptr())) {
        nb::object mod = nb::getattr(cls, "__module__", nb::none());
        nb::object qual = nb::getattr(cls, "__qualname__", nb::none());
        if (PyUnicode_Check(qual.ptr()))
            return (PyUnicode_Check(mod.ptr()) ? to_text(mod) + "." : std::string()) + to_text(qual);
        return ((PyTypeObject*)cls.ptr())->tp_name;
    }
    return host_type_name(cls);
}

[[noreturn]] void bad(nb::handle cls, const std::string& what) {
    raise(PyExc_ValueError, class_name(cls) + "." + what);
}

// `what`: where the list is, as messages name it ("summary_facts[\"rated_power\"]").
std::vector<std::string> names_of(nb::handle cls, nb::handle seq, const std::string& what) {
    std::vector<std::string> out;
    if (!PyList_Check(seq.ptr()) && !PyTuple_Check(seq.ptr())) bad(cls, what + " 应为文本的列表");
    for (nb::handle v : seq) {
        if (!PyUnicode_Check(v.ptr())) bad(cls, what + " 应为文本的列表");
        out.push_back(to_text(v));
    }
    return out;
}

// A declaration's table holds only the entries it may have: a misspelt one
// ("defualt", "rated_powr") would be ignored without a word.
void only_entries(nb::handle cls, nb::handle table, const std::string& what,
                  std::initializer_list<const char*> allowed) {
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(table.ptr(), &pos, &k, &v)) {
        bool known = false;
        for (const char* a : allowed) known = known || (PyUnicode_Check(k) && PyUnicode_CompareWithASCIIString(k, a) == 0);
        if (known) continue;
        std::string list;
        for (const char* a : allowed) list += (list.empty() ? "" : ", ") + std::string(a);
        std::string shown = to_text(check(PyObject_Repr(k)));
        if (shown.size() > 80) shown = shown.substr(0, 60) + "…";
        bad(cls, what + ": 未知的项 " + shown + "（可用: " + list + "）");
    }
}

}  // namespace

std::string ValueRange::text() const {
    return std::string(lo_open ? "(" : "[") + number_text(lo) + ", " + number_text(hi) + (hi_open ? ")" : "]");
}

bool parse_range(const std::string& text, ValueRange& out) {
    if (text.size() < 5) return false;
    char open = text.front(), close = text.back();
    if ((open != '(' && open != '[') || (close != ')' && close != ']')) return false;
    size_t comma = text.find(',');
    if (comma == std::string::npos) return false;
    ValueRange r;
    if (!parse_bound(text.substr(1, comma - 1), r.lo) || !parse_bound(text.substr(comma + 1, text.size() - comma - 2), r.hi))
        return false;
    if (r.lo > r.hi) return false;
    r.lo_open = open == '(' || std::isinf(r.lo);
    r.hi_open = close == ')' || std::isinf(r.hi);
    out = r;
    return true;
}

const char* value_kind_name(ValueKind k) {
    for (const KindName& n : kKinds)
        if (n.kind == k) return n.name;
    return "";
}

const ProjectValue* ModuleDeclaration::find(ValueKind kind) const {
    for (const ProjectValue& v : values)
        if (v.kind == kind) return &v;
    return nullptr;
}

const ProjectSetting& ModuleDeclaration::setting(const std::string& key) const {
    for (const ProjectSetting& st : settings)
        if (st.key == key) return st;
    raise(PyExc_SystemError, "no declared setting " + key);
}

std::string setting_type(const ProjectSetting& setting) {
    std::string out = "typing.Literal[";
    for (size_t i = 0; i < setting.choices.size(); ++i) out += (i ? ", '" : "'") + setting.choices[i] + "'";
    return out + "]";
}

void check_setting(const ProjectSetting& setting, nb::handle value) {
    if (PyUnicode_Check(value.ptr())) {
        const std::string text = to_text(value);
        for (const std::string& c : setting.choices)
            if (c == text) return;
    }
    std::string list;
    for (size_t i = 0; i < setting.choices.size(); ++i)
        list += (i == 0 ? "\"" : i + 1 == setting.choices.size() ? " 或 \"" : ", \"") + setting.choices[i] + "\"";
    raise(PyExc_ValueError, setting.key + " 应为 " + list + "，实际为 " + to_text(check(PyObject_Repr(value.ptr()))));
}

long ModuleDeclaration::position(const std::string& key) const {
    for (size_t i = 0; i < values.size(); ++i)
        if (values[i].key == key) return long(i);
    return -1;
}

void publish_declaration(nb::handle cls, const ModuleDeclaration& decl) {
    nb::list values;
    for (const ProjectValue& v : decl.values) {
        nb::dict d;
        d["key"] = nb::str(v.key.c_str());
        d["kind"] = nb::str(value_kind_name(v.kind));
        if (v.kind == ValueKind::choice) {
            d["choices"] = tuple_of(v.choices);
            if (!v.required) d["default"] = nb::str(v.text_fallback.c_str());
        } else if (v.kind == ValueKind::grid || v.kind == ValueKind::path_in) {
            if (!v.required) d["default"] = nb::none();
        } else if (v.kind == ValueKind::modules) {
            if (!v.required) d["default"] = nb::tuple();
        } else if (v.kind == ValueKind::text) {
            if (!v.required) d["default"] = nb::str(v.text_fallback.c_str());
        } else if (!v.required) {
            d["default"] = v.kind == ValueKind::flag ? nb::object(nb::bool_(v.fallback != 0.0)) : nb::object(nb::float_(v.fallback));
        }
        if (!v.range.unbounded()) d["range"] = nb::str(v.range.text().c_str());
        if (v.fallback_off) d["default_off"] = nb::bool_(true);
        values.append(d);
    }
    nb::dict facts;
    facts["rated_power"] = tuple_of(decl.rated_power);
    facts["generated_files"] = tuple_of(decl.generated);
    if (!decl.output_units.empty()) {
        nb::dict units;
        for (const auto& [name, unit] : decl.output_units) units[name.c_str()] = nb::str(unit.c_str());
        facts["output_units"] = units;
    }
    if (!decl.missing_codes.empty()) {
        nb::dict codes;
        for (const auto& [name, code] : decl.missing_codes) codes[name.c_str()] = nb::float_(code);
        facts["missing_codes"] = codes;
        facts["missing_codes_flag"] = nb::str(decl.missing_codes_flag.c_str());
    }
    nb::setattr(cls, "project_values", nb::tuple(values));
    if (!decl.settings.empty()) {
        nb::list settings;
        for (const ProjectSetting& st : decl.settings) {
            nb::dict d;
            d["key"] = nb::str(st.key.c_str());
            d["choices"] = tuple_of(st.choices);
            settings.append(d);
        }
        nb::setattr(cls, "project_settings", nb::tuple(settings));
    }
    nb::setattr(cls, "summary_facts", facts);
}

std::string declaring_class_name(nb::handle cls) { return class_name(cls); }

nb::list params_from_values(const ModuleDeclaration& decl, nb::handle values) {
    if (!PyDict_Check(values.ptr())) raise(PyExc_TypeError, std::string("values 应为 {键: 值} 的表（dict），实际为 ") + host_type_name(values));
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(values.ptr(), &pos, &k, &v))
        if (!PyUnicode_Check(k) || decl.position(to_text(k)) < 0) {
            std::string list;
            for (const ProjectValue& p : decl.values) list += (list.empty() ? "" : ", ") + p.key;
            raise(PyExc_KeyError, "未知的键 " + to_text(check(PyObject_Repr(k))) + "（可用: " + list + "）");
        }
    nb::list out;
    for (const ProjectValue& p : decl.values) {
        PyObject* given = PyDict_GetItemString(values.ptr(), p.key.c_str());
        if (p.kind == ValueKind::surfaces) {
            if (!given) raise(PyExc_KeyError, "缺少键 \"" + p.key + "\"");
            for (nb::handle name : nb::handle(given)) out.append(name);
            continue;
        }
        if (given) {
            out.append(nb::handle(given));
            continue;
        }
        if (p.required) raise(PyExc_KeyError, "缺少键 \"" + p.key + "\"");
        switch (p.kind) {
            case ValueKind::choice:
            case ValueKind::text: out.append(nb::str(p.text_fallback.c_str())); break;
            case ValueKind::flag: out.append(nb::bool_(p.fallback != 0.0)); break;
            case ValueKind::modules: out.append(nb::list()); break;
            case ValueKind::number: out.append(nb::float_(p.fallback)); break;
            default: out.append(nb::none());
        }
    }
    return out;
}

bool read_declaration(nb::handle cls, ModuleDeclaration& out) {
    nb::object values = nb::getattr(cls, "project_values", nb::none());
    if (values.is_none()) return false;
    if (!PyList_Check(values.ptr()) && !PyTuple_Check(values.ptr())) bad(cls, "project_values 应为表（dict）的列表");
    ModuleDeclaration decl;
    size_t i = 0;
    for (nb::handle item : values) {
        std::string where = "project_values[" + std::to_string(i++) + "]";
        if (!PyDict_Check(item.ptr())) bad(cls, where + " 应为表（dict）");
        ProjectValue v;
        only_entries(cls, item, where, {"key", "kind", "default", "range", "choices", "default_off"});
        PyObject* key = PyDict_GetItemString(item.ptr(), "key");
        if (!key || !PyUnicode_Check(key) || PyUnicode_GetLength(key) == 0) bad(cls, where + " 缺少文本键 \"key\"");
        v.key = to_text(key);
        // A project entry's own keys: a value named so could never be written.
        if (v.key == "name" || v.key == "type" || v.key == "params")
            bad(cls, where + ".key: \"" + v.key + "\" 是每个模块条目自己的键（name、type、params），不能用作项目值的键");
        PyObject* kind = PyDict_GetItemString(item.ptr(), "kind");
        std::string kind_text = kind && PyUnicode_Check(kind) ? to_text(kind) : "number";
        bool known = false;
        for (const KindName& n : kKinds)
            if (kind_text == n.name) v.kind = n.kind, known = true;
        if (!known) bad(cls, where + ".kind: 未知的种类 \"" + kind_text + "\"");
        if (v.kind == ValueKind::choice) {
            PyObject* c = PyDict_GetItemString(item.ptr(), "choices");
            if (!c) bad(cls, where + ".choices: choice 需要可选文本的列表");
            v.choices = names_of(cls, c, where + ".choices");
            if (v.choices.empty()) bad(cls, where + ".choices: choice 需要可选文本的列表");
            if (PyObject* d = PyDict_GetItemString(item.ptr(), "default")) {
                if (!PyUnicode_Check(d)) bad(cls, where + ".default: 应为 choices 中的文本");
                v.text_fallback = to_text(d);
                bool listed = false;
                for (const auto& ch : v.choices) listed = listed || ch == v.text_fallback;
                if (!listed) bad(cls, where + ".default: 应为 choices 中的文本");
                v.required = false;
            }
        } else if (v.kind == ValueKind::grid || v.kind == ValueKind::path_in) {
            if (PyObject* d = PyDict_GetItemString(item.ptr(), "default")) {
                if (d != Py_None) bad(cls, where + ".default: " + kind_text + " 的默认值只能是 None");
                v.required = false;
            }
        } else if (v.kind == ValueKind::modules) {
            if (PyObject* d = PyDict_GetItemString(item.ptr(), "default")) {
                if (!(PyList_Check(d) || PyTuple_Check(d)) || PyObject_Length(d) != 0)
                    bad(cls, where + ".default: modules 的默认值只能是空列表");
                v.required = false;
            }
        } else if (v.kind == ValueKind::text) {
            if (PyObject* d = PyDict_GetItemString(item.ptr(), "default")) {
                if (!PyUnicode_Check(d)) bad(cls, where + ".default: 应为文本");
                v.text_fallback = to_text(d);
                v.required = false;
            }
        } else if (PyObject* d = PyDict_GetItemString(item.ptr(), "default")) {
            bool flag_ok = v.kind == ValueKind::flag && PyBool_Check(d);
            bool number_ok = v.kind == ValueKind::number && (PyFloat_Check(d) || PyLong_Check(d)) && !PyBool_Check(d);
            if (!flag_ok && !number_ok) bad(cls, where + ".default: 只有数值（或开关的 true/false）可以有默认值");
            v.required = false;
            v.fallback = PyFloat_AsDouble(d);
            if (v.fallback == -1.0 && PyErr_Occurred()) throw_pending();
        }
        if (PyObject* r = PyDict_GetItemString(item.ptr(), "range")) {
            if (!PyUnicode_Check(r) || !parse_range(to_text(r), v.range))
                bad(cls, where + ".range: 应为区间文本，如 \"(0, 1]\" 或 \"[0, inf)\"");
        }
        // A default is held to the range a value written in the project is held to.
        if (PyObject* off = PyDict_GetItemString(item.ptr(), "default_off")) v.fallback_off = off == Py_True;
        // NaN ("not given") and an infinite default at an open infinite bound ("no limit") are sentinels.
        const bool sentinel = std::isnan(v.fallback) || (std::isinf(v.fallback) && (v.fallback == v.range.hi ||
                                                                                     v.fallback == v.range.lo));
        if (v.kind == ValueKind::number && !v.required && !v.fallback_off && !sentinel && !v.range.contains(v.fallback))
            bad(cls, where + ".default: 默认值 " + number_text(v.fallback) + " 不在声明的范围 " + v.range.text() +
                         " 之内（键 \"" + v.key + "\"）");
        for (const ProjectValue& earlier : decl.values)
            if (earlier.key == v.key) bad(cls, where + ": 键 \"" + v.key + "\" 重复");
        if (v.kind == ValueKind::surfaces && size_t(i) != size_t(PyObject_Length(values.ptr())))
            bad(cls, where + ": surfaces 只能是最后一个值");
        decl.values.push_back(v);
    }
    nb::object settings = nb::getattr(cls, "project_settings", nb::none());
    if (!settings.is_none()) {
        if (!PyList_Check(settings.ptr()) && !PyTuple_Check(settings.ptr())) bad(cls, "project_settings 应为表（dict）的列表");
        for (nb::handle item : settings) {
            PyObject* key = PyDict_Check(item.ptr()) ? PyDict_GetItemString(item.ptr(), "key") : nullptr;
            PyObject* choices = PyDict_Check(item.ptr()) ? PyDict_GetItemString(item.ptr(), "choices") : nullptr;
            if (!key || !PyUnicode_Check(key) || !choices) bad(cls, "project_settings: 每项应有 \"key\" 和 \"choices\"");
            ProjectSetting st{to_text(key), names_of(cls, choices, "project_settings(" + to_text(key) + ").choices")};
            if (st.choices.empty()) bad(cls, "project_settings: choices 不能为空");
            decl.settings.push_back(st);
        }
    }
    nb::object facts = nb::getattr(cls, "summary_facts", nb::none());
    if (!facts.is_none()) {
        if (!PyDict_Check(facts.ptr())) bad(cls, "summary_facts 应为表（dict）");
        only_entries(cls, facts, "summary_facts",
                     {"rated_power", "generated_files", "output_units", "missing_codes", "missing_codes_flag"});
        if (PyObject* r = PyDict_GetItemString(facts.ptr(), "rated_power")) decl.rated_power = names_of(cls, r, "summary_facts[\"rated_power\"]");
        if (PyObject* g = PyDict_GetItemString(facts.ptr(), "generated_files"))
            decl.generated = names_of(cls, g, "summary_facts[\"generated_files\"]");
        if (PyObject* u = PyDict_GetItemString(facts.ptr(), "output_units")) {
            if (!PyDict_Check(u)) bad(cls, "summary_facts[\"output_units\"] 应为 {输出名: 单位文本} 的表");
            PyObject *k, *v;
            Py_ssize_t pos = 0;
            while (PyDict_Next(u, &pos, &k, &v)) {
                if (!PyUnicode_Check(k) || !PyUnicode_Check(v))
                    bad(cls, "summary_facts[\"output_units\"] 应为 {输出名: 单位文本} 的表");
                decl.output_units.emplace_back(to_text(k), to_text(v));
            }
        }
        if (PyObject* m = PyDict_GetItemString(facts.ptr(), "missing_codes"); m && !PyDict_Check(m))
            bad(cls, "summary_facts[\"missing_codes\"] 应为 {输出名: 数值} 的表");
        if (PyObject* m = PyDict_GetItemString(facts.ptr(), "missing_codes"); m && PyDict_Check(m)) {
            PyObject *k, *v;
            Py_ssize_t pos = 0;
            while (PyDict_Next(m, &pos, &k, &v)) {
                if (!PyUnicode_Check(k) || !(PyFloat_Check(v) || PyLong_Check(v)) || PyBool_Check(v))
                    bad(cls, "summary_facts[\"missing_codes\"] 应为 {输出名: 数值} 的表");
                decl.missing_codes.emplace_back(to_text(k), PyFloat_AsDouble(v));
                if (PyErr_Occurred()) throw_pending();
            }
            if (PyObject* f = PyDict_GetItemString(facts.ptr(), "missing_codes_flag"); f && PyUnicode_Check(f))
                decl.missing_codes_flag = to_text(f);
        }
        for (const std::string& key : decl.generated) {
            const long pos = decl.position(key);
            if (pos < 0) bad(cls, "summary_facts[\"generated_files\"]: 没有名为 \"" + key + "\" 的值");
            // Generated files are deleted by --regenerate-shading: only declared outputs may be.
            if (decl.values[size_t(pos)].kind != ValueKind::path_out)
                bad(cls, "summary_facts[\"generated_files\"]: \"" + key + "\" 应为 output_file 种类的值（实际为 " +
                             value_kind_name(decl.values[size_t(pos)].kind) + "）；只有模块生成的文件可以被重新生成时删除");
        }
    }
    out = std::move(decl);
    return true;
}

}  // namespace qm::py

namespace qm::py {
ProjectValue required_value(const char* key, ValueKind kind, const char* range) {
    ProjectValue v;
    v.key = key;
    v.kind = kind;
    if (range && !parse_range(range, v.range)) raise(PyExc_SystemError, std::string("bad range of ") + key);
    return v;
}
ProjectValue optional_choice(const char* key, std::initializer_list<const char*> choices, const char* fallback) {
    ProjectValue v;
    v.key = key;
    v.kind = ValueKind::choice;
    for (const char* c : choices) v.choices.push_back(c);
    v.required = false;
    v.text_fallback = fallback;
    return v;
}
ProjectValue optional_grid(const char* key) {
    ProjectValue v;
    v.key = key;
    v.kind = ValueKind::grid;
    v.required = false;
    return v;
}
ProjectValue optional_flag(const char* key, bool fallback) {
    ProjectValue v = required_value(key, ValueKind::flag);
    v.required = false;
    v.fallback = fallback ? 1.0 : 0.0;
    return v;
}
ProjectValue optional_text(const char* key, const char* fallback) {
    ProjectValue v = required_value(key, ValueKind::text);
    v.required = false;
    v.text_fallback = fallback;
    return v;
}
ProjectValue optional_path(const char* key) {
    ProjectValue v = required_value(key, ValueKind::path_in);
    v.required = false;
    return v;
}
ProjectValue optional_modules(const char* key) {
    ProjectValue v = required_value(key, ValueKind::modules);
    v.required = false;
    return v;
}
ProjectValue optional_number(const char* key, double fallback, const char* range) {
    ProjectValue v = required_value(key, ValueKind::number, range);
    v.required = false;
    v.fallback = fallback;
    return v;
}
}  // namespace qm::py
