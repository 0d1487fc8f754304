// The plan of a shading module's products: what each depends on, its
// fingerprint (fingerprint.hpp) and its file name. The store (store.hpp)
// saves and loads a product against the fingerprint the plan gives.
//
// One model and its analysed surfaces give up to three products, each a file
// with "<file>.fingerprint" beside it:
//   table   <table>                   cosine factors on a grid (cos_table.hpp)
//   exact   <table stem>.exact.csv    the factors of a run's sun positions (factor_file.hpp, sun_track.hpp)
//   views   <table stem>.views.csv    the surfaces' sky, ground and horizon views (sky_view.hpp)
// (<table stem>: the table path without a final ".csv".) Fingerprint lines, in order:
//   every product   format, kind, model, surfaces, resolution, normals
//                   (and lod, after model, when a level of detail is chosen;
//                   absent, older fingerprints of the highest stay valid)
//   table           grid       ("45, 15 (altitudes 0..75)" for the 54-point grid, else "<az step>, <alt step>")
//   exact           site, period, time_step, steps, sun_time
//   views           directions, horizon_band
// The model is named by the SHA-256 of its bytes ("sha256:<hex>"), so a
// copied or touched model keeps its products and an edited one does not.
// Numbers are written in their shortest round-trip text (angle_text).
//
// A product's key (product_key) is the SHA-256 of its fingerprint's text:
// equal keys mean the same content, so a sweep's variants share one file.
//
// Usage (another product built on the same model and surfaces):
//   ShadingPlan plan{...};  plan.model_digest = model_digest(path);
//   Fingerprint fp = product_fingerprint(plan, "my_kind");  fp.set("my_input", ...);
//   StoreLoad got = load_if_fresh(sibling_path(plan.table_path, ".my_kind.csv"), fp);
#pragma once
#include <string>
#include <vector>

#include "kernels/shading/fingerprint.hpp"
#include "kernels/shading/sky_view.hpp"
#include "kernels/shading/sun_grid.hpp"
#include "kernels/shading/sun_track.hpp"

namespace qm::shading {

struct ShadingPlan {
    std::string table_path;             // file-system path of the table
    std::string model_digest;           // "sha256:<hex>" of the model file; "" when it cannot be read
    std::vector<std::string> surfaces;  // analysed surfaces as declared (order and repeats kept)
    double resolution = 0.0;            // [model units] edge length of subdivision; 0: the model's triangles
    std::string normals = "file";       // the module's normals setting
    std::string lod;                    // a CityJSON model's level of detail; "" the highest
    bool grid_given = false;            // false: the 54-point grid
    double azimuth_step = 45.0, altitude_step = 15.0;  // [deg] with grid_given
};

// "sha256:<hex>" of the file's bytes, "" when it cannot be read.
std::string model_digest(const std::string& path);

// The lines every product has: format, kind, model, surfaces, resolution, normals.
Fingerprint product_fingerprint(const ShadingPlan& plan, const std::string& kind);
Fingerprint table_fingerprint(const ShadingPlan& plan);
Fingerprint exact_fingerprint(const ShadingPlan& plan, const SunRun& run);
Fingerprint views_fingerprint(const ShadingPlan& plan, const SkyViewOptions& options);

// The grid the table is written on (checked: grid_error when the steps are not valid).
GridError table_grid(const ShadingPlan& plan, SunGrid& out, size_t* points = nullptr);

// "<path without a final .csv><suffix>".
std::string sibling_path(const std::string& table_path, const char* suffix);
std::string exact_path(const std::string& table_path);  // ".exact.csv"
std::string views_path(const std::string& table_path);  // ".views.csv"
// Every file a module generates beside its table, fingerprints included
// (the table's fingerprint, the exact factors and the views with theirs),
// so that a discarded cache leaves nothing stale. The table itself is not listed.
std::vector<std::string> generated_files(const std::string& table_path);
// Where an array's cell light is kept beside the table: "<stem>.cells.<array>.bin",
// the array's name kept to letters, digits, '-' and '_' (another name gets a
// hash of itself appended, so that two names never share a file).
std::string cell_light_path(const std::string& table_path, const std::string& array_name);
// The arrays' kept cell light beside the table (cell_light_path's files and
// their fingerprints) that exist now: their names depend on the arrays, which
// the shading module does not know, so they are found in the table's folder.
std::vector<std::string> cell_light_files(const std::string& table_path);

// SHA-256 hex of a fingerprint's text.
std::string product_key(const Fingerprint& fp);

// The key of everything a module of this plan computes: its table and, given
// the run it plans for (exact method), that run's factors. The views depend
// on nothing the table's lines do not hold. Equal keys: the same files.
std::string plan_key(const ShadingPlan& plan, const SunRun* run);

// The key of a declared shading type whose products the plan cannot see
// into: the plan's common lines (model, surfaces, resolution, normals), the
// type's other values as (key, text) lines and, given a run, the run (it may
// depend on it).
std::string declared_key(const ShadingPlan& plan, const std::string& type,
                         const std::vector<std::pair<std::string, std::string>>& values, const SunRun* run);

// Where a sweep's variant whose shading differs from the project's writes a
// generated file: beside `path`, "<stem>-<first 12 hex of key><extension>"
// (".csv" when the name has none; a leading dot starts no extension).
std::string variant_path(const std::string& path, const std::string& key);

}  // namespace qm::shading
