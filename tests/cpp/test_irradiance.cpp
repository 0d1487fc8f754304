// Isotropic sky split on tilted planes.
#include <gtest/gtest.h>

#include <cmath>

#include "kernels/sun/irradiance.hpp"

namespace {

using qm::irradiance::IrradianceError;
using qm::irradiance::SkyAndGround;

SkyAndGround split(double nx, double ny, double nz, double d = 100.0, double rho = 0.2) {
    SkyAndGround r;
    EXPECT_EQ(qm::irradiance::sky_diffuse_and_ground_reflection(nx, ny, nz, d, rho, r), IrradianceError::none);
    return r;
}

TEST(Irradiance, PlanesOfKnownTilt) {
    SkyAndGround flat = split(0, 0, 1);
    EXPECT_DOUBLE_EQ(flat.sky, 100.0);
    EXPECT_DOUBLE_EQ(flat.ground, 0.0);
    SkyAndGround wall = split(1, 0, 0);
    EXPECT_DOUBLE_EQ(wall.sky, 50.0);
    EXPECT_DOUBLE_EQ(wall.ground, 0.2 * 50.0);
    SkyAndGround down = split(0, 0, -1);
    EXPECT_DOUBLE_EQ(down.sky, 0.0);
    EXPECT_DOUBLE_EQ(down.ground, 0.2 * 100.0);
    SkyAndGround tilt60 = split(0, std::sin(M_PI / 3), std::cos(M_PI / 3));  // 60 degrees
    EXPECT_NEAR(tilt60.sky, 75.0, 1e-12);
    EXPECT_NEAR(tilt60.ground, 0.2 * 25.0, 1e-12);
}

TEST(Irradiance, NormalLengthAndDegenerateNormals) {
    SkyAndGround unit = split(0, 0.6, 0.8);
    SkyAndGround scaled = split(0, 6e200, 8e200);  // no overflow in the length
    EXPECT_NEAR(unit.sky, scaled.sky, 1e-12);
    EXPECT_NEAR(unit.ground, scaled.ground, 1e-12);
    SkyAndGround tiny = split(0, 6e-200, 8e-200);  // no underflow either
    EXPECT_NEAR(unit.sky, tiny.sky, 1e-12);
    SkyAndGround zero = split(0, 0, 0);  // no orientation: horizontal
    EXPECT_DOUBLE_EQ(zero.sky, 100.0);
    EXPECT_DOUBLE_EQ(zero.ground, 0.0);
    EXPECT_DOUBLE_EQ(qm::irradiance::cos_tilt(0, 0, 2), 1.0);
}

TEST(Irradiance, NonFiniteInputsAreRefused) {
    SkyAndGround r;
    for (double bad : {NAN, INFINITY, -INFINITY}) {
        EXPECT_EQ(qm::irradiance::sky_diffuse_and_ground_reflection(bad, 0, 1, 100, 0.2, r), IrradianceError::not_finite);
        EXPECT_EQ(qm::irradiance::sky_diffuse_and_ground_reflection(0, 0, 1, bad, 0.2, r), IrradianceError::not_finite);
        EXPECT_EQ(qm::irradiance::sky_diffuse_and_ground_reflection(0, 0, 1, 100, bad, r), IrradianceError::not_finite);
    }
}

}  // namespace
