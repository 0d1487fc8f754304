// geometry/surface_faces: the faces of named surfaces with their own model
// ids and normals (from the file, or from the vertices where the file has none).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "kernels/geometry/model.hpp"
#include "kernels/geometry/stl_read.hpp"
#include "kernels/geometry/surface_faces.hpp"

namespace geom = qm::geom;

namespace {
std::string facet(const char* normal, const char* a, const char* b, const char* c) {
    return std::string("facet normal ") + normal + "\nouter loop\nvertex " + a + "\nvertex " + b + "\nvertex " + c +
           "\nendloop\nendfacet\n";
}

std::shared_ptr<const geom::Model> model_of(const std::string& text) {
    qm::stl::Solids solids;
    qm::stl::ParseError err;
    EXPECT_TRUE(qm::stl::read_blocks(text, {}, solids, err));
    return geom::make_model(solids, 1);
}

// "wall": a file normal and a zero one; "roof": a zero normal and a face whose
// cross product overflows (no finite normal); "ground": one face.
const std::string kHouse =
    "solid wall\n" + facet("0 -1 0", "0 0 0", "1 0 0", "0 0 1") + facet("0 0 0", "1 0 0", "1 0 1", "0 0 1") +
    "endsolid wall\nsolid roof\n" + facet("0 0 0", "0 0 2", "2 0 2", "0 2 2") +
    facet("0 0 0", "0 0 3", "1e200 0 3", "0 1e200 3") + "endsolid roof\nsolid ground\n" +
    facet("0 0 1", "-5 -5 -1", "5 -5 -1", "-5 5 -1") + "endsolid ground\n";

size_t solid(const geom::Model& m, const std::string& name) {
    for (size_t s = 0; s < m.names.size(); ++s)
        if (m.names[s] == name) return s;
    return SIZE_MAX;
}
}  // namespace

TEST(SurfaceFaces, FacesInListedOrderWithTheirOwnIds) {
    auto m = model_of(kHouse);
    ASSERT_TRUE(m && m->scene);
    const size_t wall = solid(*m, "wall"), roof = solid(*m, "roof"), ground = solid(*m, "ground");
    geom::SurfaceFaces f;
    geom::surface_faces(*m, {ground, wall}, false, f);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f.first, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(f.count, (std::vector<size_t>{1, 2}));
    EXPECT_EQ(f.self[0], int64_t(m->first[ground]));
    EXPECT_EQ(f.self[1], int64_t(m->first[wall]));
    EXPECT_EQ(f.self[2], int64_t(m->first[wall] + 1));
    for (size_t k = 0; k < 3; ++k)
        for (int j = 0; j < 9; ++j) EXPECT_EQ(f.tris[9 * k + j], m->scene->tri(size_t(f.self[k]))[j]);
    // The file's normals as they are, the zero one kept.
    EXPECT_EQ(f.normals[3 * 1 + 1], -1.0);
    EXPECT_EQ(f.normals[3 * 2 + 0], 0.0); EXPECT_EQ(f.normals[3 * 2 + 1], 0.0); EXPECT_EQ(f.normals[3 * 2 + 2], 0.0);
    (void)roof;
}

TEST(SurfaceFaces, NormalsFromVerticesOnlyWhereTheFileHasNoneAndOnlyFinite) {
    auto m = model_of(kHouse);
    const size_t wall = solid(*m, "wall"), roof = solid(*m, "roof");
    geom::SurfaceFaces f;
    geom::surface_faces(*m, {wall, roof}, true, f);
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f.normals[1], -1.0);  // from the file, kept
    // (1,0,0)-(1,0,1)-(0,0,1): (v1 - v0) x (v2 - v0) = (0,0,1) x (-1,0,1) = (0,-1,0)
    EXPECT_DOUBLE_EQ(f.normals[3 + 1], -1.0);
    EXPECT_DOUBLE_EQ(f.normals[6 + 2], 1.0);  // the roof's first face, upward
    // The cross product of the huge face is not finite: no normal, so it faces no sun.
    EXPECT_EQ(f.normals[9 + 0], 0.0); EXPECT_EQ(f.normals[9 + 1], 0.0); EXPECT_EQ(f.normals[9 + 2], 0.0);
    for (double v : f.normals) EXPECT_TRUE(std::isfinite(v));
}

TEST(SurfaceFaces, AnalysedFacesSubdivideEachSurfaceWithinTheLimit) {
    auto m = model_of(kHouse);
    const size_t wall = solid(*m, "wall"), ground = solid(*m, "ground");
    geom::FaceSet set;
    ASSERT_TRUE(geom::analysed_faces(*m, {wall, ground}, false, 0.0, 100, set));
    EXPECT_EQ(set.size(), 3u);
    EXPECT_EQ(set.first.size(), 2u);
    EXPECT_EQ(set.count[0], 2u); EXPECT_EQ(set.count[1], 1u);
    ASSERT_TRUE(geom::analysed_faces(*m, {wall, ground}, false, 1.0, 100000, set));
    EXPECT_GT(set.count[1], 50u);  // the 10 m ground face in pieces of 1 m
    // Every piece keeps its model triangle and normal; the pieces cover the face's 50 m2.
    double area = 0.0;
    for (size_t k = set.first[1]; k < set.first[1] + set.count[1]; ++k) {
        EXPECT_EQ(set.self[k], int64_t(m->first[ground]));
        EXPECT_EQ(set.normals[3 * k + 2], 1.0);
        const double* t = set.tris.data() + 9 * k;
        area += 0.5 * std::abs((t[3] - t[0]) * (t[7] - t[1]) - (t[6] - t[0]) * (t[4] - t[1]));
    }
    EXPECT_NEAR(area, 50.0, 1e-9);
    EXPECT_FALSE(geom::analysed_faces(*m, {wall, ground}, false, 1.0, 10, set));
}
