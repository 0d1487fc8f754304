// Checks of a project file's contents: every problem raises ProjectError with
// one line naming the file, the key and what was expected.
#pragma once
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>

namespace qm::py::mgr {
namespace nb = nanobind;

struct Checker {
    std::string file;   // the project file, as shown in messages
    nb::object folder;  // its folder (str), base of relative paths

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

// A panel's shading module must exist, analyse surfaces and list the panel's surface.
void check_references(const Checker& c, nb::handle modules, nb::handle by_name);

}  // namespace qm::py::mgr
