// ExactShadowModule: the shading module that projects use. It extends the
// table module (SurfaceShadowModule, whose own behaviour is unchanged) with
//   * method "exact": each lookup is the geometry library's exact
//     per-surface result at the asked sun position, from the cached model;
//     the sun positions of a run's steps are cast at start-up in one threaded
//     batch and kept in a file beside the table;
//   * method "table": a table on a grid with free steps;
//   * resolution: analysed triangles subdivided for the cosine factor;
//   * fingerprints of the files it generates (model content, surfaces, grid,
//     and for exact factors the site, period, time step and sun time): a
//     stale file is regenerated, a table without one is used unchecked.
// in_file_params: [model, table, method, grid, resolution, surface, ...];
// grid None for the 54-point grid or [azimuth_step, altitude_step] [deg],
// resolution 0 (or None) for the model's own triangles.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bindings/components/shade_group.hpp"
#include "kernels/geometry/model.hpp"
#include "kernels/geometry/subdivide.hpp"
#include "kernels/shading/plan.hpp"
#include "kernels/shading/sun_track.hpp"

namespace qm::py {
namespace nb = nanobind;

class ExactShadowModule : public SurfaceShadowModule {
public:
    // Options, from in_file_params[2..4] at awake.
    bool exact = true;
    bool grid_given = false;
    double azimuth_step = 45.0, altitude_step = 15.0;  // [deg], with grid_given
    double resolution = 0.0;                           // model units; 0: the model's triangles

    // Exact mode: the model, the analysed faces and the factors found so far
    // (one row per sun position, one column per surface).
    std::shared_ptr<const geom::Model> model;
    geom::FaceSet faces;
    nb::object exact_columns = nb::steal(PyDict_New());  // surface name -> column
    struct Key {
        uint64_t alt, az;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& k) const noexcept { return std::hash<uint64_t>()(k.alt * 0x9E3779B97F4A7C15ull ^ k.az); }
    };
    std::unordered_map<Key, size_t, KeyHash> rows;
    std::vector<double> row_alt, row_az, row_factors;
    size_t step_rows = 0;         // rows 0..step_rows-1: the run's sun track positions, in its order
    shading::SunTrack track;      // the run's steps -> rows (empty without a run)
    nb::object exact_file = nb::str("");

    nb::object _get_module_info() override;
    void awake(nb::handle state) override;
    double get_cos_value(nb::handle solid_name, double altitude, double azimuth) override;
    void shadow_analyze_output(nb::handle output_folder) override;

    // The lookup of this type as a host float (host subclasses without a redefinition).
    nb::object cos_value_object(nb::handle solid_name, double altitude, double azimuth) {
        return nb::float_(ExactShadowModule::get_cos_value(solid_name, altitude, azimuth));
    }

    // Exact method: the factor of the surface in `column` (of exact_columns)
    // at the run's step `step` (0 at awake). False without sun at that step,
    // beyond the run, or in table mode: the caller then asks get_cos_value.
    bool step_factor(size_t step, size_t column, double& factor) const;

    // The run's sun-up steps and their factors (report), None in table mode.
    nb::object sun_factors();
    // Deletes the generated files (table, exact factors, sky views, their fingerprints).
    void discard_caches();

    // Exact method: the factor of the run's step whose sun the panel asks for
    // (its clock time and sun time, sun_track's step_at); any other sun (no
    // run planned, another sun time or clock, table mode): get_cos_value.
    double step_cos_value(nb::handle surface, const StepSun& sun) override;
    // Sky, ground and horizon-band views of an analysed surface (cosine-weighted,
    // past the whole model), computed on first use after awake, once per model
    // and surface list, and kept in a fingerprinted file beside the table
    // (name.views.csv). False for a surface that is not analysed or without
    // a readable model.
    bool surface_views(nb::handle name, SurfaceViews& out) override;
    // {surface: (sky_view, ground_view)} of every analysed surface.
    nb::object sky_views();
    // {surface: horizon_view} of every analysed surface.
    nb::object horizon_views();
    std::vector<double> view_sky, view_ground, view_horizon;  // per exact column
    bool views_done = false;
    shading::ShadingPlan plan();  // what this module's products depend on, from its options

    int traverse(visitproc visit, void* arg) override;
    void clear() override;

    // The state awake leaves, kept for later modules of the same inputs
    // (shade_exact_prepared.cpp: share_prepared).
    struct Prepared;

private:
    void awake_fresh(nb::handle state);  // awake without a kept state, after read_options
    std::string prepared_key(nb::handle state);  // "" when not shared
    bool adopt_prepared(const std::string& key);
    void keep_prepared(const std::string& key);
    void read_options();
    nb::object resolve_paths();  // (stl, csv) as convert_to_valid_path gives them
    void write_table(nb::handle output, const std::string& text);
    void check_table(nb::handle csv);
    void awake_exact(nb::handle state);
    void build_faces();
    void compute_views();
    void plan_steps(nb::handle state);
    size_t add_rows(const std::vector<double>& alt, const std::vector<double>& az, bool progress_lines);
    std::string model_digest_;
    std::string model_digest_path_;
};

nb::handle exact_shadow_type();

// The 54-point table computed elsewhere (quillmere shade --workers): its sun
// positions [(altitude, azimuth)] in table order, and the table written from
// the factors cast there (one row per position, one value per distinct
// surface) with the fingerprint the module writes for its own table.
nb::object cos_table_positions();
void write_cos_table(nb::handle model, nb::handle surfaces, nb::handle output, nb::handle factors);

// A module whose in_file_params are `values` by the declaration's key names.
nb::object from_values(nb::handle name, nb::handle values);

// The run a module plans its sun positions for, from state["clock"] and
// state["site"]; false without one (shading_keys.cpp).
bool sun_run_of(nb::handle state, shading::SunRun& run);
// {instance: keys} of every shading module of a checked project (shading_keys.cpp).
nb::object shading_keys(nb::handle project, nb::handle state);
// (key, path) of every generated file of a checked module entry, by key name.
std::vector<std::pair<std::string, nb::object>> generated_values(nb::handle entry);

// share_prepared and prepared_counts, in quillmere.components.shade_exact.
void bind_shade_exact_prepared(nb::module_& scope);

}  // namespace qm::py
