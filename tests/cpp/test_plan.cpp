// shading/plan: what each shading product depends on (its fingerprint lines),
// its file names, and the plan and the store together deciding freshness.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "kernels/shading/plan.hpp"
#include "kernels/shading/store.hpp"

#include "temp_folder.hpp"

namespace sh = qm::shading;

namespace {

// The test's own folder, removed at its end.
class Folder : public qm::test_support::TempFolder {
public:
    Folder() : TempFolder("qm_plan") {}
};

sh::ShadingPlan house() {
    sh::ShadingPlan p;
    p.table_path = "/p/shade.csv";
    p.model_digest = "sha256:abc";
    p.surfaces = {"roof", "south \"wall\"", "roof"};
    p.resolution = 0.5;
    return p;
}

std::vector<std::string> keys(const sh::Fingerprint& fp) {
    std::vector<std::string> k;
    for (const auto& e : fp.entries) k.push_back(e.first);
    return k;
}

}  // namespace

TEST(ShadingPlan, FingerprintLinesOfEachProduct) {
    sh::ShadingPlan p = house();
    const sh::Fingerprint t = sh::table_fingerprint(p);
    EXPECT_EQ(keys(t), (std::vector<std::string>{"format", "kind", "model", "surfaces", "resolution", "normals", "grid"}));
    EXPECT_EQ(*t.get("kind"), "table");
    EXPECT_EQ(*t.get("model"), "sha256:abc");
    EXPECT_EQ(*t.get("surfaces"), "\"roof\", \"south \\\"wall\\\"\", \"roof\"");  // order and repeats kept
    EXPECT_EQ(*t.get("resolution"), "0.5");
    EXPECT_EQ(*t.get("normals"), "file");
    EXPECT_EQ(*t.get("grid"), "45, 15 (altitudes 0..75)");
    p.grid_given = true, p.azimuth_step = 2.5, p.altitude_step = 5;
    EXPECT_EQ(*sh::table_fingerprint(p).get("grid"), "2.5, 5");
    p.model_digest.clear();
    EXPECT_EQ(*sh::table_fingerprint(p).get("model"), "(unreadable)");

    sh::SunRun run;
    run.latitude = 48.25, run.longitude = 16.5, run.time_zone = 1, run.start_year = 2025, run.end_year = 2025;
    run.begin_month = 3, run.begin_day = 1, run.end_month = 3, run.end_day = 31;
    run.begin_time = 5097600, run.time_step = 900, run.steps = 2976, run.sun_time = sh::SunTime::middle;
    const sh::Fingerprint e = sh::exact_fingerprint(house(), run);
    EXPECT_EQ(keys(e), (std::vector<std::string>{"format", "kind", "model", "surfaces", "resolution", "normals", "site",
                                                 "period", "time_step", "steps", "sun_time"}));
    EXPECT_EQ(*e.get("site"), "48.25, 16.5, 1");
    EXPECT_EQ(*e.get("period"), "2025-03-01 .. 2025-03-31 from 5097600 s");
    EXPECT_EQ(*e.get("time_step"), "900");
    EXPECT_EQ(*e.get("steps"), "2976");
    EXPECT_EQ(*e.get("sun_time"), "middle");

    sh::SkyViewOptions o;
    const sh::Fingerprint v = sh::views_fingerprint(house(), o);
    EXPECT_EQ(*v.get("kind"), "views");
    EXPECT_EQ(*v.get("directions"), "8192");
    EXPECT_EQ(*v.get("horizon_band"), "2048 x 6.5 deg");
}

TEST(ShadingPlan, EveryInputChangesTheKey) {
    const std::string base = sh::product_key(sh::table_fingerprint(house()));
    EXPECT_EQ(base, sh::product_key(sh::table_fingerprint(house())));  // deterministic
    EXPECT_EQ(base.size(), 64u);
    auto changed = [&](auto edit) {
        sh::ShadingPlan p = house();
        edit(p);
        return sh::product_key(sh::table_fingerprint(p)) != base;
    };
    EXPECT_TRUE(changed([](sh::ShadingPlan& p) { p.model_digest = "sha256:abd"; }));
    EXPECT_TRUE(changed([](sh::ShadingPlan& p) { p.surfaces.pop_back(); }));
    EXPECT_TRUE(changed([](sh::ShadingPlan& p) { std::swap(p.surfaces[0], p.surfaces[1]); }));
    EXPECT_TRUE(changed([](sh::ShadingPlan& p) { p.resolution = 0.25; }));
    EXPECT_TRUE(changed([](sh::ShadingPlan& p) { p.normals = "from-vertices"; }));
    EXPECT_TRUE(changed([](sh::ShadingPlan& p) { p.grid_given = true; }));
    // The table's own path is not an input: a copy elsewhere has the same content.
    EXPECT_FALSE(changed([](sh::ShadingPlan& p) { p.table_path = "/q/other.csv"; }));
}

TEST(ShadingPlan, ALevelOfDetailIsALineOnlyWhenChosen) {
    // The highest level writes no line, so the fingerprints of earlier runs stay valid.
    sh::ShadingPlan p = house();
    const std::string base = sh::product_key(sh::table_fingerprint(p));
    EXPECT_EQ(sh::table_fingerprint(p).get("lod"), nullptr);
    p.lod = "2.2";
    const sh::Fingerprint t = sh::table_fingerprint(p);
    EXPECT_EQ(keys(t), (std::vector<std::string>{"format", "kind", "model", "lod", "surfaces", "resolution", "normals",
                                                 "grid"}));
    EXPECT_EQ(*t.get("lod"), "2.2");
    EXPECT_NE(sh::product_key(t), base);
    sh::ShadingPlan q = house();
    q.lod = "1";
    EXPECT_NE(sh::product_key(sh::table_fingerprint(q)), sh::product_key(t));
    EXPECT_EQ(*sh::views_fingerprint(q, sh::SkyViewOptions{}).get("lod"), "1");
}

TEST(ShadingPlan, FileNamesBesideTheTable) {
    EXPECT_EQ(sh::exact_path("/p/shade.csv"), "/p/shade.exact.csv");
    EXPECT_EQ(sh::views_path("/p/shade.csv"), "/p/shade.views.csv");
    EXPECT_EQ(sh::exact_path("/p/shade"), "/p/shade.exact.csv");
    EXPECT_EQ(sh::exact_path(".csv"), ".csv.exact.csv");  // no stem to keep
    EXPECT_EQ(sh::exact_path("/p/shade.CSV"), "/p/shade.CSV.exact.csv");
    EXPECT_EQ(sh::generated_files("/p/t.csv"),
              (std::vector<std::string>{"/p/t.csv.fingerprint", "/p/t.exact.csv", "/p/t.exact.csv.fingerprint",
                                        "/p/t.views.csv", "/p/t.views.csv.fingerprint"}));
}

TEST(ShadingPlan, KeyOfWhatAModuleComputes) {
    sh::SunRun run;
    run.latitude = 48.2, run.longitude = 16.4, run.time_zone = 1, run.steps = 72;
    const std::string table_only = sh::plan_key(house(), nullptr), with_run = sh::plan_key(house(), &run);
    EXPECT_EQ(table_only.size(), 64u);
    EXPECT_NE(table_only, with_run);  // the exact method's factors depend on the run
    EXPECT_EQ(with_run, sh::plan_key(house(), &run));
    sh::SunRun later = run;
    later.time_step = 1800.0;
    EXPECT_NE(with_run, sh::plan_key(house(), &later));
    sh::ShadingPlan moved = house();
    moved.table_path = "/elsewhere/t.csv";  // where it lies is no input
    EXPECT_EQ(table_only, sh::plan_key(moved, nullptr));
    sh::ShadingPlan other = house();
    other.grid_given = true;
    EXPECT_NE(table_only, sh::plan_key(other, nullptr));

    // A declared type: its values, its run and its type name, each an input.
    const std::vector<std::pair<std::string, std::string>> values = {{"scale", "2.0"}, {"mode", "'a'"}};
    const std::string d = sh::declared_key(house(), "mymod.Shade", values, nullptr);
    EXPECT_EQ(d, sh::declared_key(moved, "mymod.Shade", values, nullptr));
    EXPECT_NE(d, sh::declared_key(house(), "mymod.Other", values, nullptr));
    EXPECT_NE(d, sh::declared_key(house(), "mymod.Shade", {{"scale", "3.0"}, {"mode", "'a'"}}, nullptr));
    EXPECT_NE(d, sh::declared_key(house(), "mymod.Shade", {{"scale", "2.0\nmode = 'a'"}}, nullptr));
    EXPECT_NE(d, sh::declared_key(house(), "mymod.Shade", values, &run));
    EXPECT_NE(d, sh::declared_key(house(), "mymod.Shade", {{"scale", "2.0"}}, nullptr));  // a value dropped
    EXPECT_NE(d, table_only);
}

TEST(ShadingPlan, VariantFilesBesideTheProjectsOwn) {
    const std::string key = "0123456789abcdef0123";
    EXPECT_EQ(sh::variant_path("/p/shading/t.csv", key), "/p/shading/t-0123456789ab.csv");
    EXPECT_EQ(sh::variant_path("/p/shading/t", key), "/p/shading/t-0123456789ab.csv");
    EXPECT_EQ(sh::variant_path("/p/a.b/t", key), "/p/a.b/t-0123456789ab.csv");  // a dot of the folder is no extension
    EXPECT_EQ(sh::variant_path("/p/.t", key), "/p/.t-0123456789ab.csv");       // nor a leading dot
    EXPECT_EQ(sh::variant_path("/p/t.tar.csv", key), "/p/t.tar-0123456789ab.csv");
    EXPECT_EQ(sh::variant_path("/p/x..csv", key), "/p/x.-0123456789ab.csv");
}

TEST(ShadingPlan, GridOfTheTable) {
    sh::ShadingPlan p = house();
    sh::SunGrid g;
    size_t points = 0;
    ASSERT_EQ(sh::table_grid(p, g, &points), sh::GridError::none);
    EXPECT_EQ(points, 54u);
    EXPECT_EQ(g.altitudes.back(), 75.0);
    p.grid_given = true, p.azimuth_step = 10, p.altitude_step = 10;
    ASSERT_EQ(sh::table_grid(p, g, &points), sh::GridError::none);
    EXPECT_EQ(g.size(), 37u * 10u);
    p.altitude_step = 0;
    EXPECT_EQ(sh::table_grid(p, g), sh::GridError::altitude_step);
    p.altitude_step = 0.01, p.azimuth_step = 0.01;
    EXPECT_EQ(sh::table_grid(p, g, &points), sh::GridError::too_many_points);
}

TEST(ShadingPlan, KeptCellLightIsFoundBesideItsOwnTableOnly) {
    Folder dir;
    for (const char* name : {"shade.cells.east.bin", "shade.cells.east.bin.fingerprint", "shade.cells.w-2.bin",
                             "shade.csv", "shade.exact.csv", "other.cells.east.bin", "shade.cells.east.txt"})
        std::ofstream(dir / name) << "x";
    EXPECT_EQ(sh::cell_light_files(dir / "shade.csv"),
              (std::vector<std::string>{dir / "shade.cells.east.bin", dir / "shade.cells.east.bin.fingerprint",
                                        dir / "shade.cells.w-2.bin"}));
    EXPECT_TRUE(sh::cell_light_files(dir / "missing/shade.csv").empty());

    // Whatever an array is called, the file kept for it is one the finder lists (and a table's
    // regeneration removes); names that differ only in characters a file name cannot hold do not share it.
    Folder other;
    const std::string table = other / "roof.csv";
    std::vector<std::string> made;
    for (const char* array : {"south", "south east/2", "south east:2", "数组"}) {
        made.push_back(sh::cell_light_path(table, array));
        std::ofstream(made.back()) << "x";
    }
    EXPECT_EQ(made[0], other / "roof.cells.south.bin");
    EXPECT_NE(made[1], made[2]);
    std::sort(made.begin(), made.end());
    EXPECT_EQ(sh::cell_light_files(table), made);
}

TEST(ShadingPlan, ModelByContentAndFreshnessThroughTheStore) {
    Folder dir;
    const std::string model = dir / "house.stl";
    std::ofstream(model, std::ios::binary) << "solid a\nendsolid a\n";
    EXPECT_EQ(sh::model_digest(model), "sha256:" + sh::sha256_hex("solid a\nendsolid a\n"));
    EXPECT_EQ(sh::model_digest(dir / "missing.stl"), "");

    sh::ShadingPlan p = house();
    p.model_digest = sh::model_digest(model);
    p.table_path = dir / "shade.csv";
    sh::SunRun run;
    run.steps = 24;
    const std::string product = sh::exact_path(p.table_path);
    int err = 0;
    const char* step = "";
    ASSERT_EQ(sh::save(product, "altitude,azimuth,roof\n", sh::exact_fingerprint(p, run), err, step),
              sh::StoreError::none);
    EXPECT_EQ(sh::load_if_fresh(product, sh::exact_fingerprint(p, run)).error, sh::StoreError::none);
    // Another sun time: stale, and the changed key is named.
    run.sun_time = sh::SunTime::middle;
    const sh::StoreLoad got = sh::load_if_fresh(product, sh::exact_fingerprint(p, run));
    EXPECT_EQ(got.error, sh::StoreError::stale);
    EXPECT_EQ(got.changed, std::vector<std::string>{"sun_time"});
    // The model edited: its digest, and so every product, changes.
    std::ofstream(model, std::ios::binary | std::ios::app) << "solid b\nendsolid b\n";
    run.sun_time = sh::SunTime::start;
    p.model_digest = sh::model_digest(model);
    EXPECT_EQ(sh::load_if_fresh(product, sh::exact_fingerprint(p, run)).changed, std::vector<std::string>{"model"});
}

TEST(ShadingPlan, ModelDigestKeptForAnUnchangedFileOnly) {
    Folder dir;
    const std::string model = dir / "city.stl";
    std::ofstream(model, std::ios::binary) << "solid a\nendsolid a\n";
    // Old enough to be kept by its identity, then rewritten to the same size: hashed again.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ(sh::model_digest(model), "sha256:" + sh::sha256_hex("solid a\nendsolid a\n"));
    EXPECT_EQ(sh::model_digest(model), "sha256:" + sh::sha256_hex("solid a\nendsolid a\n"));
    std::ofstream(model, std::ios::binary) << "solid b\nendsolid b\n";
    EXPECT_EQ(sh::model_digest(model), "sha256:" + sh::sha256_hex("solid b\nendsolid b\n"));
}

TEST(ShadingPlan, TableSavedThroughTheUsersLinkWithItsInputsOnly) {
    Folder dir;
    const std::string real = dir / "real.csv", link = dir / "shade.csv";
    std::ofstream(real) << "old\n";
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    std::ofstream(sh::fingerprint_path(link)) << "stale\n";
    const sh::Fingerprint fp = sh::table_fingerprint(house());
    int err = 0;
    const char* step = "";
    ASSERT_EQ(sh::save_output(link, "方位角,高度角,roof\n0,0,0.000000\n", fp, err, step), sh::StoreError::none);
    // The user's link is followed: the file it names holds the table.
    std::ifstream f(real);
    std::string first;
    std::getline(f, first);
    EXPECT_EQ(first, "方位角,高度角,roof");
    // The fingerprint names the inputs only (a table edited by hand stays in use).
    std::ifstream g(sh::fingerprint_path(link));
    std::string text((std::istreambuf_iterator<char>(g)), std::istreambuf_iterator<char>());
    sh::Fingerprint found;
    ASSERT_TRUE(sh::Fingerprint::parse(text, found));
    EXPECT_TRUE(sh::Fingerprint::differences(fp, found).empty());
    // A folder that does not exist: an error with errno, nothing claimed.
    EXPECT_EQ(sh::save_output(dir / "no/such/t.csv", "x", fp, err, step), sh::StoreError::write_failed);
    EXPECT_NE(err, 0);
}
