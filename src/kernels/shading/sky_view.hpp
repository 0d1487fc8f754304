// Sky view and ground view of analysed surfaces by ray casting.
//
// The sky view of a face with unit normal n is the cosine-weighted fraction of
// its hemisphere that lies above the horizon and is not blocked by the model:
//   F_sky = (1 / pi) * integral over d with n . d > 0, d_z > 0, ray free of n . d dw;
// the ground view is the same over the directions below the horizon (d_z < 0).
// An unobstructed plane tilted by beta sees (1 + cos beta) / 2 of sky and
// (1 - cos beta) / 2 of ground, the isotropic values.
//
// Directions: a fixed stratified cosine-weighted set per face frame, the same
// for every face and every run. The unit disc under the hemisphere is cut into
// `directions` rings of equal area (equal cosine-weighted measure), and ring k
// gets one direction at its middle, u = sin^2(theta) = (k + 1/2) / N, turned by
// k times the golden ratio of a full turn (a sunflower spiral: every region
// of the disc gets its share of directions). Every direction weighs 1 / N, so
// a face's views are counts over the set and do not depend on the order of
// casting or on the thread count. The frame: t1 along the face's level line
// (up x n, normalised; +x for a horizontal face), t2 = n x t1,
// d = sin(theta) (cos(phi) t1 + sin(phi) t2) + cos(theta) n.
//
// With the default N = 8192 the sampling error against the analytic value of a
// free plane is at most 0.0012 over all tilts (checked in 1/4 degree steps),
// inside 0.002 (error falls roughly as N^-3/4: 4096 gives 0.0022).
//
// Each face casts from its centroid (the face's model triangle left out of its
// test, as for the sun); faces with bit-equal normals share one direction set
// and are cast together. A surface's views are area-weighted means of its
// faces'.
#pragma once
#include <atomic>
#include <cstddef>
#include <functional>
#include <vector>

#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/subdivide.hpp"

namespace qm::shading {

struct SkyViewOptions {
    size_t directions = 8192;  // per face, 1..2^20
    unsigned threads = 0;   // 0: hardware concurrency
    // Called from the calling thread with (work done, total), about every
    // `progress_seconds` and once at the end. May be empty.
    std::function<void(size_t, size_t)> progress;
    double progress_seconds = 0.25;
    std::atomic<bool>* cancel = nullptr;  // set to stop early (then false is returned)
};

// The direction set for a normal n (any length): `count` unit vectors, 3
// doubles each; empty for a zero or non-finite normal.
std::vector<double> view_directions(const double n[3], size_t count);

struct ViewFactors {
    std::vector<double> sky, ground;  // per surface
};

// Sky and ground views of every surface of `faces` against `scene`. Faces with
// a zero or non-finite normal see nothing. Returns false when cancelled or the
// options are out of range (then `out` is left empty).
bool view_factors(const geom::Scene& scene, const geom::FaceSet& faces, ViewFactors& out,
                  const SkyViewOptions& options = {});

}  // namespace qm::shading
