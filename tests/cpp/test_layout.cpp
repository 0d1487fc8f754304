// Modules laid out on a surface: the frame, grids and filling, the check that
// refuses a module off its surface, cell sample points and string assignment.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kernels/pv/layout.hpp"

namespace {
using namespace qm::pv;

// A south-facing roof (y north, z up) of width w (x) and slope length l, tilted by `tilt` deg.
std::vector<double> roof(double w, double l, double tilt) {
    const double t = tilt * M_PI / 180.0;
    const double y = l * std::cos(t), z = l * std::sin(t);
    return {0, 0, 0, w, 0, 0, w, y, z,   // counter-clockwise seen from the south-up side
            0, 0, 0, w, y, z, 0, y, z};
}

TEST(Layout, FrameOfASlopedAndALevelSurface) {
    SurfaceFrame f;
    ASSERT_EQ(surface_frame(roof(10, 5, 30), f), LayoutError::none);
    const double s = std::sin(M_PI / 6), c = std::cos(M_PI / 6);
    EXPECT_NEAR(f.normal[0], 0.0, 1e-12);
    EXPECT_NEAR(f.normal[1], -s, 1e-12);
    EXPECT_NEAR(f.normal[2], c, 1e-12);
    EXPECT_NEAR(f.up[1], c, 1e-12);
    EXPECT_NEAR(f.up[2], s, 1e-12);
    EXPECT_NEAR(f.right[0], 1.0, 1e-12);  // east, seen from the front
    EXPECT_NEAR(f.u_max, 10.0, 1e-12);
    EXPECT_NEAR(f.w_max, 5.0, 1e-12);
    const std::vector<double> level = {0, 0, 1, 4, 0, 1, 4, 3, 1};
    ASSERT_EQ(surface_frame(level, f), LayoutError::none);
    EXPECT_NEAR(f.up[1], 1.0, 1e-12);
    EXPECT_NEAR(f.origin[2], 1.0, 1e-12);
    EXPECT_EQ(surface_frame(std::vector<double>{0, 0, 0, 1, 1, 1, 2, 2, 2}, f), LayoutError::no_surface);
    EXPECT_EQ(surface_frame(std::vector<double>{}, f), LayoutError::no_surface);
}

TEST(Layout, GridStringsAndTrackers) {
    LayoutSettings s;
    s.rows = 2, s.columns = 3, s.setback = 0.3, s.modules_per_string = 4, s.strings_per_tracker = 1;
    Layout l;
    int off = 0;
    ASSERT_EQ(place_modules(roof(10, 5, 30), s, l, off), LayoutError::none);
    EXPECT_EQ(off, -1);
    ASSERT_EQ(l.modules.size(), 6u);
    EXPECT_NEAR(l.modules[0].u, 0.3, 1e-12);
    EXPECT_NEAR(l.modules[1].u, 0.3 + 1.02, 1e-12);
    EXPECT_NEAR(l.modules[3].w, 0.3 + 1.72, 1e-12);  // second row, portrait
    EXPECT_NEAR(l.modules[0].du, 1.0, 1e-12);
    EXPECT_EQ(l.strings, 2);
    EXPECT_EQ(l.string_of_module, (std::vector<int>{0, 0, 0, 0, 1, 1}));
    EXPECT_EQ(l.trackers, 2);
    EXPECT_EQ(l.tracker_of_string, (std::vector<int>{0, 1}));
    s.portrait = false;
    ASSERT_EQ(place_modules(roof(10, 5, 30), s, l, off), LayoutError::none);
    EXPECT_NEAR(l.modules[0].du, 1.7, 1e-12);
}

TEST(Layout, ModuleOffItsSurfaceIsNamed) {
    LayoutSettings s;
    s.rows = 1, s.columns = 10;
    Layout l;
    int off = -1;
    // modules at u = 0, 1.02, ... 4.08: the fifth ends at 5.08 on a 5 m roof
    EXPECT_EQ(place_modules(roof(5, 3, 30), s, l, off), LayoutError::module_off_surface);
    EXPECT_EQ(off, 4);
    s.columns = 4, s.offset_w = 1.31;  // 1.31 + 1.7 = 3.01 > 3
    EXPECT_EQ(place_modules(roof(5, 3, 30), s, l, off), LayoutError::module_off_surface);
    EXPECT_EQ(off, 0);
    s.offset_w = 1.3;  // flush with the ridge
    EXPECT_EQ(place_modules(roof(5, 3, 30), s, l, off), LayoutError::none);
    // A bent surface: the second half is turned; modules lie in the mean plane, which leaves both halves.
    std::vector<double> bent = roof(2, 3, 30);
    const std::vector<double> more = {2, 0, 0, 4, 0, 0.7, 4, 2.598, 2.2, 2, 0, 0, 4, 2.598, 2.2, 2, 2.598, 1.5};
    bent.insert(bent.end(), more.begin(), more.end());
    s = LayoutSettings{};
    s.rows = 1, s.columns = 3;
    EXPECT_EQ(place_modules(bent, s, l, off), LayoutError::module_off_surface);
    EXPECT_EQ(off, 0);
}

TEST(Layout, FillKeepsTheSetbackOnATriangle) {
    // A gable-end triangle standing in the x-z plane, facing -y.
    const std::vector<double> gable = {0, 0, 0, 10, 0, 0, 5, 0, 5};
    LayoutSettings s;
    s.fill = true, s.rows = 0, s.columns = 0, s.setback = 0.3, s.portrait = false;
    Layout l;
    int off = 0;
    ASSERT_EQ(place_modules(gable, s, l, off), LayoutError::none);
    ASSERT_FALSE(l.modules.empty());
    EXPECT_EQ(module_off_surface(gable, l, s), -1);
    for (const PlacedModule& m : l.modules) {
        // inside the triangle by the setback: |x - 5| + z <= 5 - setback * sqrt(2) on both top corners
        const double top = m.w + m.dw, left = m.u, right = m.u + m.du;
        EXPECT_LE(top + std::fabs(left - 5.0), 5.0 - 0.3 * std::sqrt(2.0) + 1e-9);
        EXPECT_LE(top + std::fabs(right - 5.0), 5.0 - 0.3 * std::sqrt(2.0) + 1e-9);
        EXPECT_GE(m.w, 0.3 - 1e-12);
    }
    // Grid columns at u = 0.3 + 1.72 c; the module grown by the setback must fit under the
    // sloped edges: three in the first row (u = 2.02, 3.74, 5.46), one in the second (3.74).
    ASSERT_EQ(l.modules.size(), 4u);
    EXPECT_NEAR(l.modules[3].u, 3.74, 1e-12);
    s.setback = 4.0;
    EXPECT_EQ(place_modules(gable, s, l, off), LayoutError::nothing_fits);
    s.setback = std::nan("");
    EXPECT_EQ(place_modules(gable, s, l, off), LayoutError::settings_out_of_range);
    s.setback = 0, s.samples = 0;
    EXPECT_EQ(place_modules(gable, s, l, off), LayoutError::settings_out_of_range);
    EXPECT_STRNE(layout_error_text(LayoutError::module_off_surface), "unknown");
}

TEST(Layout, CellPointsFollowTheCellOrder) {
    LayoutSettings s;
    s.module_width = 1.0, s.module_length = 1.7, s.samples = 2;
    Layout l;
    int off = 0;
    const std::vector<double> r = roof(1.0, 1.7, 0.0);  // one module covers the surface exactly
    ASSERT_EQ(place_modules(r, s, l, off), LayoutError::none);
    std::vector<double> xyz;
    std::vector<int> facet;
    cell_points(r, l, s, xyz, facet);
    ASSERT_EQ(facet.size(), 60u * 4u);
    for (int f : facet) EXPECT_GE(f, 0);
    // cell (a = 1, b = 2) is number 12; its first sample is a quarter cell in from its lower-left
    const double cu = 1.0 / 6, cw = 1.7 / 10;
    EXPECT_NEAR(xyz[(12 * 4) * 3 + 0], cu * 1.25, 1e-12);
    EXPECT_NEAR(xyz[(12 * 4) * 3 + 1], cw * 2.25, 1e-12);
    EXPECT_NEAR(xyz[(12 * 4 + 1) * 3 + 0], cu * 1.75, 1e-12);  // next sample along u
    EXPECT_NEAR(xyz[(12 * 4 + 2) * 3 + 1], cw * 2.75, 1e-12);  // next row of samples
    // landscape: a runs up the slope
    s.portrait = false, s.samples = 1;
    const std::vector<double> wide = roof(1.7, 1.0, 0.0);
    ASSERT_EQ(place_modules(wide, s, l, off), LayoutError::none);
    cell_points(wide, l, s, xyz, facet);
    EXPECT_NEAR(xyz[12 * 3 + 0], 1.7 / 10 * 2.5, 1e-12);
    EXPECT_NEAR(xyz[12 * 3 + 1], 1.0 / 6 * 1.5, 1e-12);
}

}  // namespace
