// Solar position kernel: the published worked example, the delta T model and input checks.
#include <gtest/gtest.h>

#include <cmath>

#include "kernels/sun/spa.hpp"

namespace {

using qm::solar::SpaError;
using qm::solar::SpaInput;
using qm::solar::SpaResult;

// 17 October 2003, 12:30:30 local standard time, 7 h west of UTC, Golden (Colorado).
SpaInput paper_example() {
    SpaInput in;
    in.year = 2003;
    in.month = 10;
    in.day = 17;
    in.hour = 12;
    in.minute = 30;
    in.second = 30;
    in.timezone = -7.0;
    in.delta_t = 67.0;
    in.longitude = -105.1786;
    in.latitude = 39.742476;
    in.elevation = 1830.14;
    in.pressure = 820.0;
    in.temperature = 11.0;
    in.atmos_refract = 0.5667;
    return in;
}

TEST(Spa, ReproducesThePublishedExample) {
    SpaResult r;
    ASSERT_EQ(qm::solar::spa_calculate(paper_example(), r), SpaError::none);
    EXPECT_NEAR(r.jd, 2452930.312847, 1e-6);
    EXPECT_NEAR(r.L, 24.0182616917, 1e-8);
    EXPECT_NEAR(r.B, -0.0001011219, 1e-10);
    EXPECT_NEAR(r.R, 0.9965422974, 1e-10);
    EXPECT_NEAR(r.delta_psi, -0.00399840, 1e-8);
    EXPECT_NEAR(r.delta_epsilon, 0.00166657, 1e-8);
    EXPECT_NEAR(r.epsilon, 23.440465, 1e-6);
    EXPECT_NEAR(r.lambda, 204.0085519281, 1e-8);
    EXPECT_NEAR(r.alpha, 202.22741, 1e-5);
    EXPECT_NEAR(r.delta, -9.31434, 1e-5);
    EXPECT_NEAR(r.hour_angle, 11.105900, 1e-5);
    EXPECT_NEAR(r.zenith, 50.11162, 1e-4);
    EXPECT_NEAR(r.azimuth, 194.34024, 1e-4);
}

TEST(Spa, CachedInstantDoesNotLeakBetweenObservers) {
    SpaInput a = paper_example();
    SpaInput b = a;
    b.latitude = -33.9;
    b.longitude = 18.4;
    SpaResult ra1, rb, ra2;
    ASSERT_EQ(qm::solar::spa_calculate(a, ra1), SpaError::none);
    ASSERT_EQ(qm::solar::spa_calculate(b, rb), SpaError::none);
    ASSERT_EQ(qm::solar::spa_calculate(a, ra2), SpaError::none);
    EXPECT_NE(ra1.zenith, rb.zenith);
    EXPECT_EQ(ra1.zenith, ra2.zenith);
    EXPECT_EQ(ra1.azimuth, ra2.azimuth);
    // A different instant is recomputed, not served from the cache.
    SpaInput later = a;
    later.hour = 15;
    SpaResult rl;
    ASSERT_EQ(qm::solar::spa_calculate(later, rl), SpaError::none);
    EXPECT_GT(rl.zenith, ra1.zenith);
}

TEST(Spa, RefusesInputsOutsideTheAlgorithmsRange) {
    SpaResult r;
    auto with = [](auto change) {
        SpaInput in = paper_example();
        change(in);
        return in;
    };
    EXPECT_EQ(qm::solar::spa_calculate(with([](SpaInput& i) { i.latitude = NAN; }), r), SpaError::not_finite);
    EXPECT_EQ(qm::solar::spa_calculate(with([](SpaInput& i) { i.second = INFINITY; }), r), SpaError::not_finite);
    EXPECT_EQ(qm::solar::spa_calculate(with([](SpaInput& i) { i.year = 7000; }), r), SpaError::bad_year);
    EXPECT_EQ(qm::solar::spa_calculate(with([](SpaInput& i) { i.month = 13; }), r), SpaError::bad_month);
    EXPECT_EQ(qm::solar::spa_calculate(with([](SpaInput& i) { i.month = 2.5; }), r), SpaError::bad_month);
    EXPECT_EQ(qm::solar::spa_calculate(with([](SpaInput& i) { i.day = 0; }), r), SpaError::bad_day);
    EXPECT_EQ(qm::solar::spa_calculate(with([](SpaInput& i) { i.hour = 25; }), r), SpaError::bad_hour);
    EXPECT_EQ(qm::solar::spa_calculate(with([](SpaInput& i) { i.minute = 60; }), r), SpaError::bad_minute);
    EXPECT_EQ(qm::solar::spa_calculate(with([](SpaInput& i) { i.second = -1; }), r), SpaError::bad_second);
    EXPECT_EQ(qm::solar::spa_calculate(with([](SpaInput& i) { i.timezone = 19; }), r), SpaError::bad_timezone);
    EXPECT_EQ(qm::solar::spa_calculate(with([](SpaInput& i) { i.longitude = 181; }), r), SpaError::bad_longitude);
    EXPECT_EQ(qm::solar::spa_calculate(with([](SpaInput& i) { i.latitude = -90.5; }), r), SpaError::bad_latitude);
    EXPECT_EQ(qm::solar::spa_calculate(with([](SpaInput& i) { i.pressure = -1; }), r), SpaError::bad_atmosphere);
    // The limits themselves are accepted.
    EXPECT_EQ(qm::solar::spa_calculate(with([](SpaInput& i) { i.latitude = 90; i.longitude = -180; }), r),
              SpaError::none);
}

TEST(DeltaT, FollowsTheModelAndIsContinuousOverTheCenturies) {
    EXPECT_NEAR(qm::solar::delta_t_estimate(2000, 1), 63.8, 0.2);  // observed 63.8 s
    EXPECT_NEAR(qm::solar::delta_t_estimate(1950, 1), 29.1, 0.3);  // observed 29.1 s
    EXPECT_NEAR(qm::solar::delta_t_estimate(1900, 1), -2.8, 0.3);  // observed -2.7 s
    // No jump of more than a second where one polynomial hands over to the next.
    for (double y = 1700.0; y < 2200.0; y += 1.0 / 12.0) {
        double a = qm::solar::delta_t_estimate(std::floor(y), 1 + 12 * (y - std::floor(y)));
        double b = qm::solar::delta_t_estimate(std::floor(y + 1.0 / 12.0), 1 + 12 * (y + 1.0 / 12.0 - std::floor(y + 1.0 / 12.0)));
        ASSERT_LT(std::fabs(a - b), 1.0) << "year " << y;
    }
}

TEST(SunPosition, AzimuthConventionAndRange) {
    // Local solar noon: the sun stands due south north of the tropics and due
    // north south of them; azimuth is measured clockwise from north.
    const double noon[6] = {2021, 6, 21, 12, 0, 0};
    qm::solar::SunPosition north, south;
    ASSERT_EQ(qm::solar::sun_position(0.0, 52.0, 0, noon, north), SpaError::none);
    ASSERT_EQ(qm::solar::sun_position(0.0, -34.0, 0, noon, south), SpaError::none);
    EXPECT_NEAR(north.azimuth, 180.0, 1.0);
    EXPECT_NEAR(north.height, 90.0 - 52.0 + 23.44, 0.5);
    EXPECT_TRUE(south.azimuth < 1.0 || south.azimuth > 359.0);
    // Morning sun is east (0 < azimuth < 180), evening sun west.
    const double morning[6] = {2021, 6, 21, 8, 0, 0};
    const double evening[6] = {2021, 6, 21, 17, 0, 0};
    qm::solar::SunPosition m, e;
    ASSERT_EQ(qm::solar::sun_position(0.0, 52.0, 0, morning, m), SpaError::none);
    ASSERT_EQ(qm::solar::sun_position(0.0, 52.0, 0, evening, e), SpaError::none);
    EXPECT_GT(m.azimuth, 0.0);
    EXPECT_LT(m.azimuth, 180.0);
    EXPECT_GT(e.azimuth, 180.0);
    EXPECT_LT(e.azimuth, 360.0);
}

TEST(SunPosition, TimeZoneShiftsLocalTime) {
    // 13:00 in UTC+1 is the same instant as 12:00 UTC.
    const double utc[6] = {2021, 3, 1, 12, 0, 0};
    const double cet[6] = {2021, 3, 1, 13, 0, 0};
    qm::solar::SunPosition a, b;
    ASSERT_EQ(qm::solar::sun_position(4.9, 52.3, 0, utc, a), SpaError::none);
    ASSERT_EQ(qm::solar::sun_position(4.9, 52.3, 1, cet, b), SpaError::none);
    EXPECT_DOUBLE_EQ(a.height, b.height);
    EXPECT_DOUBLE_EQ(a.azimuth, b.azimuth);
    // Midnight in a zone east of UTC falls on the previous UTC day.
    const double midnight[6] = {2021, 1, 1, 0, 0, 0};
    const double prev[6] = {2020, 12, 31, 16, 0, 0};
    ASSERT_EQ(qm::solar::sun_position(120.0, 30.0, 8, midnight, a), SpaError::none);
    ASSERT_EQ(qm::solar::sun_position(120.0, 30.0, 0, prev, b), SpaError::none);
    // (delta T is estimated per month, so the two differ by well under 1e-4 degree)
    EXPECT_NEAR(a.height, b.height, 1e-4);
    EXPECT_NEAR(a.azimuth, b.azimuth, 1e-4);
}

TEST(SunPosition, RefractionLiftsTheSunOnlyNearTheHorizon) {
    SpaInput in = paper_example();
    in.pressure = 1013.25;
    in.temperature = 15.0;
    in.elevation = 0.0;
    SpaResult r;
    ASSERT_EQ(qm::solar::spa_calculate(in, r), SpaError::none);
    EXPECT_GT(r.elevation, r.e0);
    EXPECT_LT(r.elevation - r.e0, 0.03);  // about 1 arcmin at 40 degrees
    in.hour = 0;  // deep night: no refraction applied
    ASSERT_EQ(qm::solar::spa_calculate(in, r), SpaError::none);
    EXPECT_LT(r.e0, -10.0);
    EXPECT_EQ(r.elevation, r.e0);
}

}  // namespace

namespace {

TEST(SeriesCos, MatchesTheLibraryCosineOverTheSeriesRange) {
    // Arguments of the periodic terms reach C * JME ~ 161000 * 4 for the year 6000.
    double worst = 0.0;
    for (double x = -7.0e5; x < 7.0e5; x += 12.345678) worst = std::fmax(worst, std::fabs(qm::solar::series_cos(x) - std::cos(x)));
    for (double x = -10.0; x < 10.0; x += 1e-3) worst = std::fmax(worst, std::fabs(qm::solar::series_cos(x) - std::cos(x)));
    EXPECT_LT(worst, 1e-13);
    EXPECT_EQ(qm::solar::series_cos(0.0), 1.0);
}

}  // namespace
