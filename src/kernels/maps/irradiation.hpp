// Solar maps: irradiation on every analysed triangle over a run.
//
// For each sample s (a triangle, or one of its n x n congruent sub-triangles
// at a declared resolution, geometry/subdivide.hpp) and each step k of the
// run, the light on the sample's plane [W/m2] is the panel's light:
//   poa_direct         = dni_k * b_sk
//   poa_circumsolar    = Perez circumsolar with the beam factor b_sk
//   poa_isotropic      = dhi_k (1 - F1_k) * sky_view_s       (isotropic sky: dhi_k * sky_view_s)
//   poa_horizon        = dhi_k F2_k * horizon_view_s         (isotropic sky: 0)
//   poa_ground_diffuse = albedo_k * ghi_k * ground_view_s,   ghi_k = dni_k sin(alt_k) + dhi_k
//                                                            ("diffuse" ground: ghi_k = dhi_k)
// where b_sk = n_s . d_k when the ray from the sample's centroid towards the
// sun d_k is free (exact ray casting against the whole model, the sample's own
// model triangle left out, occlusion.hpp) and 0 otherwise, and the views are
// the ray-cast sky, ground and horizon-band views (shading/sky_view.hpp) of
// the sample. Perez, Ineichen, Seals, Michalsky, Stewart, Solar Energy 44(5),
// 271-289, 1990 (sky/perez.hpp); Liu & Jordan, Solar Energy 7(2), 53-74, 1963
// (sky/isotropic.hpp). Then
//   H_s     = sum over k of poa_global_sk * hours_k / 1000    [kWh/m2]
//   H_s(m)  = the same over the steps of month m (1..12)      [kWh/m2]
// and a triangle's values are the area-weighted means of its samples'
// (geom::area_weighted_mean; the samples of one triangle have equal areas).
//
// Decided here, as the panel decides (bindings/components/sunpanel_timed.cpp):
// - The beam factor is cast for a step with dni > 0 wherever its sun is (an
//   hour whose middle lies just after sunset still brings the beam of its
//   first minutes from the set sun's direction, as the panel counts it), and
//   with the sun above the horizon and dhi > 0 under the Perez sky (the
//   circumsolar part follows the beam).
// - The sun at or below the horizon: the Perez sky has no clearness bin
//   there, so the isotropic dome (dhi * sky_view) is taken, as the panel.
// - A step with a non-finite dni, dhi or albedo adds nothing (the panel's
//   energy skips a non-finite step power too) and is counted in
//   `skipped_steps`.
//
// Determinism and splitting: every sample's sums depend only on the sample,
// the model and the steps (exact casts; steps added in order by one thread),
// so the values do not depend on the thread count, and a map computed for a
// subset of the triangles equals, value for value, the whole map's rows of
// those triangles. Samples are spread over threads in blocks by
// util::parallel_for; progress reports (done, total) in per-mille of the
// estimated rays, on the calling thread.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/subdivide.hpp"

namespace qm::maps {

// One step of the run, as the panel sees it.
struct Step {
    double altitude = 0.0, azimuth = 0.0;  // [deg] apparent sun at the step's sun time
    double dni = 0.0, dhi = 0.0;           // [W/m2] direct normal, diffuse horizontal
    double albedo = 0.2;                   // [-] ground reflectance
    double dni_extra = 0.0;                // [W/m2] extraterrestrial normal irradiance of the sun's day
    double airmass = 0.0;                  // [-] relative air mass (NaN with the sun down)
    double hours = 1.0;                    // [h] length of the step
    int month = 1;                         // 1..12, the month the step's clock time lies in
};

enum class StepsError { none, sizes, bad_time };

// Steps from a run's clock times [s from 1 January 00:00 of start_year]:
// the sun at clock time + sun_offset through shading::step_sun (the
// exact-factor module's and the panel's sun), air mass (Kasten & Young 1989)
// and dni_extra (Spencer 1971) of the sun's date, the month of the clock
// time. dni, dhi, albedo: one value per step; hours: the step length.
StepsError make_steps(double longitude, double latitude, double time_zone, int64_t start_year,
                      const std::vector<double>& clock_times, double sun_offset, const std::vector<double>& dni,
                      const std::vector<double>& dhi, const std::vector<double>& albedo, double hours,
                      std::vector<Step>& out);

struct MapOptions {
    bool perez = true;          // Perez sky, else the isotropic sky
    bool global_ground = true;  // the ground reflects dni sin(alt) + dhi, else dhi
    size_t sky_directions = 8192;      // per sample (shading::SkyViewOptions::directions)
    size_t horizon_directions = 2048;  // band directions (0: no horizon-band view)
    double horizon_band = 6.5;         // [deg]
    size_t block = 256;                // samples per task of the beam pass
    unsigned threads = 0;              // 0: hardware concurrency
    std::function<void(size_t, size_t)> progress;  // (done, total) per mille, calling thread
    double progress_seconds = 0.25;
    std::atomic<bool>* cancel = nullptr;
};

struct MapResult {
    // Per triangle (surface of the face set): annual [kWh/m2], monthly
    // (12 per triangle, January first) [kWh/m2], views [-].
    std::vector<double> annual, monthly, sky_view, ground_view, horizon_view;
    uint64_t beam_rays = 0;  // rays cast towards the sun
    uint64_t view_rays = 0;  // rays cast for the views
    size_t skipped_steps = 0;
};

enum class MapError { none, cancelled, bad_options };
const char* map_error_text(MapError e) noexcept;

// The map of every "surface" of `faces`: one surface per analysed triangle,
// its faces the triangle's samples. `out` is complete only with none.
MapError irradiation_map(const geom::Scene& scene, const geom::FaceSet& faces, const std::vector<Step>& steps,
                         const MapOptions& options, MapResult& out);

// The product kept in the store: a CSV table, one row per triangle:
// "triangle,annual,m01,...,m12,sky_view,ground_view,horizon_view" with the
// caller's triangle numbers, values in shortest round-trip form.
std::string map_table_text(const std::vector<int64_t>& triangles, const MapResult& map);
// Reads it back; false (with the 1-based line) when the text is not such a
// table or its triangle column differs from `triangles`.
bool read_map_table(const std::string& text, const std::vector<int64_t>& triangles, MapResult& out, size_t& line);

}  // namespace qm::maps
