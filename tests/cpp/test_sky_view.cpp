// Sky and ground views by ray casting: sampling error against closed forms,
// obstruction, determinism over threads, cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <vector>

#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/subdivide.hpp"
#include "kernels/shading/sky_view.hpp"

namespace sh = qm::shading;
namespace geom = qm::geom;

namespace {

constexpr double kPi = 3.14159265358979323846;

void normal_of(const double* t, double n[3]) {
    const double a[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]};
    const double b[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
    n[0] = a[1] * b[2] - a[2] * b[1], n[1] = a[2] * b[0] - a[0] * b[2], n[2] = a[0] * b[1] - a[1] * b[0];
    const double l = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    for (int j = 0; j < 3; ++j) n[j] /= l;
}

// One surface made of model triangles [first, first + count).
void add(geom::FaceSet& set, const std::vector<double>& tris, size_t first, size_t count) {
    std::vector<double> normals(3 * count);
    std::vector<int64_t> self(count);
    for (size_t k = 0; k < count; ++k) {
        normal_of(&tris[9 * (first + k)], &normals[3 * k]);
        self[k] = int64_t(first + k);
    }
    ASSERT_TRUE(geom::add_surface(set, &tris[9 * first], normals.data(), self.data(), count, 0.0, 1000000));
}

// A small triangle at the origin tilted by beta about the x axis, facing
// south (-y) for beta in (0, 180).
std::vector<double> tilted_triangle(double beta_deg) {
    const double b = beta_deg * kPi / 180.0;
    // In-plane axes: +x and (0, cos b, sin b) (rising towards the north).
    const double e[3] = {0.0, std::cos(b), std::sin(b)};
    const double s = 0.01;
    return {0, 0, 0, s, 0, 0, 0, s * e[1], s * e[2]};
}

void quad(std::vector<double>& t, const double a[3], const double b[3], const double c[3], const double d[3]) {
    for (const double* p : {a, b, c, a, c, d}) t.insert(t.end(), p, p + 3);
}

}  // namespace

TEST(SkyView, DirectionSetIsUnitAndInTheFaceHemisphere) {
    const double n[3] = {0.3, -0.5, 0.8};
    const double len = std::sqrt(0.09 + 0.25 + 0.64);
    auto d = sh::view_directions(n, 512);
    ASSERT_EQ(d.size(), 3u * 512);
    double mean_cos = 0.0;
    for (size_t i = 0; i < d.size(); i += 3) {
        EXPECT_NEAR(d[i] * d[i] + d[i + 1] * d[i + 1] + d[i + 2] * d[i + 2], 1.0, 1e-12);
        const double c = (d[i] * n[0] + d[i + 1] * n[1] + d[i + 2] * n[2]) / len;
        EXPECT_GT(c, 0.0);
        mean_cos += c;
    }
    // Cosine-weighted: the mean cosine is 2/3 (E[cos] under p ~ cos).
    EXPECT_NEAR(mean_cos / (d.size() / 3), 2.0 / 3.0, 1e-3);
    const double zero[3] = {0, 0, 0};
    EXPECT_TRUE(sh::view_directions(zero, 512).empty());
}

TEST(SkyView, UnobstructedTiltedPlaneMatchesTheIsotropicValueAtEveryTilt) {
    double worst = 0.0;
    for (int q = 0; q <= 720; ++q) {
        const double tilt = 0.25 * q;
        auto tri = tilted_triangle(tilt);
        geom::Scene scene(tri);
        geom::FaceSet set;
        add(set, tri, 0, 1);
        sh::ViewFactors v;
        ASSERT_TRUE(sh::view_factors(scene, set, v));
        const double b = tilt * kPi / 180.0;
        const double sky = (1.0 + std::cos(b)) / 2.0, ground = (1.0 - std::cos(b)) / 2.0;
        worst = std::max({worst, std::fabs(v.sky[0] - sky), std::fabs(v.ground[0] - ground)});
        EXPECT_NEAR(v.sky[0] + v.ground[0], 1.0, 1e-12) << tilt;
    }
    EXPECT_LT(worst, 0.0013);
    EXPECT_GT(worst, 0.0);  // the set is finite: the comparison is not trivially exact
}

TEST(SkyView, HorizontalPlaneBesideALongWallMatchesTheClosedForm) {
    // A wall along x (|x| < 5000) at y = 0, 0 <= z <= h; a small horizontal
    // triangle at distance dist in front of it. The infinitely long wall takes
    // (1 - cos e) / 2 of the sky, e its top's elevation seen from the plane:
    // sky view (1 + dist / sqrt(dist^2 + h^2)) / 2.
    for (double h : {1.0, 3.0, 10.0}) {
        const double dist = 2.0;
        std::vector<double> tris;
        const double s = 0.01;
        const double t[9] = {0, -dist, 0, s, -dist, 0, 0, -dist + s, 0};
        tris.insert(tris.end(), t, t + 9);
        const double a[3] = {-5000, 0, 0}, b[3] = {5000, 0, 0}, c[3] = {5000, 0, h}, d[3] = {-5000, 0, h};
        quad(tris, a, b, c, d);
        geom::Scene scene(tris);
        geom::FaceSet set;
        add(set, tris, 0, 1);
        sh::ViewFactors v;
        ASSERT_TRUE(sh::view_factors(scene, set, v));
        const double expected = (1.0 + dist / std::sqrt(dist * dist + h * h)) / 2.0;
        EXPECT_NEAR(v.sky[0], expected, 0.002) << h;
        EXPECT_EQ(v.ground[0], 0.0);
    }
}

TEST(SkyView, WallFacingAWallSeesLessSkyAndGroundAndAreasWeigh) {
    // Vertical surface (two triangles, facing -y) 1 m in front of a tall wall
    // that faces it: sky view well under the free 0.5, ground view too, and
    // the surface value is the area-weighted mean of its faces.
    std::vector<double> tris;
    const double a[3] = {0, 0, 1}, b[3] = {-1, 0, 1}, c[3] = {-1, 0, 2}, d[3] = {0, 0, 2};
    quad(tris, b, a, d, c);  // normal -y
    const double w0[3] = {-100, -1, -5}, w1[3] = {100, -1, -5}, w2[3] = {100, -1, 50}, w3[3] = {-100, -1, 50};
    quad(tris, w0, w1, w2, w3);
    geom::Scene scene(tris);
    geom::FaceSet set;
    add(set, tris, 0, 2);
    sh::ViewFactors v;
    ASSERT_TRUE(sh::view_factors(scene, set, v));
    EXPECT_LT(v.sky[0], 0.05);
    EXPECT_LT(v.ground[0], 0.05);

    geom::Scene free_scene(std::vector<double>(tris.begin(), tris.begin() + 18));
    sh::ViewFactors f;
    ASSERT_TRUE(sh::view_factors(free_scene, set, f));
    EXPECT_NEAR(f.sky[0], 0.5, 0.001);
    EXPECT_NEAR(f.ground[0], 0.5, 0.001);
}

TEST(SkyView, SameCountsOnAnyThreadCountWithProgressAndCancel) {
    std::vector<double> tris;
    for (int i = 0; i < 6; ++i) {
        const double x = 2.0 * i;
        const double a[3] = {x, 0, 0}, b[3] = {x + 1, 0, 0}, c[3] = {x + 1, 1, 0.3 * i}, d[3] = {x, 1, 0.3 * i};
        quad(tris, a, b, c, d);
    }
    const double a[3] = {-1, 3, 0}, b[3] = {13, 3, 0}, c[3] = {13, 3, 6}, d[3] = {-1, 3, 6};
    quad(tris, d, c, b, a);
    geom::Scene scene(tris);
    geom::FaceSet set;
    for (int i = 0; i < 6; ++i) add(set, tris, 2 * i, 2);
    sh::SkyViewOptions o;
    o.threads = 1;
    sh::ViewFactors one, two;
    ASSERT_TRUE(sh::view_factors(scene, set, one, o));
    o.threads = 2;
    size_t last_done = 0, last_total = 0;
    o.progress = [&](size_t done, size_t total) { last_done = done, last_total = total; };
    ASSERT_TRUE(sh::view_factors(scene, set, two, o));
    EXPECT_EQ(one.sky, two.sky);
    EXPECT_EQ(one.ground, two.ground);
    EXPECT_GT(last_total, 0u);
    EXPECT_EQ(last_done, last_total);
    for (size_t s = 0; s < 6; ++s) EXPECT_LT(one.sky[s], 1.0);  // the wall to the north blocks some sky

    std::atomic<bool> stop{true};
    o.cancel = &stop;
    sh::ViewFactors none;
    EXPECT_FALSE(sh::view_factors(scene, set, none, o));
    o.cancel = nullptr;
    o.directions = 0;
    EXPECT_FALSE(sh::view_factors(scene, set, none, o));
    EXPECT_TRUE(none.sky.empty());
}

TEST(HorizonView, UnobstructedPlaneSeesSinTiltAtEveryTilt) {
    double worst_up = 0.0, worst_down = 0.0;
    for (int q = 0; q <= 720; q += 2) {
        const double tilt = 0.25 * q;
        auto tri = tilted_triangle(tilt);
        geom::Scene scene(tri);
        geom::FaceSet set;
        add(set, tri, 0, 1);
        sh::ViewFactors v;
        ASSERT_TRUE(sh::view_factors(scene, set, v));
        ASSERT_EQ(v.horizon.size(), 1u);
        const double err = std::fabs(v.horizon[0] - std::sin(tilt * kPi / 180.0));
        if (tilt > 90.0) {
            EXPECT_LE(v.horizon[0], std::sin(tilt * kPi / 180.0) + 1e-6) << tilt;
        }
        (tilt <= 90.0 ? worst_up : worst_down) = std::max(tilt <= 90.0 ? worst_up : worst_down, err);
    }
    EXPECT_LT(worst_up, 1e-6);
    EXPECT_LT(worst_down, 0.037);
    EXPECT_GT(worst_down, 0.0);  // directions behind a downward face drop out
}

TEST(HorizonView, ANeighbourTakesItsWidthOfTheBand) {
    // A small south-facing wall; across the street (10 m south) a wall 20 m
    // high (well above the band), 2 w wide, centred in front of it: it hides
    // the azimuths within atan(w / 10) of south, whose weight in the band
    // integral is (1/2) * integral of cos = sin(atan(w / 10)).
    for (double w : {2.0, 10.0, 40.0}) {
        std::vector<double> tris;
        auto tri = tilted_triangle(90.0);
        tris.insert(tris.end(), tri.begin(), tri.end());
        const double a[3] = {-w, -10, -1}, b[3] = {w, -10, -1}, c[3] = {w, -10, 20}, d[3] = {-w, -10, 20};
        quad(tris, a, b, c, d);
        geom::Scene scene(tris);
        geom::FaceSet set;
        add(set, tris, 0, 1);
        sh::ViewFactors v;
        ASSERT_TRUE(sh::view_factors(scene, set, v));
        const double expected = 1.0 - std::sin(std::atan(w / 10.0));
        EXPECT_NEAR(v.horizon[0], expected, 2e-3) << w;
        EXPECT_LT(v.sky[0], 0.5);
    }
}

TEST(HorizonView, SameSumsOnAnyThreadCountAndOptionChecks) {
    std::vector<double> tris;
    for (int i = 0; i < 5; ++i) {
        const double x = 3.0 * i;
        const double a[3] = {x, 0, 0}, b[3] = {x + 1, 0, 0}, c[3] = {x + 1, 0.2, 1}, d[3] = {x, 0.2, 1};
        quad(tris, a, b, c, d);
    }
    const double a[3] = {-1, -4, 0}, b[3] = {6, -4, 0}, c[3] = {6, -4, 3}, d[3] = {-1, -4, 3};
    quad(tris, a, b, c, d);
    geom::Scene scene(tris);
    geom::FaceSet set;
    for (int i = 0; i < 5; ++i) add(set, tris, 2 * i, 2);
    sh::SkyViewOptions o;
    o.threads = 1;
    sh::ViewFactors one, three;
    ASSERT_TRUE(sh::view_factors(scene, set, one, o));
    o.threads = 3;
    ASSERT_TRUE(sh::view_factors(scene, set, three, o));
    EXPECT_EQ(one.horizon, three.horizon);  // bit-equal
    EXPECT_LT(one.horizon[0], one.horizon[4]);  // the neighbour stands in front of the first faces only
    o.horizon_directions = 0;
    sh::ViewFactors none;
    ASSERT_TRUE(sh::view_factors(scene, set, none, o));
    EXPECT_TRUE(none.horizon.empty());
    EXPECT_EQ(none.sky, one.sky);
    o.horizon_directions = 64, o.horizon_band = 90.0;
    EXPECT_FALSE(sh::view_factors(scene, set, none, o));
    EXPECT_TRUE(sh::horizon_directions(16, 0.0).empty());
}
