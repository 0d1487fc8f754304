// shading/step_factors: a stored file of exact factors is used only when it
// is fresh, reads for the run's surfaces and holds the run's sun track.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernels/shading/factor_file.hpp"
#include "kernels/shading/step_factors.hpp"
#include "kernels/shading/store.hpp"
#include "temp_folder.hpp"

namespace sh = qm::shading;

namespace {
sh::SunRun day(double latitude) {
    sh::SunRun run;
    run.latitude = latitude, run.longitude = 16.4, run.time_zone = 1, run.start_year = 2025;
    run.time_step = 3600, run.steps = 24;
    return run;
}

std::string table_text(const sh::SunTrack& track, const std::vector<std::string>& surfaces) {
    sh::FactorTable t;
    t.surfaces = surfaces;
    t.altitudes = track.altitudes, t.azimuths = track.azimuths;
    for (size_t p = 0; p < track.positions(); ++p)
        for (size_t s = 0; s < surfaces.size(); ++s) t.factors.push_back(0.125 * double(s + 1) + 1e-3 * double(p));
    return sh::factor_table_text(t);
}
}  // namespace

TEST(StepFactors, FreshOnlyForTheSameTrackSurfacesAndFingerprint) {
    const qm::test_support::TempFolder dir("qm_steps");
    const std::string path = dir / "t.exact.csv";
    const sh::SunTrack track = sh::sun_track(day(48.2));
    ASSERT_GT(track.positions(), 5u);
    const std::vector<std::string> names = {"roof", "wall"};
    sh::Fingerprint fp;
    fp.set("kind", "exact");
    int err = 0;
    const char* step = "";
    ASSERT_EQ(sh::save(path, table_text(track, names), fp, err, step), sh::StoreError::none);

    sh::StepFactorsLoad got = sh::load_step_factors(path, fp, names, track);
    ASSERT_TRUE(got.fresh());
    EXPECT_EQ(got.table.positions(), track.positions());
    EXPECT_EQ(got.table.factors[1], 0.25);  // round-trip text: the same bits
    EXPECT_EQ(got.table.factors[2 * 3], 0.125 + 3e-3);

    // Another site: the positions differ.
    got = sh::load_step_factors(path, fp, names, sh::sun_track(day(40.0)));
    EXPECT_FALSE(got.fresh());
    EXPECT_TRUE(got.other_positions);
    EXPECT_EQ(got.store.error, sh::StoreError::none);
    // A shorter run: fewer positions.
    sh::SunRun half = day(48.2);
    half.steps = 13;
    EXPECT_TRUE(sh::load_step_factors(path, fp, names, sh::sun_track(half)).other_positions);
    // Other surfaces: the header does not name them.
    got = sh::load_step_factors(path, fp, {"wall", "roof"}, track);
    EXPECT_EQ(got.file, sh::FactorFileError::header);
    EXPECT_FALSE(got.fresh());
    // Another fingerprint: stale, the file not read.
    sh::Fingerprint other = fp;
    other.set("sun_time", "middle");
    got = sh::load_step_factors(path, other, names, track);
    EXPECT_EQ(got.store.error, sh::StoreError::stale);
    EXPECT_FALSE(got.fresh());
    EXPECT_TRUE(got.table.factors.empty());
    // No file.
    EXPECT_EQ(sh::load_step_factors(dir / "none.csv", fp, names, track).store.error, sh::StoreError::no_product);
}
