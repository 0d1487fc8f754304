// Own-triangle matching and the area-weighted mean of a surface.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kernels/geometry/self_match.hpp"

using qm::geom::area_weighted_mean;
using qm::geom::match_own_triangles;
using qm::geom::normals_from_vertices;

namespace {
std::vector<double> tri(double x) { return {x, 0, 0, x + 1, 0, 0, x, 1, 0}; }
std::vector<double> cat(std::initializer_list<std::vector<double>> parts) {
    std::vector<double> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
}  // namespace

TEST(SelfMatch, EachFaceFindsTheFirstEqualTriangle) {
    auto model = cat({tri(5), tri(1), tri(3), tri(1)});  // tri(1) twice: the first one counts
    auto faces = cat({tri(1), tri(3), tri(5), tri(9)});
    auto self = match_own_triangles(model.data(), 4, faces.data(), 4);
    EXPECT_EQ(self, (std::vector<int64_t>{1, 2, 0, -1}));
}

TEST(SelfMatch, AllNineCoordinatesMustBeEqual) {
    auto model = tri(1);
    auto face = tri(1);
    face[8] = 1e-12;  // z of the last vertex differs
    EXPECT_EQ(match_own_triangles(model.data(), 1, face.data(), 1), (std::vector<int64_t>{-1}));
    // The same vertices in another order are another triangle (another winding).
    std::vector<double> turned = {1, 0, 0, 1, 1, 0, 2, 0, 0};
    EXPECT_EQ(match_own_triangles(model.data(), 1, turned.data(), 1), (std::vector<int64_t>{-1}));
    // -0.0 equals 0.0.
    auto neg = tri(1);
    neg[2] = -0.0;
    EXPECT_EQ(match_own_triangles(model.data(), 1, neg.data(), 1), (std::vector<int64_t>{0}));
}

TEST(SelfMatch, NanTrianglesMatchNothing) {
    auto model = cat({tri(1), tri(2)});
    model[4] = NAN;  // the first triangle has a NaN
    auto faces = cat({tri(1), tri(2)});
    auto face_nan = faces;
    face_nan[13] = NAN;  // the second face has a NaN
    EXPECT_EQ(match_own_triangles(model.data(), 2, faces.data(), 2), (std::vector<int64_t>{-1, 1}));
    EXPECT_EQ(match_own_triangles(model.data(), 2, face_nan.data(), 2), (std::vector<int64_t>{-1, -1}));
}

TEST(AreaWeightedMean, WeightsByAreaAndIsZeroWithoutArea) {
    std::vector<double> illum = {1.0, 0.0, 0.5}, areas = {2.0, 1.0, 1.0};
    EXPECT_DOUBLE_EQ(area_weighted_mean(illum.data(), areas.data(), 3), 2.5 / 4.0);
    std::vector<double> none = {0.0, 0.0};
    EXPECT_EQ(area_weighted_mean(illum.data(), none.data(), 2), 0.0);
    EXPECT_EQ(area_weighted_mean(nullptr, nullptr, 0), 0.0);
    // NaN illumination on a face with area propagates (the caller sees an unknown factor).
    std::vector<double> with_nan = {NAN, 1.0};
    EXPECT_TRUE(std::isnan(area_weighted_mean(with_nan.data(), areas.data(), 2)));
}

TEST(NormalsFromVertices, OnlyZeroNormalsAreReplacedByTheRightHandRule) {
    auto faces = cat({tri(0), {0, 0, 0, 0, 1, 0, 1, 0, 0}, {0, 0, 0, 1, 1, 1, 2, 2, 2}, tri(3)});
    std::vector<double> normals = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0.6, 0.8, 0};
    EXPECT_EQ(normals_from_vertices(faces.data(), normals.data(), 4), 2u);
    EXPECT_EQ(std::vector<double>(normals.begin(), normals.begin() + 3), (std::vector<double>{0, 0, 1}));   // counter-clockwise: up
    EXPECT_EQ(std::vector<double>(normals.begin() + 3, normals.begin() + 6), (std::vector<double>{0, 0, -1}));  // clockwise: down
    EXPECT_EQ(std::vector<double>(normals.begin() + 6, normals.begin() + 9), (std::vector<double>{0, 0, 0}));   // collinear
    EXPECT_EQ(normals[9], 0.6);  // a normal from the file stays
}
