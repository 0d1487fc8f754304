// Tiles and margins of a city model, and the direct sun on chosen triangles:
// margin selection, shared frames, an edge roof shaded across a tile border,
// selections that concatenate to the whole, refused inputs.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/tiles.hpp"
#include "kernels/shading/triangle_sun.hpp"

namespace sh = qm::shading;
namespace geom = qm::geom;

namespace {

// Two triangles of a flat roof: a square [x0, x1] x [y0, y1] at height z.
void roof(std::vector<double>& t, double x0, double y0, double x1, double y1, double z) {
    const double a[] = {x0, y0, z, x1, y0, z, x1, y1, z, x0, y0, z, x1, y1, z, x0, y1, z};
    t.insert(t.end(), a, a + 18);
}

std::vector<double> normals_of(const std::vector<double>& tris) {
    std::vector<double> n(tris.size() / 3);
    for (size_t k = 0; k < tris.size() / 9; ++k) {
        const double* t = &tris[9 * k];
        const double a[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]};
        const double b[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
        double* o = &n[3 * k];
        o[0] = a[1] * b[2] - a[2] * b[1], o[1] = a[2] * b[0] - a[0] * b[2], o[2] = a[0] * b[1] - a[1] * b[0];
        const double l = std::sqrt(o[0] * o[0] + o[1] * o[1] + o[2] * o[2]);
        for (int j = 0; j < 3; ++j) o[j] = l > 0 ? o[j] / l : 0.0;
    }
    return n;
}

struct Steps {
    std::vector<double> dirs, hours, dni;
    void add(double alt, double az, double h = 1.0, double e = 800.0) {
        double d[3];
        geom::sun_direction(alt, az, d);
        dirs.insert(dirs.end(), d, d + 3);
        hours.push_back(h), dni.push_back(e);
    }
};

sh::TriangleSunResult sun(const geom::Scene& scene, const std::vector<double>& normals,
                          const std::vector<int64_t>& faces, const Steps& s, unsigned threads = 1) {
    sh::TriangleSunInput in;
    in.scene = &scene, in.normals = normals.data(), in.faces = faces.data(), in.n_faces = faces.size();
    in.directions = s.dirs.data(), in.hours = s.hours.data(), in.dni = s.dni.data(), in.n_steps = s.hours.size();
    in.threads = threads;
    sh::TriangleSunResult out;
    EXPECT_EQ(sh::triangle_sun(in, out), sh::TriangleSunError::none);
    return out;
}

}  // namespace

TEST(Tiles, ExtentAndMarginSelection) {
    std::vector<double> t;
    roof(t, 0, 0, 10, 10, 5);        // 0, 1
    roof(t, 14, 0, 20, 10, 5);       // 2, 3: 4 m east of the first
    roof(t, 0, 30, 10, 40, 5);       // 4, 5: 20 m north
    roof(t, 1e8, 0, 1e8 + 1, 1, 5);  // 6, 7: beyond the coordinate bound
    t[9 * 0 + 2] = std::numeric_limits<double>::quiet_NaN();  // triangle 0 not finite
    const geom::Extent e = geom::xy_extent(t.data(), t.size() / 9);
    ASSERT_FALSE(e.empty);
    EXPECT_EQ(e.lo[0], 0);
    EXPECT_EQ(e.lo[1], 0);
    EXPECT_EQ(e.hi[0], 20);
    EXPECT_EQ(e.hi[1], 40);

    geom::Extent tile;
    tile.lo[0] = 0, tile.lo[1] = 0, tile.hi[0] = 10, tile.hi[1] = 10, tile.empty = false;
    std::vector<uint32_t> keep;
    ASSERT_EQ(geom::margin_triangles(t.data(), t.size() / 9, tile, 3.99, keep), geom::TileError::none);
    EXPECT_EQ(keep, (std::vector<uint32_t>{1}));  // not the NaN one, not the one 4 m away
    ASSERT_EQ(geom::margin_triangles(t.data(), t.size() / 9, tile, 4.0, keep), geom::TileError::none);
    EXPECT_EQ(keep, (std::vector<uint32_t>{1, 2, 3}));  // the band's edge is inside
    ASSERT_EQ(geom::margin_triangles(t.data(), t.size() / 9, tile, 20.0, keep), geom::TileError::none);
    EXPECT_EQ(keep, (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    // A triangle spanning the band with no vertex inside it is kept (its box crosses the tile).
    std::vector<double> across = {-50, 5, 0, 50, 5, 0, 50, 6, 0};
    ASSERT_EQ(geom::margin_triangles(across.data(), 1, tile, 0.0, keep), geom::TileError::none);
    EXPECT_EQ(keep.size(), 1u);

    EXPECT_EQ(geom::margin_triangles(t.data(), 1, tile, -1.0, keep), geom::TileError::bad_margin);
    EXPECT_EQ(geom::margin_triangles(t.data(), 1, tile, std::nan(""), keep), geom::TileError::bad_margin);
    EXPECT_EQ(geom::margin_triangles(t.data(), 1, tile, INFINITY, keep), geom::TileError::bad_margin);
    EXPECT_TRUE(keep.empty());
    ASSERT_EQ(geom::margin_triangles(t.data(), t.size() / 9, geom::Extent{}, 100.0, keep), geom::TileError::none);
    EXPECT_TRUE(keep.empty());
    EXPECT_TRUE(geom::xy_extent(t.data() + 54, 2).empty);
}

TEST(Tiles, ShiftAndDistance) {
    std::vector<double> t;
    roof(t, 0, 0, 1, 1, 0);
    const double off[3] = {1000.5, -2.25, 3.0};
    ASSERT_EQ(geom::shift_triangles(t.data(), 2, off), geom::TileError::none);
    EXPECT_EQ(t[0], 1000.5);
    EXPECT_EQ(t[1], -2.25);
    EXPECT_EQ(t[2], 3.0);
    EXPECT_EQ(t[3], 1001.5);
    const double bad[3] = {0, 2e7, 0};
    EXPECT_EQ(geom::shift_triangles(t.data(), 2, bad), geom::TileError::bad_offset);
    EXPECT_EQ(t[1], -2.25);  // untouched
    geom::Extent a, b;
    a.hi[0] = a.hi[1] = 10, a.empty = false;
    b.lo[0] = 13, b.lo[1] = 14, b.hi[0] = 20, b.hi[1] = 20, b.empty = false;
    EXPECT_EQ(geom::extent_distance(a, b), 4.0);  // the farther axis
    EXPECT_EQ(geom::extent_distance(b, a), 4.0);
    b.lo[0] = 5, b.lo[1] = 5;
    EXPECT_EQ(geom::extent_distance(a, b), 0.0);
    EXPECT_TRUE(std::isinf(geom::extent_distance(a, geom::Extent{})));
}

// Tile A: a roof at 3 m next to its east edge (x = 10); tile B: a 20 m wall
// 6 m further east. Morning suns from the east put the wall's shadow on the roof.
TEST(Tiles, EdgeRoofGetsTheWholeScenesAnswerWithTheMargin) {
    std::vector<double> a, b;
    roof(a, 0, 0, 10, 10, 3);
    // A north-south wall at x = 16 facing west (-x), 20 m high, spanning y in [-5, 15].
    const double w[] = {16, -5, 0, 16, 15, 20, 16, 15, 0, 16, -5, 0, 16, -5, 20, 16, 15, 20};
    b.insert(b.end(), w, w + 18);
    Steps s;
    for (int alt = 10; alt <= 80; alt += 10) s.add(alt, 90, 1.0, 700.0);  // morning sun from the east
    s.add(30, 270), s.add(-5, 90);                                        // an evening step, one below the horizon

    std::vector<double> whole = a;
    whole.insert(whole.end(), b.begin(), b.end());
    const geom::Scene all(whole, 1);
    const auto nall = normals_of(whole);
    const std::vector<int64_t> roof_faces = {0, 1};
    const auto ref = sun(all, nall, roof_faces, s);

    geom::Extent tile = geom::xy_extent(a.data(), a.size() / 9);
    for (double margin : {5.0, 6.0, 50.0}) {
        std::vector<uint32_t> keep;
        ASSERT_EQ(geom::margin_triangles(b.data(), b.size() / 9, tile, margin, keep), geom::TileError::none);
        std::vector<double> scene_tris = a;
        for (uint32_t k : keep) scene_tris.insert(scene_tris.end(), &b[9 * k], &b[9 * k] + 9);
        const geom::Scene part(scene_tris, 1);
        const auto r = sun(part, normals_of(scene_tris), roof_faces, s);
        if (margin < 6.0) {
            EXPECT_TRUE(keep.empty());
            EXPECT_GT(r.beam[0], ref.beam[0]);  // the neighbour's shade is missing
        } else {
            EXPECT_EQ(keep.size(), 2u);
            EXPECT_EQ(r.beam, ref.beam);
            EXPECT_EQ(r.sunlit_hours, ref.sunlit_hours);
        }
    }
    // The low eastern suns are blocked by the wall, the evening one is not.
    EXPECT_LT(ref.sunlit_hours[0], 9.0);
    EXPECT_GE(ref.sunlit_hours[0], 1.0);
}

TEST(TriangleSun, ClosedFormsSelectionsAndThreads) {
    std::vector<double> t;
    roof(t, 0, 0, 1, 1, 0);  // 0, 1: flat, unshaded
    for (int i = 0; i < 40; ++i) roof(t, 3 + i, 0, 3.5 + i, 0.5, 0.1 * i);  // 2..81
    const geom::Scene scene(t, 1);
    const auto nrm = normals_of(t);
    Steps s;
    s.add(30, 180, 0.5, 600.0), s.add(60, 200, 1.0, 900.0), s.add(0.0, 180), s.add(-10, 0);
    s.add(45, 90, 0.0, 500.0);  // zero duration
    const auto one = sun(scene, nrm, {0}, s);
    EXPECT_EQ(one.sunlit_hours[0], 1.5);
    EXPECT_NEAR(one.beam[0], (600.0 * 0.5 * std::sin(30 * M_PI / 180) + 900.0 * std::sin(60 * M_PI / 180)) / 1000.0,
                1e-12);
    EXPECT_EQ(one.rays, 2u);

    std::vector<int64_t> all(t.size() / 9);
    for (size_t k = 0; k < all.size(); ++k) all[k] = int64_t(k);
    const auto whole = sun(scene, nrm, all, s, 2);
    // Units over disjoint selections concatenate to the whole, value for value.
    std::vector<double> beam, hours;
    uint64_t rays = 0;
    for (size_t start = 0; start < all.size(); start += 7) {
        std::vector<int64_t> part(all.begin() + start, all.begin() + std::min(all.size(), start + 7));
        const auto r = sun(scene, nrm, part, s);
        beam.insert(beam.end(), r.beam.begin(), r.beam.end());
        hours.insert(hours.end(), r.sunlit_hours.begin(), r.sunlit_hours.end());
        rays += r.rays;
    }
    EXPECT_EQ(beam, whole.beam);
    EXPECT_EQ(hours, whole.sunlit_hours);
    EXPECT_EQ(rays, whole.rays);
}

TEST(TriangleSun, RefusedInputsNameTheirPosition) {
    std::vector<double> t;
    roof(t, 0, 0, 1, 1, 0);
    roof(t, 2e7, 0, 2e7 + 1, 1, 0);  // 2, 3: beyond the coordinate bound
    const geom::Scene scene(t, 1);
    const auto nrm = normals_of(t);
    Steps s;
    s.add(30, 180);
    auto run = [&](std::vector<int64_t> faces, const Steps& st, sh::TriangleSunResult& out) {
        sh::TriangleSunInput in;
        in.scene = &scene, in.normals = nrm.data(), in.faces = faces.data(), in.n_faces = faces.size();
        in.directions = st.dirs.data(), in.hours = st.hours.data(), in.dni = st.dni.data();
        in.n_steps = st.hours.size();
        return sh::triangle_sun(in, out);
    };
    sh::TriangleSunResult out;
    EXPECT_EQ(run({0, 1, 4}, s, out), sh::TriangleSunError::bad_face);
    EXPECT_EQ(out.where, 2u);
    EXPECT_EQ(run({-1}, s, out), sh::TriangleSunError::bad_face);
    EXPECT_EQ(run({1, 3}, s, out), sh::TriangleSunError::face_range);
    EXPECT_EQ(out.where, 1u);
    for (int field = 0; field < 3; ++field) {
        Steps bad = s;
        bad.add(20, 100);
        if (field == 0) bad.dirs[3] = bad.dirs[4] = bad.dirs[5] = 0.0;
        if (field == 1) bad.hours[1] = -1.0;
        if (field == 2) bad.dni[1] = std::nan("");
        EXPECT_EQ(run({0}, bad, out), sh::TriangleSunError::bad_step);
        EXPECT_EQ(out.where, 1u);
    }
    std::atomic<bool> stop{true};
    sh::TriangleSunInput in;
    std::vector<int64_t> f = {0};
    in.scene = &scene, in.normals = nrm.data(), in.faces = f.data(), in.n_faces = 1;
    in.directions = s.dirs.data(), in.hours = s.hours.data(), in.dni = s.dni.data(), in.n_steps = 1;
    in.cancel = &stop;
    EXPECT_EQ(sh::triangle_sun(in, out), sh::TriangleSunError::cancelled);
}
