#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kernels/grid/bilinear.hpp"

using qm::grid::find_interval;
using qm::grid::Grid2D;

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// 3 x 2 grid: f(x, y) = x + 10 y on x = {0, 45, 90}, y = {0, 15}.
Grid2D plane() {
    Grid2D g;
    std::vector<double> x{0, 45, 90}, y{0, 15}, v;
    for (double xi : x)
        for (double yj : y) v.push_back(xi + 10 * yj);
    EXPECT_EQ(g.assign(x, y, v), "");
    return g;
}
}  // namespace

TEST(GridInterp, FindIntervalPicksLowerCornerAndClampsAtTheTop) {
    std::vector<double> a{0, 45, 90, 135};
    EXPECT_EQ(find_interval(a, 0.0), 0u);
    EXPECT_EQ(find_interval(a, 44.999), 0u);
    EXPECT_EQ(find_interval(a, 45.0), 1u);   // a grid point starts the next interval
    EXPECT_EQ(find_interval(a, 135.0), 2u);  // the last point stays in the last interval
    EXPECT_EQ(find_interval(std::vector<double>{7.0}, 7.0), 0u);
}

TEST(GridInterp, ReproducesAPlaneExactlyAndHitsGridValues) {
    Grid2D g = plane();
    EXPECT_DOUBLE_EQ(g(0, 0), 0.0);
    EXPECT_DOUBLE_EQ(g(90, 15), 240.0);  // upper corner, both axes at their maximum
    EXPECT_DOUBLE_EQ(g(45, 0), 45.0);
    EXPECT_NEAR(g(10, 3), 40.0, 1e-12);
    EXPECT_NEAR(g(67.5, 7.5), 142.5, 1e-12);
}

TEST(GridInterp, BilinearWeightsOnANonPlanarCell) {
    Grid2D g;
    ASSERT_EQ(g.assign({0, 1}, {0, 1}, {0, 0, 0, 1}), "");  // f = x * y on the unit cell
    EXPECT_NEAR(g(0.5, 0.5), 0.25, 1e-15);
    EXPECT_NEAR(g(0.25, 0.8), 0.2, 1e-15);
}

TEST(GridInterp, OutsideAndNaNPointsAreNotContainedAndGiveNaN) {
    Grid2D g = plane();
    EXPECT_FALSE(g.contains(-1e-9, 0));
    EXPECT_FALSE(g.contains(90.0000001, 0));
    EXPECT_FALSE(g.contains(0, 15.5));
    EXPECT_FALSE(g.contains(kNaN, 0));
    EXPECT_FALSE(g.contains(0, kNaN));
    EXPECT_TRUE(std::isnan(g(-10, 0)));
    EXPECT_TRUE(std::isnan(g(kNaN, 5)));
    EXPECT_TRUE(std::isnan(g(std::numeric_limits<double>::infinity(), 5)));
}

TEST(GridInterp, NaNCellPoisonsEveryCellItTouchesEvenWithZeroWeight) {
    Grid2D g;
    // x = {0, 45, 90}, y = {0, 15}; the cell (0, 15) is missing.
    ASSERT_EQ(g.assign({0, 45, 90}, {0, 15}, {1, kNaN, 2, 5, 3, 4}), "");
    EXPECT_TRUE(std::isnan(g(10, 0)));  // weight of the NaN corner is 0 here
    EXPECT_TRUE(std::isnan(g(0, 0)));
    EXPECT_DOUBLE_EQ(g(45, 0), 2.0);    // the grid point starts the next interval
    EXPECT_NEAR(g(50, 0), 2.0 + 5.0 / 45.0, 1e-12);
    EXPECT_DOUBLE_EQ(g(90, 15), 4.0);
}

TEST(GridInterp, SinglePointAxisUsesThatPoint) {
    Grid2D g;
    ASSERT_EQ(g.assign({0, 45, 90}, {0}, {1, 2, 3}), "");
    EXPECT_NEAR(g(10, 0), 1.0 + 10.0 / 45.0, 1e-12);
    EXPECT_FALSE(g.contains(10, 1));
    Grid2D one;
    ASSERT_EQ(one.assign({5}, {6}, {7}), "");
    EXPECT_DOUBLE_EQ(one(5, 6), 7.0);
}

TEST(GridInterp, RefusesMalformedGridsAndStaysEmpty) {
    Grid2D g;
    EXPECT_NE(g.assign({}, {0}, {}), "");
    EXPECT_NE(g.assign({0, 0}, {0}, {1, 2}), "");         // repeated point
    EXPECT_NE(g.assign({1, 0}, {0}, {1, 2}), "");         // descending
    EXPECT_NE(g.assign({0, kNaN}, {0}, {1, 2}), "");      // NaN point
    EXPECT_NE(g.assign({0, 1}, {0, 1}, {1, 2, 3}), "");   // too few values
    EXPECT_NE(g.assign({0, 1}, {0, 1}, {1, 2, 3, 4, 5}), "");
    EXPECT_TRUE(g.empty());
    EXPECT_FALSE(g.contains(0, 0));
    EXPECT_TRUE(std::isnan(g(0, 0)));
}
