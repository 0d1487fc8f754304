#include "kernels/pv/strings.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "kernels/check.hpp"

namespace qm::pv {
namespace {

constexpr int kForwardSamples = 160;  // diode-voltage sweep points on [0, vd_oc]
constexpr int kReverseSamples = 64;   // on [vd at the grid's top current, 0]

// Linear interpolation of a curve given by points (xs ascending, ys).
double interp(const std::vector<double>& xs, const std::vector<double>& ys, double x) noexcept {
    if (x <= xs.front()) return ys.front();
    if (x >= xs.back()) return ys.back();
    const auto it = std::upper_bound(xs.begin(), xs.end(), x);
    const std::size_t k = std::size_t(it - xs.begin());
    const double t = (x - xs[k - 1]) / (xs[k] - xs[k - 1]);
    return ys[k - 1] + t * (ys[k] - ys[k - 1]);
}

// ys at each of the ascending xs_out, linear in (xs, ys) (xs ascending), ends held.
void resample(const std::vector<double>& xs, const std::vector<double>& ys, const std::vector<double>& xs_out,
              std::vector<double>& out) noexcept {
    std::size_t j = 1;
    for (std::size_t k = 0; k < xs_out.size(); ++k) {
        const double x = xs_out[k];
        if (x <= xs.front()) { out[k] = ys.front(); continue; }
        if (x >= xs.back()) { out[k] = ys.back(); continue; }
        while (xs[j] < x) ++j;  // xs[j - 1] < x <= xs[j]
        while (j > 1 && xs[j - 1] >= x) --j;
        const double t = (x - xs[j - 1]) / (xs[j] - xs[j - 1]);
        out[k] = ys[j - 1] + t * (ys[j] - ys[j - 1]);
    }
}

// Current at voltage v of a curve sampled on `grid` with v non-increasing;
// 0 above its open circuit, the grid's top beyond its last point.
double current_at_voltage(const std::vector<double>& grid, const std::vector<double>& vs, double v) noexcept {
    if (v >= vs.front()) return 0.0;
    if (v <= vs.back()) return grid.back();
    // first index with vs[k] < v (vs non-increasing)
    std::size_t lo = 0, hi = vs.size() - 1;
    while (hi - lo > 1) {
        const std::size_t mid = (lo + hi) / 2;
        if (vs[mid] >= v) lo = mid; else hi = mid;
    }
    const double dv = vs[lo] - vs[hi];
    const double t = dv > 0.0 ? (vs[lo] - v) / dv : 0.0;
    return grid[lo] + t * (grid[hi] - grid[lo]);
}

}  // namespace

const char* circuit_error_text(CircuitError e) noexcept {
    switch (e) {
        case CircuitError::none: return "none";
        case CircuitError::cell_grid_out_of_range: return "cells across or along out of range";
        case CircuitError::diodes_do_not_divide: return "bypass diodes do not divide the cells across";
        case CircuitError::half_cut_rows_odd: return "half-cut module with an odd number of cells along";
        case CircuitError::bypass_vf_out_of_range: return "bypass diode forward voltage out of range";
        case CircuitError::assignment_out_of_range: return "string or tracker index out of range";
        case CircuitError::empty_string: return "string without modules";
        case CircuitError::empty_tracker: return "tracker without strings";
        case CircuitError::cells_in_series_mismatch: return "datasheet cells in series differ from the module's";
    }
    return "unknown";
}

CircuitError module_circuit(int cells_across, int cells_along, int bypass_diodes, bool half_cut, double bypass_vf,
                            ModuleCircuit& out) {
    if (cells_across < 1 || cells_along < 1 || cells_across > 64 || cells_along > 256)
        return CircuitError::cell_grid_out_of_range;
    if (bypass_diodes < 1 || cells_across % bypass_diodes != 0) return CircuitError::diodes_do_not_divide;
    if (half_cut && cells_along % 2 != 0) return CircuitError::half_cut_rows_odd;
    if (!(bypass_vf >= 0.0 && bypass_vf <= 5.0)) return CircuitError::bypass_vf_out_of_range;
    out.cells = cells_across * cells_along;
    out.substrings = bypass_diodes;
    out.paths = half_cut ? 2 : 1;
    out.bypass_vf = bypass_vf;
    out.cell_group.assign(std::size_t(out.cells), 0);
    const int w = cells_across / bypass_diodes;
    for (int a = 0; a < cells_across; ++a)
        for (int b = 0; b < cells_along; ++b) {
            const int path = half_cut && b >= cells_along / 2 ? 1 : 0;
            out.cell_group[std::size_t(a * cells_along + b)] = (a / w) * out.paths + path;
        }
    return CircuitError::none;
}

CircuitError check_array_circuit(const ArrayCircuit& a) noexcept {
    if (a.strings < 1 || a.trackers < 1 || a.tracker_of_string.size() != std::size_t(a.strings))
        return CircuitError::assignment_out_of_range;
    std::vector<int> per_string(std::size_t(a.strings), 0), per_tracker(std::size_t(a.trackers), 0);
    for (int s : a.string_of_module) {
        if (s < 0 || s >= a.strings) return CircuitError::assignment_out_of_range;
        ++per_string[std::size_t(s)];
    }
    for (int t : a.tracker_of_string) {
        if (t < 0 || t >= a.trackers) return CircuitError::assignment_out_of_range;
        ++per_tracker[std::size_t(t)];
    }
    for (int n : per_string)
        if (n == 0) return CircuitError::empty_string;
    for (int n : per_tracker)
        if (n == 0) return CircuitError::empty_tracker;
    return CircuitError::none;
}

CircuitError check_module_matches(const ModuleCircuit& m, const DesotoParameters& p) noexcept {
    return m.paths >= 1 && m.cells == p.cells_in_series * m.paths ? CircuitError::none
                                                                  : CircuitError::cells_in_series_mismatch;
}

int StringSolver::class_of(double irradiance, double temp, const ElectricalSettings& s, int halves) {
    if (!(irradiance > 0.0) || !std::isfinite(irradiance)) irradiance = 0.0;
    for (std::size_t c = classes_.size(); c-- > 0;)
        if (classes_[c].irradiance == irradiance && classes_[c].temp == temp) return int(c);
    Class k{irradiance, temp, calcparams_cell(s.module, irradiance, temp, halves), {}, 0.0};
    k.mpp = cell_mpp(k.cell, s.breakdown);
    classes_.push_back(k);
    return int(classes_.size()) - 1;
}

double StringSolver::exact_substring_v(int sig, double i) {
    double v = 0.0;
    for (const auto& [c, n] : sigs_[std::size_t(sig)].counts) {
        Class& k = classes_[std::size_t(c)];
        k.vd_last = cell_vd_from_i(i, k.cell, breakdown_, k.vd_last);
        v += n * (k.vd_last - i * k.cell.resistance_series);
    }
    return std::max(v, -vf_);
}

double StringSolver::exact_string_v(int string, double i) {
    double v = 0.0;
    for (const auto& [g, n] : string_sigs_[std::size_t(string)]) v += n * exact_substring_v(g, i);
    return v;
}

double StringSolver::sampled_string_current(int string, double v) const {
    return current_at_voltage(grid_, string_v_[std::size_t(string)], v);
}

// The string's current at voltage v: exact_string_v falls with i, so a
// bracketed regula falsi (Illinois) on [i_lo, i_hi] converges.
double StringSolver::string_current_exact(int string, double v, double i_lo, double i_hi) {
    double f_lo = exact_string_v(string, i_lo) - v;
    if (f_lo <= 0.0) {
        i_lo = 0.0;
        f_lo = exact_string_v(string, 0.0) - v;
        if (f_lo <= 0.0) return 0.0;
    }
    double f_hi = exact_string_v(string, i_hi) - v;
    if (f_hi >= 0.0) {
        i_hi = grid_.back();
        f_hi = exact_string_v(string, i_hi) - v;
        if (f_hi >= 0.0) return i_hi;
    }
    int side = 0;
    double x = i_lo;
    for (int it = 0; it < 60 && i_hi - i_lo > 1e-12; ++it) {
        x = (i_lo * f_hi - i_hi * f_lo) / (f_hi - f_lo);
        if (!(x > i_lo && x < i_hi)) x = 0.5 * (i_lo + i_hi);
        const double f = exact_string_v(string, x) - v;
        if (std::fabs(f) < 1e-10) break;
        if (f > 0.0) {
            i_lo = x, f_lo = f;
            if (side == 1) f_hi *= 0.5;
            side = 1;
        } else {
            i_hi = x, f_hi = f;
            if (side == -1) f_lo *= 0.5;
            side = -1;
        }
    }
    return x;
}

void StringSolver::solve(const ArrayCircuit& a, const ElectricalSettings& s, std::span<const double> irradiance,
                         std::span<const double> temp_cell, std::span<double> last_voltage, StepResult& out) {
    const std::size_t modules = a.string_of_module.size();
    const std::size_t cells = std::size_t(a.module.cells);
    const int paths = a.module.paths;
    out.string_power.assign(std::size_t(a.strings), 0.0);
    out.tracker_power.assign(std::size_t(a.trackers), 0.0);
    out.tracker_voltage.assign(std::size_t(a.trackers), 0.0);
    out.module_power.assign(modules, 0.0);
    out.module_reference.assign(modules, 0.0);
    out.reference = 0.0;
    out.curves_used = false;
    if (irradiance.size() != modules * cells || temp_cell.size() != modules ||
        last_voltage.size() != std::size_t(a.trackers))
        return;
    breakdown_ = s.breakdown;
    vf_ = a.module.bypass_vf;
    paths_ = paths;
    classes_.clear();
    cell_class_.resize(modules * cells);
    for (std::size_t m = 0; m < modules; ++m)
        for (std::size_t c = 0; c < cells; ++c) {
            const int k = class_of(irradiance[m * cells + c], temp_cell[m], s, paths);
            cell_class_[m * cells + c] = k;
            out.module_reference[m] += classes_[std::size_t(k)].mpp.p_mp;
        }
    for (double p : out.module_reference) out.reference += p;

    // Per tracker: equal light everywhere and equal string lengths need no curve.
    std::vector<int> string_len(std::size_t(a.strings), 0);
    for (int st : a.string_of_module) ++string_len[std::size_t(st)];
    std::vector<int> tracker_class(std::size_t(a.trackers), -2), tracker_len(std::size_t(a.trackers), -1);
    for (std::size_t m = 0; m < modules; ++m) {
        const int st = a.string_of_module[m];
        const std::size_t t = std::size_t(a.tracker_of_string[std::size_t(st)]);
        for (std::size_t c = 0; c < cells; ++c) {
            const int k = cell_class_[m * cells + c];
            if (tracker_class[t] == -2) tracker_class[t] = k;
            else if (tracker_class[t] != k) tracker_class[t] = -1;
        }
        const int len = string_len[std::size_t(st)];
        if (tracker_len[t] == -1) tracker_len[t] = len;
        else if (tracker_len[t] != len) tracker_len[t] = -2;
    }
    bool any_curves = false;
    for (int t = 0; t < a.trackers; ++t) {
        const int k = tracker_class[std::size_t(t)];
        if (k >= 0 && (tracker_len[std::size_t(t)] > 0 || s.module_mppt)) {
            const CellMpp& mp = classes_[std::size_t(k)].mpp;
            out.tracker_voltage[std::size_t(t)] = tracker_len[std::size_t(t)] > 0 ?
                tracker_len[std::size_t(t)] * double(cells / std::size_t(paths)) * mp.v_mp : 0.0;
            last_voltage[std::size_t(t)] = out.tracker_voltage[std::size_t(t)];
        } else {
            any_curves = true;
        }
    }
    for (std::size_t m = 0; m < modules; ++m) {
        const int st = a.string_of_module[m];
        const int t = a.tracker_of_string[std::size_t(st)];
        if (tracker_class[std::size_t(t)] >= 0 && (tracker_len[std::size_t(t)] > 0 || s.module_mppt)) {
            out.module_power[m] = out.module_reference[m];
            out.string_power[std::size_t(st)] += out.module_power[m];
            out.tracker_power[std::size_t(t)] += out.module_power[m];
        }
    }
    if (!any_curves) return;
    out.curves_used = true;

    // Substring signatures: sorted (path * classes + class, count) pairs.
    const int nclass = int(classes_.size());
    const int nsub = a.module.substrings;
    sigs_.clear();
    module_sig_.assign(modules * std::size_t(nsub), 0);
    std::vector<std::vector<int>> keys(static_cast<std::size_t>(nsub));
    for (std::size_t m = 0; m < modules; ++m) {
        for (auto& k : keys) k.clear();
        for (std::size_t c = 0; c < cells; ++c) {
            const int g = a.module.cell_group[c];
            keys[std::size_t(g / paths)].push_back((g % paths) * nclass + cell_class_[m * cells + c]);
        }
        for (int sub = 0; sub < nsub; ++sub) {
            auto& k = keys[std::size_t(sub)];
            std::sort(k.begin(), k.end());
            Signature sig;
            for (std::size_t j = 0; j < k.size();) {
                std::size_t e = j;
                while (e < k.size() && k[e] == k[j]) ++e;
                sig.counts.emplace_back(k[j], int(e - j));
                j = e;
            }
            int found = -1;
            for (std::size_t q = 0; q < sigs_.size() && found < 0; ++q)
                if (sigs_[q].counts == sig.counts) found = int(q);
            if (found < 0) {
                sigs_.push_back(std::move(sig));
                found = int(sigs_.size()) - 1;
            }
            module_sig_[m * std::size_t(nsub) + std::size_t(sub)] = found;
        }
    }
    // Single-path signatures are stored with the class itself as key.
    string_sigs_.assign(std::size_t(a.strings), {});
    for (std::size_t m = 0; m < modules; ++m) {
        auto& list = string_sigs_[std::size_t(a.string_of_module[m])];
        for (int sub = 0; sub < nsub; ++sub) {
            const int g = module_sig_[m * std::size_t(nsub) + std::size_t(sub)];
            auto it = std::find_if(list.begin(), list.end(), [g](const auto& p) { return p.first == g; });
            if (it == list.end()) list.emplace_back(g, 1); else ++it->second;
        }
    }

    // The current grid and the class curves on it.
    double il_max = 0.0;
    for (const Class& c : classes_) il_max = std::max(il_max, c.cell.photocurrent);
    if (!(il_max > 0.0)) return;  // dark: every power is 0
    const int n = std::max(16, s.grid_points);
    const double i_top = 1.05 * paths * il_max;
    grid_.resize(std::size_t(n));
    for (int k = 0; k < n; ++k) grid_[std::size_t(k)] = i_top * k / (n - 1);
    class_v_.resize(std::size_t(nclass));
    std::vector<double> si, sv;
    for (int c = 0; c < nclass; ++c) {
        const CellParameters& cp = classes_[std::size_t(c)].cell;
        auto& cv = class_v_[std::size_t(c)];
        cv.assign(std::size_t(n), 0.0);
        const double vd_oc = cell_vd_oc(cp, breakdown_);
        const double vd_rev = std::min(0.0, cell_v_from_i(i_top, cp, breakdown_) + i_top * cp.resistance_series);
        si.clear(), sv.clear();
        for (int k = kForwardSamples; k >= 0; --k) {  // i ascending: v_d from the open circuit down
            const CellPoint p = bishop88(vd_oc * k / kForwardSamples, cp, breakdown_);
            si.push_back(p.i), sv.push_back(p.v);
        }
        for (int k = 1; k <= kReverseSamples; ++k) {
            const CellPoint p = bishop88(vd_rev * k / kReverseSamples, cp, breakdown_);
            si.push_back(p.i), sv.push_back(p.v);
        }
        for (std::size_t j = 1; j < si.size(); ++j) si[j] = std::max(si[j], si[j - 1]);  // rounding at 0
        resample(si, sv, grid_, cv);
    }
    sig_v_.resize(sigs_.size());
    std::vector<std::vector<double>> pv(2);
    for (std::size_t g = 0; g < sigs_.size(); ++g) {
        for (auto& p : pv) p.assign(std::size_t(n), 0.0);
        for (const auto& [key, cnt] : sigs_[g].counts) {
            const auto& cv = class_v_[std::size_t(key % nclass)];
            auto& p = pv[std::size_t(key / nclass)];
            for (int k = 0; k < n; ++k) p[std::size_t(k)] += cnt * cv[std::size_t(k)];
        }
        auto& out_v = sig_v_[g];
        if (paths == 1) {
            out_v = pv[0];
        } else {  // two paths in parallel: currents add at a common voltage
            std::vector<std::pair<double, double>> pts;  // (current, voltage)
            pts.reserve(2 * std::size_t(n));
            for (int k = 0; k < n; ++k) {
                pts.emplace_back(grid_[std::size_t(k)] + current_at_voltage(grid_, pv[1], pv[0][std::size_t(k)]),
                                 pv[0][std::size_t(k)]);
                pts.emplace_back(grid_[std::size_t(k)] + current_at_voltage(grid_, pv[0], pv[1][std::size_t(k)]),
                                 pv[1][std::size_t(k)]);
            }
            std::sort(pts.begin(), pts.end());
            si.clear(), sv.clear();
            for (const auto& [i, v] : pts) {
                if (!si.empty() && i <= si.back()) continue;
                si.push_back(i), sv.push_back(v);
            }
            out_v.resize(std::size_t(n));
            resample(si, sv, grid_, out_v);
        }
        for (double& v : out_v) v = std::max(v, -vf_);
    }
    // Single-path signatures keep class indices in their counts for the exact evaluation.
    string_v_.assign(std::size_t(a.strings), std::vector<double>(std::size_t(n), 0.0));
    for (int st = 0; st < a.strings; ++st)
        for (const auto& [g, cnt] : string_sigs_[std::size_t(st)])
            for (int k = 0; k < n; ++k) string_v_[std::size_t(st)][std::size_t(k)] += cnt * sig_v_[std::size_t(g)][std::size_t(k)];

    const bool exact = paths == 1;
    auto module_v_at = [&](std::size_t m, double i) {
        double v = 0.0;
        for (int sub = 0; sub < nsub; ++sub) {
            const int g = module_sig_[m * std::size_t(nsub) + std::size_t(sub)];
            v += exact ? exact_substring_v(g, i) : interp(grid_, sig_v_[std::size_t(g)], i);
        }
        return v;
    };

    for (int t = 0; t < a.trackers; ++t) {
        if (tracker_class[std::size_t(t)] >= 0 && (tracker_len[std::size_t(t)] > 0 || s.module_mppt)) continue;
        if (s.module_mppt) {
            std::vector<double> mv(static_cast<std::size_t>(n));
            for (std::size_t m = 0; m < modules; ++m) {
                const int st = a.string_of_module[m];
                if (a.tracker_of_string[std::size_t(st)] != t) continue;
                std::fill(mv.begin(), mv.end(), 0.0);
                for (int sub = 0; sub < nsub; ++sub) {
                    const auto& sv2 = sig_v_[std::size_t(module_sig_[m * std::size_t(nsub) + std::size_t(sub)])];
                    for (int k = 0; k < n; ++k) mv[std::size_t(k)] += sv2[std::size_t(k)];
                }
                int best = 0;
                for (int k = 1; k < n; ++k)
                    if (grid_[std::size_t(k)] * mv[std::size_t(k)] > grid_[std::size_t(best)] * mv[std::size_t(best)]) best = k;
                double p = std::max(0.0, grid_[std::size_t(best)] * mv[std::size_t(best)]);
                if (exact) {  // the grid's best, its neighbours and their parabola's vertex, exactly
                    double pk[3];
                    for (int d = -1; d <= 1; ++d) {
                        const int k = std::clamp(best + d, 0, n - 1);
                        pk[d + 1] = grid_[std::size_t(k)] * module_v_at(m, grid_[std::size_t(k)]);
                        p = std::max(p, pk[d + 1]);
                    }
                    const double den = pk[0] - 2.0 * pk[1] + pk[2];
                    if (best > 0 && best < n - 1 && den < 0.0) {
                        const double i = grid_[std::size_t(best)] + 0.5 * (pk[0] - pk[2]) / den * (grid_[1] - grid_[0]);
                        p = std::max(p, i * module_v_at(m, i));
                    }
                }
                out.module_power[m] = p;
                out.string_power[std::size_t(st)] += p;
                out.tracker_power[std::size_t(t)] += p;
            }
            continue;
        }
        int alone = -1, count = 0;  // the tracker's one string, if it has one
        for (int st = 0; st < a.strings; ++st)
            if (a.tracker_of_string[std::size_t(st)] == t) alone = st, ++count;
        double v_best = 0.0, p_best = -1.0;
        std::vector<double> best_cur(std::size_t(a.strings), 0.0);
        auto climb = [&](const std::vector<double>& pw, int start) {
            int best = start;
            for (;;) {
                if (best > 0 && pw[std::size_t(best - 1)] > pw[std::size_t(best)]) --best;
                else if (best < n - 1 && pw[std::size_t(best + 1)] > pw[std::size_t(best)]) ++best;
                else return best;
            }
        };
        auto argmax = [&](const std::vector<double>& pw) {
            int best = 0;
            for (int k = 1; k < n; ++k)
                if (pw[std::size_t(k)] > pw[std::size_t(best)]) best = k;
            return best;
        };
        // The grid's best, its neighbours and the vertex of their parabola, as grid positions.
        auto candidates = [&](const std::vector<double>& pw, int best) {
            std::vector<double> cand;
            for (int d = -1; d <= 1; ++d) cand.push_back(std::clamp(best + d, 0, n - 1));
            if (best > 0 && best < n - 1) {
                const double p0 = pw[std::size_t(best - 1)], p1 = pw[std::size_t(best)], p2 = pw[std::size_t(best + 1)];
                const double den = p0 - 2.0 * p1 + p2;
                if (den < 0.0) cand.push_back(best + 0.5 * (p0 - p2) / den);
            }
            return cand;
        };
        pw_.resize(std::size_t(n));
        if (count == 1) {
            // One string: its power over the current grid, exact at the best points.
            const auto& sv = string_v_[std::size_t(alone)];
            for (int k = 0; k < n; ++k) pw_[std::size_t(k)] = grid_[std::size_t(k)] * sv[std::size_t(k)];
            int best = 0;
            if (s.tracking == Tracking::global) {
                best = argmax(pw_);
            } else {  // the grid current whose voltage is nearest the last one (the open circuit at first)
                const double v0 = last_voltage[std::size_t(t)];
                best = 0;
                if (v0 > 0.0)
                    while (best < n - 1 && sv[std::size_t(best)] > v0) ++best;
                best = climb(pw_, best);
            }
            const double di = grid_[1] - grid_[0];
            for (double k : candidates(pw_, best)) {
                const double i = di * k;
                const double v = exact ? exact_string_v(alone, i) : interp(grid_, sv, i);
                if (i * v > p_best) p_best = i * v, v_best = v, best_cur[std::size_t(alone)] = i;
            }
        } else {
            // Strings in parallel: currents add over a voltage grid up to the highest open circuit.
            double v_top = 0.0;
            for (int st = 0; st < a.strings; ++st)
                if (a.tracker_of_string[std::size_t(st)] == t) v_top = std::max(v_top, string_v_[std::size_t(st)][0]);
            if (!(v_top > 0.0)) continue;
            std::fill(pw_.begin(), pw_.end(), 0.0);
            for (int st = 0; st < a.strings; ++st) {
                if (a.tracker_of_string[std::size_t(st)] != t) continue;
                const auto& sv = string_v_[std::size_t(st)];
                int k = n - 1;  // walks down the current grid as the voltage rises
                for (int j = 0; j < n; ++j) {
                    const double v = v_top * j / (n - 1);
                    while (k > 0 && sv[std::size_t(k)] < v) --k;
                    double i = 0.0;
                    if (sv[std::size_t(k)] >= v) {
                        if (k == n - 1) i = grid_[std::size_t(k)];
                        else {
                            const double dv = sv[std::size_t(k)] - sv[std::size_t(k + 1)];
                            const double f = dv > 0.0 ? (sv[std::size_t(k)] - v) / dv : 0.0;
                            i = grid_[std::size_t(k)] + f * (grid_[std::size_t(k + 1)] - grid_[std::size_t(k)]);
                        }
                    }
                    pw_[std::size_t(j)] += v * i;
                }
            }
            int best = 0;
            if (s.tracking == Tracking::global) {
                best = argmax(pw_);
            } else {
                const double v0 = last_voltage[std::size_t(t)];
                best = climb(pw_, (v0 > 0.0 && v0 < v_top) ? int(std::lround(v0 / v_top * (n - 1))) : n - 1);
            }
            const double dv = v_top / (n - 1);
            std::vector<double> cur(std::size_t(a.strings), 0.0);
            for (double k : candidates(pw_, best)) {
                const double v = dv * k;
                double p = 0.0;
                for (int st = 0; st < a.strings; ++st) {
                    if (a.tracker_of_string[std::size_t(st)] != t) continue;
                    const double guess = sampled_string_current(st, v);
                    const double di = 4.0 * (grid_[1] - grid_[0]);
                    cur[std::size_t(st)] = exact ? string_current_exact(st, v, std::max(0.0, guess - di), guess + di) : guess;
                    p += v * cur[std::size_t(st)];
                }
                if (p > p_best) p_best = p, v_best = v, best_cur = cur;
            }
        }
        if (!(p_best > 0.0)) {  // no power to take: the tracker idles at the open circuit
            p_best = 0.0;
            std::fill(best_cur.begin(), best_cur.end(), 0.0);
        }
        out.tracker_power[std::size_t(t)] = p_best;
        out.tracker_voltage[std::size_t(t)] = v_best;
        last_voltage[std::size_t(t)] = v_best;
        for (int st = 0; st < a.strings; ++st)
            if (a.tracker_of_string[std::size_t(st)] == t) out.string_power[std::size_t(st)] = v_best * best_cur[std::size_t(st)];
        for (std::size_t m = 0; m < modules; ++m) {
            const int st = a.string_of_module[m];
            if (a.tracker_of_string[std::size_t(st)] != t) continue;
            const double i = best_cur[std::size_t(st)];
            out.module_power[m] = i > 0.0 ? i * module_v_at(m, i) : 0.0;
        }
    }
}

}  // namespace qm::pv
