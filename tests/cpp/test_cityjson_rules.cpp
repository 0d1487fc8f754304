// The CityJSON rules shared by the reader and the map writer: the LoD each
// takes, the levels a model offers, and the nesting guard that keeps deeply
// nested documents from exhausting the stack.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kernels/geometry/cityjson_read.hpp"
#include "kernels/geometry/cityjson_rules.hpp"
#include "kernels/maps/map_files.hpp"

namespace cj = qm::geom::cityjson;

namespace {

// b1: LoD "1" and 2 (a number, as CityJSON 1.0 wrote it) MultiSurfaces, a
// point cloud without area, and an instance of a LoD "2.2" template.
const char* kDoc = R"({"type":"CityJSON","version":"2.0",
"CityObjects":{"b1":{"type":"Building","geometry":[
 {"type":"MultiSurface","lod":"1","boundaries":[[[0,1,2]]],"semantics":{"surfaces":[{"type":"RoofSurface"}],"values":[0]}},
 {"type":"MultiPoint","lod":"3","boundaries":[0,1]},
 {"type":"MultiSurface","lod":2,"boundaries":[[[0,1,3]]],"semantics":{"surfaces":[{"type":"WallSurface"}],"values":[0]}},
 {"type":"GeometryInstance","template":0,"boundaries":[0],"transformationMatrix":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1]}]}},
"geometry-templates":{"templates":[{"type":"MultiSurface","lod":"2.2","boundaries":[[[0,1,2]]],
  "semantics":{"surfaces":[{"type":"RoofSurface"}],"values":[0]}}],"vertices-templates":[[0,0,0],[1,0,0],[0,1,0]]},
"vertices":[[0,0,0],[10,0,0],[0,10,0],[0,0,10]]})";

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::vector<std::string> names(const qm::geom::MeshModel& m) {
    std::vector<std::string> out;
    for (const auto& s : m.solids.solids) out.push_back(s.name);
    return out;
}

}  // namespace

TEST(CityJsonRules, JsonDepthSkipsStringsAndStopsAtTheLimit) {
    EXPECT_EQ(cj::json_depth("{}", 10), 1u);
    EXPECT_EQ(cj::json_depth(R"({"a":[[1],{"b":[2]}]})", 10), 4u);
    EXPECT_EQ(cj::json_depth(R"(["[[[[", "\"[[[", {}])", 10), 2u);  // brackets and escaped quotes in strings
    size_t at = 0;
    EXPECT_EQ(cj::json_depth(nested(1000), 5, &at), 6u);  // stops at the first level past the limit
    EXPECT_EQ(at, 5u);
    EXPECT_EQ(cj::json_depth("]]]][", 10), 1u);  // stray closers do not go below zero
}

TEST(CityJsonRules, ReaderAndWriterTakeTheSameLevel) {
    const nlohmann::json doc = nlohmann::json::parse(kDoc);
    const nlohmann::ordered_json odoc = nlohmann::ordered_json::parse(kDoc);
    const auto* templates = &doc["geometry-templates"]["templates"];
    const auto* otemplates = &odoc["geometry-templates"]["templates"];
    const cj::LodChoice a = cj::choose_lod(doc["CityObjects"]["b1"]["geometry"], templates, "");
    const cj::LodChoice b = cj::choose_lod(odoc["CityObjects"]["b1"]["geometry"], otemplates, "");
    ASSERT_EQ(a.error, cj::LodError::none);
    EXPECT_EQ(a.want, "2.2");  // the instance's template is the highest
    EXPECT_EQ(a.lods, (std::vector<std::string>{"1", "", "2", "2.2"}));  // the points have no area
    EXPECT_EQ(a.holder[3], 0u);
    EXPECT_EQ(b.want, a.want);
    EXPECT_EQ(b.lods, a.lods);
    EXPECT_EQ(b.holder, a.holder);
    const cj::LodChoice two = cj::choose_lod(doc["CityObjects"]["b1"]["geometry"], templates, "2");
    EXPECT_TRUE(two.taken(2));
    EXPECT_FALSE(two.taken(0));
    EXPECT_FALSE(cj::choose_lod(doc["CityObjects"]["b1"]["geometry"], templates, "2.0").taken(2));  // text match

    // The reader lists the levels it met and, asked for one, reads only it.
    qm::geom::MeshModel m;
    qm::geom::ReadProblem err;
    qm::geom::CityJsonOptions opt;
    opt.lod = "2";
    ASSERT_TRUE(qm::geom::read_cityjson(kDoc, opt, m, err)) << err.where;
    EXPECT_EQ(m.lods, (std::vector<std::string>{"1", "2", "2.2"}));
    EXPECT_EQ(names(m), (std::vector<std::string>{"b1/WallSurface/0"}));
    // The writer numbers the chosen geometry's surfaces the same way.
    qm::maps::SurfaceValues v;
    v.names = names(m);
    v.keys = {"k"};
    v.values = {5.0};
    std::string out;
    EXPECT_EQ(qm::maps::annotate_cityjson(kDoc, "2", v, out).annotated, 1u);
    EXPECT_EQ(nlohmann::json::parse(out)["CityObjects"]["b1"]["geometry"][2]["semantics"]["surfaces"][0]["k"], 5.0);

    // A malformed lod is named at the same place by both.
    std::string bad = kDoc;
    bad.replace(bad.find("\"lod\":2,"), 8, "\"lod\":[2],");
    qm::geom::MeshModel mb;
    EXPECT_FALSE(qm::geom::read_cityjson(bad, {}, mb, err));
    const qm::maps::AnnotateResult r = qm::maps::annotate_cityjson(bad, "", v, out);
    EXPECT_EQ(r.error, qm::maps::AnnotateError::structure);
    EXPECT_EQ(err.where, R"(CityObjects["b1"].geometry[2].lod)");
    EXPECT_EQ(r.where, err.where);
}

TEST(CityJsonRules, DeeplyNestedDocumentsAreRefusedNotOverflowed) {
    // 200,000 levels in an attribute: parsed as is, the writer's recursion
    // would need far more stack than a thread has.
    std::string deep = kDoc;
    const size_t insert_at = deep.find("\"vertices\":[[0,0,0]");
    deep.insert(insert_at, "\"extra\":" + nested(200000) + ",");
    qm::maps::SurfaceValues v;
    std::string out = "old";
    qm::maps::AnnotateResult r = qm::maps::annotate_cityjson(deep, "", v, out);
    EXPECT_EQ(r.error, qm::maps::AnnotateError::too_deep);
    EXPECT_EQ(r.where, "byte " + std::to_string(insert_at + 8 + cj::kMaxJsonDepth - 1));  // the document took one level
    EXPECT_TRUE(out.empty());

    // The same in a CityJSONSeq line names the line.
    const std::string seq = std::string(R"({"type":"CityJSON","version":"2.0","CityObjects":{},"vertices":[]})") + "\n" +
                            R"({"type":"CityJSONFeature","CityObjects":{},"vertices":[],"x":)" + nested(200000) + "}\n";
    r = qm::maps::annotate_cityjson(seq, "", v, out);
    EXPECT_EQ(r.error, qm::maps::AnnotateError::too_deep);
    EXPECT_EQ(r.where, "line 2");

    // The reader: a ring index that is a deeply nested array (its error text
    // would print it back) is refused before parsing, with line and byte.
    std::string ring = kDoc;
    const size_t at = ring.find("[[[0,1,2]]]");
    ring.replace(at, 11, "[[[0,1," + nested(200000) + "]]]");
    qm::geom::MeshModel m;
    qm::geom::ReadProblem err;
    EXPECT_FALSE(qm::geom::read_cityjson(ring, {}, m, err));
    EXPECT_EQ(err.kind, qm::geom::ReadError::unsupported);
    EXPECT_EQ(err.where, "JSON");
    EXPECT_EQ(err.byte, at + 7 + cj::kMaxJsonDepth - 8);  // document to ring took eight levels
    EXPECT_EQ(err.line, 3u);
    EXPECT_FALSE(qm::geom::read_cityjson(seq, {}, m, err));
    EXPECT_EQ(err.line, 2u);

    // A model at the limit is still read.
    std::string ok = kDoc;
    ok.insert(ok.find("\"vertices\":[[0,0,0]"), "\"extra\":" + nested(cj::kMaxJsonDepth - 1) + ",");
    qm::geom::MeshModel mo;
    EXPECT_TRUE(qm::geom::read_cityjson(ok, {}, mo, err)) << err.detail;
    EXPECT_EQ(qm::maps::annotate_cityjson(ok, "", v, out).error, qm::maps::AnnotateError::none);
}
