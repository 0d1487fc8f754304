// Cells to modules, strings and MPP trackers: the electrical mismatch of a
// partly shaded array at one step.
//
// Circuit: a module's cells form substrings, each under one bypass diode; a
// substring is one series path of cells, or two parallel paths of half-cut
// cells (the module's upper and lower halves). Voltages add at a common
// current in series; currents add at a common voltage in parallel:
//   v_path(i)      = sum over the path's cells of v_cell(i)                      [V]
//   v_substring(i) = max(v_paths(i), -bypass_vf)   (the diode conducts below -vf) [V]
//   v_string(i)    = sum over the string's substrings of v_substring(i)          [V]
//   i_tracker(v)   = sum over the tracker's strings of i_string(v), i >= 0       [A]
//   p_tracker      = max over v of v * i_tracker(v)                              [W]
// v_cell from single_diode.hpp (Bishop 1988). The bypass diode is ideal with a
// constant forward voltage bypass_vf (0.5 V for Schottky diodes is typical).
// A string takes no current back (i >= 0: above its open-circuit voltage it
// carries nothing), as with blocking diodes or a tracker that sees it idle.
//
// Operating point: `global` takes the largest power of the combined curve;
// `local` climbs from the tracker's last voltage to the nearest maximum
// (perturb-and-observe that never leaves its hill), the tracker's last
// voltage kept by the caller. `module_mppt` gives each module its own MPP
// (ideal optimisers or microinverters), strings then add module powers.
//
// What the implementation decides (speed with exact results):
// - Cells with the same effective irradiance and temperature share one curve
//   (a class); paths and substrings with the same class counts share one
//   curve. If every cell of a tracker is in one class and its strings have
//   equal lengths, the power is cells * cell_mpp exactly (no curve at all).
// - Otherwise curves are sampled on one current grid of `grid_points` from 0
//   to 1.05 times the largest paths * photocurrent; each class curve comes
//   from a sweep of Bishop's diode voltage (exact points, linear between
//   them). The tracker's curve in voltage is the grid's inverse. The maximum
//   found on the grid and its neighbours are then evaluated exactly (every
//   cell solved at the string's current; the parabola's vertex through the
//   three too) for modules without half-cut paths, and the best exact point
//   is the result; half-cut modules keep the sampled curve's value (measured
//   against the reference in benchmarks/bench_partial_shade.py).
// - The no-mismatch reference is the sum of every cell at its own MPP: what a
//   model proportional to lit area gives. Its difference to the tracker's
//   power is the electrical partial-shade loss.
// Results are a pure function of the inputs (no state but the local
// tracker's voltage), so steps may run on any thread.
#pragma once
#include <cstddef>
#include <span>
#include <vector>

#include "kernels/pv/single_diode.hpp"

namespace qm::pv {

struct ModuleCircuit {
    int cells = 60;
    int substrings = 3;  // bypass diodes
    int paths = 1;       // 2 for half-cut modules
    std::vector<int> cell_group;  // cell -> substring * paths + path
    double bypass_vf = 0.5;       // [V]
};

enum class CircuitError {
    none,
    cell_grid_out_of_range,   // cells across / along below 1 or too many
    diodes_do_not_divide,     // bypass diodes not a divisor of the cells across
    half_cut_rows_odd,        // half-cut modules need an even number of cells along
    bypass_vf_out_of_range,   // below 0 or above 5 V, or not finite
    assignment_out_of_range,  // a module's string or a string's tracker outside its range
    empty_string,             // a string without modules
    empty_tracker,            // a tracker without strings
    cells_in_series_mismatch, // the datasheet's cells in series are not the module's cells per path
};
const char* circuit_error_text(CircuitError e) noexcept;

// Cells indexed across-major: cell (a, b), a across the module's short side,
// b along its long side, is cell a * cells_along + b. Diode d covers the
// columns a in [d * w, (d + 1) * w), w = cells_across / bypass_diodes; a
// half-cut module's path is 0 for b < cells_along / 2, else 1.
CircuitError module_circuit(int cells_across, int cells_along, int bypass_diodes, bool half_cut, double bypass_vf,
                            ModuleCircuit& out);

struct ArrayCircuit {
    ModuleCircuit module;
    std::vector<int> string_of_module;   // module -> string
    std::vector<int> tracker_of_string;  // string -> tracker
    int strings = 0, trackers = 0;
};
CircuitError check_array_circuit(const ArrayCircuit& a) noexcept;
// The datasheet's cells in series must be the module's cells / paths (72 for 6 x 24 half-cut).
CircuitError check_module_matches(const ModuleCircuit& m, const DesotoParameters& p) noexcept;

enum class Tracking { global, local };

struct ElectricalSettings {
    DesotoParameters module;
    Breakdown breakdown;
    Tracking tracking = Tracking::global;
    bool module_mppt = false;
    int grid_points = 1024;
};

struct StepResult {
    std::vector<double> string_power;     // [W] at the tracker's operating point
    std::vector<double> tracker_power;    // [W]
    std::vector<double> tracker_voltage;  // [V]
    std::vector<double> module_power;     // [W] each module's share at the operating point
    std::vector<double> module_reference; // [W] each module's cells at their own MPP
    double reference = 0.0;               // [W] sum of module_reference (no mismatch)
    bool curves_used = false;             // false when the equal-light path answered
};

// Solves one step. `irradiance`: modules * cells effective irradiance
// [W/m2], module-major in ModuleCircuit's cell order; `temp_cell`: one per
// module [C]; `last_voltage`: one per tracker [V], read and written by the
// local tracker (0 starts at the open circuit), written by the global one.
// A Solver keeps its buffers between steps; use one per thread.
class StringSolver {
public:
    void solve(const ArrayCircuit& a, const ElectricalSettings& s, std::span<const double> irradiance,
               std::span<const double> temp_cell, std::span<double> last_voltage, StepResult& out);

private:
    struct Class {
        double irradiance, temp;
        CellParameters cell;
        CellMpp mpp;
        double vd_last = 0.0;  // the last exact solution, the next one's start
    };
    struct Signature {  // one path or substring kind: (class, count) pairs per path
        std::vector<std::pair<int, int>> counts;
    };
    int class_of(double irradiance, double temp, const ElectricalSettings& s, int halves);
    double exact_substring_v(int sig, double i);  // single path only
    double exact_string_v(int string, double i);
    double string_current_exact(int string, double v, double i_lo, double i_hi);
    double sampled_string_current(int string, double v) const;

    std::vector<Class> classes_;
    std::vector<int> cell_class_;                  // modules * cells
    std::vector<Signature> sigs_;                  // distinct substrings (paths concatenated)
    std::vector<int> module_sig_;                  // modules * substrings -> signature
    std::vector<std::vector<std::pair<int, int>>> string_sigs_;  // string -> (signature, count)
    std::vector<double> grid_;                     // current grid [A]
    std::vector<std::vector<double>> class_v_;     // class -> v on the grid
    std::vector<std::vector<double>> sig_v_;       // signature -> clamped substring v on the grid
    std::vector<std::vector<double>> string_v_;    // string -> v on the grid
    std::vector<double> pw_;                       // the tracker's power on its grid
    Breakdown breakdown_;
    double vf_ = 0.5;
    int paths_ = 1;
};

}  // namespace qm::pv
