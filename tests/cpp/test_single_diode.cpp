// Single-diode cells with reverse bias against pvlib 0.16 (fit_desoto with
// method 'lm', calcparams_desoto, singlediode.bishop88 and bishop88_mpp /
// bishop88_v_from_i with brentq); the reference values were computed with
// those functions and pasted here.
#include <gtest/gtest.h>

#include <cmath>

#include "kernels/pv/single_diode.hpp"

namespace {
using namespace qm::pv;

Datasheet module_60() {
    Datasheet d;
    d.v_mp = 31.0, d.i_mp = 8.9, d.v_oc = 38.3, d.i_sc = 9.43, d.alpha_sc = 0.0047, d.beta_voc = -0.118;
    d.cells_in_series = 60;
    return d;
}

DesotoParameters fitted() {
    DesotoParameters p;
    EXPECT_EQ(fit_desoto(module_60(), p), DiodeFitError::none);
    return p;
}

TEST(DesotoFit, MatchesPvlibAndPassesThroughTheDatasheetPoints) {
    const DesotoParameters p = fitted();
    EXPECT_NEAR(p.I_L_ref, 9.436705603129546, 1e-7);
    EXPECT_NEAR(p.I_o_ref / 4.5794973132778753e-11, 1.0, 1e-5);
    EXPECT_NEAR(p.R_s, 0.3232645555453098, 1e-6);
    EXPECT_NEAR(p.R_sh_ref / 454.6026426742465, 1.0, 1e-5);
    EXPECT_NEAR(p.a_ref, 1.4706737408176758, 1e-7);
    // The module's curve (60 equal cells) at STC: Isc, Voc and the MPP.
    const CellParameters c = calcparams_cell(p, 1000.0, 25.0);
    const Breakdown none{0.0, -15.0, 3.0};
    EXPECT_NEAR(60 * cell_v_from_i(0.0, c, none), 38.3, 1e-8);
    EXPECT_NEAR(cell_v_from_i(9.43, c, none), 0.0, 1e-10);
    const CellMpp m = cell_mpp(c, none);
    EXPECT_NEAR(m.i_mp, 8.9, 1e-6);
    EXPECT_NEAR(60 * m.v_mp, 31.0, 1e-6);
}

TEST(DesotoFit, RefusesImpossibleDatasheets) {
    DesotoParameters p;
    Datasheet d = module_60();
    d.i_mp = 9.5;  // above Isc
    EXPECT_EQ(fit_desoto(d, p), DiodeFitError::datasheet_out_of_range);
    d = module_60();
    d.beta_voc = 0.1;
    EXPECT_EQ(fit_desoto(d, p), DiodeFitError::datasheet_out_of_range);
    d = module_60();
    d.v_oc = std::nan("");
    EXPECT_EQ(fit_desoto(d, p), DiodeFitError::datasheet_out_of_range);
    d = module_60();
    d.cells_in_series = 0;
    EXPECT_EQ(fit_desoto(d, p), DiodeFitError::datasheet_out_of_range);
    EXPECT_STRNE(diode_fit_error_text(DiodeFitError::no_convergence), "unknown");
}

TEST(Bishop88, CellCurveWithBreakdownMatchesPvlib) {
    const DesotoParameters p = fitted();
    const CellParameters c = calcparams_cell(p, 800.0, 45.0);
    // pvlib calcparams_desoto(800, 45) divided by 60 cells
    EXPECT_NEAR(c.photocurrent, 7.6245644825036365, 1e-7);
    EXPECT_NEAR(c.saturation_current / 1.0756512057868314e-09, 1.0, 1e-5);
    EXPECT_NEAR(c.resistance_shunt * 60, 568.2533033428082, 1e-2);
    EXPECT_NEAR(c.nNsVth * 60, 1.5693270187527872, 1e-7);
    const Breakdown b;  // 2e-3, -15 V, 3
    const double pts[][3] = {{-14.0, 19.080723139770576, -14.10280202475435},
                             {-5.0, 8.156061613861342, -5.043942760543417},
                             {-0.5, 7.677474731897641, -0.5413642576152873},
                             {0.0, 7.6245644825036365, -0.041079190811051554},
                             {0.3, 7.592725737172991, 0.2590923481532556},
                             {0.55, 6.107342104992067, 0.517095212814443},
                             {0.62, -13.642873761111085, 0.6935042920457724}};
    for (const auto& q : pts) {
        const CellPoint r = bishop88(q[0], c, b);
        EXPECT_NEAR(r.i, q[1], 2e-5 * std::fabs(q[1]) + 1e-6) << "vd " << q[0];
        EXPECT_NEAR(r.v, q[2], 2e-5) << "vd " << q[0];
        // the inverse gives the voltage back, in breakdown too
        EXPECT_NEAR(cell_v_from_i(r.i, c, b), r.v, 1e-9) << "vd " << q[0];
        // derivatives against central differences
        const double h = 1e-6;
        const CellPoint up = bishop88(q[0] + h, c, b), dn = bishop88(q[0] - h, c, b);
        EXPECT_NEAR(r.di_dvd, (up.i - dn.i) / (2 * h), 1e-4 * (1 + std::fabs(r.di_dvd)));
        EXPECT_NEAR(r.dv_dvd, (up.v - dn.v) / (2 * h), 1e-4 * (1 + std::fabs(r.dv_dvd)));
    }
    const CellMpp m = cell_mpp(c, b);  // bishop88_mpp
    EXPECT_NEAR(m.i_mp, 7.148153917553305, 1e-5);
    EXPECT_NEAR(m.v_mp, 0.4790202734395322, 1e-6);
    EXPECT_NEAR(m.p_mp, 3.4241106441742475, 2e-6);
    EXPECT_NEAR(cell_v_from_i(0.0, c, b), 0.5930343907011012, 1e-7);
    EXPECT_NEAR(cell_v_from_i(3.0, c, b), 0.5636605001129625, 1e-7);
    EXPECT_NEAR(cell_v_from_i(7.5, c, b), 0.43182560000073095, 1e-6);
}

TEST(Bishop88, DarkCellAndHalfCutCells) {
    const DesotoParameters p = fitted();
    const Breakdown b;
    const CellParameters dark = calcparams_cell(p, 0.0, 25.0);
    EXPECT_EQ(dark.photocurrent, 0.0);
    EXPECT_TRUE(std::isfinite(dark.resistance_shunt));
    EXPECT_EQ(cell_mpp(dark, b).p_mp, 0.0);
    const double v = cell_v_from_i(5.0, dark, b);  // driven into breakdown, above -15 V
    EXPECT_LT(v, -1.0);
    EXPECT_GT(v, -15.0 - 5.0 * dark.resistance_series - 1e-9);
    // Two half-cells in parallel are the full cell: half the current at the same voltage.
    const CellParameters full = calcparams_cell(p, 900.0, 30.0, 1), half = calcparams_cell(p, 900.0, 30.0, 2);
    for (double i : {0.0, 2.0, 6.0, 8.0})
        EXPECT_NEAR(cell_v_from_i(i / 2, half, Breakdown{0, -15, 3}), cell_v_from_i(i, full, Breakdown{0, -15, 3}),
                    1e-10);
    EXPECT_NEAR(2 * cell_mpp(half, b).p_mp, cell_mpp(full, b).p_mp, 1e-6);
}

}  // namespace
