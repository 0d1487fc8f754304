#include "kernels/pv/single_diode.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace qm::pv {
namespace {

constexpr double kBoltzmannEv = 8.617333262e-5;  // [eV/K]
constexpr double kTref = 298.15;                  // [K]
constexpr double kEgRef = 1.121;                  // [eV]
constexpr double kdEgdT = -0.0002677;             // [1/K]

using Vec5 = std::array<double, 5>;

// Residuals of pvlib's _system_of_equations_desoto, divided by Isc.
// x = (I_L, ln I_o, R_s, ln R_sh, a).
Vec5 desoto_residuals(const Vec5& x, const Datasheet& d) noexcept {
    const double IL = x[0], Io = std::exp(x[1]), Rs = x[2], Rsh = std::exp(x[3]), a = x[4];
    Vec5 y{};
    y[0] = d.i_sc - IL + Io * std::expm1(d.i_sc * Rs / a) + d.i_sc * Rs / Rsh;
    y[1] = -IL + Io * std::expm1(d.v_oc / a) + d.v_oc / Rsh;
    const double vm = d.v_mp + d.i_mp * Rs;
    y[2] = d.i_mp - IL + Io * std::expm1(vm / a) + vm / Rsh;
    const double e = std::exp(vm / a);
    y[3] = d.i_mp - d.v_mp * ((Io / a) * e + 1.0 / Rsh) / (1.0 + (Io * Rs / a) * e + Rs / Rsh);
    const double T2 = kTref + 2.0;
    const double voc2 = d.v_oc + d.beta_voc * 2.0;
    const double a2 = a * T2 / kTref;
    const double IL2 = IL + d.alpha_sc * 2.0;
    const double Eg2 = kEgRef * (1.0 + kdEgdT * 2.0);
    const double Io2 = Io * std::pow(T2 / kTref, 3) * std::exp(1.0 / kBoltzmannEv * (kEgRef / kTref - Eg2 / T2));
    y[4] = -IL2 + Io2 * std::expm1(voc2 / a2) + voc2 / Rsh;
    for (double& v : y) v /= d.i_sc;
    return y;
}

double norm2(const Vec5& y) noexcept {
    double s = 0.0;
    for (double v : y) s += v * v;
    return s;
}

// Solves A dx = b by Gaussian elimination with partial pivoting; false when singular.
bool solve5(std::array<Vec5, 5> A, Vec5 b, Vec5& dx) noexcept {
    for (int c = 0; c < 5; ++c) {
        int p = c;
        for (int r = c + 1; r < 5; ++r)
            if (std::fabs(A[r][c]) > std::fabs(A[p][c])) p = r;
        if (!(std::fabs(A[p][c]) > 0.0)) return false;
        std::swap(A[p], A[c]);
        std::swap(b[p], b[c]);
        for (int r = c + 1; r < 5; ++r) {
            const double f = A[r][c] / A[c][c];
            for (int k = c; k < 5; ++k) A[r][k] -= f * A[c][k];
            b[r] -= f * b[c];
        }
    }
    for (int r = 4; r >= 0; --r) {
        double s = b[r];
        for (int k = r + 1; k < 5; ++k) s -= A[r][k] * dx[k];
        dx[r] = s / A[r][r];
    }
    for (double v : dx)
        if (!std::isfinite(v)) return false;
    return true;
}

double current_at(double vd, const CellParameters& c, const Breakdown& b) noexcept {
    return bishop88(vd, c, b).i;
}

// Lowest diode voltage the curve is defined at (the breakdown asymptote).
double vd_floor(const Breakdown& b) noexcept {
    return b.breakdown_factor > 0.0 ? b.breakdown_voltage * (1.0 - 1e-12) : -1e4;
}

}  // namespace

const char* diode_fit_error_text(DiodeFitError e) noexcept {
    switch (e) {
        case DiodeFitError::none: return "none";
        case DiodeFitError::datasheet_out_of_range: return "datasheet value out of range";
        case DiodeFitError::no_convergence: return "single-diode fit did not converge";
    }
    return "unknown";
}

DiodeFitError fit_desoto(const Datasheet& d, DesotoParameters& out) noexcept {
    const double vals[] = {d.i_sc, d.v_oc, d.i_mp, d.v_mp, d.alpha_sc, d.beta_voc};
    for (double v : vals)
        if (!std::isfinite(v)) return DiodeFitError::datasheet_out_of_range;
    if (!(d.i_sc > 0 && d.v_oc > 0 && d.i_mp > 0 && d.v_mp > 0 && d.i_mp < d.i_sc && d.v_mp < d.v_oc &&
          d.beta_voc < 0 && d.cells_in_series >= 1 && d.cells_in_series <= 100000 &&
          d.i_mp * d.v_mp < d.i_sc * d.v_oc))
        return DiodeFitError::datasheet_out_of_range;
    const double a0 = 1.5 * kBoltzmannEv * kTref * d.cells_in_series;
    const double io0 = d.i_sc * std::exp(-d.v_oc / a0);
    const double rs0 = (a0 * std::log1p((d.i_sc - d.i_mp) / io0) - d.v_mp) / d.i_mp;
    Vec5 x{d.i_sc, std::log(io0), rs0, std::log(100.0), a0};
    Vec5 y = desoto_residuals(x, d);
    double f = norm2(y);
    for (int it = 0; it < 300 && std::isfinite(f); ++it) {
        double worst = 0.0;
        for (double v : y) worst = std::max(worst, std::fabs(v));
        if (worst < 1e-12) break;
        std::array<Vec5, 5> J{};
        for (int k = 0; k < 5; ++k) {
            const double h = 1e-7 * std::max(std::fabs(x[k]), 1e-2);
            Vec5 xp = x, xm = x;
            xp[k] += h;
            xm[k] -= h;
            const Vec5 yp = desoto_residuals(xp, d), ym = desoto_residuals(xm, d);
            for (int r = 0; r < 5; ++r) J[r][k] = (yp[r] - ym[r]) / (2.0 * h);
        }
        Vec5 minus_y{};
        for (int r = 0; r < 5; ++r) minus_y[r] = -y[r];
        Vec5 dx{};
        if (!solve5(J, minus_y, dx)) return DiodeFitError::no_convergence;
        // Damped step: halve until the residual falls; a keeps its sign.
        double t = 1.0;
        bool moved = false;
        for (int h = 0; h < 40; ++h, t *= 0.5) {
            Vec5 xn = x;
            for (int k = 0; k < 5; ++k) xn[k] += t * dx[k];
            if (!(xn[4] > 0.0)) continue;
            const Vec5 yn = desoto_residuals(xn, d);
            const double fn = norm2(yn);
            if (std::isfinite(fn) && fn < f) {
                x = xn, y = yn, f = fn;
                moved = true;
                break;
            }
        }
        if (!moved) break;
    }
    double worst = 0.0;
    for (double v : y) worst = std::max(worst, std::fabs(v));
    if (!(worst < 1e-9) || !(x[2] >= 0.0)) return DiodeFitError::no_convergence;
    out.I_L_ref = x[0];
    out.I_o_ref = std::exp(x[1]);
    out.R_s = x[2];
    out.R_sh_ref = std::exp(x[3]);
    out.a_ref = x[4];
    out.alpha_sc = d.alpha_sc;
    out.cells_in_series = d.cells_in_series;
    return DiodeFitError::none;
}

CellParameters calcparams_cell(const DesotoParameters& p, double effective_irradiance, double temp_cell,
                               int halves) noexcept {
    const double T = temp_cell + 273.15;
    const double Eg = kEgRef * (1.0 + kdEgdT * (T - kTref));
    const double ns = p.cells_in_series;
    const double h = halves == 2 ? 2.0 : 1.0;
    CellParameters c;
    c.photocurrent = effective_irradiance / 1000.0 * (p.I_L_ref + p.alpha_sc * (T - kTref)) / h;
    c.saturation_current =
        p.I_o_ref * std::pow(T / kTref, 3) * std::exp(kEgRef / (kBoltzmannEv * kTref) - Eg / (kBoltzmannEv * T)) / h;
    c.nNsVth = p.a_ref * (T / kTref) / ns;
    c.resistance_series = p.R_s / ns * h;
    c.resistance_shunt = p.R_sh_ref * 1000.0 / std::max(effective_irradiance, 1e-6) / ns * h;
    return c;
}

CellPoint bishop88(double v_d, const CellParameters& c, const Breakdown& b) noexcept {
    const double g_sh = 1.0 / c.resistance_shunt;
    const double e = std::exp(v_d / c.nNsVth);
    double i_brk = 0.0, di_brk = 0.0;
    if (b.breakdown_factor != 0.0) {
        const double term = 1.0 - v_d / b.breakdown_voltage;
        // pvlib's default exponent 3.28 needs pow; the common integer 3 does not
        const double pw = b.breakdown_exp == 3.0 ? 1.0 / (term * term * term) : std::pow(term, -b.breakdown_exp);
        i_brk = b.breakdown_factor * v_d * g_sh * pw;
        di_brk = b.breakdown_factor * g_sh * (pw + v_d * b.breakdown_exp / b.breakdown_voltage * pw / term);
    }
    CellPoint p;
    p.i = c.photocurrent - c.saturation_current * (e - 1.0) - v_d * g_sh - i_brk;
    p.di_dvd = -c.saturation_current * e / c.nNsVth - g_sh - di_brk;
    p.v = v_d - p.i * c.resistance_series;
    p.dv_dvd = 1.0 - c.resistance_series * p.di_dvd;
    return p;
}

double cell_vd_oc(const CellParameters& c, const Breakdown& b) noexcept {
    return c.photocurrent > 0.0 ? cell_v_from_i(0.0, c, b) : 0.0;
}

// Safeguarded Newton on the diode voltage; returns v_d with i(v_d) = i.
static double vd_from_i(double i, const CellParameters& c, const Breakdown& b, double guess) noexcept {
    // From a close guess (the last solution of a neighbouring current) plain
    // Newton steps converge in two or three; the bracket below is the fallback.
    if (guess != 0.0 && guess > vd_floor(b)) {
        double vd = guess;
        for (int it = 0; it < 6; ++it) {
            const CellPoint p = bishop88(vd, c, b);
            const double f = p.i - i;
            if (std::fabs(f) <= 1e-13 * (1.0 + std::fabs(i))) return vd;
            const double next = vd - f / p.di_dvd;
            if (!(next > vd_floor(b)) || !std::isfinite(next)) break;
            if (std::fabs(next - vd) <= 1e-15 * (1.0 + std::fabs(vd))) return next;
            vd = next;
        }
    }
    double lo = vd_floor(b);
    double hi = std::max(0.0, c.nNsVth * std::log1p(std::max(c.photocurrent, 0.0) / c.saturation_current));
    double step = c.nNsVth;
    while (current_at(hi, c, b) > i && step < 1e3) hi += step, step *= 2.0;  // i falls without bound as v_d rises
    if (!(current_at(lo, c, b) >= i)) return lo;  // beyond the breakdown asymptote's reach
    double vd = (guess > lo && guess < hi) ? guess : std::clamp(0.0, lo, hi);
    for (int it = 0; it < 200; ++it) {
        const CellPoint p = bishop88(vd, c, b);
        const double f = p.i - i;
        if (f > 0.0) lo = vd; else hi = vd;
        if (std::fabs(f) <= 1e-13 * (1.0 + std::fabs(i))) return vd;
        double next = vd - f / p.di_dvd;
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (std::fabs(next - vd) <= 1e-15 * (1.0 + std::fabs(vd))) return next;
        vd = next;
        if (hi - lo <= 1e-15 * (1.0 + std::fabs(vd))) return vd;
    }
    return vd;
}

double cell_vd_from_i(double i, const CellParameters& c, const Breakdown& b, double vd_guess) noexcept {
    return vd_from_i(i, c, b, vd_guess);
}

double cell_v_from_i(double i, const CellParameters& c, const Breakdown& b, double vd_guess) noexcept {
    const double vd = vd_from_i(i, c, b, vd_guess);
    return vd - i * c.resistance_series;
}

CellMpp cell_mpp(const CellParameters& c, const Breakdown& b) noexcept {
    CellMpp m;
    if (!(c.photocurrent > 0.0)) return m;
    // dP/dv_d = i dv/dv_d + v di/dv_d falls through 0 once on (0, vd_oc).
    double lo = 0.0, hi = vd_from_i(0.0, c, b, 0.0);
    for (int it = 0; it < 80 && hi - lo > 1e-15; ++it) {
        const double mid = 0.5 * (lo + hi);
        const CellPoint p = bishop88(mid, c, b);
        if (p.i * p.dv_dvd + p.v * p.di_dvd > 0.0) lo = mid; else hi = mid;
    }
    const CellPoint p = bishop88(0.5 * (lo + hi), c, b);
    m.i_mp = p.i, m.v_mp = p.v, m.p_mp = p.i * p.v;
    return m;
}

}  // namespace qm::pv
