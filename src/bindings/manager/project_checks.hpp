// Checks of a project file's contents: every problem raises ProjectError with
// one line naming the file, the key and what was expected.
#pragma once
#include <nanobind/nanobind.h>

#include "bindings/core/sim_clock.hpp"
#include "kernels/geometry/stl_read.hpp"

#include <initializer_list>
#include <string>
#include <vector>

namespace qm::py::mgr {
namespace nb = nanobind;

struct Checker {
    std::string file;   // the project file, as shown in messages
    nb::object folder;  // its folder (str), base of relative paths
    std::string where;  // what messages name: "项目文件 <file>", or the project dict and its folder

    // The start of every message about this project.
    std::string subject() const { return where.empty() ? "项目文件 " + file : where; }

    [[noreturn]] void fail(const std::string& key, const std::string& what) const;
    [[noreturn]] void wrong(const std::string& key, const char* expected, nb::handle got) const;
    [[noreturn]] void missing(const std::string& key, const char* expected) const;
    // A problem of the file as a whole (no key).
    [[noreturn]] void fail_file(const std::string& what) const;

    // table[key] or an invalid object when absent.
    static nb::object lookup(nb::handle table, const char* key);
    void only_keys(nb::handle table, const std::string& where, std::initializer_list<const char*> allowed) const;
    nb::object table(nb::handle v, const std::string& key) const;
    double number(nb::handle v, const std::string& key) const;
    long long integer(nb::handle v, const std::string& key) const;
    std::string text(nb::handle v, const std::string& key) const;
    // A path of the project resolved against the project's folder (the
    // package's one path rule, resolve_path), as an absolute str.
    nb::object path(nb::handle v, const std::string& key, bool must_exist) const;
};

// Splits "module.variable" at the first dot.
bool split_ref(const std::string& s, std::string& module, std::string& var);
// Strips spaces and tabs from both ends.
std::string strip(const std::string& s);

// One [[modules]] entry checked against its type's declaration:
// {"name", "type", "class", "key", "in_file_params", "ref", "values"}.
nb::dict check_module(const Checker& c, nb::handle entry, size_t index);

// The module layouts of the arrays the shading module `shading` serves: a
// module off its surface is refused naming the array, the module and the
// surface (layout_checks.cpp). `solids`: the shading module's model as read.
void check_layouts(const Checker& c, nb::handle modules, nb::handle shading, const stl::Solids& solids);

// Every surface a module analyses must be a solid of its model (with the
// closest names when it is not); facets without a normal are counted.
// A CityJSON model is read at the entry's lod setting, which the model must
// have (the key names it, with the levels the model has).
void check_models(const Checker& c, nb::handle modules, bool quiet);

// The level of detail a checked entry reads its model at: its "lod" setting,
// "" for the highest (or a type without the setting).
std::string entry_lod(nb::handle entry);

// " (最接近的表面: ...)" for a name not among `names`.
std::string closest_hint(const std::string& word, const std::vector<std::string>& names);

// After the shading modules' awake: every panel's surface has its
// interpolator in its (native) shading module, else ProjectError with the reason.
void check_interpolators(const std::string& file, nb::handle project_modules, nb::handle units);

// The site's light choices for the panels (key, the two choices, the first the
// default): the sky model and what the ground reflects.
struct SiteLightChoice {
    const char* key;
    const char* choices[2];
};
const std::vector<SiteLightChoice>& site_light_choices();

// The site of the first weather file's EPW LOCATION line (the line says so),
// or an invalid object when no module reads an EPW file with one.
nb::object site_from_weather(const Checker& c, nb::handle modules, bool quiet);
// One warning line when [site] and the weather file's LOCATION differ by
// more than 0.5 degrees or an hour.
void compare_site_with_weather(const Checker& c, nb::dict site, nb::handle modules, bool quiet);

// After a weather module's awake: its missing-value codes are counted per
// column (one line each) and set to NaN; a leap-year period over an 8760-row
// table says how the weather is mapped.
void treat_weather_table(nb::handle unit, const std::string& name, int start_year, int end_year, bool quiet);

// After a weather module's awake, before its codes are treated: a time step
// longer than an hour and a table shorter than the period stop the run
// (ProjectError naming `where`, the key and the file); a period that reads
// the table's year again says so once; empty fields are counted per column.
void check_weather_period(nb::handle unit, const std::string& name, const std::string& key, const std::string& where,
                          const SimClock& clock, bool quiet);

// A panel's shading module must exist, analyse surfaces and list the panel's surface.
void check_references(const Checker& c, nb::handle modules, nb::handle by_name);

}  // namespace qm::py::mgr
