// Per-surface cosine factors for many sun positions at once.
//
// For each sun position (altitude, azimuth) [deg] and each surface of a face
// set: the area-weighted mean over the surface's faces of n . d when the face
// faces the sun and its centroid ray is not blocked, else 0, summed as the
// single-position entry of the geometry library sums it (the same
// geom::area_weighted_mean). With the model's own triangles as faces, each value is bit for bit
// what that entry gives for the same position: every face's result depends
// only on the face, the sun direction and the model.
//
// Sun positions are spread over threads by util::parallel_for (each position
// is cast by one thread, so the result does not depend on the thread count;
// progress is reported on the calling thread; a failure is thrown, per the
// pool's one policy).
#pragma once
#include <atomic>
#include <cstddef>
#include <functional>
#include <vector>

#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/subdivide.hpp"

namespace qm::shading {

// Factors of every surface of `faces` for one sun direction (caller's thread).
void factors_for_direction(const geom::Scene& scene, const geom::FaceSet& faces, const double d[3], double* out,
                           unsigned threads = 1);

struct BatchOptions {
    unsigned threads = 0;  // 0: hardware concurrency
    // Called from the calling thread with (positions done, total), about every
    // `progress_seconds` and once at the end. May be empty.
    std::function<void(size_t, size_t)> progress;
    double progress_seconds = 0.25;
    // Set by the caller (from another thread or from `progress`) to stop early;
    // then the function returns false and `out` is incomplete.
    std::atomic<bool>* cancel = nullptr;
};

// out[p * surfaces + s] for the positions altitudes[p], azimuths[p].
// Returns false when cancelled.
bool exact_factors(const geom::Scene& scene, const geom::FaceSet& faces, const double* altitudes,
                   const double* azimuths, size_t positions, double* out, const BatchOptions& options = {});

}  // namespace qm::shading
