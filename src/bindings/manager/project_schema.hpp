// The module types a project may name and what the manager knows of a type:
// the built-in type names with the classes they stand for, and each class's
// own declaration of its project values (bindings/core/project_values.hpp).
#pragma once
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "bindings/core/project_values.hpp"

namespace qm::py::mgr {

struct BuiltinType {
    const char* type_name;  // module type name of the module information record
    const char* py_module;  // where the class lives
    const char* py_class;
};

const std::vector<BuiltinType>& builtin_types();
const BuiltinType* find_builtin(const std::string& type_name);
nb::object builtin_class(const BuiltinType& t);

// "WaetherFeed, SunPanel, ...，或用户类 ..." for the unknown-type message.
std::string known_type_list();

// What a value of this kind should be, in messages ("数值", ...).
const char* expected_text(ValueKind k);

// The declaration of a module object's class (false when it declares none).
bool declaration_of_unit(nb::handle unit, ModuleDeclaration& out);

// Modules that analyse surfaces for others awake first: their class declares a
// surfaces value, or (a host stand-in without a declaration) their module
// information record names the shading module's type.
bool provides_surfaces(nb::handle unit);

}  // namespace qm::py::mgr
