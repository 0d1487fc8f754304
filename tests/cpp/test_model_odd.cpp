// Models with odd contents: repeated solid names, non-finite vertices and
// normals, surfaces without usable facets.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "kernels/geometry/model.hpp"
#include "kernels/geometry/stl_read.hpp"
#include "kernels/geometry/survey.hpp"

namespace stl = qm::stl;
namespace geom = qm::geom;

namespace {

stl::Solids read(const std::string& text) {
    stl::Solids s;
    stl::ParseError err;
    EXPECT_TRUE(stl::read_blocks(text, {}, s, err)) << err.token;
    return s;
}

std::string facet(const char* normal, const char* a, const char* b, const char* c) {
    return std::string("facet normal ") + normal + "\nouter loop\nvertex " + a + "\nvertex " + b + "\nvertex " + c +
           "\nendloop\nendfacet\n";
}

const std::string kUp = facet("0 0 1", "0 0 0", "1 0 0", "0 1 0");

}  // namespace

TEST(ModelOdd, EarlierSolidsOfARepeatedNameOnlyCastShade) {
    stl::Solids s = read("solid part\n" + kUp + kUp + "endsolid\nsolid roof\n" + kUp + "endsolid\nsolid part\n" + kUp +
                         "endsolid\n");
    ASSERT_EQ(s.solids.size(), 2u);
    ASSERT_EQ(s.replaced.size(), 1u);
    EXPECT_EQ(s.replaced[0].shapes.size(), 2u);
    auto m = geom::make_model(s);
    EXPECT_EQ(m->names, (std::vector<std::string>{"part", "roof"}));
    EXPECT_EQ(m->count, (std::vector<size_t>{1, 1}));
    EXPECT_EQ(m->shade_only, 2u);
    EXPECT_EQ(m->triangles(), 2u);
    EXPECT_EQ(m->normals.size(), 12u);  // the scene's triangles, shade-only ones last
    auto survey = geom::survey_surfaces(s);
    EXPECT_EQ(survey[0].earlier, 1u);
    EXPECT_EQ(survey[1].earlier, 0u);
    // The parallel reader keeps them too.
    std::string big;
    for (int i = 0; i < 3000; ++i) big += "solid part\n" + kUp + "endsolid\n";
    stl::Solids p;
    stl::ParseError err;
    ASSERT_TRUE(stl::read_blocks_parallel(big, {}, p, err, 4));
    EXPECT_EQ(p.solids.size(), 1u);
    EXPECT_EQ(p.replaced.size(), 2999u);
}

TEST(ModelOdd, NonFiniteVerticesAreLeftOutAndNormalsTakenFromTheVertices) {
    stl::Solids s = read("solid roof\n" + kUp + facet("0 0 1", "nan 0 0", "1 0 0", "0 1 0") +
                         facet("nan nan nan", "0 0 0", "0 1 0", "1 0 0") + facet("0 0 1", "1 1 1", "1 1 1", "1 1 1") +
                         "endsolid\n");
    auto survey = geom::survey_surfaces(s);
    ASSERT_EQ(survey.size(), 1u);
    EXPECT_EQ(survey[0].facets, 4u);
    EXPECT_EQ(survey[0].non_finite, 1u);
    EXPECT_EQ(survey[0].non_finite_normals, 1u);
    EXPECT_EQ(survey[0].degenerate, 1u);
    auto m = geom::make_model(s);
    EXPECT_EQ(m->count[0], 3u);
    EXPECT_EQ(m->non_finite_facets, 1u);
    EXPECT_EQ(m->non_finite_normals, 1u);
    // The NaN normal of a clockwise (seen from above) facet points down, by the right-hand rule.
    EXPECT_DOUBLE_EQ(m->normals[3 + 0], 0.0);
    EXPECT_DOUBLE_EQ(m->normals[3 + 1], 0.0);
    EXPECT_DOUBLE_EQ(m->normals[3 + 2], -1.0);
    for (double v : m->normals) EXPECT_TRUE(std::isfinite(v));
}

TEST(ModelOdd, FacetsBeyondTheLargestCoordinateAreCountedPerSolid) {
    // The same plate at 1e30 is a model like any other; at 1e300 (and on a
    // replaced solid of a repeated name too) its facets are counted.
    const std::string near = facet("0 0 1", "-1e30 -1e30 1", "1e30 -1e30 1", "0 1e30 1");
    const std::string far = facet("0 0 1", "-1e300 -1e300 1", "1e300 -1e300 1", "0 1e300 1");
    auto ok = geom::make_model(read("solid roof\n" + kUp + "endsolid\nsolid part\n" + near + "endsolid\n"));
    EXPECT_TRUE(ok->far_facets.empty());
    auto m = geom::make_model(read("solid roof\n" + kUp + "endsolid\nsolid part\n" + far + far + near +
                                   "endsolid\nsolid wall\n" + far + "endsolid\nsolid wall\n" + kUp + "endsolid\n"));
    using Counts = std::vector<std::pair<std::string, size_t>>;
    EXPECT_EQ(m->far_facets, (Counts{{"part", 2}, {"wall", 1}}));
    // Just inside the bound counts as near.
    const std::string edge = facet("0 0 1", "-1e100 0 1", "1e100 0 1", "0 1e100 1");
    EXPECT_TRUE(geom::make_model(read("solid part\n" + edge + "endsolid\n"))->far_facets.empty());
}
