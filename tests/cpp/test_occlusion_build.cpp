// occlusion_build: the built tree's invariants (check_tree) on scenes that
// stress the build — clustered, identical, lopsided, non-finite — and the
// build's threads failing through the one pool.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <system_error>
#include <vector>

#include "kernels/geometry/occlusion.hpp"
#include "kernels/util/parallel.hpp"

namespace geom = qm::geom;

namespace {

std::vector<double> random_triangles(std::mt19937_64& rng, size_t n, double extent) {
    std::uniform_real_distribution<double> pos(0.0, extent), off(-1.0, 1.0);
    std::vector<double> t;
    t.reserve(9 * n);
    for (size_t k = 0; k < n; ++k) {
        const double x = pos(rng), y = pos(rng), z = pos(rng) * 0.1;
        t.insert(t.end(), {x, y, z, x + off(rng), y + off(rng), z + off(rng), x + off(rng), y + off(rng), z});
    }
    return t;
}

}  // namespace

TEST(OcclusionBuild, CheckTreeHoldsOnRandomClusteredAndIdenticalScenes) {
    std::mt19937_64 rng(3);
    for (size_t n : {1u, 4u, 5u, 37u, 3000u, 40000u}) {
        const geom::Scene scene(random_triangles(rng, n, 200.0), 2);
        EXPECT_TRUE(scene.check_tree()) << n << " triangles";
        EXPECT_EQ(scene.tree_size(), n);
    }
    // Many identical triangles: every split is a median split by position.
    std::vector<double> same;
    for (int k = 0; k < 5000; ++k) same.insert(same.end(), {1, 1, 1, 2, 1, 1, 1, 2, 1.5});
    EXPECT_TRUE(geom::Scene(same, 2).check_tree());
    // An empty scene has no tree and nothing to contradict.
    EXPECT_TRUE(geom::Scene({}, 1).check_tree());
}

TEST(OcclusionBuild, TrianglesKeptOutOfTheTreeAreNotInTheLeafOrder) {
    std::mt19937_64 rng(9);
    std::vector<double> t = random_triangles(rng, 200, 50.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    t.insert(t.end(), {nan, 0, 0, 1, 0, 0, 0, 1, 0});                // not finite
    t.insert(t.end(), {1e31, 0, 0, 1e31 + 1e16, 0, 0, 1e31, 1e16, 0});  // beyond the tree's range
    const geom::Scene scene(t, 1);
    EXPECT_TRUE(scene.check_tree());
    EXPECT_EQ(scene.tree_size(), 200u);
    EXPECT_EQ(scene.size(), 202u);
}

// Triangles at geometrically growing distances make the surface area
// heuristic split one triangle off at a time, so the build reaches its depth
// bound and continues with median splits; the tree stays valid and the walk's
// stack (sized from that bound, checked at every push in the sanitizer build)
// holds. The answers equal the brute-force test.
TEST(OcclusionBuild, LopsidedScenesReachTheDepthBoundAndWalkWithinTheStack) {
    std::vector<double> t;
    double x = 1.0;
    for (int k = 0; k < 300; ++k, x *= 1.09)
        for (int j = 0; j < 20; ++j) {
            const double y = 0.37 * j;
            t.insert(t.end(), {x, y, 0, x + 0.5, y, 0, x, y + 0.3, 1.0});
        }
    const geom::Scene scene(t, 2);
    ASSERT_TRUE(scene.check_tree());
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<double> ox(0.0, x), oy(-1.0, 8.0), dz(-1.0, 1.0);
    std::vector<double> origins;
    for (int i = 0; i < 512; ++i) origins.insert(origins.end(), {ox(rng), oy(rng), 0.5});
    for (int r = 0; r < 6; ++r) {
        double d[3] = {-1.0, 0.05 * r, dz(rng)};
        const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        for (double& c : d) c /= len;
        std::vector<unsigned char> tree(512), brute(512);
        scene.cast(origins.data(), nullptr, 512, d, tree.data(), 1);
        scene.cast(origins.data(), nullptr, 512, d, brute.data(), 1, nullptr, nullptr, true);
        EXPECT_EQ(tree, brute) << "direction " << r;
    }
}

TEST(OcclusionBuild, AThreadThatCannotStartFailsTheBuildNotTheProcess) {
    std::mt19937_64 rng(12);
    const std::vector<double> t = random_triangles(rng, 60000, 300.0);
    for (int after : {0, 1, 3}) {
        qm::util::testing::fail_thread_start_after(after);
        EXPECT_THROW(geom::Scene(t, 4), std::system_error) << "after " << after;
    }
    qm::util::testing::fail_thread_start_after(-1);
    const geom::Scene four(t, 4), one(t, 1);
    EXPECT_TRUE(four.same_tree(one));
}
