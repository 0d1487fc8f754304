// shading/store: a product and its fingerprint as one pair; the factor and
// view files' checks of names and ranges; grid steps as error codes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "kernels/shading/factor_file.hpp"
#include "kernels/shading/fingerprint.hpp"
#include "kernels/shading/store.hpp"
#include "kernels/shading/sun_grid.hpp"

#include "temp_folder.hpp"

namespace sh = qm::shading;

namespace {

// The test's own folder, removed at its end.
class Folder : public qm::test_support::TempFolder {
public:
    Folder() : TempFolder("qm_store") {}
};

std::string read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

sh::Fingerprint inputs(const std::string& model) {
    sh::Fingerprint fp;
    fp.set("kind", "views");
    fp.set("model", model);
    return fp;
}

}  // namespace

TEST(ShadingStore, SavedPairLoadsAndAnyEditOrMismatchIsRefused) {
    Folder dir;
    const std::string path = dir / "t.views.csv";
    int err = 0;
    const char* step = "";
    EXPECT_EQ(sh::load_if_fresh(path, inputs("a")).error, sh::StoreError::no_product);
    ASSERT_EQ(sh::save(path, "surface,sky_view\nroof,0.5\n", inputs("a"), err, step), sh::StoreError::none);
    sh::StoreLoad got = sh::load_if_fresh(path, inputs("a"));
    ASSERT_EQ(got.error, sh::StoreError::none);
    EXPECT_EQ(got.text, "surface,sky_view\nroof,0.5\n");
    EXPECT_NE(read(sh::fingerprint_path(path)).find("content = sha256:"), std::string::npos);

    // Another model: stale, naming the key.
    got = sh::load_if_fresh(path, inputs("b"));
    EXPECT_EQ(got.error, sh::StoreError::stale);
    EXPECT_EQ(got.changed, (std::vector<std::string>{"model"}));
    // An edited product (one digit) is not the product the fingerprint was written for.
    write(path, "surface,sky_view\nroof,0.6\n");
    EXPECT_EQ(sh::load_if_fresh(path, inputs("a")).error, sh::StoreError::content_changed);
    // A product of model b beside the fingerprint of model a (a write failed between the two).
    ASSERT_EQ(sh::save(path, "surface,sky_view\nroof,0.7\n", inputs("b"), err, step), sh::StoreError::none);
    const std::string fp_b = read(sh::fingerprint_path(path));
    ASSERT_EQ(sh::save(path, "surface,sky_view\nroof,0.5\n", inputs("a"), err, step), sh::StoreError::none);
    const std::string product_a = read(path);
    write(path, "surface,sky_view\nroof,0.7\n");
    EXPECT_EQ(sh::load_if_fresh(path, inputs("a")).error, sh::StoreError::content_changed);
    write(path, product_a);
    write(sh::fingerprint_path(path), fp_b);
    EXPECT_EQ(sh::load_if_fresh(path, inputs("a")).error, sh::StoreError::stale);
    // A fingerprint without a content line (an older writer's) is not trusted either.
    sh::Fingerprint plain = inputs("a");
    write(sh::fingerprint_path(path), plain.text());
    EXPECT_EQ(sh::load_if_fresh(path, inputs("a")).error, sh::StoreError::content_changed);
    write(sh::fingerprint_path(path), "not a fingerprint\n");
    EXPECT_EQ(sh::load_if_fresh(path, inputs("a")).error, sh::StoreError::fingerprint_format);
    ::unlink(sh::fingerprint_path(path).c_str());
    EXPECT_EQ(sh::load_if_fresh(path, inputs("a")).error, sh::StoreError::no_fingerprint);
}

TEST(ShadingStore, LinksAreReplacedThemselvesNeverTheirTargets) {
    Folder dir;
    const std::string model = dir / "model.stl", path = dir / "t.exact.csv";
    write(model, "solid a\nendsolid a\n");
    ASSERT_EQ(::symlink(model.c_str(), path.c_str()), 0);
    ASSERT_EQ(::symlink(model.c_str(), sh::fingerprint_path(path).c_str()), 0);
    // The link's target read as a product is no fresh product.
    EXPECT_NE(sh::load_if_fresh(path, inputs("a")).error, sh::StoreError::none);
    int err = 0;
    const char* step = "";
    ASSERT_EQ(sh::save(path, "x\n", inputs("a"), err, step), sh::StoreError::none);
    EXPECT_EQ(read(model), "solid a\nendsolid a\n");
    struct stat st;
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    ASSERT_EQ(::lstat(sh::fingerprint_path(path).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(sh::load_if_fresh(path, inputs("a")).error, sh::StoreError::none);
    // A folder in the way: the write fails and says so.
    const std::string blocked = dir / "blocked.csv";
    ASSERT_EQ(::mkdir(blocked.c_str(), 0755), 0);
    EXPECT_EQ(sh::save(blocked, "x\n", inputs("a"), err, step), sh::StoreError::write_failed);
    EXPECT_NE(err, 0);
}

TEST(FactorFile, NamesAndRangesAreChecked) {
    sh::FactorTable t;
    t.surfaces = {"a", "b"};
    t.altitudes = {10, 20};
    t.azimuths = {100, 200};
    t.factors = {0.0, 0.25, 1.0, 0.5};
    const std::string text = sh::factor_table_text(t);
    sh::FactorTable back;
    size_t line = 0;
    ASSERT_EQ(sh::read_factor_table(text, {"a", "b"}, back, line), sh::FactorFileError::none);
    EXPECT_EQ(back.factors, t.factors);
    EXPECT_EQ(sh::read_factor_table(text, {"b", "a"}, back, line), sh::FactorFileError::header);
    EXPECT_EQ(sh::read_factor_table(text, {"a"}, back, line), sh::FactorFileError::header);
    EXPECT_EQ(sh::read_factor_table("", {"a"}, back, line), sh::FactorFileError::empty);
    const std::string head = "altitude,azimuth,a,b\n";
    for (const char* bad : {"10,100,5,0.5\n", "10,100,nan,0.5\n", "10,100,-1,-1\n", "10,100,0.5,1.0000001\n",
                            "inf,100,0.5,0.5\n"}) {
        EXPECT_EQ(sh::read_factor_table(head + "1,2,0,0\n" + bad, {"a", "b"}, back, line), sh::FactorFileError::range)
            << bad;
        EXPECT_EQ(line, 3u);
    }
    EXPECT_EQ(sh::read_factor_table(head + "10,100,0.5\n", {"a", "b"}, back, line), sh::FactorFileError::count);
    EXPECT_EQ(sh::read_factor_table(head + "10,100,0.5,x\n", {"a", "b"}, back, line),
              sh::FactorFileError::not_number);
}

TEST(ViewFile, AnyNumberOfNamedViewsRoundTripAndAreChecked) {
    sh::ViewTable t;
    t.views = {"sky_view", "ground_view", "horizon_view"};
    t.surfaces = {"roof, east", "wall"};  // a name with a comma
    t.values = {0.9, 0.1, 0.05, 0.123456789012345678, 0.0, 1.0};
    const std::string text = sh::view_table_text(t);
    EXPECT_EQ(text.substr(0, text.find('\n')), "surface,sky_view,ground_view,horizon_view");
    sh::ViewTable back;
    size_t line = 0;
    ASSERT_EQ(sh::read_view_table(text, t.surfaces, t.views, back, line), sh::FactorFileError::none);
    EXPECT_EQ(back.values, t.values);  // 17 digits: the same doubles
    EXPECT_EQ(sh::read_view_table(text, {"wall", "roof, east"}, t.views, back, line), sh::FactorFileError::surface);
    EXPECT_EQ(sh::read_view_table(text, t.surfaces, {"sky_view", "ground_view"}, back, line),
              sh::FactorFileError::header);
    EXPECT_EQ(sh::read_view_table(text, {"roof, east", "wall", "more"}, t.views, back, line),
              sh::FactorFileError::count);
    std::string bad = text;
    bad.replace(bad.find("0.90000000000000002"), 19, "1.5");
    EXPECT_EQ(sh::read_view_table(bad, t.surfaces, t.views, back, line), sh::FactorFileError::range);
    EXPECT_EQ(line, 2u);
}

TEST(SunGrid, StepsAreRefusedWithCodes) {
    sh::SunGrid g;
    size_t points = 0;
    EXPECT_EQ(sh::grid_for_steps(0, 15, g), sh::GridError::azimuth_step);
    EXPECT_EQ(sh::grid_for_steps(NAN, 15, g), sh::GridError::azimuth_step);
    EXPECT_EQ(sh::grid_for_steps(45, 91, g), sh::GridError::altitude_step);
    EXPECT_EQ(sh::grid_for_steps(0.01, 0.01, g, &points), sh::GridError::too_many_points);
    EXPECT_EQ(points, 36001u * 9001u);
    ASSERT_EQ(sh::grid_for_steps(45, 15, g, &points), sh::GridError::none);
    EXPECT_EQ(points, 9u * 7u);
    EXPECT_EQ(g.size(), 63u);
}
