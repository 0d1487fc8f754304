// Geometry kernels: Moller-Trumbore borders, tree-versus-brute-force equality,
// STL reader cases.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "kernels/geometry/model.hpp"
#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/stl_read.hpp"
#include "kernels/geometry/stl_text.hpp"

using namespace qm;

namespace {

const double kUp[3] = {0, 0, 1};

// ------------------------------------------------------------ Moller-Trumbore

TEST(RayTriangle, BordersCountAsInside) {
    const double tri[9] = {0, 0, 1, 1, 0, 1, 0, 1, 1};
    const double on_p0[3] = {0, 0, 0}, on_edge_u0[3] = {0, 0.5, 0}, on_edge_v0[3] = {0.5, 0, 0},
                 on_hyp[3] = {0.5, 0.5, 0}, on_p2[3] = {0, 1, 0};
    for (const double* o : {on_p0, on_edge_u0, on_edge_v0, on_hyp, on_p2})
        EXPECT_TRUE(geom::ray_triangle_intersection(o, kUp, tri));
    const double outside[3] = {0.5000001, 0.5, 0}, neg[3] = {-1e-12, 0.5, 0};
    EXPECT_FALSE(geom::ray_triangle_intersection(outside, kUp, tri));
    EXPECT_FALSE(geom::ray_triangle_intersection(neg, kUp, tri));
}

TEST(RayTriangle, DistanceBoundsAreStrict) {
    const double tri[9] = {-1, -1, 0, 3, -1, 0, -1, 3, 0};
    auto hit_from = [&](double z) {
        const double o[3] = {0, 0, z};
        return geom::ray_triangle_intersection(o, kUp, tri);
    };
    EXPECT_FALSE(hit_from(0.0));       // t = 0: the origin's own plane
    EXPECT_FALSE(hit_from(-1e-6));     // t = 1e-6 exactly
    EXPECT_TRUE(hit_from(-2e-6));
    EXPECT_TRUE(hit_from(-999999.0));
    EXPECT_FALSE(hit_from(-1e6));      // t = 1e6 exactly
    EXPECT_FALSE(hit_from(1.0));       // behind the origin
}

TEST(RayTriangle, ParallelThresholdAndNonFinite) {
    // a = e1 . (d x e2) equals the doubled area times cos(angle to the normal).
    const double small[9] = {0, 0, 1, 1e-3, 0, 1, 0, 1e-3, 1};       // a = 1e-6: tested
    const double smaller[9] = {0, 0, 1, 0.9e-3, 0, 1, 0, 1e-3, 1};   // a < 1e-6: parallel
    const double o[3] = {1e-4, 1e-4, 0};
    EXPECT_TRUE(geom::ray_triangle_intersection(o, kUp, small));
    EXPECT_FALSE(geom::ray_triangle_intersection(o, kUp, smaller));
    const double edge_on[3] = {1, 0, 0};
    const double tri[9] = {0, -1, -1, 0, 1, -1, 0, 0, 1};
    const double o2[3] = {-1, 0, 0};
    EXPECT_TRUE(geom::ray_triangle_intersection(o2, edge_on, tri));
    const double inplane[3] = {0, 1, 0};
    EXPECT_FALSE(geom::ray_triangle_intersection(o2, inplane, tri));
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const double tn[9] = {0, 0, 1, 1, 0, 1, 0, nan, 1}, ti[9] = {0, 0, 1, inf, 0, 1, 0, 1, 1};
    const double o3[3] = {0.1, 0.1, 0};
    EXPECT_FALSE(geom::ray_triangle_intersection(o3, kUp, tn));
    EXPECT_FALSE(geom::ray_triangle_intersection(o3, kUp, ti));
    const double onan[3] = {nan, 0.1, 0};
    const double ok[9] = {0, 0, 1, 1, 0, 1, 0, 1, 1};
    EXPECT_FALSE(geom::ray_triangle_intersection(onan, kUp, ok));
}

TEST(Geometry, SunDirectionAndSums) {
    double d[3];
    geom::sun_direction(0, 0, d);
    EXPECT_EQ(d[0], 0.0);
    EXPECT_EQ(d[1], 1.0);
    EXPECT_EQ(d[2], 0.0);
    geom::sun_direction(90, 0, d);
    EXPECT_NEAR(d[2], 1.0, 1e-15);
    geom::sun_direction(0, 90, d);
    EXPECT_GT(d[1], 0.0);
    EXPECT_LT(d[1], 1e-16);
    std::vector<double> x(1000);
    for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<double>(i + 1);
    EXPECT_EQ(geom::pairwise_sum(x.data(), x.size()), 500500.0);
    // Pairwise blocks keep small terms that one-by-one addition rounds away.
    std::vector<double> y(9, std::ldexp(1.0, -53));
    y[0] = 1.0;
    double sequential = 0.0;
    for (double v : y) sequential += v;
    const double blocked = (((y[0] + y[1]) + (y[2] + y[3])) + ((y[4] + y[5]) + (y[6] + y[7]))) + y[8];
    EXPECT_EQ(geom::pairwise_sum(y.data(), 9), blocked);
    EXPECT_NE(blocked, sequential);
    EXPECT_EQ(geom::pairwise_sum(nullptr, 0), 0.0);
}

// ------------------------------------------------------ tree vs brute force

struct RandomScene {
    std::vector<double> tris, normals;
};

RandomScene random_scene(std::mt19937_64& rng, size_t n, double offset, double scale) {
    std::uniform_real_distribution<double> pos(0, scale);
    std::normal_distribution<double> jitter(0, scale / 10);
    std::uniform_int_distribution<int> kind(0, 5);
    RandomScene s;
    for (size_t k = 0; k < n; ++k) {
        const double c[3] = {pos(rng), pos(rng), pos(rng) / 4};
        double t[9];
        for (int v = 0; v < 3; ++v)
            for (int j = 0; j < 3; ++j) t[3 * v + j] = c[j] + jitter(rng);
        switch (kind(rng)) {
            case 0:  // horizontal, on a grid plane: axis-aligned rays meet edges exactly
                for (int v = 0; v < 3; ++v) t[3 * v + 2] = std::round(c[2]);
                break;
            case 1:  // vertical wall in x
                for (int v = 0; v < 3; ++v) t[3 * v] = std::round(c[0]);
                break;
            case 2:  // shares an edge with the previous triangle
                if (k) {
                    const double* p = s.tris.data() + 9 * (k - 1);
                    for (int j = 0; j < 6; ++j) t[j] = p[3 + j];
                }
                break;
            case 3:  // degenerate
                for (int j = 0; j < 3; ++j) t[6 + j] = t[3 + j];
                break;
            default: break;
        }
        for (double& x : t) x += offset;
        s.tris.insert(s.tris.end(), t, t + 9);
        const double e1[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]}, e2[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
        double nv[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
        const double len = std::sqrt(nv[0] * nv[0] + nv[1] * nv[1] + nv[2] * nv[2]);
        for (double& x : nv) x = len > 0 ? x / len : 0.0;
        if (k % 2) for (double& x : nv) x = -x;  // both facings
        s.normals.insert(s.normals.end(), nv, nv + 3);
    }
    return s;
}

void expect_tree_equals_brute(const RandomScene& s, const std::vector<std::array<double, 3>>& dirs) {
    geom::Scene scene(s.tris);
    const size_t n = scene.size();
    std::vector<int64_t> self(n);
    for (size_t k = 0; k < n; ++k) self[k] = static_cast<int64_t>(k);
    std::vector<double> a1(n), a2(n), i1(n), i2(n);
    size_t lit = 0, shaded = 0;
    for (const auto& d : dirs) {
        scene.scan(s.tris.data(), s.normals.data(), self.data(), n, d.data(), i1.data(), a1.data(), 2, false);
        scene.scan(s.tris.data(), s.normals.data(), self.data(), n, d.data(), i2.data(), a2.data(), 1, true);
        for (size_t k = 0; k < n; ++k) {
            ASSERT_EQ(std::memcmp(&i1[k], &i2[k], sizeof(double)), 0) << "face " << k;
            ASSERT_EQ(std::memcmp(&a1[k], &a2[k], sizeof(double)), 0);
            const bool facing = geom::is_face_visible(&s.normals[3 * k], d.data());
            lit += facing && i1[k] != 0;
            shaded += facing && i1[k] == 0;
        }
    }
    EXPECT_GT(lit, 0u);
    EXPECT_GT(shaded, 0u);
}

std::vector<std::array<double, 3>> test_directions() {
    std::vector<std::array<double, 3>> dirs = {{0, 0, 1}, {1, 0, 0}, {0, -1, 0}, {0, 0, -1}};
    const double tilt = 1e-9;
    dirs.push_back({std::sqrt(1 - tilt * tilt), 0, tilt});  // grazing the horizontal pieces
    for (double alt : {0.0, 15.0, 30.0, 75.0})
        for (double az : {0.0, 45.0, 135.0, 270.0}) {
            std::array<double, 3> d;
            geom::sun_direction(alt, az, d.data());
            dirs.push_back(d);
        }
    return dirs;
}

TEST(OcclusionTree, EqualsBruteForceOnRandomScenes) {
    std::mt19937_64 rng(42);
    for (int rep = 0; rep < 3; ++rep) expect_tree_equals_brute(random_scene(rng, 600, 0.0, 50.0), test_directions());
}

TEST(OcclusionTree, EqualsBruteForceFarFromOrigin) {
    std::mt19937_64 rng(7);
    expect_tree_equals_brute(random_scene(rng, 500, 4.2e6, 30.0), test_directions());
}

TEST(OcclusionTree, NonFiniteAndHugeTrianglesAreTestedDirectly) {
    std::mt19937_64 rng(9);
    RandomScene s = random_scene(rng, 300, 0.0, 20.0);
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    s.tris[9 * 3 + 4] = nan;
    s.tris[9 * 4 + 0] = inf;
    // A huge roof over everything: outside the tree's coordinate range.
    const double roof[9] = {-1e31, -1e31, 40, 1e31, -1e31, 40, 0, 1e31, 40};
    std::copy(roof, roof + 9, s.tris.begin() + 9 * 5);
    geom::Scene scene(s.tris);
    EXPECT_EQ(scene.tree_size(), scene.size() - 3);
    expect_tree_equals_brute(s, test_directions());
    const double g[3] = {10, 10, 0};
    EXPECT_TRUE(scene.occluded(g, kUp, -1, false));
    EXPECT_EQ(scene.occluded(g, kUp, 5, false), scene.occluded(g, kUp, 5, true));
}

TEST(OcclusionTree, OriginsOutsideTheModel) {
    std::mt19937_64 rng(21);
    const RandomScene model = random_scene(rng, 400, 0.0, 30.0);
    const RandomScene faces = random_scene(rng, 300, -20.0, 70.0);  // partly beyond the model's box
    geom::Scene scene(model.tris);
    const size_t n = faces.tris.size() / 9;
    std::vector<double> a(n), b(n), ia(n), ib(n);
    size_t shaded = 0;
    for (const auto& d : test_directions()) {
        scene.scan(faces.tris.data(), faces.normals.data(), nullptr, n, d.data(), ia.data(), a.data(), 2, false);
        scene.scan(faces.tris.data(), faces.normals.data(), nullptr, n, d.data(), ib.data(), b.data(), 1, true);
        ASSERT_EQ(std::memcmp(ia.data(), ib.data(), n * sizeof(double)), 0);
        for (size_t f = 0; f < n; ++f) shaded += geom::is_face_visible(&faces.normals[3 * f], d.data()) && ia[f] == 0;
    }
    EXPECT_GT(shaded, 0u);
}

TEST(OcclusionTree, DeterministicAcrossThreadCounts) {
    std::mt19937_64 rng(5);
    RandomScene s = random_scene(rng, 2000, 0.0, 80.0);
    geom::Scene scene(s.tris);
    const size_t n = scene.size();
    std::vector<double> a(n), b(n), ia(n), ib(n);
    double d[3];
    geom::sun_direction(35, 160, d);
    scene.scan(s.tris.data(), s.normals.data(), nullptr, n, d, ia.data(), a.data(), 1);
    scene.scan(s.tris.data(), s.normals.data(), nullptr, n, d, ib.data(), b.data(), 8);
    EXPECT_EQ(ia, ib);
}

TEST(OcclusionTree, ParallelBuildEqualsSerialBuild) {
    std::mt19937_64 rng(11);
    const RandomScene s = random_scene(rng, 40000, 0.0, 300.0);
    const geom::Scene serial(s.tris, 1), two(s.tris, 2), eight(s.tris, 8);
    EXPECT_TRUE(serial.same_tree(two));
    EXPECT_TRUE(serial.same_tree(eight));
    EXPECT_GT(serial.node_count(), 1u);
    EXPECT_GT(serial.memory_bytes(), 9 * sizeof(double) * serial.size());
}

TEST(OcclusionTree, PacketsEqualSingleRaysAndCountPretests) {
    std::mt19937_64 rng(13);
    const RandomScene s = random_scene(rng, 3000, 0.0, 60.0);
    const geom::Scene scene(s.tris);
    const size_t n = scene.size();
    std::vector<double> g(3 * n);
    std::vector<int64_t> self(n);
    for (size_t k = 0; k < n; ++k) {
        geom::centroid(scene.tri(k), &g[3 * k]);
        self[k] = static_cast<int64_t>(k);
    }
    size_t hits = 0;
    geom::CastStats total;
    for (const auto& d : test_directions()) {
        std::vector<unsigned char> packed(n), single(n), brute(n);
        geom::CastStats st;
        scene.cast(g.data(), self.data(), n, d.data(), packed.data(), 2, nullptr, nullptr, false, true, &st);
        scene.cast(g.data(), self.data(), n, d.data(), single.data(), 1, nullptr, nullptr, false, false, nullptr);
        scene.cast(g.data(), self.data(), n, d.data(), brute.data(), 2, nullptr, nullptr, true);
        ASSERT_EQ(packed, single);
        ASSERT_EQ(packed, brute);
        for (unsigned char h : packed) hits += h;
        EXPECT_EQ(st.rays, n);
        EXPECT_LE(st.exact_tests, st.candidates);
        EXPECT_LE(st.pretest_only, st.rays);
        total.add(st);
    }
    EXPECT_GT(hits, 0u);
    EXPECT_LT(total.exact_tests, total.candidates);  // the pre-test rejects leaf triangles
    EXPECT_GT(total.accepted, 0u);                   // and the accept test confirms hits
    EXPECT_LE(total.accepted, hits);
}

// Rays aimed at points of a triangle (inside, on its edges and corners, just
// outside) and from far away: whenever the exact test hits, the float pre-test
// keeps the triangle.
TEST(OcclusionTree, PretestNeverRejectsAHit) {
    std::mt19937_64 rng(17);
    for (double offset : {0.0, 3.3e5}) {
        // Triangles of about a metre, axis-aligned ones among them: their
        // widening (which grows with the area) stays small.
        std::uniform_real_distribution<double> pos(0, 40), side(-1, 1);
        RandomScene s;
        for (int k = 0; k < 400; ++k) {
            const double c[3] = {pos(rng), pos(rng), pos(rng) / 4};
            for (int v = 0; v < 3; ++v)
                for (int j = 0; j < 3; ++j) s.tris.push_back(offset + c[j] + ((k % 3 == 0 && j == 2) ? 0.0 : side(rng)));
        }
        const geom::Scene scene(s.tris);
        std::uniform_real_distribution<double> bary(-0.3, 1.3), along(1e-5, 50.0), unit(-1, 1);
        double lo[3], hi[3];
        for (int j = 0; j < 3; ++j) lo[j] = offset - 60, hi[j] = offset + 70;
        size_t hits = 0, rejected = 0;
        for (size_t k = 0; k < scene.size(); ++k) {
            const double* t = scene.tri(k);
            for (int r = 0; r < 12; ++r) {
                double d[3] = {unit(rng), unit(rng), unit(rng)};
                if (r < 3) d[0] = 0, d[1] = 0, d[2] = 1;  // axis-aligned
                const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
                if (len < 1e-3) continue;
                for (double& x : d) x /= len;
                double u = bary(rng), v = bary(rng);
                if (r % 4 == 1) u = 0;       // on an edge
                if (r % 4 == 2) u = 1 - v;   // on the third edge
                double p[3], o[3];
                const double back = along(rng);
                for (int j = 0; j < 3; ++j) {
                    p[j] = t[j] + u * (t[3 + j] - t[j]) + v * (t[6 + j] - t[j]);
                    o[j] = std::clamp(p[j] - back * d[j], lo[j], hi[j]);
                }
                const bool hit = geom::ray_triangle_intersection(o, d, t);
                const bool kept = scene.pretest_may_hit(k, o, d, lo, hi);
                if (hit) {
                    ++hits;
                    ASSERT_TRUE(kept) << "triangle " << k << " ray " << r;
                }
                rejected += !kept;
            }
        }
        EXPECT_GT(hits, 1000u);
        EXPECT_GT(rejected, 100u);  // the test does reject
    }
}

// The float accept test confirms a hit only where the exact test hits: rays
// at points on and just off the edges and corners of triangles, from just
// before the least distance on, nearly parallel to the triangle, and with
// |a| on either side of the exact test's threshold; near the origin and far
// from it. Clear hits (well inside, well ahead) are confirmed.
TEST(OcclusionTree, AcceptTestNeverConfirmsAMiss) {
    std::mt19937_64 rng(29);
    std::uniform_real_distribution<double> unit(-1, 1), pos(0, 40), side(-1, 1), share(0, 1);
    const double nudges[] = {0.0, 1e-12, -1e-12, 1e-9, -1e-9, 1e-6, -1e-6, 0.02};
    struct Setup {
        double offset, box, size;  // scene's place, half-width of the origins' box, triangle size
        std::vector<double> backs;  // distances from the origin to the aimed point
    };
    const Setup setups[] = {
        {0.0, 70.0, 1.0, {5e-7, 1e-6, 1.0000001e-6, 1.2e-6, 1e-4, 0.05, 3.0, 45.0}},
        {3.3e5, 70.0, 1.0, {5e-7, 1e-6, 1.0000001e-6, 1.2e-6, 1e-4, 0.05, 3.0, 45.0}},
        // Rays about as long as the exact test's longest hit (1e6), large triangles.
        {0.0, 2.5e6, 1e3, {0.5, 999990.0, 999999.9, 1e6, 1000000.1, 1.5e6, 5e4, 2e6}},
    };
    for (const Setup& set : setups) {
        RandomScene s;
        for (int k = 0; k < 300; ++k) {
            const double c[3] = {set.offset + set.size * pos(rng), set.offset + set.size * pos(rng),
                                 set.offset + set.size * pos(rng) / 4};
            if (k % 10 == 0) {
                // Right triangles in a horizontal plane with |a| = leg1 * leg2 near
                // 1e-6 for a vertical ray: just under and just over the threshold.
                const double l1 = 1e-3, l2 = 1e-3 * (k % 20 == 0 ? 1 - 1e-9 : 1 + 1e-9);
                const double v[9] = {c[0], c[1], c[2], c[0] + l1, c[1], c[2], c[0], c[1] + l2, c[2]};
                s.tris.insert(s.tris.end(), v, v + 9);
                continue;
            }
            for (int v = 0; v < 3; ++v)
                for (int j = 0; j < 3; ++j)
                    s.tris.push_back(c[j] + ((k % 3 == 0 && j == 2) ? 0.0 : set.size * side(rng)));
        }
        const geom::Scene scene(s.tris);
        double lo[3], hi[3];
        for (int j = 0; j < 3; ++j) lo[j] = set.offset - set.box, hi[j] = set.offset + set.box;
        size_t accepted = 0, clear = 0, clear_accepted = 0, hits = 0;
        for (size_t k = 0; k < scene.size(); ++k) {
            const double* t = scene.tri(k);
            const bool tiny = k % 10 == 0;
            for (int r = 0; r < 48; ++r) {
                double d[3] = {unit(rng), unit(rng), unit(rng)};
                if (tiny || r % 8 == 0) d[0] = 0, d[1] = 0, d[2] = 1;
                const bool grazing = r % 8 == 1;
                if (grazing) {
                    // Nearly in the triangle's plane.
                    double n[3];
                    const double e1[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]};
                    const double e2[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
                    n[0] = e1[1] * e2[2] - e1[2] * e2[1];
                    n[1] = e1[2] * e2[0] - e1[0] * e2[2];
                    n[2] = e1[0] * e2[1] - e1[1] * e2[0];
                    const double nn = n[0] * n[0] + n[1] * n[1] + n[2] * n[2];
                    const double dn = (d[0] * n[0] + d[1] * n[1] + d[2] * n[2]) / nn;
                    const double keep = nudges[r % 7] * 1e3;
                    for (int j = 0; j < 3; ++j) d[j] -= (dn - keep / std::sqrt(nn)) * n[j];
                }
                const double m = std::max({std::fabs(d[0]), std::fabs(d[1]), std::fabs(d[2])});
                if (m < 1e-3) continue;
                for (double& x : d) x /= m;  // max |d_i| = 1
                double u = share(rng), v = share(rng);
                if (u + v > 1) u = 1 - u, v = 1 - v;
                const double nudge = nudges[r % 8];
                switch (r % 6) {
                    case 1: u = nudge; break;                    // at the edge u = 0
                    case 2: v = nudge; break;                    // at the edge v = 0
                    case 3: v = 1 - u - nudge; break;            // at the edge u + v = 1
                    case 4: u = 1 + nudge, v = -nudge; break;    // at a corner
                    case 5: u = -nudge, v = -nudge; break;       // at the first corner
                    default: break;                              // inside
                }
                const double back = set.backs[(r / 6) % 8] * (r % 3 == 0 ? 1 : 1 + 1e-12 * r);
                double p[3], o[3];
                for (int j = 0; j < 3; ++j) {
                    p[j] = t[j] + u * (t[3 + j] - t[j]) + v * (t[6 + j] - t[j]);
                    o[j] = p[j] - back * d[j];
                }
                const bool hit = geom::ray_triangle_intersection(o, d, t);
                const bool sure = scene.accept_sure_hit(k, o, d, lo, hi);
                hits += hit;
                if (sure) {
                    ++accepted;
                    ASSERT_TRUE(hit) << "triangle " << k << " ray " << r << " offset " << set.offset;
                }
                if (!tiny && !grazing && r % 6 == 0 && back > 1e-3 * set.box && back < 9e5 && u > 0.01 && v > 0.01 &&
                    u + v < 0.99) {
                    ++clear;
                    clear_accepted += sure;
                }
            }
        }
        EXPECT_GT(hits, 2000u);
        EXPECT_GT(accepted, 400u);
        EXPECT_GT(clear, 200u);
        EXPECT_GT(clear_accepted, 0.9 * clear);
    }
}

// ------------------------------------------------------------------ readers

stl::Solids blocks(const std::string& text) {
    stl::Solids s;
    stl::ParseError err;
    EXPECT_TRUE(stl::read_blocks(text, {}, s, err)) << err.token;
    return s;
}

const char* kFacet =
    "facet normal 0 0 3\n outer loop\n  vertex 0 0 0\n  vertex 1 0 0\n  vertex 0 1 0\n endloop\nendfacet\n";

TEST(BlockReader, NamesBlocksAndOffsets) {
    std::string text = std::string("junk before\nsolid  north \t wall \n") + kFacet + "endsolid north wall\n" +
                       "between\nsolid\n" + kFacet + kFacet + "endsolid\nsolid x_solid\n" + kFacet +
                       "endsolid x_solid\nsolid e\nendsolid e\nsolid north wall\n\nendsolid\nsolid open\n" + kFacet;
    stl::Solids s = blocks(text);
    ASSERT_EQ(s.solids.size(), 3u);
    EXPECT_EQ(s.solids[0].name, "north wall");
    EXPECT_EQ(s.solids[0].shapes.size(), 0u);  // replaced by the later, empty solid of that name
    EXPECT_EQ(s.solids[1].name, "");
    EXPECT_EQ(s.solids[1].shapes.size(), 2u);
    EXPECT_EQ(s.solids[2].name, "x_solid");
    ASSERT_EQ(s.solids[2].values.size(), 12u);
    EXPECT_EQ(s.solids[2].values[2], 1.0);  // unit normal
    EXPECT_TRUE(s.solids[2].regular);
}

TEST(BlockReader, IndentationLineEndsAndUnicodeSpaces) {
    const std::string crlf = "  solid a\r\n    facet normal 0 0 1\r\n outer loop\r\n vertex 1 2 3\r\n vertex 4 5 6\r"
                             " vertex\xE3\x80\x80" "7 8 9\r\nendloop\r\nendfacet\r\n  endsolid a";
    stl::Solids s = blocks(crlf);
    ASSERT_EQ(s.solids.size(), 1u);
    ASSERT_EQ(s.solids[0].values.size(), 12u);
    EXPECT_EQ(s.solids[0].values[11], 9.0);
    std::string name = "solid \xE5\x8D\x97\xE5\xA2\x99\xE3\x80\x80\xE4\xB8\x80\n\nendsolid\n";
    EXPECT_EQ(blocks(name).solids[0].name, "\xE5\x8D\x97\xE5\xA2\x99 \xE4\xB8\x80");
}

TEST(BlockReader, TruncatedFacetsAndErrors) {
    // The solid ends inside a facet: the facet keeps the vertex lines read so far.
    stl::Solids s = blocks("solid a\nfacet normal 1 1\nouter loop\nvertex 1 2\nendsolid a\n");
    ASSERT_EQ(s.solids[0].shapes.size(), 1u);
    const auto& sh = s.solids[0].shapes[0];
    EXPECT_EQ(sh.normal_n, 2u);
    EXPECT_EQ(sh.nverts, 2u);
    EXPECT_EQ(sh.vert_n[0], 2u);
    EXPECT_EQ(sh.vert_n[1], 0u);  // the "endsolid" line read as a vertex line holds no number
    EXPECT_FALSE(s.solids[0].regular);
    stl::Solids bad;
    stl::ParseError err;
    EXPECT_FALSE(stl::read_blocks("solid a\nfacet normal 0 0 1\nx\nvertex 1 2 3e\n", {}, bad, err));
    EXPECT_EQ(err.kind, stl::ParseError::Kind::bad_number);
    EXPECT_EQ(err.token, "3e");
    EXPECT_EQ(err.line, 4u);
}

TEST(BlockReader, ParallelPiecesEqualOneReader) {
    std::string text = "header\n";
    for (int s = 0; s < 400; ++s) {
        text += (s % 7 == 3 ? "  solid  name " : "solid name ") + std::to_string(s % 150) + (s % 2 ? "\r\n" : "\n");
        for (int f = 0; f < 250; ++f) text += kFacet;
        text += s % 5 ? "endsolid x\n" : "   endsolid\r";
    }
    ASSERT_GT(text.size(), size_t(8) << 20);
    stl::Solids one, many;
    stl::ParseError e1, e2;
    ASSERT_TRUE(stl::read_blocks(text, {}, one, e1));
    ASSERT_TRUE(stl::read_blocks_parallel(text, {}, many, e2, 3));
    ASSERT_EQ(one.solids.size(), 150u);
    ASSERT_EQ(many.solids.size(), one.solids.size());
    for (size_t i = 0; i < one.solids.size(); ++i) {
        EXPECT_EQ(many.solids[i].name, one.solids[i].name);
        EXPECT_EQ(many.solids[i].values, one.solids[i].values);
    }
    // Errors: the first in text order wins.
    std::string bad = text;
    bad.replace(bad.rfind("vertex 1 0 0"), 12, "vertex 1 0 Q");
    bad.replace(bad.find("vertex 0 1 0", bad.size() / 2), 12, "vertex 0 1 P");
    stl::Solids b1, b2;
    EXPECT_FALSE(stl::read_blocks(bad, {}, b1, e1));
    EXPECT_FALSE(stl::read_blocks_parallel(bad, {}, b2, e2, 3));
    EXPECT_EQ(e1.token, "P");
    EXPECT_EQ(e2.token, "P");
}

TEST(StatsReader, AccumulatesAndFails) {
    stl::StatsReader r;
    stl::ParseError err;
    const char* lines[] = {"facet normal 5 5 5", "vertex 0 0 0", "solid s  one", "facet normal 0 0 1",
                           "vertex 0 0 0", "vertex 2 0 0", "vertex 0 2 0", "endfacet", "endsolid",
                           "facet x 1 0 0", "vertex 0 0 0", "vertex 0 1 0", "vertex 0 0 1", "endfacet",
                           "solid", "facet normal 0 0 1"};
    for (const char* l : lines) ASSERT_TRUE(r.feed(l, {}, err));
    r.finish();
    ASSERT_EQ(r.result().size(), 1u);
    const auto& rec = r.result()[0];
    EXPECT_EQ(rec.name, "s one");
    EXPECT_EQ(rec.area, 2.5);
    EXPECT_NEAR(rec.normal[0], std::sqrt(0.5), 1e-15);
    stl::StatsReader r2;
    for (const char* l : {"solid a", "facet normal 0 0 1", "vertex 0 0 0", "vertex 0 0 0", "vertex 0 0 0"})
        ASSERT_TRUE(r2.feed(l, {}, err));
    EXPECT_FALSE(r2.feed("vertex 0 0 0", {}, err));
    EXPECT_EQ(err.kind, stl::ParseError::Kind::too_many_vertices);
    EXPECT_FALSE(r2.feed("vertex 0 nan? 0", {}, err));
    EXPECT_EQ(err.token, "nan?");
}

TEST(Text, Utf8AndSplitting) {
    EXPECT_TRUE(stl::utf8_valid("plain ascii text, long enough for words"));
    EXPECT_TRUE(stl::utf8_valid("\xE5\x8D\x97\xF0\x9F\x98\x80"));
    EXPECT_FALSE(stl::utf8_valid("\xC0\xAF"));          // overlong
    EXPECT_FALSE(stl::utf8_valid("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(stl::utf8_valid("abc\xE5\x8D"));       // truncated
    std::vector<std::string_view> parts;
    stl::split_ws("\x1f a\xC2\xA0" "b\xE2\x80\x8B" "c  \x0b", parts);  // U+200B is not whitespace
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0], "a");
    EXPECT_EQ(parts[1], "b\xE2\x80\x8B" "c");
    stl::LineCutter cut("a\r\rb\r\n\nc");
    std::string_view line;
    std::vector<std::string> lines;
    while (cut.next(line)) lines.emplace_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "", "b", "", "c"}));
}

TEST(Model, CombinedOrderAndIrregularFacets) {
    stl::Solids s = blocks(std::string("solid a\n") + kFacet + kFacet + "endsolid\nsolid b\n" + kFacet +
                           "endsolid\nsolid a\n" + kFacet + "endsolid\n");
    auto m = geom::make_model(s);
    ASSERT_FALSE(m->irregular);
    EXPECT_EQ(m->names, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(m->count, (std::vector<size_t>{1, 1}));
    EXPECT_EQ(m->triangles(), 2u);
    auto bad = geom::make_model(blocks("solid q\nfacet normal 0 0 1\nouter\nvertex 1 2 3 4\nendsolid\n"));
    EXPECT_TRUE(bad->irregular);
    EXPECT_EQ(bad->irregular_solid, "q");
}

}  // namespace

namespace {

// The readers' one-pass decimal path must agree bit for bit with the general
// float() parser on every spelling it accepts, and defer the rest.
TEST(Numbers, FastPathEqualsGeneralParser) {
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> mant(-10, 10);
    std::uniform_int_distribution<int> ex(-30, 30), prec(0, 20);
    const char* fmts[] = {"%.*e", "%.*f", "%.*g", "%.*E"};
    char buf[128];
    for (int i = 0; i < 20000; ++i) {
        const double x = mant(rng) * std::pow(10.0, ex(rng));
        std::snprintf(buf, sizeof buf, fmts[i % 4], prec(rng), x);
        const std::string text = std::string("vertex ") + buf + " " + buf + "\nendsolid\n";
        stl::Solids s;
        stl::ParseError err;
        ASSERT_TRUE(stl::read_blocks("solid a\nfacet normal 1 0 0\nx\n" + text, {}, s, err)) << buf;
        double want;
        ASSERT_TRUE(parse_py_float(buf, want));
        ASSERT_EQ(s.solids[0].values.size(), 5u);
        ASSERT_EQ(std::memcmp(&s.solids[0].values[3], &want, sizeof want), 0) << buf;
    }
    for (const char* odd : {"1_000.5", "-.5e-3", "+7.", "1e400", "-0", "12345678901234567890123", "INF", "-nan",
                            "0.000000000000000000000000001"}) {
        stl::Solids s;
        stl::ParseError err;
        ASSERT_TRUE(stl::read_blocks(std::string("solid a\nfacet normal 1 0 0\nx\nvertex ") + odd + "\nendsolid\n",
                                     {}, s, err))
            << odd;
        double want;
        ASSERT_TRUE(parse_py_float(odd, want));
        const double got = s.solids[0].values[3];
        EXPECT_TRUE(std::memcmp(&got, &want, sizeof want) == 0 || (got != got && want != want)) << odd;
    }
    for (const char* bad : {"1e", "1.2.3", "--1", "1e+", "0x10", "1__0"}) {
        stl::Solids s;
        stl::ParseError err;
        EXPECT_FALSE(stl::read_blocks(std::string("solid a\nfacet normal 1 0 ") + bad + "\n", {}, s, err)) << bad;
        EXPECT_EQ(err.token, bad);
    }
}

}  // namespace
