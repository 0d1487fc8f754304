// Power curve of the small wind turbine.
#include <gtest/gtest.h>

#include <cmath>

#include "kernels/wind/power_curve.hpp"

namespace {

constexpr double kFactor = 0.5037622359847573;  // W per (m/s)^3 with the default curve

TEST(WindPower, CubicCurveWithTheDefaultFactor) {
    EXPECT_EQ(qm::wind::small_wind_power(10.0), 1000.0 * kFactor);
    EXPECT_EQ(qm::wind::small_wind_power(3.0), std::pow(3.0, 3.0) * kFactor);
    EXPECT_EQ(qm::wind::small_wind_power(18.0), std::pow(18.0, 3.0) * kFactor);
    EXPECT_NEAR(qm::wind::small_wind_power(18.0), 2937.94, 0.01);
    EXPECT_NEAR(qm::wind::small_wind_power(10.0) / 1000.0, 0.50376, 1e-5);
}

TEST(WindPower, CutInAndCutOutAreInclusive) {
    EXPECT_EQ(qm::wind::small_wind_power(2.99), 0.0);
    EXPECT_GT(qm::wind::small_wind_power(3.0), 0.0);
    EXPECT_GT(qm::wind::small_wind_power(18.0), 0.0);
    EXPECT_EQ(qm::wind::small_wind_power(18.01), 0.0);
    EXPECT_EQ(qm::wind::small_wind_power(-5.0), 0.0);
    EXPECT_EQ(qm::wind::small_wind_power(INFINITY), 0.0);
    EXPECT_TRUE(std::isnan(qm::wind::small_wind_power(NAN)));
}

TEST(WindPower, CurveParametersEnterAsDocumented) {
    qm::wind::TurbineCurve c;
    c.rotor_radius = 2.0;  // four times the swept area
    EXPECT_NEAR(qm::wind::small_wind_power(10.0, c), 4.0 * qm::wind::small_wind_power(10.0), 1e-9);
    c = {};
    c.cut_in_speed = 5.0;
    c.cut_out_speed = 6.0;
    EXPECT_EQ(qm::wind::small_wind_power(4.0, c), 0.0);
    EXPECT_EQ(qm::wind::small_wind_power(5.0, c), 125.0 * kFactor);
    EXPECT_EQ(qm::wind::small_wind_power(7.0, c), 0.0);
}

}  // namespace
