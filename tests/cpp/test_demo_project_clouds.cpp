// The demo's year with clouds: decomposition model, monthly clearness,
// realistic totals, determinism and the untouched clear-sky columns.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "kernels/demo/demo_project.hpp"

namespace demo = qm::demo;

namespace {

struct Row {
    int month = 0;
    double ext_h = 0, ghi = 0, dni = 0, dhi = 0;
    std::string other;  // temperature .. wind fields outside radiation
};

std::vector<Row> rows(const std::string& epw) {
    std::vector<Row> out;
    std::istringstream in(epw);
    std::string line;
    for (int i = 0; i < 8 && std::getline(in, line); ++i) {
    }
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        for (std::string x; std::getline(ss, x, ',');) f.push_back(x);
        Row r;
        r.month = std::stoi(f[1]);
        r.ext_h = std::stod(f[10]);
        r.ghi = std::stod(f[13]);
        r.dni = std::stod(f[14]);
        r.dhi = std::stod(f[15]);
        for (size_t k = 0; k < f.size(); ++k)
            if (k < 13 || k > 15) r.other += f[k] + ",";
        out.push_back(r);
    }
    return out;
}

demo::WeatherOptions vienna() {
    demo::WeatherOptions o;
    o.latitude = 48.21, o.longitude = 16.37, o.time_zone = 1;
    return o;
}

}  // namespace

TEST(DemoClouds, ErbsDiffuseFraction) {
    EXPECT_DOUBLE_EQ(demo::erbs_diffuse_fraction(0.0), 1.0);
    EXPECT_DOUBLE_EQ(demo::erbs_diffuse_fraction(0.1), 1.0 - 0.009);
    EXPECT_DOUBLE_EQ(demo::erbs_diffuse_fraction(0.9), 0.165);
    // The published polynomial at kt = 0.5 and continuity at the two joints.
    const double k = 0.5;
    EXPECT_NEAR(demo::erbs_diffuse_fraction(k),
                0.9511 - 0.1604 * k + 4.388 * k * k - 16.638 * k * k * k + 12.336 * k * k * k * k, 1e-15);
    EXPECT_NEAR(demo::erbs_diffuse_fraction(0.22), demo::erbs_diffuse_fraction(0.2200001), 1e-3);
    EXPECT_NEAR(demo::erbs_diffuse_fraction(0.80), demo::erbs_diffuse_fraction(0.8000001), 2e-2);
    for (double x = 0.0; x <= 1.0; x += 0.01) {
        EXPECT_GT(demo::erbs_diffuse_fraction(x), 0.1) << x;
        EXPECT_LE(demo::erbs_diffuse_fraction(x), 1.0) << x;
    }
}

TEST(DemoClouds, MonthlyClearnessFollowsTheSeasonsOfEachHemisphere) {
    EXPECT_NEAR(demo::monthly_clearness(48.0, 1), 0.34, 0.02);
    EXPECT_NEAR(demo::monthly_clearness(48.0, 7), 0.55, 0.02);
    EXPECT_NEAR(demo::monthly_clearness(-48.0, 1), demo::monthly_clearness(48.0, 7), 0.02);
    EXPECT_NEAR(demo::monthly_clearness(0.0, 3), demo::monthly_clearness(0.0, 9), 1e-12);
}

TEST(DemoClouds, RealisticYearAtTheDemoSite) {
    const auto o = vienna();
    const std::string text = demo::cloudy_epw(o);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text, demo::cloudy_epw(o));  // seeded: the same every time
    const auto cloudy = rows(text), clear = rows(demo::clear_sky_epw(o));
    ASSERT_EQ(cloudy.size(), 8760u);
    ASSERT_EQ(clear.size(), 8760u);
    double ghi = 0, dhi = 0, dni = 0;
    std::vector<double> month_g(13, 0.0), month_e(13, 0.0);
    for (size_t i = 0; i < cloudy.size(); ++i) {
        const Row &c = cloudy[i], &s = clear[i];
        EXPECT_EQ(c.other, s.other) << i;  // temperature, wind and the rest unchanged by clouds
        EXPECT_LE(c.ghi, s.ghi + 0.5) << i;
        EXPECT_LE(c.dni, s.dni + 0.5) << i;
        EXPECT_LE(c.dhi, c.ghi + 0.5) << i;
        EXPECT_GE(c.dhi, 0.0);
        ghi += c.ghi, dhi += c.dhi, dni += c.dni;
        month_g[c.month] += c.ghi, month_e[c.month] += c.ext_h;
    }
    // Central Europe at 48 N: about 1,100-1,300 kWh/m2 global a year, about
    // half of it diffuse.
    EXPECT_GT(ghi / 1000, 1050.0);
    EXPECT_LT(ghi / 1000, 1300.0);
    EXPECT_GT(dhi / ghi, 0.40);
    EXPECT_LT(dhi / ghi, 0.60);
    EXPECT_GT(dni / 1000, 800.0);
    EXPECT_LT(dni / 1000, 1400.0);
    // Monthly clearness near the model's (the clear-sky cap takes a little).
    for (int m = 1; m <= 12; ++m)
        EXPECT_NEAR(month_g[m] / month_e[m], demo::monthly_clearness(o.latitude, m), 0.05) << m;
    auto other = o;
    other.seed = 2;
    EXPECT_NE(demo::cloudy_epw(other), text);
    other.latitude = 120.0;
    EXPECT_EQ(demo::cloudy_epw(other), "");
}
