// What a module type reads from the project file, declared by the type itself
// next to its awake: its values in in_file_params order (name, kind, default,
// range) and the facts the run summary needs (rated power, generated files).
//
// A type publishes its declaration as two class attributes that the run
// manager, its checks, --regenerate-shading and the report read:
//   project_values = ({"key": "area", "kind": "number", "range": "(0, inf)"}, ...)
//   summary_facts  = {"rated_power": ("panel_area", "efficiency"), "generated_files": ("table",)}
//   project_settings = ({"key": "normals", "choices": ("file", "from-vertices")},)  (optional; the
//                      choices of the project that become the module's attributes, the first the default)
// A host subclass of SimUnit may set the same attributes (lists or tuples of
// dicts); it then gets the same checks and named values in its project table.
#pragma once
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <string>

#include "bindings/support/attributes.hpp"
#include <utility>
#include <vector>

namespace qm::py {
namespace nb = nanobind;

enum class ValueKind {
    number,      // a real number (float in in_file_params)
    text,        // non-empty text
    path_in,     // a file that must exist (absolute path in in_file_params)
    path_out,    // a file the module may write (absolute path)
    model,       // an ASCII STL building model that must exist; its solids are the surfaces
    weather,     // an hourly weather table that must exist (an EPW file gives the site)
    flag,        // true or false
    module_ref,  // the instance name of the module that analyses this module's surface
    surface,     // a surface name of that module's model
    surfaces,    // the surface names this module analyses: the last value, taking the rest of in_file_params
    choice,      // one of the texts in `choices` (optional: `text_fallback` when absent)
    grid,        // [azimuth step, altitude step] of a shading table in degrees, each in (0, 360] and (0, 90]; absent: None
    modules,     // a list of "instance" or "instance.output" texts naming other modules (absent: empty)
};

// A closed or open interval; the default is the whole real line.
struct ValueRange {
    double lo = -INFINITY, hi = INFINITY;
    bool lo_open = false, hi_open = false;
    bool contains(double v) const {
        return (lo_open ? v > lo : v >= lo) && (hi_open ? v < hi : v <= hi);
    }
    bool unbounded() const { return std::isinf(lo) && std::isinf(hi); }
    std::string text() const;  // "(0, 1]", "[0, inf)"
};

struct ProjectValue {
    std::string key;
    ValueKind kind = ValueKind::number;
    bool required = true;
    double fallback = 0.0;  // the value of an absent optional number
    bool fallback_off = false;  // the default lies outside `range` on purpose: it means "off" ("default_off")
    ValueRange range;       // numbers only
    std::vector<std::string> choices;  // choice only
    std::string text_fallback;         // the value of an absent optional choice
};

// A choice of the project that is not a value of in_file_params: the manager
// sets it as the module's attribute of that name before awake (options of
// derived types that keep the base type's in_file_params as they are). The
// type binds that attribute with def_setting_attr.
struct ProjectSetting {
    std::string key;
    std::vector<std::string> choices;  // the first is the default
};

struct ModuleDeclaration {
    std::vector<ProjectSetting> settings;  // published as project_settings
    std::vector<ProjectValue> values;      // position i is in_file_params[i]
    std::vector<std::string> rated_power;  // parameter records whose product is the rated power [kW]
    std::vector<std::string> generated;    // keys of path values naming files the module generates
    // Units of outputs where the module information record's own "unit" is not
    // the quantity's (the results table's attrs["units"] takes these).
    std::vector<std::pair<std::string, std::string>> output_units;
    // Missing-value codes of the module's weather table, per column of its
    // `data` (output name, code), and the flag value that turns the check off.
    std::vector<std::pair<std::string, double>> missing_codes;
    std::string missing_codes_flag;

    const ProjectValue* find(ValueKind kind) const;
    // The declared setting `key` (SystemError when the type declares none).
    const ProjectSetting& setting(const std::string& key) const;
    // Position of a value in in_file_params, or -1.
    long position(const std::string& key) const;
};

const char* value_kind_name(ValueKind k);
bool parse_range(const std::string& text, ValueRange& out);

// Sets the two class attributes of a declaration on a bound type.
void publish_declaration(nb::handle cls, const ModuleDeclaration& decl);

// Reads the declaration of a class (its project_values / summary_facts).
// Returns false when the class declares no project values. A malformed
// declaration raises ValueError naming the attribute and the entry.
bool read_declaration(nb::handle cls, ModuleDeclaration& out);

// in_file_params from values given by key name (a dict): each declared value
// in order, an absent optional one as its default, the surfaces value's names
// last. A required value missing or a key the declaration lacks: KeyError.
nb::list params_from_values(const ModuleDeclaration& decl, nb::handle values);

// "module.Class" of a declaring class, as declaration messages name it.
std::string declaring_class_name(nb::handle cls);

}  // namespace qm::py

namespace qm::py {
// Declaration entries, for the built-in types.
ProjectValue required_value(const char* key, ValueKind kind, const char* range = nullptr);
ProjectValue optional_number(const char* key, double fallback, const char* range = nullptr);
ProjectValue optional_choice(const char* key, std::initializer_list<const char*> choices, const char* fallback);
ProjectValue optional_grid(const char* key);
ProjectValue optional_flag(const char* key, bool fallback);
ProjectValue optional_text(const char* key, const char* fallback);  // a text that may be left out
ProjectValue optional_path(const char* key);                         // an input file that may be left out (None)
ProjectValue optional_modules(const char* key);                      // a list of module names (absent: [])
}  // namespace qm::py

namespace qm::py {
// The unit attribute of a declared setting: it reads as one of the setting's
// choices and takes only those (ValueError naming the key, the choices and the
// value otherwise). Deleting it returns to `reset`; with no `reset` the
// attribute cannot be deleted.
std::string setting_type(const ProjectSetting& setting);  // typing.Literal['a', 'b']
void check_setting(const ProjectSetting& setting, nb::handle value);
template <typename T>
void def_setting_attr(nb::handle cls, const ProjectSetting& setting, std::string T::*member, const char* reset,
                      const char* doc) {
    const std::string type = setting_type(setting);
    def_attr<T>(
        cls, setting.key.c_str(), type.c_str(), doc, [member](T& u) { return u.*member; },
        [member, setting](T& u, nb::handle v) {
            check_setting(setting, v);
            u.*member = nb::cast<std::string>(v);
        },
        [member, setting, reset](T& u) {
            if (!reset) raise(PyExc_AttributeError, "the attribute " + setting.key + " cannot be deleted");
            u.*member = reset;
        });
}
}  // namespace qm::py
