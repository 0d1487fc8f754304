// Direct sun on chosen triangles of a scene over a run of sun positions: the
// beam part of a per-triangle solar map, for a selection of the analysed
// triangles (so that work units over disjoint selections concatenate to the
// map of the whole set, value for value).
//
// For face f (unit normal n_f, centroid g_f) and sun step k (unit direction
// d_k towards the sun, duration dt_k [h], direct normal irradiance
// dni_k [W/m^2]):
//   lit_fk        = 1 when n_f . d_k > 0 and the ray g_f + t d_k hits no other
//                   triangle of the scene (occlusion.hpp's exact test), else 0
//   sunlit_hours_f = sum_k dt_k lit_fk                                  [h]
//   beam_f         = sum_k dni_k cos(aoi_fk) dt_k lit_fk / 1000         [kWh/m^2]
// with cos(aoi_fk) = n_f . d_k, the beam component on a tilted plane
// (pvlib.irradiance.beam_component; Duffie & Beckman 2013, Solar Engineering
// of Thermal Processes, 4th ed., Wiley, eq. 1.8.1 and 2.15.1).
//
// Decisions: steps with the sun at or below the horizon (d_z <= 0) add
// nothing. A face's sums run over the steps in their given order, whatever
// the selection and the thread count, so results are deterministic and a
// face's values do not depend on which unit it was computed in. A face whose
// vertices are not finite or lie beyond kMaxCoordinate of the frame's origin
// (tiles.hpp) is refused with its position in the selection: its rays would
// not mean anything.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/geometry/occlusion.hpp"

namespace qm::shading {

enum class TriangleSunError {
    none,
    bad_face,       // a selected face index is not a triangle of the scene: `where` is its position
    face_range,     // a selected face is not finite or too far from the origin: `where` is its position
    bad_step,       // a direction not finite or of length 0, or a negative or non-finite duration or dni: `where`
    cancelled,
};

struct TriangleSunResult {
    std::vector<double> sunlit_hours;  // per selected face [h]
    std::vector<double> beam;          // per selected face [kWh/m^2]
    uint64_t rays = 0;                 // rays cast (faces facing the sun, summed over the steps)
    size_t where = 0;                  // position of the culprit when an error is returned
};

struct TriangleSunInput {
    const geom::Scene* scene = nullptr;
    const double* normals = nullptr;  // 3 per scene triangle (unit, or 0 for a degenerate one)
    const int64_t* faces = nullptr;   // selected scene triangles
    size_t n_faces = 0;
    const double* directions = nullptr;  // 3 per step, towards the sun
    const double* hours = nullptr;       // per step [h]
    const double* dni = nullptr;         // per step [W/m^2]
    size_t n_steps = 0;
    unsigned threads = 1;                // 0: hardware concurrency
    std::atomic<bool>* cancel = nullptr;
};

TriangleSunError triangle_sun(const TriangleSunInput& in, TriangleSunResult& out);

}  // namespace qm::shading
