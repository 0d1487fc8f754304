// Modules, strings and trackers under partial shade: the analytic cases of
// a series string with bypass diodes, the trackers' choices and the circuit
// checks. (The comparison with pvlib's curves on random shading patterns is
// tests/python/test_partial_shade.py.)
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kernels/pv/strings.hpp"

namespace {
using namespace qm::pv;

ElectricalSettings settings() {
    ElectricalSettings s;
    Datasheet d;
    d.v_mp = 31.0, d.i_mp = 8.9, d.v_oc = 38.3, d.i_sc = 9.43, d.alpha_sc = 0.0047, d.beta_voc = -0.118;
    d.cells_in_series = 60;
    EXPECT_EQ(fit_desoto(d, s.module), DiodeFitError::none);
    return s;
}

ArrayCircuit one_string(int modules, bool half_cut = false) {
    ArrayCircuit a;
    EXPECT_EQ(module_circuit(6, half_cut ? 24 : 10, 3, half_cut, 0.5, a.module), CircuitError::none);
    a.string_of_module.assign(std::size_t(modules), 0);
    a.tracker_of_string = {0};
    a.strings = 1, a.trackers = 1;
    return a;
}

struct Solved {
    StepResult r;
    std::vector<double> last;
};

Solved solve(const ArrayCircuit& a, const ElectricalSettings& s, const std::vector<double>& g, double temp = 25.0) {
    Solved run;
    run.last.assign(std::size_t(a.trackers), 0.0);
    std::vector<double> t(a.string_of_module.size(), temp);
    StringSolver solver;
    solver.solve(a, s, g, t, run.last, run.r);
    return run;
}

double module_pmp(const ElectricalSettings& s, double g, int halves = 1) {
    const int cells = halves == 2 ? 144 : 60;
    return cells * cell_mpp(calcparams_cell(s.module, g, 25.0, halves), s.breakdown).p_mp;
}

TEST(Strings, UnshadedStringIsModulesTimesModuleMppOnBothPaths) {
    const ElectricalSettings s = settings();
    const ArrayCircuit a = one_string(10);
    std::vector<double> g(600, 1000.0);
    const Solved fast = solve(a, s, g);
    EXPECT_FALSE(fast.r.curves_used);
    EXPECT_NEAR(fast.r.tracker_power[0], 10 * module_pmp(s, 1000.0), 1e-9);
    // the datasheet's Pmp, less what the breakdown term takes in forward bias (2e-5)
    EXPECT_NEAR(fast.r.tracker_power[0] / (10 * 31.0 * 8.9), 1.0, 3e-5);
    EXPECT_NEAR(fast.r.tracker_voltage[0], 310.0, 1e-4);
    // A difference of 1e-9 W/m2 takes the curve path, which must agree.
    g[5] += 1e-9;
    const Solved curve = solve(a, s, g);
    EXPECT_TRUE(curve.r.curves_used);
    EXPECT_NEAR(curve.r.tracker_power[0] / fast.r.tracker_power[0], 1.0, 1e-6);
    EXPECT_NEAR(curve.r.tracker_voltage[0], 310.0, 0.5);
    EXPECT_NEAR(curve.r.reference, fast.r.reference, 1e-6);
    double sum = 0.0;
    for (double p : curve.r.module_power) sum += p;
    EXPECT_NEAR(sum, curve.r.tracker_power[0], 1e-6);
}

TEST(Strings, OneDarkCellBypassesItsSubstring) {
    const ElectricalSettings s = settings();
    // One module alone: two substrings left, less the diode's drop at the MPP current.
    std::vector<double> g(60, 1000.0);
    g[3] = 0.0;
    const Solved one = solve(one_string(1), s, g);
    const double pmp = module_pmp(s, 1000.0);
    const double expect = 2.0 / 3.0 * pmp - 8.9 * 0.5;
    EXPECT_NEAR(one.r.tracker_power[0] / expect, 1.0, 0.01);
    EXPECT_NEAR(one.r.reference, 59.0 / 60.0 * pmp, 1e-9);
    // In a string of ten the string current stays near Imp: the shaded module gives its two thirds.
    std::vector<double> g10(600, 1000.0);
    g10[3] = 0.0;
    const Solved ten = solve(one_string(10), s, g10);
    EXPECT_NEAR(ten.r.module_power[0] / expect, 1.0, 0.01);
    EXPECT_NEAR(ten.r.tracker_power[0] / (9 * pmp + expect), 1.0, 0.002);
    for (int m = 1; m < 10; ++m) EXPECT_NEAR(ten.r.module_power[std::size_t(m)] / pmp, 1.0, 0.01);
}

TEST(Strings, ShadedModuleInStringOfTenAgainstModuleLevelMppt) {
    ElectricalSettings s = settings();
    std::vector<double> g(600, 1000.0);
    for (int c = 0; c < 60; ++c) g[std::size_t(120 + c)] = 300.0;  // module 2 under uniform shade
    const Solved str = solve(one_string(10), s, g);
    s.module_mppt = true;
    const Solved mlpe = solve(one_string(10), s, g);
    const double ideal = 9 * module_pmp(s, 1000.0) + module_pmp(s, 300.0);
    EXPECT_NEAR(mlpe.r.tracker_power[0] / ideal, 1.0, 1e-6);
    EXPECT_NEAR(mlpe.r.module_power[2] / module_pmp(s, 300.0), 1.0, 1e-6);
    // The string bypasses the module (9 modules at Imp less three diode drops) and loses more.
    EXPECT_LT(str.r.tracker_power[0], mlpe.r.tracker_power[0] - 0.5 * module_pmp(s, 300.0));
    EXPECT_NEAR(str.r.tracker_power[0] / (9 * module_pmp(s, 1000.0) - 3 * 0.5 * 8.9), 1.0, 0.005);
    EXPECT_LT(str.r.module_power[2], 0.0);  // its diodes consume
}

TEST(Strings, LocalTrackerStopsOnTheHillNearItsLastPoint) {
    ElectricalSettings s = settings();
    std::vector<double> g(600, 1000.0);
    for (int c = 0; c < 180; ++c) g[std::size_t(c)] = 200.0;  // three of ten modules shaded
    const Solved global = solve(one_string(10), s, g);
    s.tracking = Tracking::local;
    const Solved local = solve(one_string(10), s, g);  // starts from the open circuit
    // Global: the shaded modules bypassed; local: all ten at the shaded current.
    EXPECT_NEAR(global.r.tracker_power[0] / (7 * module_pmp(s, 1000.0) - 9 * 0.5 * 8.9), 1.0, 0.01);
    EXPECT_LT(local.r.tracker_power[0], 0.5 * global.r.tracker_power[0]);
    EXPECT_GT(local.r.tracker_voltage[0], global.r.tracker_voltage[0]);
    EXPECT_EQ(local.last[0], local.r.tracker_voltage[0]);
    // Started beside the global maximum it stays there.
    Solved again;
    again.last = {global.r.tracker_voltage[0]};
    std::vector<double> t(10, 25.0);
    StringSolver solver;
    solver.solve(one_string(10), s, g, t, again.last, again.r);
    EXPECT_NEAR(again.r.tracker_power[0], global.r.tracker_power[0], 1e-6 * global.r.tracker_power[0]);
}

TEST(Strings, ParallelStringsOnOneTrackerAndSeparateTrackers) {
    const ElectricalSettings s = settings();
    ArrayCircuit a = one_string(20);
    for (int m = 10; m < 20; ++m) a.string_of_module[std::size_t(m)] = 1;
    a.tracker_of_string = {0, 0};
    a.strings = 2;
    std::vector<double> g(1200, 1000.0);
    for (int c = 0; c < 60; ++c) g[std::size_t(c)] = 400.0;  // a shaded module in string 0
    const Solved shared = solve(a, s, g);
    a.tracker_of_string = {0, 1};
    a.trackers = 2;
    const Solved apart = solve(a, s, g);
    // Two trackers each at their own maximum: at least as much as one shared.
    EXPECT_GE(apart.r.tracker_power[0] + apart.r.tracker_power[1], shared.r.tracker_power[0] - 1e-9);
    EXPECT_NEAR(apart.r.tracker_power[1] / (10 * module_pmp(s, 1000.0)), 1.0, 1e-7);
    EXPECT_NEAR(shared.r.string_power[0] + shared.r.string_power[1], shared.r.tracker_power[0], 1e-6);
    EXPECT_LT(shared.r.tracker_power[0], shared.r.reference);
}

TEST(Strings, HalfCutModules) {
    const ElectricalSettings s = settings();
    const ArrayCircuit a = one_string(2, true);
    std::vector<double> g(288, 1000.0);
    const Solved fast = solve(a, s, g);
    EXPECT_NEAR(fast.r.tracker_power[0], 2 * module_pmp(s, 1000.0, 2), 1e-9);
    EXPECT_EQ(check_module_matches(a.module, s.module), CircuitError::cells_in_series_mismatch);  // 72 != 60
    g[0] += 1e-9;
    const Solved curve = solve(a, s, g);
    EXPECT_NEAR(curve.r.tracker_power[0] / fast.r.tracker_power[0], 1.0, 2e-3);
    // The lower half dark everywhere: the upper paths carry half the current, about half the power.
    for (int m = 0; m < 2; ++m)
        for (int col = 0; col < 6; ++col)
            for (int b = 12; b < 24; ++b) g[std::size_t(m * 144 + col * 24 + b)] = 0.0;
    const Solved half = solve(a, s, g);
    EXPECT_NEAR(half.r.tracker_power[0] / fast.r.tracker_power[0], 0.5, 0.01);
}

TEST(Strings, DarkArrayAndDeterminism) {
    const ElectricalSettings s = settings();
    const ArrayCircuit a = one_string(4);
    const Solved dark = solve(a, s, std::vector<double>(240, 0.0));
    EXPECT_EQ(dark.r.tracker_power[0], 0.0);
    EXPECT_EQ(dark.r.reference, 0.0);
    std::vector<double> g(240);
    for (std::size_t i = 0; i < g.size(); ++i) g[i] = 1000.0 * double((i * 7919) % 11) / 10.0;
    const Solved first = solve(a, s, g);
    StringSolver reused;
    std::vector<double> t(4, 25.0), last(1, 0.0);
    StepResult r;
    reused.solve(a, s, std::vector<double>(240, 500.0), t, last, r);  // other work first
    reused.solve(a, s, g, t, last, r);
    EXPECT_EQ(r.tracker_power[0], first.r.tracker_power[0]);
    EXPECT_EQ(r.module_power, first.r.module_power);
    // Wrong sizes give zeros, never a read past the end.
    StepResult bad;
    reused.solve(a, s, std::vector<double>(10, 1000.0), t, last, bad);
    EXPECT_EQ(bad.tracker_power[0], 0.0);
}

TEST(Strings, CircuitChecks) {
    ModuleCircuit m;
    EXPECT_EQ(module_circuit(6, 10, 4, false, 0.5, m), CircuitError::diodes_do_not_divide);
    EXPECT_EQ(module_circuit(6, 23, 3, true, 0.5, m), CircuitError::half_cut_rows_odd);
    EXPECT_EQ(module_circuit(0, 10, 1, false, 0.5, m), CircuitError::cell_grid_out_of_range);
    EXPECT_EQ(module_circuit(6, 10, 3, false, -1.0, m), CircuitError::bypass_vf_out_of_range);
    EXPECT_EQ(module_circuit(6, 10, 3, false, std::nan(""), m), CircuitError::bypass_vf_out_of_range);
    ASSERT_EQ(module_circuit(6, 10, 3, false, 0.7, m), CircuitError::none);
    EXPECT_EQ(m.cell_group[0], 0);
    EXPECT_EQ(m.cell_group[19], 0);  // columns 0 and 1 under diode 0
    EXPECT_EQ(m.cell_group[20], 1);
    EXPECT_EQ(m.cell_group[59], 2);
    ASSERT_EQ(module_circuit(6, 24, 3, true, 0.5, m), CircuitError::none);
    EXPECT_EQ(m.cell_group[11], 0);
    EXPECT_EQ(m.cell_group[12], 1);  // lower half, second path
    EXPECT_EQ(m.cell_group[143], 5);
    ArrayCircuit a = one_string(3);
    EXPECT_EQ(check_array_circuit(a), CircuitError::none);
    a.string_of_module[1] = 1;
    EXPECT_EQ(check_array_circuit(a), CircuitError::assignment_out_of_range);
    a.strings = 2;
    a.tracker_of_string = {0, 0};
    a.string_of_module = {0, 0, 0};
    EXPECT_EQ(check_array_circuit(a), CircuitError::empty_string);
    a.string_of_module = {0, 1, 0};
    a.trackers = 2;
    EXPECT_EQ(check_array_circuit(a), CircuitError::empty_tracker);
    EXPECT_STRNE(circuit_error_text(CircuitError::empty_tracker), "unknown");
}

}  // namespace
