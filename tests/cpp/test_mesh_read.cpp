// OBJ, glTF and CityJSON readers and the polygon triangulation: hand-written
// files with holes, transforms, georeferenced coordinates, odd index types,
// and malformed inputs; surface name patterns.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "kernels/geometry/cityjson_read.hpp"
#include "kernels/geometry/gltf_read.hpp"
#include "kernels/geometry/mesh_read.hpp"
#include "kernels/geometry/obj_read.hpp"
#include "kernels/geometry/triangulate.hpp"
#include "kernels/text/glob.hpp"

using namespace qm;
using namespace qm::geom;

namespace {

// ------------------------------------------------------------------ helpers

double tri_area(const double* a, const double* b, const double* c) { return stl::triangle_area(a, b, c); }

// Sum of the facet areas of one surface.
double surface_area(const stl::SolidData& s) {
    double a = 0;
    for (size_t k = 0; k < s.shapes.size(); ++k) {
        const double* v = s.values.data() + 12 * k + 3;
        a += tri_area(v, v + 3, v + 6);
    }
    return a;
}

const stl::SolidData* find(const MeshModel& m, const std::string& name) {
    for (const auto& s : m.solids.solids)
        if (s.name == name) return &s;
    return nullptr;
}

std::vector<std::string> names(const MeshModel& m) {
    std::vector<std::string> out;
    for (const auto& s : m.solids.solids) out.push_back(s.name);
    return out;
}

// Area of the triangles of one polygon, and their normals' agreement with `up`.
double polygon_area(const std::vector<double>& pts, const std::vector<uint32_t>& rings, const double* up,
                    size_t* count = nullptr) {
    std::vector<uint32_t> tris;
    triangulate_polygon(pts.data(), rings.data(), rings.size(), tris);
    double a = 0;
    for (size_t t = 0; t < tris.size(); t += 3) {
        const double* p0 = &pts[3 * tris[t]];
        const double* p1 = &pts[3 * tris[t + 1]];
        const double* p2 = &pts[3 * tris[t + 2]];
        const double e1[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
        const double e2[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
        const double cr[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                              e1[0] * e2[1] - e1[1] * e2[0]};
        EXPECT_GT(cr[0] * up[0] + cr[1] * up[1] + cr[2] * up[2], 0.0) << "triangle " << t / 3 << " turned over";
        a += tri_area(p0, p1, p2);
    }
    if (count) *count = tris.size() / 3;
    return a;
}

std::vector<double> flat_ring(std::initializer_list<std::pair<double, double>> xy, double z = 0) {
    std::vector<double> out;
    for (auto [x, y] : xy) out.insert(out.end(), {x, y, z});
    return out;
}

std::string base64(const std::string& in) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
        out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], t[v & 63]};
    }
    if (i + 1 == in.size()) {
        const uint32_t v = uint8_t(in[i]) << 16;
        out += {t[v >> 18], t[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == in.size()) {
        const uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
        out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
    }
    return out;
}

template <typename T>
void put(std::string& buf, T v) {
    buf.append(reinterpret_cast<const char*>(&v), sizeof v);
}

// ------------------------------------------------------------ triangulation

TEST(Triangulate, ConvexAndConcaveOutlinesKeepTheirArea) {
    const double up[3] = {0, 0, 1};
    size_t n = 0;
    EXPECT_DOUBLE_EQ(polygon_area(flat_ring({{0, 0}, {1, 0}, {1, 1}, {0, 1}}), {4}, up, &n), 1.0);
    EXPECT_EQ(n, 2u);
    // L shape, clockwise seen from above: its Newell normal points down, and the facets follow it.
    const double down[3] = {0, 0, -1};
    EXPECT_DOUBLE_EQ(polygon_area(flat_ring({{0, 0}, {0, 2}, {2, 2}, {2, 1}, {1, 1}, {1, 0}}), {6}, down, &n), 3.0);
    EXPECT_EQ(n, 4u);
    // A closing point equal to the first and a repeated point are dropped.
    EXPECT_DOUBLE_EQ(polygon_area(flat_ring({{0, 0}, {2, 0}, {2, 0}, {2, 2}, {0, 2}, {0, 0}}), {6}, up, &n), 4.0);
    EXPECT_EQ(n, 2u);
}

TEST(Triangulate, HolesAreLeftOpen) {
    const double up[3] = {0, 0, 1};
    // 4 x 4 square with a 2 x 2 hole and a 1 x 1 hole (given in either orientation).
    std::vector<double> pts = flat_ring({{0, 0}, {4, 0}, {4, 4}, {0, 4}});
    auto hole1 = flat_ring({{0.5, 0.5}, {2.5, 0.5}, {2.5, 2.5}, {0.5, 2.5}});
    auto hole2 = flat_ring({{3, 3}, {3, 3.5}, {3.5, 3.5}, {3.5, 3}});
    pts.insert(pts.end(), hole1.begin(), hole1.end());
    pts.insert(pts.end(), hole2.begin(), hole2.end());
    std::vector<uint32_t> tris;
    const std::vector<uint32_t> rings = {4, 4, 4};
    EXPECT_NEAR(polygon_area(pts, rings, up), 16.0 - 4.0 - 0.25, 1e-12);
    triangulate_polygon(pts.data(), rings.data(), rings.size(), tris);
    for (size_t t = 0; t < tris.size(); t += 3) {
        double c[2] = {0, 0};
        for (int k = 0; k < 3; ++k) c[0] += pts[3 * tris[t + k]] / 3, c[1] += pts[3 * tris[t + k] + 1] / 3;
        EXPECT_FALSE(c[0] > 0.5 && c[0] < 2.5 && c[1] > 0.5 && c[1] < 2.5) << "triangle inside the hole";
    }
}

TEST(Triangulate, WallsAndTiltedPlanesFollowTheirOutline) {
    // A south wall (normal -y) with a window, 10 x 3 m minus 2 x 1 m.
    std::vector<double> pts = {0, 0, 0, 10, 0, 0, 10, 0, 3, 0, 0, 3, 4, 0, 1, 4, 0, 2, 6, 0, 2, 6, 0, 1};
    const double south[3] = {0, -1, 0};
    EXPECT_NEAR(polygon_area(pts, {4, 4}, south), 28.0, 1e-12);
    // Tilted roof plane, normal (0, -1, 1).
    std::vector<double> roof = {0, 0, 0, 4, 0, 0, 4, 2, 2, 0, 2, 2};
    const double n[3] = {0, -1, 1};
    EXPECT_NEAR(polygon_area(roof, {4}, n), 4 * 2 * std::sqrt(2.0), 1e-12);
}

TEST(Triangulate, StarPolygonsKeepTheirArea) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> r(0.3, 1.0);
    const double up[3] = {0, 0, 1};
    for (int trial = 0; trial < 50; ++trial) {
        const int n = 5 + trial;
        std::vector<double> pts;
        for (int k = 0; k < n; ++k) {
            const double a = 2 * M_PI * k / n, rad = r(rng);
            pts.insert(pts.end(), {rad * std::cos(a), rad * std::sin(a), 0.0});
        }
        double shoelace = 0;
        for (int k = 0, j = n - 1; k < n; j = k++) shoelace += pts[3 * j] * pts[3 * k + 1] - pts[3 * k] * pts[3 * j + 1];
        size_t count = 0;
        EXPECT_NEAR(polygon_area(pts, {uint32_t(n)}, up, &count), shoelace / 2, 1e-12) << "n = " << n;
        EXPECT_EQ(count, size_t(n - 2));
    }
}

TEST(Triangulate, DegenerateInputsEnd) {
    std::vector<uint32_t> tris;
    // All points on a line: no area, no triangle.
    std::vector<double> line = {0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 0};
    uint32_t four = 4;
    triangulate_polygon(line.data(), &four, 1, tris);
    EXPECT_TRUE(tris.empty());
    // A bow tie with unequal lobes (self-crossing): ends with triangles. (Equal lobes
    // cancel in the Newell normal: no area, no triangle.)
    std::vector<double> bow = flat_ring({{0, 0}, {4, 4}, {4, 0}, {0, 2}});
    triangulate_polygon(bow.data(), &four, 1, tris);
    EXPECT_FALSE(tris.empty());
    // Non-finite coordinates: a fan from the first point, so that the model's checks see them.
    tris.clear();
    std::vector<double> bad = flat_ring({{0, 0}, {1, 0}, {NAN, 1}, {0, 1}});
    triangulate_polygon(bad.data(), &four, 1, tris);
    EXPECT_EQ(tris, (std::vector<uint32_t>{0, 1, 2, 0, 2, 3}));
    // A hole that touches the outline, and a hole outside it.
    std::vector<double> pts = flat_ring({{0, 0}, {4, 0}, {4, 4}, {0, 4}, {0, 1}, {1, 1}, {1, 2}, {0, 2}, {5, 5}, {6, 5}, {6, 6}});
    const std::vector<uint32_t> rings = {4, 4, 3};
    tris.clear();
    triangulate_polygon(pts.data(), rings.data(), rings.size(), tris);
    EXPECT_FALSE(tris.empty());
}

// ----------------------------------------------------------------------- OBJ

TEST(ObjRead, GroupsNameSurfacesAndIndicesCountBothWays) {
    const std::string text =
        "# exported\nmtllib house.mtl\n"
        "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvn 0 0 1\n"
        "f 1 2 3\n"                     // before any o/g: "default"
        "o roof   south\nusemtl red\n"
        "f 1/1/1 2/1/1 3/1/1 4/1/1\n"   // quad: two triangles
        "g wall\nv 0 0 1\nv 1 0 1\n"
        "f -6//1 -5//1 -1//1 -2//1\r\n" // negative: counted back from the last vertex
        "g roof south\nf 1 3 4\n"       // a name seen before joins that surface
        "g empty\n";
    MeshModel m;
    ReadProblem err;
    ASSERT_TRUE(read_obj(text, m, err)) << err.where << " " << err.detail;
    EXPECT_EQ(names(m), (std::vector<std::string>{"default", "roof south", "wall"}));
    EXPECT_EQ(find(m, "default")->shapes.size(), 1u);
    EXPECT_EQ(find(m, "roof south")->shapes.size(), 3u);
    EXPECT_DOUBLE_EQ(surface_area(*find(m, "roof south")), 1.5);
    const auto& wall = *find(m, "wall");
    EXPECT_EQ(wall.shapes.size(), 2u);
    EXPECT_DOUBLE_EQ(surface_area(wall), 1.0);
    // Normal from the vertex order: the wall (0,0,0) (1,0,0) (1,0,1) faces -y.
    EXPECT_DOUBLE_EQ(wall.values[1], -1.0);
    EXPECT_TRUE(wall.regular);
}

TEST(ObjRead, MalformedLinesNameLineAndToken) {
    struct Case {
        const char* text;
        ReadError kind;
        size_t line;
        const char* detail;
    } cases[] = {
        {"v 0 0 0\nv 1 0 x\n", ReadError::bad_number, 2, "x"},
        {"v 0 0\n", ReadError::bad_number, 1, ""},
        {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 0\n", ReadError::bad_index, 4, "0"},
        {"v 0 0 0\nv 1 0 0\nv 0 1 0\n\nf 1 2 4\n", ReadError::bad_index, 5, "4"},
        {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf -4 1 2\n", ReadError::bad_index, 4, "-4"},
        {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1/2 a/1 3\n", ReadError::bad_index, 4, "a/1"},
        {"v 0 0 0\nv 1 0 0\nf 1 2\n", ReadError::bad_face, 3, "f 1 2"},
    };
    for (const auto& c : cases) {
        MeshModel m;
        ReadProblem err;
        EXPECT_FALSE(read_obj(c.text, m, err)) << c.text;
        EXPECT_EQ(err.kind, c.kind) << c.text;
        EXPECT_EQ(err.line, c.line) << c.text;
        EXPECT_EQ(err.detail, c.detail) << c.text;
    }
}

// ---------------------------------------------------------------------- glTF

// One unit square (two triangles) as a glTF with an embedded buffer.
std::string square_gltf(const std::string& nodes, uint32_t ctype, const std::string& indices_bytes) {
    std::string buf;
    const float pos[12] = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
    buf.append(reinterpret_cast<const char*>(pos), sizeof pos);
    const size_t ioff = buf.size();
    buf += indices_bytes;
    return std::string(R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],)") + nodes +
           R"(,"meshes":[{"name":"sq","primitives":[{"attributes":{"POSITION":0},"indices":1}]}],)"
           R"("accessors":[{"bufferView":0,"componentType":5126,"count":4,"type":"VEC3"},)"
           R"({"bufferView":1,"componentType":)" + std::to_string(ctype) + R"(,"count":6,"type":"SCALAR"}],)"
           R"("bufferViews":[{"buffer":0,"byteLength":48},{"buffer":0,"byteOffset":)" + std::to_string(ioff) +
           R"(,"byteLength":)" + std::to_string(indices_bytes.size()) + R"(}],)"
           R"("buffers":[{"byteLength":)" + std::to_string(buf.size()) +
           R"(,"uri":"data:application/octet-stream;base64,)" + base64(buf) + R"("}]})";
}

template <typename T>
std::string index_bytes(std::initializer_list<T> v) {
    std::string s;
    for (T x : v) put(s, x);
    return s;
}

TEST(GltfRead, IndexTypesTransformsAndNames) {
    const std::string nodes =
        R"("nodes":[{"name":"root","children":[1,2,3],"translation":[10,0,0]},)"
        R"({"name":"roof","mesh":0,"scale":[2,2,2]},)"
        R"({"mesh":0,"rotation":[0.7071067811865476,0,0,0.7071067811865476]},)"
        R"({"mesh":0,"matrix":[-1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,5,1]}])";
    for (uint32_t ctype : {5121u, 5123u, 5125u}) {
        std::string idx = ctype == 5121 ? index_bytes<uint8_t>({0, 1, 2, 0, 2, 3})
                          : ctype == 5123 ? index_bytes<uint16_t>({0, 1, 2, 0, 2, 3})
                                          : index_bytes<uint32_t>({0, 1, 2, 0, 2, 3});
        MeshModel m;
        ReadProblem err;
        ASSERT_TRUE(read_gltf(square_gltf(nodes, ctype, idx), "", m, err)) << err.where << " " << err.detail;
        // Node name, else mesh name; nodes 2 and 3 share the mesh's name and so one surface.
        ASSERT_EQ(names(m), (std::vector<std::string>{"roof", "sq"})) << ctype;
        const auto& roof = *find(m, "roof");
        EXPECT_DOUBLE_EQ(surface_area(roof), 4.0);
        EXPECT_DOUBLE_EQ(roof.values[3], 10.0);  // parent's translation
        EXPECT_DOUBLE_EQ(roof.values[2], 1.0);   // faces +z
        const auto& sq = *find(m, "sq");
        ASSERT_EQ(sq.shapes.size(), 4u);
        // Rotated 90 degrees about x: the square stands up and faces -y... (y -> z).
        EXPECT_NEAR(sq.values[1], -1.0, 1e-12);
        // Mirrored in x: the vertex order is reversed, the normal still +z.
        EXPECT_DOUBLE_EQ(sq.values[24 + 2], 1.0);
        EXPECT_DOUBLE_EQ(sq.values[24 + 3 + 2], 5.0);
    }
}

TEST(GltfRead, BinaryContainerAndExternalBuffer) {
    std::string bin;
    const float pos[9] = {0, 0, 0, 2, 0, 0, 0, 2, 0};
    bin.append(reinterpret_cast<const char*>(pos), sizeof pos);
    bin += index_bytes<uint16_t>({0, 1, 2, 0});  // padded to 4 bytes
    std::string js = R"({"asset":{"version":"2.0"},"nodes":[{"mesh":0}],"meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1}]}],)"
                     R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3"},{"bufferView":0,"byteOffset":36,"componentType":5123,"count":3,"type":"SCALAR"}],)"
                     R"("bufferViews":[{"buffer":0,"byteLength":44}],"buffers":[{"byteLength":44}]})";
    while (js.size() % 4) js += ' ';
    std::string glb = "glTF";
    put<uint32_t>(glb, 2);
    put<uint32_t>(glb, uint32_t(12 + 8 + js.size() + 8 + bin.size()));
    put<uint32_t>(glb, uint32_t(js.size()));
    put<uint32_t>(glb, 0x4E4F534A);
    glb += js;
    put<uint32_t>(glb, uint32_t(bin.size()));
    put<uint32_t>(glb, 0x004E4942);
    glb += bin;
    MeshModel m;
    ReadProblem err;
    ASSERT_TRUE(read_gltf(glb, "", m, err)) << err.where << " " << err.detail;
    ASSERT_EQ(names(m), (std::vector<std::string>{"node0"}));
    EXPECT_DOUBLE_EQ(surface_area(m.solids.solids[0]), 2.0);

    // The same buffer as a file beside the .gltf, its name percent-escaped.
    char dir[] = "/tmp/qm_gltfXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::ofstream(std::string(dir) + "/my buf.bin", std::ios::binary) << bin;
    std::string ext = js;
    ext.replace(ext.find(R"({"byteLength":44})"), 17, R"({"byteLength":44,"uri":"my%20buf.bin"})");
    MeshModel m2;
    ASSERT_TRUE(read_gltf(ext, dir, m2, err)) << err.where << " " << err.detail;
    EXPECT_DOUBLE_EQ(surface_area(m2.solids.solids[0]), 2.0);
    // Without the file: a buffer error naming it.
    std::remove((std::string(dir) + "/my buf.bin").c_str());
    MeshModel m3;
    ReadProblem e3;
    EXPECT_FALSE(read_gltf(ext, dir, m3, e3));
    EXPECT_EQ(e3.kind, ReadError::buffer);
    EXPECT_EQ(e3.where, "buffers[0].uri");
    std::remove(dir);
}

TEST(GltfRead, MalformedFilesSayWhere) {
    const std::string good = square_gltf(R"("nodes":[{"mesh":0}])", 5121, index_bytes<uint8_t>({0, 1, 2, 0, 2, 3}));
    struct Case {
        std::string text;
        ReadError kind;
        std::string where;
    };
    std::vector<Case> cases = {
        {R"({"asset":{"version":"2.0"}, "nodes": [}")", ReadError::syntax, "JSON"},
        {square_gltf(R"("nodes":[{"mesh":0}])", 5121, index_bytes<uint8_t>({0, 1, 2, 0, 2, 9})), ReadError::bad_index,
         "meshes[0].primitives[0].indices"},
        {square_gltf(R"("nodes":[{"mesh":3}])", 5121, index_bytes<uint8_t>({0, 1, 2, 0, 2, 3})), ReadError::bad_index,
         "nodes[0].mesh"},
        {square_gltf(R"("nodes":[{"mesh":0}])", 5126, index_bytes<float>({0, 1, 2, 0, 2, 3})),
         ReadError::bad_structure, "accessors[1].componentType"},
        {square_gltf(R"("nodes":[{"children":[1]},{"children":[0]}])", 5121, index_bytes<uint8_t>({0, 1, 2, 0, 2, 3})),
         ReadError::bad_structure, "nodes[0]"},
        {R"({"asset":{"version":"2.0"},"extensionsRequired":["KHR_draco_mesh_compression"]})", ReadError::unsupported,
         "extensionsRequired"},
    };
    // A buffer shorter than its byteLength.
    std::string short_buf = good;
    const size_t at = short_buf.find(R"("buffers":[{"byteLength":)") + 25;
    short_buf.replace(at, 2, "99");
    cases.push_back({short_buf, ReadError::buffer, "buffers[0]"});
    for (const auto& c : cases) {
        MeshModel m;
        ReadProblem err;
        EXPECT_FALSE(read_gltf(c.text, "", m, err)) << c.text;
        EXPECT_EQ(err.kind, c.kind) << c.text;
        EXPECT_EQ(err.where, c.where) << c.text;
    }
    {  // a number beyond double's range
        MeshModel m;
        ReadProblem err;
        EXPECT_FALSE(read_gltf(R"({"asset":{"version":"2.0"},"nodes":[{"translation":[1e999,0,0]}]})", "", m, err));
        EXPECT_EQ(err.kind, ReadError::syntax);
    }
    // Syntax errors carry the byte offset of the culprit.
    MeshModel m;
    ReadProblem err;
    EXPECT_FALSE(read_gltf(R"({"asset": x})", "", m, err));
    EXPECT_EQ(err.byte, 10u);
    // A GLB cut short.
    std::string glb = "glTF";
    put<uint32_t>(glb, 2);
    put<uint32_t>(glb, 1000);
    put<uint32_t>(glb, 4);
    put<uint32_t>(glb, 0x4E4F534A);
    EXPECT_FALSE(read_gltf(glb + "{}  ", "", m, err));
    EXPECT_EQ(err.kind, ReadError::syntax);
    EXPECT_EQ(err.byte, 8u);
}

// ------------------------------------------------------------------ CityJSON

// A building 10 x 10 m, 500 km east and 5,400 km north of the datum
// (millimetre integers), roof at z = 6 m with a 2 x 2 m skylight hole.
std::string city_doc(const std::string& version, const std::string& extra_geometry = "") {
    return R"({"type":"CityJSON","version":")" + version + R"(",
  "transform":{"scale":[0.001,0.001,0.001],"translate":[500000.0,5400000.0,100.0]},
  "CityObjects":{
    "b1":{"type":"Building","geometry":[
      {"type":"MultiSurface","lod":"1","boundaries":[[[0,1,2,3]]]},
      {"type":"Solid","lod":"2.2","boundaries":[[ [[0,3,2,1]], [[4,5,6,7],[8,9,10,11]], [[0,1,5,4]], [[1,2,6,5]] ]],
       "semantics":{"surfaces":[{"type":"GroundSurface"},{"type":"RoofSurface"},{"type":"WallSurface"}],
                    "values":[[0,1,2,null]]}})" + extra_geometry + R"(]},
    "a0":{"type":"Building","geometry":[]}},
  "vertices":[[123456789,987654321,0],[123466789,987654321,0],[123466789,987664321,0],[123456789,987664321,0],
              [123456789,987654321,6000],[123466789,987654321,6000],[123466789,987664321,6000],[123456789,987664321,6000],
              [123460789,987658321,6000],[123460789,987660321,6000],[123462789,987660321,6000],[123462789,987658321,6000]]})";
}

TEST(CityJsonRead, SemanticSurfacesHolesAndLocalOrigin) {
    for (const std::string version : {"1.1", "2.0"}) {
        MeshModel m;
        ReadProblem err;
        ASSERT_TRUE(read_cityjson(city_doc(version), {}, m, err)) << err.where << " " << err.detail;
        EXPECT_EQ(names(m), (std::vector<std::string>{"b1/GroundSurface/0", "b1/RoofSurface/1", "b1/WallSurface/2", "b1"}));
        // The origin is the first vertex, in world coordinates.
        EXPECT_DOUBLE_EQ(m.origin[0], 123456789 * 0.001 + 500000.0);
        EXPECT_DOUBLE_EQ(m.origin[1], 987654321 * 0.001 + 5400000.0);
        EXPECT_DOUBLE_EQ(m.origin[2], 100.0);
        const auto& roof = *find(m, "b1/RoofSurface/1");
        EXPECT_NEAR(surface_area(roof), 100.0 - 4.0, 1e-9);
        EXPECT_DOUBLE_EQ(roof.values[2], 1.0);  // outline counter-clockwise from above: faces up
        // Local coordinates are the integer offsets times the scale: exact to one rounding.
        for (size_t k = 0; k < roof.shapes.size(); ++k)
            for (int v = 0; v < 3; ++v) {
                const double* p = roof.values.data() + 12 * k + 3 + 3 * v;
                EXPECT_TRUE(p[0] == 0.0 || p[0] == 10.0 || p[0] == 4.0 || p[0] == 6.0) << p[0];
                EXPECT_DOUBLE_EQ(p[2], 6.0);
            }
        EXPECT_DOUBLE_EQ(find(m, "b1/GroundSurface/0")->values[2], -1.0);
        EXPECT_NEAR(surface_area(*find(m, "b1/WallSurface/2")), 60.0, 1e-9);
        EXPECT_NEAR(surface_area(*find(m, "b1")), 60.0, 1e-9);  // the polygon with a null value
    }
}

TEST(CityJsonRead, LevelOfDetailChoiceAndInstances) {
    MeshModel m;
    ReadProblem err;
    CityJsonOptions lod1;
    lod1.lod = "1";
    ASSERT_TRUE(read_cityjson(city_doc("2.0"), lod1, m, err)) << err.where;
    EXPECT_EQ(names(m), (std::vector<std::string>{"b1"}));
    EXPECT_DOUBLE_EQ(find(m, "b1")->values[2], 1.0);
    EXPECT_NEAR(surface_area(*find(m, "b1")), 100.0, 1e-9);
    // An instance of a template (a 1 x 1 m square), scaled by 3 at vertex 4.
    std::string doc = city_doc("2.0", R"(,{"type":"GeometryInstance","template":0,"boundaries":[4],
        "transformationMatrix":[3,0,0,0, 0,3,0,0, 0,0,3,0, 0,0,0,1]})");
    doc.insert(doc.rfind(R"("vertices")"),
               R"("geometry-templates":{"templates":[{"type":"MultiSurface","lod":"2.2","boundaries":[[[0,1,2,3]]],
                  "semantics":{"surfaces":[{"type":"RoofSurface"}],"values":[0]}}],
                  "vertices-templates":[[0,0,0],[1,0,0],[1,1,0],[0,1,0]]},)");
    MeshModel mi;
    ASSERT_TRUE(read_cityjson(doc, {}, mi, err)) << err.where << " " << err.detail;
    const auto* inst = find(mi, "b1/RoofSurface/3");  // indices go on after the solid's three surfaces
    ASSERT_NE(inst, nullptr);
    EXPECT_DOUBLE_EQ(surface_area(*inst), 9.0);
    EXPECT_DOUBLE_EQ(inst->values[5], 6.0);
}

TEST(CityJsonRead, SequenceLinesShareTheHeadersTransform) {
    const std::string seq =
        R"({"type":"CityJSON","version":"2.0","transform":{"scale":[0.01,0.01,0.01],"translate":[400000,6000000,0]},"CityObjects":{},"vertices":[]})"
        "\n"
        R"({"type":"CityJSONFeature","id":"f1","CityObjects":{"f1":{"type":"Building","geometry":[{"type":"MultiSurface","lod":"2","boundaries":[[[0,1,2]]],"semantics":{"surfaces":[{"type":"RoofSurface"}],"values":[0]}}]}},"vertices":[[100,100,500],[300,100,500],[100,300,500]]})"
        "\n\n"
        R"({"type":"CityJSONFeature","id":"f2","CityObjects":{"f2":{"type":"Building","geometry":[{"type":"MultiSurface","lod":"2","boundaries":[[[0,1,2]]]}]}},"vertices":[[1100,100,0],[1300,100,0],[1100,300,0]]})"
        "\n";
    MeshModel m;
    ReadProblem err;
    ASSERT_TRUE(read_cityjson(seq, {}, m, err)) << err.line << " " << err.where << " " << err.detail;
    EXPECT_EQ(names(m), (std::vector<std::string>{"f1/RoofSurface/0", "f2"}));
    EXPECT_DOUBLE_EQ(m.origin[0], 400001.0);
    const auto& f2 = *find(m, "f2");
    EXPECT_DOUBLE_EQ(f2.values[3], 10.0);   // (1100 - 100) * 0.01
    EXPECT_DOUBLE_EQ(f2.values[5], -5.0);   // (0 - 500) * 0.01
    // A broken third line names line 4 and its byte offset.
    std::string bad = seq + R"({"type":"CityJSONFeature","CityObjects":{"x":{"geometry":[{"type":"MultiSurface","lod":"2","boundaries":[[[0,1,7]]]}]}},"vertices":[[0,0,0],[1,0,0],[0,1,0]]})";
    MeshModel mb;
    EXPECT_FALSE(read_cityjson(bad, {}, mb, err));
    EXPECT_EQ(err.kind, ReadError::bad_index);
    EXPECT_EQ(err.line, 5u);
    EXPECT_EQ(err.where, R"(CityObjects["x"].geometry[0].boundaries[0][0][2])");
    EXPECT_EQ(err.detail, "7");
}

TEST(CityJsonRead, MalformedDocumentsSayWhere) {
    struct Case {
        std::string text;
        ReadError kind;
        std::string where;
    };
    std::string out_of_range = city_doc("2.0");
    out_of_range.replace(out_of_range.find("[[4,5,6,7]"), 10, "[[4,5,6,12]");
    std::string bad_sem = city_doc("2.0");
    bad_sem.replace(bad_sem.find("[[0,1,2,null]]"), 14, "[[0,1,5,null]]");
    const std::vector<Case> cases = {
        {out_of_range, ReadError::bad_index, R"(CityObjects["b1"].geometry[1].boundaries[0][1][0][3])"},
        {bad_sem, ReadError::bad_index, R"(CityObjects["b1"].geometry[1].boundaries[0][2] (semantics.values))"},
        {city_doc("3.0"), ReadError::unsupported, "version"},
        {R"({"type":"CityJSON","version":"2.0","CityObjects":{}})", ReadError::bad_structure, "vertices"},
        {"{\"type\":\"CityJSON\",\n\"version\":2.0,,}", ReadError::syntax, "JSON"},
        // A number beyond double's range (found by the fuzzer: the library throws another exception type).
        {R"({"type":"CityJSON","version":"2.0","CityObjects":{},"vertices":[[4e888888,0,0]]})", ReadError::syntax, "JSON"},
    };
    for (const auto& c : cases) {
        MeshModel m;
        ReadProblem err;
        EXPECT_FALSE(read_cityjson(c.text, {}, m, err));
        EXPECT_EQ(err.kind, c.kind) << c.where;
        EXPECT_EQ(err.where, c.where);
    }
    MeshModel m;
    ReadProblem err;
    EXPECT_FALSE(read_cityjson("{\"type\":\"CityJSON\",\n\"version\":2.0,,}", {}, m, err));
    EXPECT_EQ(err.byte, 34u);  // the second comma
    EXPECT_EQ(err.line, 2u);
}

TEST(ModelFormat, ChosenByExtension) {
    EXPECT_EQ(format_of_path("/a/House.STL"), ModelFormat::stl);
    EXPECT_EQ(format_of_path("x.obj"), ModelFormat::obj);
    EXPECT_EQ(format_of_path("x.gltf"), ModelFormat::gltf);
    EXPECT_EQ(format_of_path("x.GLB"), ModelFormat::glb);
    EXPECT_EQ(format_of_path("tile.city.json"), ModelFormat::cityjson);
    EXPECT_EQ(format_of_path("tile.json"), ModelFormat::cityjson);
    EXPECT_EQ(format_of_path("tile.jsonl"), ModelFormat::cityjson_seq);
    EXPECT_EQ(format_of_path("model.ply"), ModelFormat::unknown);
}

}  // namespace

// ------------------------------------------------------------ name patterns

namespace {

TEST(GlobMatch, SurfacePatterns) {
    using qm::text::glob_match;
    EXPECT_TRUE(glob_match("*/RoofSurface/*", "b1/RoofSurface/3"));
    EXPECT_TRUE(glob_match("*/RoofSurface/*", "city/block 7/b1/RoofSurface/12"));  // * crosses '/'
    EXPECT_FALSE(glob_match("*/RoofSurface/*", "b1/WallSurface/3"));
    EXPECT_FALSE(glob_match("*/RoofSurface/*", "b1/RoofSurface"));
    EXPECT_TRUE(glob_match("roof_*", "roof_"));
    EXPECT_TRUE(glob_match("roof_?", "roof_n"));
    EXPECT_FALSE(glob_match("roof_?", "roof_no"));
    EXPECT_TRUE(glob_match("b[0-9]/*", "b7/x"));
    EXPECT_FALSE(glob_match("b[!0-9]/*", "b7/x"));
    EXPECT_TRUE(glob_match("b[]x]", "b]"));
    EXPECT_TRUE(glob_match("a[b", "a[b"));  // unclosed: literal
    EXPECT_TRUE(glob_match("*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaab"));
    EXPECT_FALSE(glob_match("*a*a*a*b", std::string(5000, 'a')));
    EXPECT_TRUE(glob_match("", ""));
    EXPECT_FALSE(glob_match("", "x"));
    EXPECT_TRUE(qm::text::has_glob("*/Roof"));
    EXPECT_FALSE(qm::text::has_glob("roof_north"));
}

}  // namespace
