// Helpers shared by the run manager's files (not part of its interface).
#pragma once
#include <nanobind/nanobind.h>

#include <string>
#include <utility>
#include <vector>

#include "bindings/core/sim_clock.hpp"
#include "bindings/core/sim_unit.hpp"
#include "bindings/manager/manager.hpp"
#include "bindings/support/common.hpp"

namespace qm::py::mgr {

// quillmere.core.manager.ProjectError (a ValueError).
PyObject* project_error();
void init_project_error(nb::module_& m);
// quillmere.core.manager.RunPeriodError: a ProjectError that is also
// SystemExit with code 1, raised when the project's period is invalid.
PyObject* run_period_error();

inline nb::object import(const char* name) { return nb::module_::import_(name); }

// repr() of a value, cut to 80 characters, for messages.
std::string repr_text(nb::handle v);

// The manager's clock and units, with a TypeError naming what they should be.
SimClock* clock_of(nb::handle clock);
SimUnit* unit_of(nb::handle unit, const std::string& name);

// project[key] of the checked project record (RuntimeError before load_project).
nb::object project_item(const Manager& m, const char* key);

// RuntimeError when create_modules has not run.
void require_modules(const Manager& m);

// (key, value) pairs of a dict as a new list: host code run while they are
// walked cannot change the walk or free a value in use.
std::vector<std::pair<nb::object, nb::object>> dict_items(nb::handle d);

// Adds "where it happened" to an exception leaving the run; type and message stay.
void add_note(nb::python_error& e, const std::string& note);

}  // namespace qm::py::mgr
