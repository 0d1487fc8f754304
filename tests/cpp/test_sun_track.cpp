// shading/sun_track: a run's steps -> sun positions, each position once, and
// the position of every sunny step.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "kernels/shading/step_sun.hpp"
#include "kernels/shading/sun_track.hpp"

namespace sh = qm::shading;

namespace {
sh::SunRun vienna_year() {
    sh::SunRun run;
    run.latitude = 48.2, run.longitude = 16.4, run.time_zone = 1;
    run.start_year = 2025, run.end_year = 2025;
    run.time_step = 3600.0;
    run.steps = 8760;
    return run;
}
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
}  // namespace

TEST(SunTrack, EverySunnyStepPointsAtItsOwnSun) {
    for (sh::SunTime t : {sh::SunTime::start, sh::SunTime::middle}) {
        sh::SunRun run = vienna_year();
        run.sun_time = t;
        const sh::SunTrack track = sh::sun_track(run);
        ASSERT_EQ(track.position_of_step.size(), run.steps);
        const std::vector<double> times = sh::step_times(run.begin_time, run.time_step, run.steps);
        size_t sunny = 0;
        for (size_t k = 0; k < run.steps; ++k) {
            qm::solar::SunPosition p;
            ASSERT_EQ(sh::step_sun(run.longitude, run.latitude, run.time_zone, run.start_year, times[k],
                                   sh::sun_offset(t), p),
                      qm::solar::SpaError::none);
            const int64_t i = track.position(k);
            if (!(p.height > 0.0)) {
                EXPECT_EQ(i, -1) << "step " << k;
                continue;
            }
            ++sunny;
            ASSERT_GE(i, 0) << "step " << k;
            EXPECT_TRUE(same_bits(track.altitudes[size_t(i)], p.height)) << "step " << k;
            EXPECT_TRUE(same_bits(track.azimuths[size_t(i)], p.azimuth)) << "step " << k;
        }
        EXPECT_EQ(track.sunny_steps, sunny);
        // About half the hours of a year at 48 deg have the sun up; all are distinct positions.
        EXPECT_GT(sunny, 4200u);
        EXPECT_LT(sunny, 4600u);
        EXPECT_EQ(track.positions(), sunny);
        // Positions are numbered by their first sunny step.
        int64_t next = 0;
        for (size_t k = 0; k < run.steps; ++k)
            if (track.position(k) >= 0) {
                EXPECT_EQ(track.position(k), next++);
            }
    }
}

TEST(SunTrack, MiddleTakesTheSunHalfAnHourLater) {
    sh::SunRun run = vienna_year();
    run.steps = 24 * 3;
    const sh::SunTrack start = sh::sun_track(run);
    run.sun_time = sh::SunTime::middle;
    const sh::SunTrack middle = sh::sun_track(run);
    // Noon, 1 January: the "middle" sun is that of 12:30, as a "start" run begun half an hour later.
    sh::SunRun later = vienna_year();
    later.begin_time = 1800.0, later.steps = 24 * 3;
    const sh::SunTrack shifted = sh::sun_track(later);
    const int64_t a = middle.position(12), b = shifted.position(12);
    ASSERT_GE(a, 0); ASSERT_GE(b, 0); ASSERT_GE(start.position(12), 0);
    EXPECT_TRUE(same_bits(middle.altitudes[size_t(a)], shifted.altitudes[size_t(b)]));
    EXPECT_FALSE(same_bits(middle.altitudes[size_t(a)], start.altitudes[size_t(start.position(12))]));
}

TEST(SunTrack, RepeatedInstantsShareOnePosition) {
    sh::SunRun run = vienna_year();
    run.begin_time = 12 * 3600.0, run.time_step = 0.0, run.steps = 5;  // one instant five times
    const sh::SunTrack track = sh::sun_track(run);
    EXPECT_EQ(track.positions(), 1u);
    EXPECT_EQ(track.sunny_steps, 5u);
    for (size_t k = 0; k < 5; ++k) EXPECT_EQ(track.position(k), 0);
}

TEST(SunTrack, NoSunNoPositionsAndNothingBeyondTheRun) {
    sh::SunRun run = vienna_year();
    run.latitude = 85.0;  // polar night in January
    run.steps = 24 * 20;
    const sh::SunTrack track = sh::sun_track(run);
    EXPECT_EQ(track.positions(), 0u);
    EXPECT_EQ(track.sunny_steps, 0u);
    EXPECT_EQ(track.position(0), -1);
    EXPECT_EQ(track.position(run.steps + 10), -1);
    run.steps = 0;
    EXPECT_TRUE(sh::sun_track(run).position_of_step.empty());
    // A site the solar position refuses (not finite) has no sunny step either.
    run = vienna_year();
    run.steps = 48, run.latitude = std::numeric_limits<double>::quiet_NaN();
    const sh::SunTrack bad = sh::sun_track(run);
    EXPECT_EQ(bad.sunny_steps, 0u);
    EXPECT_EQ(bad.position(12), -1);
}
