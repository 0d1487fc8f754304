// Battery, bus balance and load profiles of the building's energy system.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "kernels/energy/battery.hpp"
#include "kernels/energy/bus.hpp"
#include "kernels/energy/load_profile.hpp"

namespace {
using namespace qm::energy;

BatterySpec ten_kwh() {
    BatterySpec s;
    s.capacity = 10.0;
    s.max_charge_power = 3.0;
    s.max_discharge_power = 4.0;
    s.charge_efficiency = 0.95;
    s.discharge_efficiency = 0.9;
    s.soc_min = 0.1;
    s.soc_max = 0.9;
    s.soc_initial = 0.5;
    return s;
}

TEST(Battery, ChecksItsSpecification) {
    EXPECT_EQ(check_battery(ten_kwh()), BatteryError::none);
    BatterySpec s = ten_kwh();
    s.capacity = -1;
    EXPECT_EQ(check_battery(s), BatteryError::negative_capacity);
    s = ten_kwh();
    s.max_discharge_power = -0.1;
    EXPECT_EQ(check_battery(s), BatteryError::negative_power);
    s = ten_kwh();
    s.charge_efficiency = 0.0;
    EXPECT_EQ(check_battery(s), BatteryError::efficiency_out_of_range);
    s = ten_kwh();
    s.soc_min = 0.95;
    EXPECT_EQ(check_battery(s), BatteryError::soc_limits_out_of_order);
    s = ten_kwh();
    s.soc_initial = 0.05;
    EXPECT_EQ(check_battery(s), BatteryError::soc_initial_outside);
    s = ten_kwh();
    s.self_discharge = 1.0;
    EXPECT_EQ(check_battery(s), BatteryError::self_discharge_out_of_range);
    EXPECT_STREQ(battery_error_text(BatteryError::soc_initial_outside), "soc_initial outside [soc_min, soc_max]");
}

TEST(Battery, PowerLimitsAndEfficienciesEnterAsStated) {
    BatterySpec s = ten_kwh();
    BatteryState st = initial_state(s);
    EXPECT_DOUBLE_EQ(st.stored, 5.0);
    BatteryStep a = step_battery(s, st, 5.0, 0.0, 1.0);  // more than the charge limit on offer
    EXPECT_DOUBLE_EQ(a.charge_power, 3.0);
    EXPECT_DOUBLE_EQ(st.stored, 5.0 + 3.0 * 0.95);
    BatteryStep b = step_battery(s, st, 0.0, 1.0, 1.0);  // a small deficit is served whole
    EXPECT_DOUBLE_EQ(b.discharge_power, 1.0);
    EXPECT_DOUBLE_EQ(st.stored, 5.0 + 3.0 * 0.95 - 1.0 / 0.9);
    BatteryStep c = step_battery(s, st, 0.0, 10.0, 0.25);  // a quarter hour at the discharge limit
    EXPECT_DOUBLE_EQ(c.discharge_power, 4.0);
    EXPECT_EQ(c.charge_power, 0.0);
}

TEST(Battery, NeverLeavesItsStateOfChargeOrPowerLimits) {
    BatterySpec s = ten_kwh();
    s.self_discharge = 0.02;
    BatteryState st = initial_state(s);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> p(-6.0, 6.0);
    for (int i = 0; i < 20000; ++i) {
        double x = p(rng);
        BatteryStep r = step_battery(s, st, x > 0 ? x : 0.0, x < 0 ? -x : 0.0, 1.0);
        ASSERT_LE(r.charge_power, s.max_charge_power);
        ASSERT_LE(r.discharge_power, s.max_discharge_power);
        ASSERT_GE(r.charge_power, 0.0);
        ASSERT_GE(r.discharge_power, 0.0);
        ASSERT_LE(st.stored, s.soc_max * s.capacity);
        ASSERT_GE(st.stored, 0.0);
        // Only self-discharge may take it below the dispatch limit; discharging never does.
        if (r.discharge_power > 0.0) {
            ASSERT_GE(st.stored, s.soc_min * s.capacity);
        }
    }
    // A long run charges and discharges: cycles counted inside the battery.
    EXPECT_GT(equivalent_full_cycles(s, st), 100.0);
    EXPECT_NEAR(equivalent_full_cycles(s, st), (st.charged + st.discharged) / 2.0 / 8.0, 1e-9);
}

TEST(Battery, FillsAndEmptiesExactlyToItsLimits) {
    BatterySpec s = ten_kwh();
    BatteryState st = initial_state(s);
    for (int i = 0; i < 10; ++i) step_battery(s, st, 3.0, 0.0, 1.0);
    EXPECT_EQ(st.stored, 9.0);
    for (int i = 0; i < 10; ++i) step_battery(s, st, 0.0, 4.0, 1.0);
    EXPECT_EQ(st.stored, 1.0);
}

TEST(Battery, SelfDischargeIsAFractionPerDay) {
    BatterySpec s = ten_kwh();
    s.self_discharge = 0.1;
    BatteryState st = initial_state(s);
    double lost = 0.0;
    for (int i = 0; i < 24; ++i) lost += step_battery(s, st, 0.0, 0.0, 1.0).self_discharge;
    EXPECT_NEAR(st.stored, 4.5, 1e-12);
    EXPECT_NEAR(lost, 0.5, 1e-12);
}

TEST(Battery, ZeroCapacityOrNegativeAndNanOffersExchangeNothing) {
    BatterySpec s = ten_kwh();
    s.capacity = 0.0;
    BatteryState st = initial_state(s);
    BatteryStep r = step_battery(s, st, 5.0, 0.0, 1.0);
    EXPECT_EQ(r.charge_power, 0.0);
    EXPECT_EQ(equivalent_full_cycles(s, st), 0.0);
    BatterySpec t = ten_kwh();
    BatteryState u = initial_state(t);
    r = step_battery(t, u, NAN, -3.0, 1.0);
    EXPECT_EQ(r.charge_power, 0.0);
    EXPECT_EQ(r.discharge_power, 0.0);
    EXPECT_EQ(u.stored, 5.0);
}

StepBalance step(double gen, double load) {
    StepBalance b;
    add_generator(gen, b);
    add_load(load, b);
    return b;
}

TEST(Bus, SelfConsumptionFirstThenBatteryThenGrid) {
    GridSpec g;
    g.feed_in_limit = 2.0;
    StepBalance b = step(6.0, 1.0);
    settle(b, nullptr, nullptr, g, 1.0);
    EXPECT_EQ(b.own_use, 1.0);
    EXPECT_EQ(b.grid_export, 2.0);
    EXPECT_EQ(b.curtailed, 3.0);  // curtailed at the feed-in limit
    EXPECT_EQ(b.grid_import, 0.0);
    BatterySpec s = ten_kwh();
    BatteryState st = initial_state(s);
    b = step(6.0, 1.0);
    settle(b, &s, &st, g, 1.0);
    EXPECT_EQ(b.charge, 3.0);
    EXPECT_EQ(b.grid_export, 2.0);
    EXPECT_EQ(b.curtailed, 0.0);
    b = step(0.5, 3.0);
    settle(b, &s, &st, g, 1.0);
    EXPECT_EQ(b.own_use, 0.5);
    EXPECT_EQ(b.discharge, 2.5);
    EXPECT_EQ(b.grid_import, 0.0);
    b = step(0.0, 4.5);  // the rest of the usable content, less than the power limit, then the grid
    const double available = (st.stored - 1.0) * 0.9;
    ASSERT_LT(available, 4.0);
    settle(b, &s, &st, g, 1.0);
    EXPECT_DOUBLE_EQ(b.discharge, available);
    EXPECT_DOUBLE_EQ(b.grid_import, 4.5 - available);
    EXPECT_EQ(st.stored, 1.0);
    b = step(0.0, 6.0);  // an empty battery gives nothing
    settle(b, &s, &st, g, 1.0);
    EXPECT_EQ(b.discharge, 0.0);
    EXPECT_EQ(b.grid_import, 6.0);
}

TEST(Bus, BothBalancesCloseOverAYearOfRandomSteps) {
    BatterySpec s = ten_kwh();
    s.self_discharge = 0.01;
    BatteryState st = initial_state(s);
    GridSpec g;
    g.feed_in_limit = 3.5;
    g.import_price = 0.3;
    g.export_price = 0.08;
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> gen(0.0, 9.0), load(0.0, 5.0);
    BalanceTotals t;
    for (int i = 0; i < 8760; ++i) {
        StepBalance b = step(gen(rng), load(rng));
        settle(b, &s, &st, g, 1.0);
        ASSERT_LE(b.grid_export, 3.5);
        ASSERT_TRUE(b.grid_import == 0.0 || b.grid_export == 0.0);
        t.add(b, 1.0, &s, g);
    }
    EXPECT_LT(t.max_residual, 1e-12);
    EXPECT_NEAR(t.generation, t.own_use + t.charge + t.grid_export + t.curtailed, 1e-8);
    EXPECT_NEAR(t.demand, t.own_use + t.discharge + t.grid_import, 1e-8);
    EXPECT_NEAR(t.cost, 0.3 * t.grid_import, 1e-8);
    EXPECT_NEAR(t.revenue, 0.08 * t.grid_export, 1e-8);
    EXPECT_NEAR(t.self_consumption(), 1.0 - (t.grid_export + t.curtailed) / t.generation, 1e-12);
    EXPECT_NEAR(t.self_sufficiency(), 1.0 - t.grid_import / t.demand, 1e-12);
    // Energy kept: stored - drawn = change of the content + self-discharge losses (not summed here: bounded).
    EXPECT_GT(t.cycles(&s), 10.0);
}

TEST(Bus, ZeroCapacityBatteryEqualsNoBattery) {
    BatterySpec s = ten_kwh();
    s.capacity = 0.0;
    BatteryState st = initial_state(s);
    GridSpec g;
    g.feed_in_limit = 1.0;
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> gen(0.0, 6.0), load(0.0, 4.0);
    for (int i = 0; i < 2000; ++i) {
        double x = gen(rng), y = load(rng);
        StepBalance a = step(x, y), b = step(x, y);
        settle(a, &s, &st, g, 1.0);
        settle(b, nullptr, nullptr, g, 1.0);
        ASSERT_EQ(a.grid_import, b.grid_import);
        ASSERT_EQ(a.grid_export, b.grid_export);
        ASSERT_EQ(a.curtailed, b.curtailed);
        ASSERT_EQ(a.charge, 0.0);
    }
}

TEST(Bus, NegativeGeneratorIsDemandAndNonFinitePowersAreSkipped) {
    StepBalance b;
    EXPECT_TRUE(add_generator(2.0, b));
    EXPECT_TRUE(add_generator(-0.1, b));
    EXPECT_FALSE(add_generator(NAN, b));
    EXPECT_FALSE(add_load(INFINITY, b));
    EXPECT_DOUBLE_EQ(b.generation, 2.0);
    EXPECT_DOUBLE_EQ(b.demand, 0.1);
    BalanceTotals t;
    EXPECT_TRUE(std::isnan(t.self_consumption()));
    EXPECT_TRUE(std::isnan(t.self_sufficiency()));
}

StepGrid hours(size_t n, double begin = 0.0, int year = 2025) {
    StepGrid g;
    g.start_year = year;
    g.begin_s = begin;
    g.dt_s = 3600.0;
    g.n_steps = n;
    return g;
}

TEST(LoadProfile, ReadsValuesHeaderUnitsAndStamps) {
    LoadTable t;
    LoadIssue i = read_load_table("# measured\ndemand [W]\n500\n1000\n\n250\n", 2025, t);
    ASSERT_EQ(i.error, LoadError::none);
    ASSERT_EQ(t.values.size(), 3u);
    EXPECT_TRUE(t.header_unit);
    std::vector<double> kw;
    ASSERT_EQ(load_steps(t, LoadUnit::kW, hours(3), 0.0, kw).error, LoadError::none);
    EXPECT_DOUBLE_EQ(kw[1], 1.0);
    // Energy per quarter-hour step in kWh -> kW.
    ASSERT_EQ(read_load_table("0.25\n0.5\n", 2025, t).error, LoadError::none);
    StepGrid q = hours(2);
    q.dt_s = 900.0;
    ASSERT_EQ(load_steps(t, LoadUnit::kWh, q, 0.0, kw).error, LoadError::none);
    EXPECT_DOUBLE_EQ(kw[0], 1.0);
    EXPECT_DOUBLE_EQ(kw[1], 2.0);
    // Stamped, starting before the run.
    ASSERT_EQ(read_load_table("time;load [kW]\n2025-03-01 00:00;1\n2025-03-01 01:00;2\n2025-03-01T02:00:00;3\n", 2025, t)
                  .error,
              LoadError::none);
    ASSERT_EQ(load_steps(t, LoadUnit::kW, hours(2, (31 + 28) * 86400.0 + 3600.0), 0.0, kw).error, LoadError::none);
    EXPECT_EQ(kw[0], 2.0);
    EXPECT_EQ(kw[1], 3.0);
}

TEST(LoadProfile, FaultyTablesAreNamedWithLineAndField) {
    LoadTable t;
    LoadIssue i = read_load_table("load\n1\nx\n", 2025, t);
    EXPECT_EQ(i.error, LoadError::bad_number);
    EXPECT_EQ(i.line, 3u);
    EXPECT_EQ(i.token, "x");
    EXPECT_EQ(read_load_table("1\n-2\n", 2025, t).error, LoadError::negative);
    EXPECT_EQ(read_load_table("1\nnan\n", 2025, t).error, LoadError::not_finite);
    EXPECT_EQ(read_load_table("2025-01-01 00:00,1\n3\n", 2025, t).error, LoadError::mixed_rows);
    EXPECT_EQ(read_load_table("2025-13-01 00:00,1\n", 2025, t).error, LoadError::bad_stamp);
    i = read_load_table("p [MW]\n1\n", 2025, t);
    EXPECT_EQ(i.error, LoadError::unknown_unit);
    EXPECT_EQ(i.token, "MW");
    EXPECT_EQ(read_load_table("# only a comment\n", 2025, t).error, LoadError::empty);
    // A header in kWh under a table declared in kW.
    ASSERT_EQ(read_load_table("e [kWh]\n1\n", 2025, t).error, LoadError::none);
    std::vector<double> kw;
    i = load_steps(t, LoadUnit::kW, hours(1), 0.0, kw);
    EXPECT_EQ(i.error, LoadError::unit_mismatch);
    EXPECT_EQ(i.token, "kWh");
    // A missing row among stamps.
    ASSERT_EQ(read_load_table("2025-01-01 00:00,1\n2025-01-01 01:00,1\n2025-01-01 03:00,1\n", 2025, t).error,
              LoadError::none);
    i = load_steps(t, LoadUnit::kW, hours(3), 0.0, kw);
    EXPECT_EQ(i.error, LoadError::gap);
    EXPECT_EQ(i.line, 3u);
    EXPECT_EQ(i.token, "2025-01-01 03:00");
    EXPECT_EQ(i.expected, "2025-01-01 02:00");
    // Another year.
    ASSERT_EQ(read_load_table("2023-01-01 00:00,1\n2023-01-01 01:00,1\n", 2025, t).error, LoadError::none);
    i = load_steps(t, LoadUnit::kW, hours(2), 0.0, kw);
    EXPECT_EQ(i.error, LoadError::other_period);
    EXPECT_EQ(i.token, "2023-01-01 00:00 .. 2023-01-01 01:00");
    EXPECT_EQ(i.expected, "2025-01-01 00:00 .. 2025-01-01 01:00");
    // Unstamped rows that are neither the steps nor a year.
    ASSERT_EQ(read_load_table("1\n2\n3\n", 2025, t).error, LoadError::none);
    i = load_steps(t, LoadUnit::kW, hours(5), 0.0, kw);
    EXPECT_EQ(i.error, LoadError::row_count);
    EXPECT_EQ(i.count, 3u);
}

TEST(LoadProfile, AYearOfRowsIsTakenByTimeOfYearAndScaled) {
    std::string text;
    for (int h = 0; h < 8760; ++h) text += std::to_string(h % 24 == 12 ? 2.0 : 1.0) + "\n";
    LoadTable t;
    ASSERT_EQ(read_load_table(text, 2025, t).error, LoadError::none);
    std::vector<double> kw;
    // A one-day run in July takes July's rows; scaled so that the file's year holds 3650 kWh.
    const double begin = 181 * 86400.0;
    ASSERT_EQ(load_steps(t, LoadUnit::kW, hours(24, begin), 3650.0, kw).error, LoadError::none);
    const double base = 3650.0 / (8760.0 + 365.0);
    EXPECT_NEAR(kw[0], base, 1e-12);
    EXPECT_NEAR(kw[12], 2.0 * base, 1e-12);
}

TEST(LoadProfile, StandardProfilesHoldTheirAnnualEnergyAndShape) {
    for (StandardProfile kind : {StandardProfile::household, StandardProfile::commercial}) {
        std::vector<double> p = standard_profile(kind, hours(8760), 4000.0);
        double sum = 0.0;
        for (double v : p) {
            ASSERT_GT(v, 0.0);
            sum += v;
        }
        EXPECT_NEAR(sum, 4000.0, 1e-6);
    }
    std::vector<double> h = standard_profile(StandardProfile::household, hours(8760), 3500.0);
    // Evening peak above the night base; winter above summer.
    EXPECT_GT(h[24 * 14 + 19], 2.5 * h[24 * 14 + 3]);
    double jan = 0.0, jul = 0.0;
    for (int i = 0; i < 24 * 28; ++i) jan += h[i], jul += h[181 * 24 + i];
    EXPECT_GT(jan, 1.3 * jul);
    // Commercial: a weekday (Wed 1 Jan 2025) above a Sunday (5 Jan) at 11:00.
    std::vector<double> c = standard_profile(StandardProfile::commercial, hours(24 * 7), 10000.0);
    EXPECT_GT(c[11], 3.0 * c[4 * 24 + 11]);
    EXPECT_EQ(day_of_week(2025, 1, 1), 2);
    EXPECT_EQ(day_of_week(2024, 2, 29), 3);
}

}  // namespace

namespace {
using namespace qm::energy;

TEST(LoadProfile, OverflowAndNoStepLengthAreRefusedNotPropagated) {
    LoadTable t;
    ASSERT_EQ(read_load_table("1e308\n", 2025, t).error, LoadError::none);
    StepGrid g;
    g.n_steps = 1;
    g.dt_s = 900.0;
    std::vector<double> kw;
    LoadIssue i = load_steps(t, LoadUnit::kWh, g, 0.0, kw);  // x4 per hour overflows
    EXPECT_EQ(i.error, LoadError::not_finite);
    EXPECT_EQ(i.line, 1u);
    g.dt_s = 0.0;
    EXPECT_NE(load_steps(t, LoadUnit::kW, g, 0.0, kw).error, LoadError::none);
    EXPECT_EQ(standard_profile(StandardProfile::household, g, 1000.0), std::vector<double>(1, 0.0));
}

}  // namespace
