// PV conversion kernels against pvlib 0.16 (iam, temperature, pvsystem,
// inverter) on grids of inputs; the reference values were computed with those
// functions and pasted here.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kernels/pv/cell_temperature.hpp"
#include "kernels/pv/chain.hpp"
#include "kernels/pv/dc.hpp"
#include "kernels/pv/iam.hpp"
#include "kernels/pv/inverter.hpp"
#include "kernels/pv/losses.hpp"

namespace {
using namespace qm::pv;

const std::vector<double> kAoi = {0, 10, 30, 45, 60, 70, 80, 85, 89, 89.9, 90, 120};

void expect_all(const std::vector<double>& want, double (*f)(double), double tol = 1e-13) {
    ASSERT_EQ(want.size(), kAoi.size());
    for (size_t i = 0; i < kAoi.size(); ++i) EXPECT_NEAR(f(kAoi[i]), want[i], tol) << "aoi " << kAoi[i];
}

TEST(Iam, PhysicalMatchesPvlibWithDeSotoDefaultsAndOtherCovers) {
    expect_all({1.0, 0.9999308870740294, 0.9978868630200604, 0.9879778814862917, 0.9460029142226124,
                0.8597201902165214, 0.6341166932367229, 0.40087915031774435, 0.09922519330755941,
                0.010448711210737314, 0.0, 0.0},
               [](double a) { return iam_physical(a); }, 1e-12);
    expect_all({1.0, 0.9996289358526189, 0.9957104099188694, 0.9854928182952046, 0.9499438250271348,
                0.8752496398121619, 0.6611548854404861, 0.42383708741630366, 0.10593814206465739,
                0.011175305247344012, 0.0, 0.0},
               [](double a) { return iam_physical(a, 1.3, 10.0, 0.004); }, 1e-12);
}

TEST(Iam, AshraeAndMartinRuizMatchPvlib) {
    expect_all({1.0, 0.9992286694057128, 0.9922649730810374, 0.9792893218813452, 0.9500000000000001,
                0.9038097799918456, 0.7620614758428185, 0.476314337716507, 0.0, 0.0, 0.0, 0.0},
               [](double a) { return iam_ashrae(a); });
    expect_all({1.0, 0.9984573388114255, 0.9845299461620749, 0.9585786437626905, 0.9, 0.8076195599836914,
                0.5241229516856369, 0.0, 0.0, 0.0, 0.0, 0.0},
               [](double a) { return iam_ashrae(a, 0.1); });
    expect_all({1.0, 0.9998073441001146, 0.9974657950464362, 0.9898696522816436, 0.9579122720843811,
                0.8837715807874356, 0.6634807637212051, 0.42081016041467934, 0.10353898976262323,
                0.010870006549649463, 0.0, 0.0},
               [](double a) { return iam_martin_ruiz(a); });
    expect_all({1.0, 0.9988310529364908, 0.9867722509692431, 0.9584488565886415, 0.8807970779778825,
                0.759312118949664, 0.5100643982444284, 0.2998324895196509, 0.06868670021961022,
                0.007086799975205032, 0.0, 0.0},
               [](double a) { return iam_martin_ruiz(a, 0.25); });
}

TEST(Iam, NanPassesAndLightFromBehindIsZeroAndParametersAreChecked) {
    IamParameters p;
    for (IamModel m : {IamModel::physical, IamModel::ashrae, IamModel::martin_ruiz, IamModel::no_loss}) {
        p.model = m;
        EXPECT_TRUE(std::isnan(iam(p, NAN)));
        EXPECT_EQ(iam(p, 0.0), 1.0);
        if (m != IamModel::no_loss) {
            EXPECT_EQ(iam(p, -95.0), 0.0);
        }
        EXPECT_EQ(check_iam(p), IamError::none);
    }
    p.model = IamModel::physical, p.n = 0.9;
    EXPECT_EQ(check_iam(p), IamError::parameter_out_of_range);
    p.model = IamModel::martin_ruiz, p.a_r = 0.0;
    EXPECT_EQ(check_iam(p), IamError::parameter_out_of_range);
    p.model = IamModel::ashrae, p.b = NAN;
    EXPECT_EQ(check_iam(p), IamError::parameter_out_of_range);
}

TEST(Iam, IntegratedSkyAndGroundModifiersMatchPvlibMarionDiffuse) {
    const std::vector<double> tilts = {0, 20, 35, 60, 90, 135, 180};
    struct Case {
        IamModel model;
        std::vector<double> sky, ground;
    };
    const std::vector<Case> cases = {
        {IamModel::physical,
         {0.9443942400958762, 0.9539178294437552, 0.9587871231479573, 0.9580332303087437, 0.9444047946322089,
          0.8556609262627952, 0.0},
         {0.0, 0.6387140117795883, 0.7998463278035003, 0.9035673854134292, 0.9444047946322017,
          0.9596471972901099, 0.9443942400958169}},
        {IamModel::ashrae,
         {0.9523611991066201, 0.9596085829811148, 0.962763871155045, 0.9627083168778832, 0.952373147393825,
          0.8873340921587084, 0.0},
         {0.0, 0.7198235591063104, 0.8479195935093028, 0.9214001344066197, 0.9523731473938241,
          0.9635425808609058, 0.9523611991068273}},
        {IamModel::martin_ruiz,
         {0.9513302399795435, 0.9602531991221321, 0.9642826656160315, 0.963344572683357, 0.951341058948115,
          0.8725790146728988, 0.0},
         {0.0, 0.664982046582842, 0.8212762097388907, 0.9153792876163147, 0.9513410589481166,
          0.9648710423399137, 0.9513302399795318}},
    };
    for (const Case& c : cases) {
        IamParameters p;
        p.model = c.model;
        for (size_t i = 0; i < tilts.size(); ++i) {
            DiffuseIam d = marion_diffuse(p, tilts[i]);
            EXPECT_NEAR(d.sky, c.sky[i], 1e-11) << int(c.model) << " tilt " << tilts[i];
            EXPECT_NEAR(d.ground, c.ground[i], 1e-11) << int(c.model) << " tilt " << tilts[i];
        }
    }
    IamParameters none;
    none.model = IamModel::no_loss;
    EXPECT_EQ(marion_diffuse(none, 35.0).sky, 1.0);
    EXPECT_EQ(marion_diffuse(none, 35.0).ground, 1.0);
}

// poa_global, temp_air, wind_speed of the temperature grid.
const double kPoa[] = {0, 200, 800, 1000}, kAir[] = {-5, 20, 35, 10}, kWind[] = {0, 1, 5, 10};

TEST(CellTemperature, EachModelMatchesPvlib) {
    const double faiman_ref[] = {-5.0, 26.28140703517588, 48.513513513513516, 20.70663811563169};
    const double close_ref[] = {-5.0, 29.711566475672527, 67.05898853891159, 42.890409156689906};
    const double sapm_ref[] = {-5.0, 26.464500818500195, 55.89705865214733, 30.180160847232113};
    const double pvsyst_ref[] = {-5.0, 25.586206896551722, 57.3448275862069, 37.93103448275862};
    const double pvsyst2_ref[] = {-5.0, 25.19083969465649, 52.54838709677419, 28.37837837837838};
    const double noct_ref[] = {-5.0, 26.046158098396905, 47.002743484224965, 19.206649831649834};
    TemperatureParameters close;
    faiman_preset(Mounting::close_mount, close.u0, close.u1);
    TemperatureParameters sapm, pvsyst, noct;
    sapm.model = TemperatureModel::sapm;
    pvsyst.model = TemperatureModel::pvsyst;
    noct.model = TemperatureModel::noct, noct.noct = 45.0, noct.module_efficiency = 0.2;
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(cell_temperature(TemperatureParameters{}, kPoa[i], kAir[i], kWind[i]), faiman_ref[i], 1e-12);
        EXPECT_NEAR(cell_temperature(close, kPoa[i], kAir[i], kWind[i]), close_ref[i], 1e-12);
        EXPECT_NEAR(cell_temperature(sapm, kPoa[i], kAir[i], kWind[i]), sapm_ref[i], 1e-12);
        EXPECT_NEAR(cell_temperature(pvsyst, kPoa[i], kAir[i], kWind[i]), pvsyst_ref[i], 1e-12);
        EXPECT_NEAR(pvsyst_cell(kPoa[i], kAir[i], kWind[i], 25.0, 1.2, 0.2, 0.85), pvsyst2_ref[i], 1e-12);
        EXPECT_NEAR(cell_temperature(noct, kPoa[i], kAir[i], kWind[i]), noct_ref[i], 1e-12);
    }
    // pvlib's documented example: sapm_cell(1000, 10, 0, open_rack_glass_glass) = 44.117...
    EXPECT_NEAR(sapm_cell(1000, 10, 0, -3.47, -0.0594, 3), 44.11703066106086, 1e-12);
}

TEST(CellTemperature, MountingPresetsRunHotterTheLessAirPassesBehind) {
    double u0[3], u1[3];
    faiman_preset(Mounting::open_rack, u0[0], u1[0]);
    faiman_preset(Mounting::close_mount, u0[1], u1[1]);
    faiman_preset(Mounting::insulated_back, u0[2], u1[2]);
    EXPECT_EQ(u0[0], 25.0);
    EXPECT_EQ(u1[0], 6.84);
    for (double w : {0.0, 1.0, 4.0}) {
        const double t0 = faiman(800, 20, w, u0[0], u1[0]), t1 = faiman(800, 20, w, u0[1], u1[1]),
                     t2 = faiman(800, 20, w, u0[2], u1[2]);
        EXPECT_LT(t0, t1);
        EXPECT_LT(t1, t2);
    }
    TemperatureParameters p;
    EXPECT_EQ(check_temperature(p), TemperatureError::none);
    p.u0 = 0.0;
    EXPECT_EQ(check_temperature(p), TemperatureError::parameter_out_of_range);
    p = {};
    p.model = TemperatureModel::pvsyst, p.module_efficiency = 1.0;
    EXPECT_EQ(check_temperature(p), TemperatureError::parameter_out_of_range);
}

TEST(PvwattsDc, MatchesPvlib) {
    const double g[] = {0, 500, 1000, 1000, 1100}, t[] = {25, 40, 25, 60, -10};
    const double ref[] = {0.0, 1.88, 4.0, 3.44, 5.016000000000001};
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(pvwatts_dc(g[i], t[i], 4.0, -0.004), ref[i], 1e-14);
    EXPECT_TRUE(std::isnan(pvwatts_dc(NAN, 25, 4.0, -0.004)));
}

TEST(PvwattsLosses, CombineAsPvlibWithItsDefaultsAndOurs) {
    PvwattsLosses l;
    EXPECT_NEAR(pvwatts_losses(l), 11.418206895118011, 1e-12);  // our default: no shading allowance
    l.shading = 3.0;
    EXPECT_NEAR(pvwatts_losses(l), 14.075660688264469, 1e-12);  // PVWatts' own defaults
    PvwattsLosses c{5, 1, 2, 0, 3, 1, 0, 0, 4, 0};
    EXPECT_NEAR(pvwatts_losses(c), 15.03050492800001, 1e-12);
    EXPECT_EQ(pvwatts_losses(PvwattsLosses{0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0.0);
    EXPECT_TRUE(losses_in_range(c));
    c.age = 101;
    EXPECT_FALSE(losses_in_range(c));
    c.age = NAN;
    EXPECT_FALSE(losses_in_range(c));
    EXPECT_STREQ(kLossNames[7], "nameplate_rating");
}

TEST(PvwattsInverter, PartLoadCurveAndClippingMatchPvlib) {
    const double pdc[] = {0, 0.01, 0.1, 0.5, 1, 2, 3.9, 4, 4.5, 5};
    const double ref[] = {0.0, 0.0, 0.07465177959946043, 0.46648957144339526, 0.9544713084984955,
                          1.9243831067759676, 3.744985700944277, 3.84, 3.84, 3.84};
    const double ref2[] = {0.0, 0.0, 0.07571207216494846, 0.473115206185567, 0.9680278350515464,
                           1.9517154639175256, 3.7981764020618556, 3.894540206185567, 3.92, 3.92};
    InverterParameters p;
    p.pdc0 = 4.0;
    InverterParameters q = p;
    q.eta_inv_nom = 0.98, q.eta_inv_ref = 0.97;
    for (int i = 0; i < 10; ++i) {
        AcPower a = pvwatts_ac(pdc[i], p);
        EXPECT_NEAR(a.ac, ref[i], 1e-13) << pdc[i];
        EXPECT_GE(a.before_clipping, a.ac);
        EXPECT_NEAR(pvwatts_ac(pdc[i], q).ac, ref2[i], 1e-13) << pdc[i];
    }
    // Clipping is what the curve gives above the AC rating 0.96 * 4 kW.
    AcPower a = pvwatts_ac(5.0, p);
    EXPECT_GT(a.before_clipping, 3.84);
    EXPECT_EQ(a.ac, 3.84);
    EXPECT_TRUE(std::isnan(pvwatts_ac(NAN, p).ac));
    InverterParameters ideal = p;
    ideal.lossless = true;
    EXPECT_EQ(pvwatts_ac(2.5, ideal).ac, 2.5);
    EXPECT_EQ(pvwatts_ac(5.0, ideal).ac, 4.0);
    EXPECT_EQ(check_inverter(p), InverterError::none);
    p.eta_inv_nom = 1.2;
    EXPECT_EQ(check_inverter(p), InverterError::parameter_out_of_range);
}

TEST(Chain, NeutralSettingsGiveTheSimpleModelsPower) {
    ChainSettings s;
    s.iam.model = IamModel::no_loss;
    s.gamma_pdc = 0.0;
    s.losses = 0.0;
    s.pdc0 = 20.0 * 0.2;  // area x efficiency [kW at 1000 W/m2]
    PlaneLight l;
    l.poa_direct = 400.0, l.poa_sky_diffuse = 60.0, l.poa_ground_diffuse = 10.0, l.aoi = 60.0;
    ChainResult r = run_chain(s, l, NAN, NAN);  // no weather needed without a temperature effect
    EXPECT_DOUBLE_EQ(r.dc, 470.0 * 20.0 * 0.2 / 1000.0);
    EXPECT_EQ(r.effective_irradiance, 470.0);
    EXPECT_TRUE(std::isnan(r.cell_temperature));
}

TEST(Chain, StagesFollowTheModelsAndTheTreeAddsUp) {
    ChainSettings s;
    s.pdc0 = 4.0;
    s.diffuse_iam = marion_diffuse(s.iam, 35.0);
    s.losses = 11.418206895118011;
    PlaneLight l;
    l.poa_direct = 500.0, l.poa_circumsolar = 100.0, l.poa_sky_diffuse = 150.0, l.poa_ground_diffuse = 20.0;
    l.aoi = 45.0, l.poa_beam_unshaded = 700.0, l.poa_diffuse_unshaded = 190.0;
    ChainResult r = run_chain(s, l, 20.0, 2.0);
    EXPECT_EQ(r.poa_global, 770.0);
    const double geff = 600.0 * iam_physical(45.0) + 150.0 * s.diffuse_iam.sky + 20.0 * s.diffuse_iam.ground;
    EXPECT_DOUBLE_EQ(r.effective_irradiance, geff);
    EXPECT_DOUBLE_EQ(r.cell_temperature, faiman(770.0, 20.0, 2.0));
    EXPECT_DOUBLE_EQ(r.dc_temperature, pvwatts_dc(geff, r.cell_temperature, 4.0, -0.004));
    EXPECT_DOUBLE_EQ(r.dc, r.dc_temperature * (1 - 0.11418206895118011));
    LossTree tree;
    EXPECT_TRUE(tree.add(l, r, 20.0, 1.0));
    EXPECT_TRUE(tree.add(l, r, 20.0, 0.5));
    EXPECT_DOUBLE_EQ(tree.energy[int(Stage::poa_unshaded)], 890.0 * 20.0 / 1000.0 * 1.5);
    EXPECT_DOUBLE_EQ(tree.energy[int(Stage::poa_beam_shaded)], 790.0 * 20.0 / 1000.0 * 1.5);
    EXPECT_DOUBLE_EQ(tree.energy[int(Stage::dc)], r.dc * 1.5);
    for (int i = 1; i < kStages; ++i)
        if (i != int(Stage::dc_stc)) {
            EXPECT_LT(tree.energy[i], tree.energy[i - 1]) << kStageNames[i];
        }
    // A step with no weather under a temperature model adds nothing anywhere.
    ChainResult bad = run_chain(s, l, NAN, 2.0);
    EXPECT_TRUE(std::isnan(bad.dc));
    LossTree before = tree;
    EXPECT_FALSE(tree.add(l, bad, 20.0, 1.0));
    EXPECT_EQ(tree.energy, before.energy);
}

}  // namespace
