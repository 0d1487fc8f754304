// Which rows of an hourly weather table a run period reads.
#include <gtest/gtest.h>

#include "kernels/weather/coverage.hpp"

namespace epw = qm::epw;

TEST(WeatherCoverage, RowsFromTheFirstToTheLastStepWithinTheYear) {
    // 1000 hourly steps from 1 January: rows 0..999.
    auto c = epw::period_coverage(0.0, 3600.0, 1000);
    EXPECT_EQ(c.last_row, 999);
    EXPECT_FALSE(c.wraps);
    // A period beginning 1 March (hour 1416) of 48 steps.
    c = epw::period_coverage(1416 * 3600.0, 3600.0, 48);
    EXPECT_EQ(c.last_row, 1463);
    // Half-hour steps interpolate: the row after the last fractional hour is read.
    c = epw::period_coverage(0.0, 1800.0, 3);  // hours 0, 0.5, 1
    EXPECT_EQ(c.last_row, 1);
    c = epw::period_coverage(0.0, 1800.0, 2);  // hours 0, 0.5: rows 0 and 1
    EXPECT_EQ(c.last_row, 1);
    EXPECT_EQ(epw::period_coverage(0.0, 3600.0, 0).last_row, -1);
    EXPECT_EQ(epw::period_coverage(0.0, 0.0, 10).last_row, -1);
}

TEST(WeatherCoverage, AYearOrTheYearsEndReadsEveryRowAndWraps) {
    auto c = epw::period_coverage(0.0, 3600.0, 8760);
    EXPECT_EQ(c.last_row, 8759);
    EXPECT_FALSE(c.wraps);  // exactly one year: every row once
    c = epw::period_coverage(0.0, 3600.0, 8761);
    EXPECT_TRUE(c.wraps);
    EXPECT_EQ(c.last_row, 8759);
    // 1 December to 31 January crosses the end of the year.
    c = epw::period_coverage(8016 * 3600.0, 3600.0, 62 * 24);
    EXPECT_TRUE(c.wraps);
    // The last hour of the year at a fractional step interpolates towards row 0.
    c = epw::period_coverage(8759.5 * 3600.0, 3600.0, 1);
    EXPECT_TRUE(c.wraps);
    // A second year's start (hour 8760 + 10) maps into the table's year.
    c = epw::period_coverage((8760 + 10) * 3600.0, 3600.0, 5);
    EXPECT_EQ(c.last_row, 14);
    EXPECT_FALSE(c.wraps);
}
