// The run's loss trees: the energy at each stage of every module that keeps
// one (a module with a loss_tree() operation returning {stage: kWh}, such as
// the PV arrays and inverters), for the summary, DataFrame.attrs["loss_tree"]
// and the companion file beside the results CSV.
#pragma once
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace qm::py::mgr {
namespace nb = nanobind;

// {module name: {stage: kWh}} of the modules, in their order; empty when none keeps one.
nb::dict collect_loss_trees(const std::vector<nb::object>& units, const std::vector<nb::object>& names);

// One line per module and stage: energy, change from the stage before [kWh and %].
std::vector<std::string> loss_tree_lines(nb::handle trees);

// The companion file's text: module,stage,energy_kwh,change_kwh,change_percent.
std::string loss_tree_csv(nb::handle trees);

// The companion file of a results CSV: "results.csv" -> "results.loss_tree.csv".
nb::object loss_tree_path(nb::handle csv_path);

}  // namespace qm::py::mgr
