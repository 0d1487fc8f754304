// Kernels behind the run manager's checks: closest names and the model survey.
#include <gtest/gtest.h>

#include "kernels/geometry/survey.hpp"
#include "kernels/text/closest.hpp"
#include "kernels/weather/epw_table.hpp"

using qm::text::closest_names;
using qm::text::edit_distance;

TEST(ClosestNames, EditDistance) {
    EXPECT_EQ(edit_distance("roof_nrth", "roof_north"), 1u);
    EXPECT_EQ(edit_distance("", "abc"), 3u);
    EXPECT_EQ(edit_distance("kitten", "sitting"), 3u);
    EXPECT_EQ(edit_distance("same", "same"), 0u);
}

TEST(ClosestNames, NearestFirstAndFarNamesLeftOut) {
    std::vector<std::string> names = {"roof_south_east", "roof_north", "wall_north", "tower"};
    EXPECT_EQ(closest_names("roof_nrth", names), (std::vector<std::string>{"roof_north"}));
    // Several within reach: nearest first, ties in the given order.
    EXPECT_EQ(closest_names("wall_nort", {"roof_north", "wall_north", "wall_nor"}),
              (std::vector<std::string>{"wall_north", "wall_nor"}));  // roof_north is 5 edits away
    EXPECT_TRUE(closest_names("chimney", names).empty());
    EXPECT_EQ(closest_names("tower", names, 1), (std::vector<std::string>{"tower"}));
}

TEST(Survey, CountsFacetsAndZeroNormalsPerSolid) {
    const char* text =
        "solid a\n"
        "facet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\n"
        "facet normal 0 0 0\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendloop\nendfacet\n"
        "endsolid a\n"
        "solid b\n"
        "facet normal 0 0 0\nouter loop\nvertex 0 0 0\nvertex 0 1 0\nvertex 1 0 0\nendloop\nendfacet\n"
        "endsolid b\n";
    qm::stl::Solids solids;
    qm::stl::ParseError err;
    ASSERT_TRUE(qm::stl::read_blocks(text, {}, solids, err));
    auto s = qm::geom::survey_surfaces(solids);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].name, "a");
    EXPECT_EQ(s[0].facets, 2u);
    EXPECT_EQ(s[0].zero_normals, 1u);
    EXPECT_EQ(s[1].facets, 1u);
    EXPECT_EQ(s[1].zero_normals, 1u);
}

TEST(EpwLocation, SiteFromTheFirstLine) {
    qm::epw::Location l;
    ASSERT_TRUE(qm::epw::parse_location("LOCATION,Wien,-,AUT,IWEC,110360,48.12,16.57,1.0,190.0\r\n", l));
    EXPECT_DOUBLE_EQ(l.latitude, 48.12);
    EXPECT_DOUBLE_EQ(l.longitude, 16.57);
    EXPECT_DOUBLE_EQ(l.time_zone, 1.0);
    EXPECT_FALSE(qm::epw::parse_location("2025,1,1,1,0,x", l));                        // a data line
    EXPECT_FALSE(qm::epw::parse_location("LOCATION,a,b,c,d,e,north,16,1,0", l));      // not a number
    EXPECT_FALSE(qm::epw::parse_location("LOCATION,a,b,c,d,e,95.0,16,1,0", l));       // out of range
    EXPECT_FALSE(qm::epw::parse_location("LOCATION,a,b", l));                         // too short
}
