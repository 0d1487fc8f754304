// Map files: PLY and GLB layouts read back byte for byte, the GLB through the
// package's own glTF reader, CityJSON surfaces annotated by the reader's names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "kernels/geometry/cityjson_read.hpp"
#include "kernels/geometry/gltf_read.hpp"
#include "kernels/maps/map_files.hpp"

namespace maps = qm::maps;

namespace {

maps::FaceMesh two_faces() {
    maps::FaceMesh m;
    m.tris = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2};
    m.values = {1012.5, 640.25};
    m.rgb = {255, 0, 10, 1, 2, 3};
    m.origin[0] = 600000.5, m.origin[1] = 5340000.25, m.origin[2] = 180.0;
    return m;
}

float f32_at(const std::string& s, size_t at) {
    float f;
    std::memcpy(&f, s.data() + at, 4);
    return f;
}
uint32_t u32_at(const std::string& s, size_t at) {
    uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

}  // namespace

TEST(MapFiles, PlyHeaderAndFacesReadBack) {
    const std::string ply = maps::ply_binary(two_faces());
    const size_t body = ply.find("end_header\n") + 11;
    ASSERT_GT(body, 11u);
    const std::string header = ply.substr(0, body);
    EXPECT_NE(header.find("element vertex 6\n"), std::string::npos);
    EXPECT_NE(header.find("element face 2\n"), std::string::npos);
    EXPECT_NE(header.find("property float annual\n"), std::string::npos);
    EXPECT_NE(header.find("comment origin 600000.5 5340000.25 180\n"), std::string::npos);
    ASSERT_EQ(ply.size(), body + 6 * 12 + 2 * (1 + 12 + 4 + 3));
    EXPECT_EQ(f32_at(ply, body + 12 * 5 + 8), 2.0f);  // last vertex z
    const size_t face1 = body + 72 + 20;
    EXPECT_EQ(uint8_t(ply[face1]), 3);
    EXPECT_EQ(u32_at(ply, face1 + 1), 3u);
    EXPECT_EQ(u32_at(ply, face1 + 9), 5u);
    EXPECT_EQ(f32_at(ply, face1 + 13), 640.25f);
    EXPECT_EQ(uint8_t(ply[face1 + 17]), 1);
    EXPECT_EQ(uint8_t(ply[face1 + 19]), 3);
    maps::FaceMesh bad = two_faces();
    bad.rgb.pop_back();
    EXPECT_TRUE(maps::ply_binary(bad).empty());
    EXPECT_TRUE(maps::glb(bad).empty());
}

TEST(MapFiles, GlbIsValidAndOurReaderReadsItBackYUp) {
    const std::string g = maps::glb(two_faces());
    ASSERT_GE(g.size(), 28u);
    EXPECT_EQ(g.substr(0, 4), "glTF");
    EXPECT_EQ(u32_at(g, 8), g.size());
    const uint32_t jlen = u32_at(g, 12);
    EXPECT_EQ(jlen % 4, 0u);
    auto doc = nlohmann::json::parse(g.substr(20, jlen));
    EXPECT_EQ(doc["accessors"][0]["count"], 6);
    EXPECT_EQ(doc["meshes"][0]["primitives"][0]["attributes"]["_ANNUAL"], 2);
    EXPECT_EQ(doc["asset"]["extras"]["origin"][1], 5340000.25);
    const size_t bin = 20 + jlen + 8;
    EXPECT_EQ(u32_at(g, 20 + jlen), g.size() - bin);
    // Vertex 5 = (0, 0, 2) z-up -> (0, 2, -0) y-up; the value of face 1 on its vertices.
    EXPECT_EQ(f32_at(g, bin + 12 * 5 + 4), 2.0f);
    EXPECT_EQ(f32_at(g, bin + 6 * 12 + 6 * 12 + 4 * 4), 640.25f);
    EXPECT_FLOAT_EQ(f32_at(g, bin + 6 * 12), 1.0f);  // red of face 0
    qm::geom::MeshModel mm;
    qm::geom::ReadProblem err;
    ASSERT_TRUE(qm::geom::read_gltf(g, "", mm, err)) << err.detail;
    EXPECT_EQ(mm.solids.facet_count(), 2u);
}

TEST(MapFiles, CityJsonSemanticSurfacesGetTheirValuesByTheReadersNames) {
    // b1: a LoD 1 solid (ignored) and a LoD 2 MultiSurface with a roof and a wall
    // (indices 0, 1) then another LoD 2 geometry whose roof is index 2.
    const std::string doc = R"({"type":"CityJSON","version":"2.0","transform":{"scale":[0.001,0.001,0.001],"translate":[600000,5340000,0]},
"CityObjects":{"b1":{"type":"Building","geometry":[
 {"type":"MultiSurface","lod":"1","boundaries":[[[0,1,2]]],"semantics":{"surfaces":[{"type":"RoofSurface"}],"values":[0]}},
 {"type":"MultiSurface","lod":"2","boundaries":[[[0,1,2]],[[0,1,3]]],"semantics":{"surfaces":[{"type":"RoofSurface"},{"type":"WallSurface","slope":90}],"values":[0,1]}},
 {"type":"MultiSurface","lod":"2","boundaries":[[[1,2,3]]],"semantics":{"surfaces":[{"type":"RoofSurface"}],"values":[0]}}]}},
"vertices":[[0,0,0],[1000,0,0],[0,1000,0],[0,0,1000]]})";
    qm::geom::MeshModel mm;
    qm::geom::ReadProblem err;
    ASSERT_TRUE(qm::geom::read_cityjson(doc, {}, mm, err));
    std::vector<std::string> read_names;
    for (const auto& s : mm.solids.solids) read_names.push_back(s.name);
    ASSERT_EQ(read_names, (std::vector<std::string>{"b1/RoofSurface/0", "b1/WallSurface/1", "b1/RoofSurface/2"}));

    maps::SurfaceValues v;
    v.names = {"b1/RoofSurface/2", "b1/WallSurface/1", "b9/RoofSurface/0"};
    v.keys = {"solar_annual_kwh_m2", "solar_area_m2"};
    v.values = {1100.5, 12.0, 455.0, 3.5, 1.0, 1.0};
    std::string out;
    const maps::AnnotateResult r = maps::annotate_cityjson(doc, "", v, out);
    ASSERT_EQ(r.error, maps::AnnotateError::none) << r.where;
    EXPECT_EQ(r.annotated, 2u);
    auto j = nlohmann::json::parse(out);
    auto& geoms = j["CityObjects"]["b1"]["geometry"];
    EXPECT_FALSE(geoms[0]["semantics"]["surfaces"][0].contains("solar_annual_kwh_m2"));  // LoD 1
    EXPECT_FALSE(geoms[1]["semantics"]["surfaces"][0].contains("solar_annual_kwh_m2"));  // no values given
    EXPECT_EQ(geoms[1]["semantics"]["surfaces"][1]["solar_annual_kwh_m2"], 455.0);
    EXPECT_EQ(geoms[1]["semantics"]["surfaces"][1]["slope"], 90);
    EXPECT_EQ(geoms[2]["semantics"]["surfaces"][0]["solar_area_m2"], 12.0);
    EXPECT_EQ(j["vertices"][1][0], 1000);
    EXPECT_EQ(j["transform"]["scale"][0], 0.001);
    // The annotated model reads back to the same surfaces.
    qm::geom::MeshModel again;
    ASSERT_TRUE(qm::geom::read_cityjson(out, {}, again, err));
    EXPECT_EQ(again.solids.facet_count(), mm.solids.facet_count());

    // The chosen LoD 1: only its roof is named b1/RoofSurface/0.
    v.names = {"b1/RoofSurface/0"};
    v.values = {7.0, 8.0};
    ASSERT_EQ(maps::annotate_cityjson(doc, "1", v, out).annotated, 1u);
    EXPECT_EQ(nlohmann::json::parse(out)["CityObjects"]["b1"]["geometry"][0]["semantics"]["surfaces"][0]["solar_area_m2"],
              8.0);

    EXPECT_EQ(maps::annotate_cityjson("{\"CityObjects\": [1,", "", v, out).error, maps::AnnotateError::syntax);
    EXPECT_EQ(maps::annotate_cityjson("{\"CityObjects\": {\"a\": {\"geometry\": 3}}}", "", v, out).error,
              maps::AnnotateError::structure);
}

TEST(MapFiles, CityJsonSeqIsAnnotatedLineByLine) {
    const std::string seq =
        "{\"type\":\"CityJSON\",\"version\":\"2.0\",\"transform\":{\"scale\":[1,1,1],\"translate\":[0,0,0]},"
        "\"CityObjects\":{},\"vertices\":[]}\n"
        "{\"type\":\"CityJSONFeature\",\"id\":\"b2\",\"CityObjects\":{\"b2\":{\"type\":\"Building\",\"geometry\":[{\"type\":"
        "\"MultiSurface\",\"lod\":2,\"boundaries\":[[[0,1,2]]],\"semantics\":{\"surfaces\":[{\"type\":\"RoofSurface\"}],"
        "\"values\":[0]}}]}},\"vertices\":[[0,0,0],[1,0,0],[0,1,0]]}\n";
    maps::SurfaceValues v;
    v.names = {"b2/RoofSurface/0"};
    v.keys = {"solar_annual_kwh_m2"};
    v.values = {999.0};
    std::string out;
    const maps::AnnotateResult r = maps::annotate_cityjson(seq, "", v, out);
    ASSERT_EQ(r.error, maps::AnnotateError::none) << r.where;
    EXPECT_EQ(r.annotated, 1u);
    const size_t nl = out.find('\n');
    ASSERT_NE(nl, std::string::npos);
    auto feature = nlohmann::json::parse(out.substr(nl + 1));
    EXPECT_EQ(feature["CityObjects"]["b2"]["geometry"][0]["semantics"]["surfaces"][0]["solar_annual_kwh_m2"], 999.0);
    EXPECT_EQ(maps::annotate_cityjson(seq + "{oops\n", "", v, out).where, "line 3");
}
