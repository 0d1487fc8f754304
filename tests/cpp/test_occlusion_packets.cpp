// Packet traversal and the sampled tree build against the brute-force test:
// packets whose origins are scattered, coincident or on the model's faces,
// directions with axes the float box test treats as flat, and builds whose
// split sample sees clustered or equal boxes.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "kernels/geometry/occlusion.hpp"

using namespace qm;

namespace {

// A roof of n x n cells (two triangles each) at height h over [0, n]^2, with a
// wall standing on it along x = n / 2.
std::vector<double> roof_and_wall(int n, double h) {
    std::vector<double> t;
    auto tri = [&](std::array<double, 9> v) { t.insert(t.end(), v.begin(), v.end()); };
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double x = i, y = j;
            tri({x, y, h, x + 1, y, h, x + 1, y + 1, h});
            tri({x, y, h, x + 1, y + 1, h, x, y + 1, h});
        }
    const double w = n / 2.0;
    for (int j = 0; j < n; ++j) {
        tri({w, double(j), h, w, j + 1.0, h, w, j + 1.0, h + 3});
        tri({w, double(j), h, w, j + 1.0, h + 3, w, double(j), h + 3});
    }
    return t;
}

// Every way of casting (packets on one and two threads, single rays, brute
// force) gives the same answers; returns the number of rays hit.
size_t expect_casts_agree(const geom::Scene& scene, const std::vector<double>& g, const std::vector<int64_t>& self,
                          const std::array<double, 3>& d) {
    const size_t n = self.size();
    std::vector<unsigned char> p1(n), p2(n), single(n), brute(n);
    scene.cast(g.data(), self.data(), n, d.data(), p1.data(), 1, nullptr, nullptr, false, true, nullptr);
    scene.cast(g.data(), self.data(), n, d.data(), p2.data(), 2, nullptr, nullptr, false, true, nullptr);
    scene.cast(g.data(), self.data(), n, d.data(), single.data(), 1, nullptr, nullptr, false, false, nullptr);
    scene.cast(g.data(), self.data(), n, d.data(), brute.data(), 1, nullptr, nullptr, true);
    EXPECT_EQ(p1, brute) << "direction " << d[0] << " " << d[1] << " " << d[2];
    EXPECT_EQ(p2, brute);
    EXPECT_EQ(single, brute);
    size_t hits = 0;
    for (unsigned char h : brute) hits += h;
    return hits;
}

std::vector<std::array<double, 3>> packet_directions() {
    std::vector<std::array<double, 3>> dirs = {
        {0, 0, 1},  {1, 0, 0},     {0, -1, 0},  {0.6, 0.8, 0},  // in the roof's plane: flat in z
        {1, 1e-35, 0},                                          // 1e-35 rounds to a flat float axis
        {std::sqrt(0.5), -std::sqrt(0.5), 1e-9},                // grazing the roof
    };
    for (double alt : {5.0, 40.0, 85.0})
        for (double az : {10.0, 100.0, 230.0}) {
            std::array<double, 3> d;
            geom::sun_direction(alt, az, d.data());
            dirs.push_back(d);
        }
    return dirs;
}

}  // namespace

TEST(OcclusionPackets, ScatteredCoincidentAndOnFaceOriginsEqualBruteForce) {
    const int cells = 24;
    const std::vector<double> tris = roof_and_wall(cells, 10.0);
    const geom::Scene scene(tris, 2);
    const size_t T = scene.size();
    std::vector<double> g;
    std::vector<int64_t> self;
    auto add = [&](double x, double y, double z, int64_t s) {
        g.insert(g.end(), {x, y, z});
        self.push_back(s);
    };
    // Centroids of every triangle in order (neighbouring origins share packets).
    for (size_t k = 0; k < T; ++k) {
        double c[3];
        geom::centroid(scene.tri(k), c);
        add(c[0], c[1], c[2], static_cast<int64_t>(k));
    }
    // Roof vertices and edge midpoints: rays that start on shared edges and corners.
    for (int i = 0; i <= cells; i += 3)
        for (int j = 0; j <= cells; j += 2) add(i, j + (i % 2 ? 0.5 : 0.0), 10.0, -1);
    // Scattered: each packet spans the whole model, below, on and above the roof.
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(-2, cells + 2), z(8, 14);
    for (int k = 0; k < 200; ++k) add(k % 2 ? u(rng) : cells - u(rng), u(rng), k % 5 ? z(rng) : 10.0, -1);
    // Coincident: one origin, the packet's box a point, each ray with another own triangle.
    for (int k = 0; k < 16; ++k) add(cells / 2.0, 3.5, 10.0, k % 3 ? static_cast<int64_t>(2 * cells * 3 + k) : -1);

    size_t hits = 0, total = 0;
    for (const auto& d : packet_directions()) {
        hits += expect_casts_agree(scene, g, self, d);
        total += self.size();
    }
    EXPECT_GT(hits, 0u);
    EXPECT_LT(hits, total);
}

// Nodes of many triangles choose their split from a sample. Clustered boxes
// (the sample may see one side only) and thousands of equal boxes (no extent
// to split) still give a tree equal to brute force, the same for any number
// of threads.
TEST(OcclusionPackets, SampledSplitsOnClusteredAndEqualBoxes) {
    std::vector<double> tris;
    std::mt19937_64 rng(8);
    std::normal_distribution<double> tight(0, 1e-3);
    std::uniform_real_distribution<double> side(0.2, 1.0);
    // 6000 copies of one triangle.
    for (int k = 0; k < 6000; ++k) tris.insert(tris.end(), {5, 5, 2, 6, 5, 2, 5, 6, 2.5});
    // Two tight clusters far apart, and a few outliers that stretch the key box.
    for (int k = 0; k < 6000; ++k) {
        const double cx = k % 2 ? 0.0 : 40.0, cy = k % 2 ? 0.0 : 40.0;
        const double x = cx + tight(rng), y = cy + tight(rng), s = side(rng) * 1e-2;
        tris.insert(tris.end(), {x, y, 1, x + s, y, 1, x, y + s, 1 + s});
    }
    for (int k = 0; k < 5; ++k) {
        const double x = -500.0 * k;
        tris.insert(tris.end(), {x, 300, 0, x + 1, 300, 0, x, 301, 1});
    }
    const geom::Scene one(tris, 1), two(tris, 2);
    EXPECT_TRUE(one.same_tree(two));
    EXPECT_GT(one.node_count(), 100u);
    std::vector<double> g;
    std::vector<int64_t> self;
    std::uniform_real_distribution<double> jitter(-0.02, 0.02);
    for (size_t k = 0; k < one.size(); k += 37) {
        double c[3];
        geom::centroid(one.tri(k), c);
        g.insert(g.end(), {c[0] + jitter(rng), c[1] + jitter(rng), c[2] - 0.5});
        self.push_back(-1);
    }
    size_t hits = 0;
    for (const auto& d : packet_directions()) hits += expect_casts_agree(one, g, self, d);
    EXPECT_GT(hits, 0u);
}

// The walk compiled for AVX2 and the one for any processor, on the same
// machine: the same answers and the same counts (the same child masks, leaves
// and pre-test decisions), both equal to brute force, on random triangle soups
// and on the roof, with packets of centroids, of scattered and of coincident
// origins (packets are formed in the tree's leaf order of the rays' own
// triangles; answers stay in the caller's order).
TEST(OcclusionPackets, Avx2AndPortableWalksAgree) {
    struct Reset {
        ~Reset() { geom::use_portable_walk(false); }
    } reset;
    std::mt19937_64 rng(21);
    std::vector<std::vector<double>> scenes = {roof_and_wall(16, 4.0)};
    for (int s = 0; s < 3; ++s) {
        std::uniform_real_distribution<double> pos(0, 30), edge(-2.5, 2.5);
        std::vector<double> t;
        const int count = 400 + 700 * s;
        for (int k = 0; k < count; ++k) {
            const double x = pos(rng), y = pos(rng), z = pos(rng) / 3;
            t.insert(t.end(), {x, y, z, x + edge(rng), y + edge(rng), z + edge(rng), x + edge(rng), y + edge(rng),
                               z + edge(rng)});
            // Every fourth triangle lies flat in z, every seventh is a sliver.
            if (k % 4 == 0) t[t.size() - 1] = t[t.size() - 4] = z;
            if (k % 7 == 0) t[t.size() - 3] = x + 1e-9, t[t.size() - 2] = y, t[t.size() - 1] = z;
        }
        scenes.push_back(std::move(t));
    }
    size_t hits = 0, rays = 0;
    for (const auto& tris : scenes) {
        const geom::Scene scene(tris, 1);
        std::vector<double> g;
        std::vector<int64_t> self;
        std::uniform_real_distribution<double> u(-1, 31);
        for (size_t k = 0; k < scene.size(); ++k) {
            double c[3];
            geom::centroid(scene.tri(k), c);
            g.insert(g.end(), {c[0], c[1], c[2]});
            self.push_back(static_cast<int64_t>(k));
            if (k % 3 == 0) {
                g.insert(g.end(), {u(rng), u(rng), u(rng) / 3});
                self.push_back(-1);
            }
            if (k % 50 == 0)
                for (int r = 0; r < 8; ++r) {
                    g.insert(g.end(), {c[0], c[1], c[2]});
                    // Own triangles: this one, none, or a number past the model's end.
                    self.push_back(r % 2 ? static_cast<int64_t>(k) : r == 4 ? int64_t{1} << 40 : -1);
                }
        }
        const size_t n = self.size();
        for (const auto& d : packet_directions()) {
            std::vector<unsigned char> wide(n), portable(n), brute(n);
            geom::CastStats sw, sp;
            geom::use_portable_walk(false);
            scene.cast(g.data(), self.data(), n, d.data(), wide.data(), 1, nullptr, nullptr, false, true, &sw);
            geom::use_portable_walk(true);
            scene.cast(g.data(), self.data(), n, d.data(), portable.data(), 1, nullptr, nullptr, false, true, &sp);
            scene.cast(g.data(), self.data(), n, d.data(), brute.data(), 1, nullptr, nullptr, true);
            EXPECT_EQ(wide, portable) << "direction " << d[0] << " " << d[1] << " " << d[2];
            EXPECT_EQ(portable, brute) << "direction " << d[0] << " " << d[1] << " " << d[2];
            EXPECT_EQ(sw.node_tests, sp.node_tests);
            EXPECT_EQ(sw.candidates, sp.candidates);
            EXPECT_EQ(sw.exact_tests, sp.exact_tests);
            EXPECT_EQ(sw.pretest_only, sp.pretest_only);
            EXPECT_GT(sp.node_tests, 0u);
            for (unsigned char h : brute) hits += h;
            rays += n;
        }
    }
    EXPECT_GT(hits, rays / 20);
    EXPECT_LT(hits, rays - rays / 20);
    RecordProperty("avx2", geom::avx2_walk_available() ? "compared" : "absent: portable walk only");
}

// A thread reuses the order of its last cast's rays when the next cast has the
// same own triangles. The reused order must still follow each call's own
// origins and triangles: casts that change only the origins, only one own
// triangle, the number of rays, or the scene all equal brute force.
TEST(OcclusionPackets, ReusedRayOrderFollowsEachCastsRays) {
    const int cells = 20;
    const std::vector<double> tris = roof_and_wall(cells, 10.0);
    const geom::Scene scene(tris, 1), other(roof_and_wall(cells, 12.0), 1);
    std::vector<double> g;
    std::vector<int64_t> self;
    for (size_t k = 0; k < scene.size(); ++k) {
        double c[3];
        geom::centroid(scene.tri(k), c);
        g.insert(g.end(), {c[0], c[1], c[2]});
        self.push_back(static_cast<int64_t>(k));
    }
    std::array<double, 3> d;
    geom::sun_direction(30, 120, d.data());
    auto agree = [&](const geom::Scene& s, const std::vector<double>& o, const std::vector<int64_t>& own) {
        std::vector<unsigned char> hit(own.size()), brute(own.size());
        s.cast(o.data(), own.data(), own.size(), d.data(), hit.data(), 1, nullptr, nullptr, false, true, nullptr);
        s.cast(o.data(), own.data(), own.size(), d.data(), brute.data(), 1, nullptr, nullptr, true);
        EXPECT_EQ(hit, brute);
        size_t hits = 0;
        for (unsigned char h : brute) hits += h;
        return hits;
    };
    const size_t first = agree(scene, g, self);
    // Same own triangles, origins lifted above the wall: now nothing is hit.
    std::vector<double> lifted = g;
    for (size_t i = 2; i < lifted.size(); i += 3) lifted[i] += 5.0;
    EXPECT_EQ(agree(scene, lifted, self), 0u);
    // Straight up from below the roof: each ray meets only its own triangle,
    // which it leaves out (the walls are vertical): again nothing is hit.
    const std::array<double, 3> sun = d;
    d = {0, 0, 1};
    std::vector<double> below = g;
    for (size_t i = 2; i < below.size(); i += 3) below[i] -= 0.5;
    EXPECT_EQ(agree(scene, below, self), 0u);
    d = sun;
    // Same own triangles, origins reversed: the rays hit differ from the first cast's.
    std::vector<double> reversed(g.size());
    for (size_t i = 0; i < self.size(); ++i) std::copy_n(&g[3 * (self.size() - 1 - i)], 3, &reversed[3 * i]);
    agree(scene, reversed, self);
    // One own triangle changed, one ray fewer, another scene, then back.
    std::vector<int64_t> changed = self;
    changed[7] = -1;
    agree(scene, g, changed);
    std::vector<int64_t> fewer(self.begin(), self.end() - 1);
    agree(scene, std::vector<double>(g.begin(), g.end() - 3), fewer);
    agree(other, g, self);
    EXPECT_EQ(agree(scene, g, self), first);
    EXPECT_GT(first, 0u);
    // Packets copied ray by ray: an origin beyond the tree's range (tested
    // against every triangle), and a scene with a triangle kept out of the tree.
    std::vector<double> far = g;
    far[3 * 5] = 1e300;
    agree(scene, far, self);
    std::vector<double> with_huge = tris;
    with_huge.insert(with_huge.end(), {-1e31, -1e31, 30, 1e31, -1e31, 30, 0, 1e31, 30});
    const geom::Scene huge(with_huge, 1);
    EXPECT_EQ(huge.tree_size(), huge.size() - 1);
    EXPECT_EQ(agree(huge, g, self), self.size());  // everything under the huge roof
    // A cast too large for the memory a thread keeps: its own, held to the end.
    std::vector<double> many;
    std::vector<int64_t> many_self;
    for (int copy = 0; copy < 400; ++copy) {
        many.insert(many.end(), g.begin(), g.end());
        many_self.insert(many_self.end(), self.begin(), self.end());
    }
    ASSERT_GT(many_self.size(), size_t{300000});
    std::vector<unsigned char> packets(many_self.size()), single(many_self.size());
    scene.cast(many.data(), many_self.data(), many_self.size(), d.data(), packets.data(), 1, nullptr, nullptr, false,
               true, nullptr);
    scene.cast(many.data(), many_self.data(), many_self.size(), d.data(), single.data(), 1, nullptr, nullptr, false,
               false, nullptr);
    EXPECT_EQ(packets, single);
}
