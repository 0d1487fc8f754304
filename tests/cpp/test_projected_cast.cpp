// Beam factors by projection along the sun (shading/projected_cast) against
// the tracer's ray-by-ray batch (shading/exact_factors): bit for bit, on rays
// through triangle edges and vertices, grazing and parallel triangles, a
// random triangle soup at low suns, and for any thread count.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/subdivide.hpp"
#include "kernels/shading/exact_factors.hpp"
#include "kernels/shading/projected_cast.hpp"

namespace sh = qm::shading;
namespace geom = qm::geom;

namespace {

void tri(std::vector<double>& t, std::initializer_list<double> v) { t.insert(t.end(), v); }

// One small face per sample point (as a module layout's cells are made), its
// own triangle `self` and its normal; one surface per `per` faces.
void add_samples(geom::FaceSet& f, const std::vector<double>& points, const double n[3], int64_t self, size_t per) {
    const double eps = 1e-4;
    for (size_t k = 0; k < points.size() / 3; ++k) {
        if (k % per == 0) f.first.push_back(f.size()), f.count.push_back(0);
        ++f.count.back();
        const double* p = &points[3 * k];
        const double c[3][2] = {{1.0, 0.0}, {-0.5, 0.8660254037844386}, {-0.5, -0.8660254037844386}};
        for (const auto& w : c) f.tris.insert(f.tris.end(), {p[0] + eps * w[0], p[1] + eps * w[1], p[2]});
        f.normals.insert(f.normals.end(), n, n + 3);
        f.self.push_back(self);
    }
}

size_t compare(const geom::Scene& scene, const geom::FaceSet& faces, const std::vector<double>& alt,
               const std::vector<double>& az, unsigned threads, size_t* lit = nullptr, size_t* dark = nullptr) {
    const size_t S = faces.first.size();
    std::vector<double> a(alt.size() * S), b(alt.size() * S);
    sh::BatchOptions o;
    o.threads = threads;
    EXPECT_TRUE(sh::exact_factors(scene, faces, alt.data(), az.data(), alt.size(), a.data(), o));
    EXPECT_TRUE(sh::projected_factors(scene, faces, alt.data(), az.data(), alt.size(), b.data(), o));
    size_t differ = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        differ += std::memcmp(&a[i], &b[i], sizeof(double)) != 0;
        if (lit && a[i] > 0.0) ++*lit;
        if (dark && a[i] == 0.0) ++*dark;
    }
    return differ;
}

}  // namespace

TEST(ProjectedCast, RaysThroughEdgesAndVerticesAsTheTracer) {
    // A level roof at z = 0 (two triangles) with sample points on a 0.25 m
    // lattice, under a level occluder at z = 1 whose edges and vertices lie
    // straight above lattice points: an overhead sun sends rays exactly through
    // them, where the test's border rule decides. A tilted occluder and one
    // edge-on to some suns (parallel: never hit) join it.
    std::vector<double> t;
    tri(t, {0, 0, 0, 4, 0, 0, 4, 4, 0});
    tri(t, {0, 0, 0, 4, 4, 0, 0, 4, 0});
    tri(t, {1, 1, 1, 3, 1, 1, 1, 3, 1});
    tri(t, {2, 2, 1, 3, 3, 2, 2, 3, 1.5});
    tri(t, {0.5, 0, 0.5, 0.5, 4, 0.5, 0.5, 4, 2});  // in the plane x = 0.5
    const geom::Scene scene(t, 1);
    std::vector<double> pts_a, pts_b;
    for (int i = 0; i <= 16; ++i)
        for (int j = 0; j <= 16; ++j) {
            const double x = i * 0.25, y = j * 0.25;
            (x >= y ? pts_a : pts_b).insert((x >= y ? pts_a : pts_b).end(), {x, y, 0.0});
        }
    geom::FaceSet faces;
    const double up[3] = {0, 0, 1};
    add_samples(faces, pts_a, up, 0, 1);
    add_samples(faces, pts_b, up, 1, 1);
    std::vector<double> alt = {90.0, 89.999999, 45.0, 30.0, 60.0, 5.0, 0.5}, az = {0.0, 45.0, 180.0, 90.0, 270.0, 135.0, 200.0};
    size_t lit = 0, dark = 0;
    EXPECT_EQ(compare(scene, faces, alt, az, 1, &lit, &dark), 0u);
    EXPECT_GT(lit, 100u);
    EXPECT_GT(dark, 20u);
}

TEST(ProjectedCast, RandomSoupAtLowAndHighSunsAsTheTracer) {
    std::mt19937_64 rng(25);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> t;
    // A tilted roof plane (z = 0.3 y) and 300 triangles of every size and slant above and below it.
    tri(t, {0, 0, 0, 10, 0, 0, 10, 10, 3});
    tri(t, {0, 0, 0, 10, 10, 3, 0, 10, 3});
    for (int k = 0; k < 300; ++k) {
        const double cx = -5 + 20 * u(rng), cy = -5 + 20 * u(rng), cz = -1 + 8 * u(rng), r = 0.05 + 2 * u(rng);
        for (int v = 0; v < 3; ++v) t.insert(t.end(), {cx + r * (u(rng) - 0.5), cy + r * (u(rng) - 0.5), cz + r * (u(rng) - 0.5)});
    }
    // A vertical sliver (met at grazing angles) and a degenerate triangle.
    tri(t, {4, 4, 1.5, 4, 6, 1.5, 4, 5, 5});
    tri(t, {1, 1, 5, 2, 2, 5, 3, 3, 5});
    const geom::Scene scene(t, 1);
    std::vector<double> pa, pb;
    for (int i = 0; i < 1500; ++i) {
        const double x = 10 * u(rng), y = 10 * u(rng);
        (x >= y ? pa : pb).insert((x >= y ? pa : pb).end(), {x, y, 0.3 * y});
    }
    geom::FaceSet faces;
    const double n[3] = {0.0, -0.28734788556634538, 0.95782628522115132};
    add_samples(faces, pa, n, 0, 4);
    add_samples(faces, pb, n, 1, 4);
    std::vector<double> alt, az;
    for (int p = 0; p < 120; ++p) {
        alt.push_back(p < 30 ? 0.001 + 3 * u(rng) : 90 * u(rng));
        az.push_back(360 * u(rng));
    }
    alt.push_back(-5.0), az.push_back(10.0);  // below the horizon: the tracer's path
    size_t lit = 0, dark = 0;
    EXPECT_EQ(compare(scene, faces, alt, az, 1, &lit, &dark), 0u);
    EXPECT_GT(lit, 1000u);
    EXPECT_GT(dark, 1000u);
}

TEST(ProjectedCast, SameForEveryThreadCountAndOddTriangles) {
    std::vector<double> t;
    tri(t, {0, 0, 0, 4, 0, 0, 4, 4, 0});
    tri(t, {1, 1, 1, 3, 1, 1, 1, 3, 1});
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    tri(t, {nan, 0, 1, 1, 1, 1, 0, 1, 1});
    tri(t, {-inf, -1, 2, inf, -1, 2, 0, 9, 2});
    tri(t, {0.5, 0.5, -3, 0.7, 0.5, -3, 0.5, 0.9, -3});  // below the roof: never in the way of a raised sun
    const geom::Scene scene(t, 1);
    std::vector<double> pts;
    for (int i = 0; i < 40; ++i)
        for (int j = 0; j < 40; ++j) pts.insert(pts.end(), {0.05 + i * 0.1, 0.05 + j * 0.1, 0.0});
    geom::FaceSet faces;
    const double up[3] = {0, 0, 1};
    add_samples(faces, pts, up, 0, 10);
    std::vector<double> alt, az;
    for (int p = 0; p < 50; ++p) alt.push_back(2 + 1.7 * p), az.push_back(7.3 * p);
    EXPECT_EQ(compare(scene, faces, alt, az, 1), 0u);
    EXPECT_EQ(compare(scene, faces, alt, az, 2), 0u);
    EXPECT_EQ(compare(scene, faces, alt, az, 5), 0u);
}

TEST(ProjectedCast, LitFacesGiveTheFactorsBackWithoutCasting) {
    std::vector<double> t;
    tri(t, {0, 0, 0, 4, 0, 0, 4, 4, 0});
    tri(t, {1, 1, 1, 3, 1, 1, 1, 3, 1});
    const geom::Scene scene(t, 1);
    std::vector<double> pts;
    for (int i = 0; i < 23; ++i)  // 529 faces: a last byte only partly used
        for (int j = 0; j < 23; ++j) pts.insert(pts.end(), {0.1 + i * 0.17, 0.1 + j * 0.17, 0.0});
    geom::FaceSet faces;
    const double up[3] = {0, 0, 1};
    add_samples(faces, pts, up, 0, 3);  // surfaces of 3 samples, the last one of one
    std::vector<double> alt, az;
    for (int p = 0; p < 40; ++p) alt.push_back(3 + 2.1 * p), az.push_back(9.1 * p);
    const size_t S = faces.first.size();
    std::vector<double> cast(alt.size() * S), back(alt.size() * S, -1.0);
    std::vector<unsigned char> lit;
    ASSERT_TRUE(sh::projected_factors(scene, faces, alt.data(), az.data(), alt.size(), cast.data(), {}, &lit));
    ASSERT_EQ(lit.size(), alt.size() * ((faces.size() + 7) / 8));
    sh::factors_from_lit(faces, alt.data(), az.data(), alt.size(), lit.data(), back.data());
    EXPECT_EQ(std::memcmp(cast.data(), back.data(), cast.size() * sizeof(double)), 0);
    size_t bits = 0;
    for (unsigned char b : lit) bits += size_t(__builtin_popcount(b));
    EXPECT_GT(bits, alt.size() * faces.size() / 2);  // most faces lit, some under the occluder
    EXPECT_LT(bits, alt.size() * faces.size());
    // A sun below the horizon goes ray by ray: no lit faces to keep.
    alt.push_back(-1.0), az.push_back(0.0);
    cast.resize(alt.size() * S);
    ASSERT_TRUE(sh::projected_factors(scene, faces, alt.data(), az.data(), alt.size(), cast.data(), {}, &lit));
    EXPECT_TRUE(lit.empty());
}
