// Air mass, extraterrestrial irradiance, the Perez 1990 and isotropic skies:
// reference values from pvlib 0.16 (atmosphere.get_relative_airmass
// 'kastenyoung1989', irradiance.get_extra_radiation 'spencer',
// irradiance.perez 'allsitescomposite1990' with return_components=True,
// irradiance.isotropic, irradiance.get_ground_diffuse).
#include <gtest/gtest.h>

#include <cmath>

#include "kernels/sky/isotropic.hpp"
#include "kernels/sky/perez.hpp"
#include "kernels/sun/airmass.hpp"
#include "kernels/sun/extraterrestrial.hpp"

namespace {

using qm::sky::SkyDiffuse;
using qm::sky::SkyError;

TEST(Airmass, KastenYoungAgainstPvlib) {
    const double expected[][2] = {{0, 0.9997119918558381},  {30, 1.1539922333636758}, {60, 1.9942928525292494},
                                  {80, 5.5860358798512},    {85, 10.305791327930304}, {89, 26.310555068385266},
                                  {90, 37.91960837783625}};
    for (auto& e : expected) EXPECT_NEAR(qm::sun::relative_airmass_kastenyoung1989(e[0]), e[1], 1e-12 * e[1]) << e[0];
    EXPECT_TRUE(std::isnan(qm::sun::relative_airmass_kastenyoung1989(90.001)));
    EXPECT_TRUE(std::isnan(qm::sun::relative_airmass_kastenyoung1989(NAN)));
}

TEST(Extraterrestrial, SpencerAgainstPvlib) {
    const double expected[][2] = {{1, 1413.981805},
                                  {80, 1376.8923612194285},
                                  {172, 1321.6235925714136},
                                  {266, 1356.5996934592044},
                                  {365, 1413.940576307916}};
    for (auto& e : expected) EXPECT_NEAR(qm::sun::dni_extra_spencer(e[0]), e[1], 1e-9) << e[0];
    EXPECT_NEAR(qm::sun::dni_extra_spencer(1, 1000.0), 1413.981805 / 1.3661, 1e-9);
}

TEST(Extraterrestrial, DayOfYear) {
    EXPECT_EQ(qm::sun::day_of_year(2025, 1, 1), 1);
    EXPECT_EQ(qm::sun::day_of_year(2025, 3, 1), 60);
    EXPECT_EQ(qm::sun::day_of_year(2024, 3, 1), 61);
    EXPECT_EQ(qm::sun::day_of_year(2024, 12, 31), 366);
    EXPECT_EQ(qm::sun::day_of_year(1900, 12, 31), 365);  // not a leap year
    EXPECT_EQ(qm::sun::day_of_year(2000, 12, 31), 366);
}

TEST(Perez, ClearnessBins) {
    EXPECT_EQ(qm::sky::clearness_bin(1.0), 1);
    EXPECT_EQ(qm::sky::clearness_bin(1.064999), 1);
    EXPECT_EQ(qm::sky::clearness_bin(1.065), 2);  // lower edges are inclusive
    EXPECT_EQ(qm::sky::clearness_bin(1.95), 5);
    EXPECT_EQ(qm::sky::clearness_bin(6.2), 8);
    EXPECT_EQ(qm::sky::clearness_bin(INFINITY), 8);
    EXPECT_EQ(qm::sky::clearness_bin(-0.1), 0);
    EXPECT_EQ(qm::sky::clearness_bin(NAN), 0);
    EXPECT_DOUBLE_EQ(qm::sky::perez_coefficients(8).f22, -1.377);
    EXPECT_DOUBLE_EQ(qm::sky::perez_coefficients(1).f11, -0.008);
}

struct PerezCase {
    double tilt, surface_azimuth, dhi, dni, zenith, azimuth;
    double isotropic, circumsolar, horizon;
};

// cos(aoi) of a plane (tilt, azimuth) and a sun (zenith, azimuth), degrees.
double cos_aoi(double tilt, double saz, double zen, double az) {
    const double d = M_PI / 180.0;
    return std::cos(zen * d) * std::cos(tilt * d) + std::sin(zen * d) * std::sin(tilt * d) * std::cos((az - saz) * d);
}

TEST(Perez, FreePlanesAgainstPvlib) {
    // dni_extra of day 172, airmass Kasten-Young of the zenith.
    const PerezCase cases[] = {
        {35, 180, 100, 700, 30, 180, 43.7917294576688, 59.64890371623651, 9.589556114750003},
        {90, 90, 250, 50, 60, 120, 96.30873496647155, 86.07379510058531, -6.117673193126903},
        {90, 0, 80, 0, 75, 250, 38.13785682313156, 0.0, -5.774416918205276},
        {20, 200, 150, 300, 85, 260, 62.297430209413314, 248.2355758422522, -2.9976822223861213},
        {90, 270, 200, 500, 45, 230, 49.51106626796129, 77.35353424886115, 25.605041000670138},
        {135, 180, 120, 400, 40, 170, 5.309262776349618, 0.0, 19.48522816869756},
        {60, 180, 300, 2, 20, 180, 199.72523522917604, 27.472236027757, -13.066980631656541},
    };
    const double dni_extra = qm::sun::dni_extra_spencer(172);
    for (const PerezCase& c : cases) {
        SkyDiffuse out;
        const double am = qm::sun::relative_airmass_kastenyoung1989(c.zenith);
        const double a = std::max(0.0, cos_aoi(c.tilt, c.surface_azimuth, c.zenith, c.azimuth));
        ASSERT_EQ(qm::sky::perez(c.dhi, c.dni, dni_extra, c.zenith, am, qm::sky::free_plane_views(c.tilt), a, out),
                  SkyError::none);
        EXPECT_NEAR(out.isotropic, c.isotropic, 1e-9) << c.tilt << " " << c.surface_azimuth;
        EXPECT_NEAR(out.circumsolar, c.circumsolar, 1e-9) << c.tilt << " " << c.surface_azimuth;
        EXPECT_NEAR(out.horizon, c.horizon, 1e-9) << c.tilt << " " << c.surface_azimuth;
    }
}

TEST(Perez, CircumsolarFollowsTheBeamFactor) {
    // A shaded plane passes the beam's exact factor: no beam, no circumsolar light.
    const double am = qm::sun::relative_airmass_kastenyoung1989(30), extra = qm::sun::dni_extra_spencer(172);
    SkyDiffuse lit, half, dark;
    const qm::sky::PlaneViews v = qm::sky::free_plane_views(35);
    const double a = cos_aoi(35, 180, 30, 180);
    ASSERT_EQ(qm::sky::perez(100, 700, extra, 30, am, v, a, lit), SkyError::none);
    ASSERT_EQ(qm::sky::perez(100, 700, extra, 30, am, v, a / 2, half), SkyError::none);
    ASSERT_EQ(qm::sky::perez(100, 700, extra, 30, am, v, 0.0, dark), SkyError::none);
    EXPECT_NEAR(half.circumsolar, lit.circumsolar / 2, 1e-12);
    EXPECT_EQ(dark.circumsolar, 0.0);
    EXPECT_EQ(dark.isotropic, lit.isotropic);
    EXPECT_EQ(dark.horizon, lit.horizon);
    // A neighbour that hides the band removes the horizon part alone.
    SkyDiffuse hidden;
    ASSERT_EQ(qm::sky::perez(100, 700, extra, 30, am, {v.dome, 0.0}, a, hidden), SkyError::none);
    EXPECT_EQ(hidden.horizon, 0.0);
    EXPECT_EQ(hidden.circumsolar, lit.circumsolar);
}

TEST(Perez, RefusalsAndZeros) {
    SkyDiffuse out;
    const qm::sky::PlaneViews v = qm::sky::free_plane_views(90);
    EXPECT_EQ(qm::sky::perez(100, 0, 1367, 90.0, 37.9, v, 0.0, out), SkyError::sun_below_horizon);
    EXPECT_EQ(qm::sky::perez(100, 0, 1367, 95.0, NAN, v, 0.0, out), SkyError::sun_below_horizon);
    EXPECT_EQ(qm::sky::perez(NAN, 0, 1367, 40.0, 1.3, v, 0.0, out), SkyError::not_finite);
    EXPECT_EQ(qm::sky::perez(100, INFINITY, 1367, 40.0, 1.3, v, 0.0, out), SkyError::not_finite);
    EXPECT_STRNE(qm::sky::sky_error_text(SkyError::sun_below_horizon), "none");
    // No diffuse light: nothing, not NaN (pvlib gives NaN for dhi = dni = 0).
    ASSERT_EQ(qm::sky::perez(0, 0, 1367, 40.0, 1.3, v, 0.5, out), SkyError::none);
    EXPECT_EQ(out.total(), 0.0);
    // A negative sum (steep plane, strongly negative horizon term) gives no parts at all.
    qm::sky::PerezSky sky;
    sky.bin = 8, sky.F1 = 0.0, sky.F2 = -1.0;
    out = qm::sky::perez_on_plane(100, sky, {0.1, 1.0}, 0.0, 40.0);
    EXPECT_EQ(out.isotropic, 0.0);
    EXPECT_EQ(out.horizon, 0.0);
}

TEST(Isotropic, AgainstPvlib) {
    EXPECT_NEAR(qm::sky::isotropic(150, qm::sky::free_plane_views(20).dome), 145.47694655894313, 1e-9);
    EXPECT_NEAR(qm::sky::isotropic(120, qm::sky::free_plane_views(135).dome), 17.573593128807154, 1e-9);
    const double ground_view = [](double t) { return 0.5 * (1 - std::cos(t * M_PI / 180)); }(135);
    EXPECT_NEAR(qm::sky::ground_diffuse(500, 0.2, ground_view), 85.35533905932738, 1e-9);
    EXPECT_EQ(qm::sky::isotropic(-3, 0.5), 0.0);
}

TEST(Isotropic, GlobalHorizontal) {
    EXPECT_NEAR(qm::sky::global_horizontal(800, 100, 30), 500.0, 1e-12);
    EXPECT_EQ(qm::sky::global_horizontal(800, 100, -1), 100.0);  // beam from below the horizon does not count
    EXPECT_EQ(qm::sky::global_horizontal(-5, -2, 30), 0.0);
}

}  // namespace
