// Update order of the run manager's modules.
#include <gtest/gtest.h>

#include "kernels/sim/schedule.hpp"

using qm::sim::Edge;
using qm::sim::update_order;

TEST(Schedule, ReadersComeAfterTheirSourcesAndIndependentModulesKeepFileOrder) {
    // 0: panel reading 2, 1: turbine reading 2, 2: weather, 3: logger reading 0 and 1.
    auto s = update_order(4, {{2, 0}, {2, 1}, {0, 3}, {1, 3}});
    EXPECT_FALSE(s.cyclic);
    EXPECT_EQ(s.order, (std::vector<size_t>{2, 0, 1, 3}));
    // No links: the file order.
    EXPECT_EQ(update_order(3, {}).order, (std::vector<size_t>{0, 1, 2}));
    // A chain written backwards is turned round.
    EXPECT_EQ(update_order(3, {{2, 1}, {1, 0}}).order, (std::vector<size_t>{2, 1, 0}));
}

TEST(Schedule, LoopsFallBackToFileOrder) {
    auto s = update_order(3, {{0, 1}, {1, 0}, {2, 0}});
    EXPECT_TRUE(s.cyclic);
    EXPECT_EQ(s.order, (std::vector<size_t>{0, 1, 2}));
    // A module reading its own output is a loop too.
    EXPECT_TRUE(update_order(2, {{1, 1}}).cyclic);
}

TEST(Schedule, DuplicateAndOutOfRangeEdges) {
    // Two links between the same modules count twice and release twice.
    auto s = update_order(2, {{1, 0}, {1, 0}});
    EXPECT_FALSE(s.cyclic);
    EXPECT_EQ(s.order, (std::vector<size_t>{1, 0}));
    // A link from or to a module that is not scheduled is ignored.
    EXPECT_EQ(update_order(2, {{5, 0}, {1, 7}}).order, (std::vector<size_t>{0, 1}));
    EXPECT_TRUE(update_order(0, {}).order.empty());
}
