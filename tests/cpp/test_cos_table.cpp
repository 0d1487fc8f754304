// shading/cos_table: the one text of a cosine factor table (grid order,
// header, number text), as the shading modules and `quillmere shade` write it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "kernels/shading/cos_table.hpp"
#include "kernels/shading/sun_grid.hpp"

namespace sh = qm::shading;

namespace {
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream s(text);
    for (std::string l; std::getline(s, l);) out.push_back(l);
    return out;
}
}  // namespace

TEST(CosTable, SpecifiedGridInTableOrder) {
    const sh::SunGrid grid = sh::specified_grid();
    std::vector<double> alt, az;
    sh::grid_positions(grid, alt, az);
    ASSERT_EQ(alt.size(), 54u);
    // Altitude outer, azimuth inner, both ascending.
    EXPECT_EQ(alt[0], 0.0); EXPECT_EQ(az[0], 0.0);
    EXPECT_EQ(alt[1], 0.0); EXPECT_EQ(az[1], 45.0);
    EXPECT_EQ(alt[9], 15.0); EXPECT_EQ(az[9], 0.0);
    EXPECT_EQ(alt[53], 75.0); EXPECT_EQ(az[53], 360.0);

    std::vector<double> factors(54 * 2);
    for (size_t p = 0; p < 54; ++p) factors[2 * p] = 0.25, factors[2 * p + 1] = double(p) / 53.0;
    const std::vector<std::string> rows = lines(sh::cos_table_text(grid, {"south wall", "roof"}, factors.data()));
    ASSERT_EQ(rows.size(), 55u);
    EXPECT_EQ(rows[0], "方位角,高度角,south wall,roof");
    EXPECT_EQ(rows[1], "0,0,0.250000,0.000000");
    EXPECT_EQ(rows[2], "45,0,0.250000,0.018868");  // 1/53 to six decimals
    EXPECT_EQ(rows[10], "0,15,0.250000,0.169811");
    EXPECT_EQ(rows[54], "360,75,0.250000,1.000000");
}

TEST(CosTable, FreeStepsWriteShortestAngles) {
    sh::SunGrid grid;
    ASSERT_EQ(sh::grid_for_steps(2.5, 40.0, grid), sh::GridError::none);
    std::vector<double> alt, az;
    sh::grid_positions(grid, alt, az);
    ASSERT_EQ(alt.size(), grid.size());
    std::vector<double> f(grid.size(), 0.5);
    const std::vector<std::string> rows = lines(sh::cos_table_text(grid, {"a"}, f.data()));
    ASSERT_EQ(rows.size(), grid.size() + 1);
    EXPECT_EQ(rows[2], "2.5,0,0.500000");
    EXPECT_EQ(rows.back(), "360,90,0.500000");  // 90 is not a multiple of 40: the end is the last point
}

TEST(CosTable, NumberTextAsTheHostFormatsIt) {
    EXPECT_EQ(sh::factor_text(0.0), "0.000000");
    EXPECT_EQ(sh::factor_text(1.0), "1.000000");
    EXPECT_EQ(sh::factor_text(-1.0), "-1.000000");
    EXPECT_EQ(sh::factor_text(0.1234564), "0.123456");
    EXPECT_EQ(sh::factor_text(0.9999996), "1.000000");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(sh::factor_text(nan), "nan");
    EXPECT_EQ(sh::factor_text(-nan), "nan");  // printf would write "-nan"
    EXPECT_EQ(sh::factor_text(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(sh::factor_text(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(sh::factor_text(1e300).size(), 301u + 7u);  // no truncation of a huge value
    const double f[2] = {0.5, 0.125};
    EXPECT_EQ(sh::cos_table_row(-0.0, 7.5, f, 2), "0,7.5,0.500000,0.125000\n");
    EXPECT_EQ(sh::cos_table_header({}), "方位角,高度角\n");
}
