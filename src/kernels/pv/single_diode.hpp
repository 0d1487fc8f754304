// One PV cell as a single diode with reverse-bias breakdown, its parameters
// from a module's datasheet, and its curve at the operating conditions.
//
// Cell equation, written in the diode voltage v_d [V] as Bishop does (Bishop
// 1988, "Computer simulation of the effects of electrical mismatches in
// photovoltaic cell interconnection circuits", Solar Cells 25(1) 73-89,
// DOI 10.1016/0379-6787(88)90059-2; pvlib's bishop88 with its names):
//   i = photocurrent - saturation_current * (exp(v_d / nNsVth) - 1)
//       - v_d / resistance_shunt
//       - breakdown_factor * v_d / resistance_shunt * (1 - v_d / breakdown_voltage)^(-breakdown_exp)
//   v = v_d - i * resistance_series
// currents [A], voltages [V], resistances [ohm], nNsVth = n * k * T / q [V]
// of one cell. Between breakdown_voltage and the open circuit, i falls
// strictly as v_d rises and so does v (a cell's curve is one-to-one), which is
// what lets cells in series add voltages at a common current.
//
// Datasheet parameters (De Soto, Klein, Beckman 2006, "Improvement and
// validation of a model for photovoltaic array performance", Solar Energy
// 80(1) 78-88, DOI 10.1016/j.solener.2005.06.010): the five reference values
// I_L_ref, I_o_ref, R_s, R_sh_ref, a_ref of the module solve the five
// equations of pvlib's fit_desoto: the short circuit, the open circuit and
// the maximum power point pass through the curve, dP/dV = 0 there, and the
// open-circuit voltage 2 C warmer moves by beta_voc. Conditions (pvlib's
// calcparams_desoto): with T = temp_cell + 273.15 [K], Tr = 298.15 [K],
//   photocurrent  = S / 1000 * (I_L_ref + alpha_sc * (T - Tr))
//   saturation    = I_o_ref * (T / Tr)^3 * exp(EgRef / (k Tr) - Eg(T) / (k T)),
//                   Eg(T) = EgRef * (1 + dEgdT * (T - Tr)), EgRef 1.121 eV, dEgdT -0.0002677 1/K
//   nNsVth        = a_ref * T / Tr,  R_sh = R_sh_ref * 1000 / S,  R_s constant
// S the effective irradiance [W/m2]. A module of cells_in_series equal cells
// in series is one cell with nNsVth, R_s and R_sh times cells_in_series; a
// module of half-cut cells (two parallel halves of cells_in_series cells) has
// half-cells of half the currents and twice the resistances.
//
// What the implementation decides: the fit is a damped Newton iteration on
// (I_L, ln I_o, R_s, ln R_sh, a) with a finite-difference Jacobian, from
// pvlib's starting point (a = 1.5 k Tr Ns / q, R_sh 100, R_s through the MPP); it fails
// (DiodeFitError) rather than return parameters whose residuals are not below
// 1e-9 of Isc, or a negative R_s. The recombination term of pvlib's bishop88
// (d2mutau) is not modelled. A cell with no light (S = 0) keeps R_sh finite:
// S is floored at 1e-6 W/m2 for R_sh only.
#pragma once

namespace qm::pv {

struct Datasheet {
    double i_sc = 0.0, v_oc = 0.0, i_mp = 0.0, v_mp = 0.0;  // at STC [A], [V]
    double alpha_sc = 0.0;  // temperature coefficient of Isc [A/C]
    double beta_voc = 0.0;  // temperature coefficient of Voc [V/C]
    int cells_in_series = 60;
};

struct DesotoParameters {  // module reference values (pvlib's fit_desoto result)
    double I_L_ref = 0.0, I_o_ref = 0.0, R_s = 0.0, R_sh_ref = 0.0, a_ref = 0.0;
    double alpha_sc = 0.0;
    int cells_in_series = 60;
};

enum class DiodeFitError { none, datasheet_out_of_range, no_convergence };
const char* diode_fit_error_text(DiodeFitError e) noexcept;

// 0 < i_mp < i_sc, 0 < v_mp < v_oc, cells_in_series >= 1, beta_voc < 0,
// i_mp * v_mp below i_sc * v_oc, all finite.
DiodeFitError fit_desoto(const Datasheet& d, DesotoParameters& out) noexcept;

struct CellParameters {  // one cell at its operating conditions (pvlib's names)
    double photocurrent = 0.0, saturation_current = 0.0, resistance_series = 0.0;
    double resistance_shunt = 0.0, nNsVth = 0.0;
};

struct Breakdown {  // reverse bias (Bishop 1988); pvlib's partial shading example values
    double breakdown_factor = 2e-3;    // [-]
    double breakdown_voltage = -15.0;  // [V]
    double breakdown_exp = 3.0;        // [-]
};

// Cell parameters of a module's cell at effective irradiance [W/m2] and cell
// temperature [C]; `halves` 2 for half-cut cells (see above), else 1.
CellParameters calcparams_cell(const DesotoParameters& p, double effective_irradiance, double temp_cell,
                               int halves = 1) noexcept;

struct CellPoint {
    double i = 0.0, v = 0.0, di_dvd = 0.0, dv_dvd = 0.0;
};
// Current and voltage of the cell at diode voltage v_d, with derivatives.
CellPoint bishop88(double v_d, const CellParameters& c, const Breakdown& b) noexcept;

// Diode voltage where the cell's current is 0 (its open circuit) [V].
double cell_vd_oc(const CellParameters& c, const Breakdown& b) noexcept;

// Cell voltage at current i [V]: the v_d in (breakdown_voltage, vd_oc + 1]
// with i(v_d) = i, by safeguarded Newton steps; `vd_guess` speeds it up.
double cell_v_from_i(double i, const CellParameters& c, const Breakdown& b, double vd_guess = 0.0) noexcept;
// The diode voltage of that solution [V] (v = v_d - i * resistance_series).
double cell_vd_from_i(double i, const CellParameters& c, const Breakdown& b, double vd_guess = 0.0) noexcept;

struct CellMpp {
    double i_mp = 0.0, v_mp = 0.0, p_mp = 0.0;
};
// The cell's maximum power point (forward bias, breakdown terms included).
CellMpp cell_mpp(const CellParameters& c, const Breakdown& b) noexcept;

}  // namespace qm::pv
