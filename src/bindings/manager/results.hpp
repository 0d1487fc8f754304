// What a run leaves behind: the recorded output columns, the results table
// (a pandas DataFrame), the generators' summary, the CSV file and the
// printed summary lines.
#pragma once
#include <nanobind/nanobind.h>

#include <cmath>
#include <vector>

#include "bindings/core/sim_unit.hpp"

namespace qm::py::mgr {
namespace nb = nanobind;

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

// A module with "power" (kW) and "energy" (kWh) outputs.
struct Generator {
    SimUnit* unit;
    nb::object name;
    double energy0 = 0.0;
    double peak = -INFINITY;
    double rated = NAN;  // kW; NaN when unknown
};

// float(v), NaN for anything that is not a number.
double value_as_double(nb::handle v);

// Every output of every module (record is None), or the recorded ones.
std::vector<Column> recorded_columns(nb::handle record, nb::handle modules, const std::vector<nb::object>& unit_objs,
                                     const std::vector<SimUnit*>& units);

// The generators among the units, with their energy at the start and their
// rated power: the product of the parameters the type's declaration names
// (summary_facts["rated_power"]), else its "capacity" parameter.
// A declared factor that names no parameter record, or one whose value is not
// a number, is a ProjectError (prefixed with `where`) before the first step.
std::vector<Generator> find_generators(const std::vector<nb::object>& unit_objs, const std::vector<SimUnit*>& units,
                                       const std::vector<nb::object>& names, const std::string& where);

// The results table: one column per recorded output, indexed by the step's
// time ("timestamp", counted from 1 January of start_year, in the site's
// standard time: UTC + time_zone hours), the outputs' declared units in
// attrs["units"].
// The energy balances of the units that keep one (an `energy_balance` dict
// attribute, as the Bus does), by instance name.
nb::dict energy_balances(const std::vector<nb::object>& unit_objs, const std::vector<nb::object>& names);
// One summary line per balance: energies, self-consumption, self-sufficiency, cycles, cost.
void print_energy_balances(nb::handle balances);

nb::object results_table(int start_year, long long time_zone, std::vector<double>&& times,
                         std::vector<Column>& columns);

// name -> {"type", "energy_kwh", "peak_kw", "rated_kw", "full_load_hours"}.
nb::dict generator_summary(const std::vector<Generator>& gens, size_t n_steps);

}  // namespace qm::py::mgr

namespace qm::py {
// Writes a results frame as CSV (manager/results_csv.cpp).
void write_results_csv(nanobind::handle frame, nanobind::handle path);
}  // namespace qm::py
