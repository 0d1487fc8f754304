#include "kernels/shading/exact_factors.hpp"

#include "kernels/geometry/self_match.hpp"

#include "kernels/util/parallel.hpp"

namespace qm::shading {

void factors_for_direction(const geom::Scene& scene, const geom::FaceSet& faces, const double d[3], double* out,
                           unsigned threads) {
    const size_t n = faces.size();
    std::vector<double> illum(n), areas(n);
    scene.scan(faces.tris.data(), faces.normals.data(), faces.self.data(), n, d, illum.data(), areas.data(), threads);
    for (size_t s = 0; s < faces.first.size(); ++s)
        out[s] = geom::area_weighted_mean(illum.data() + faces.first[s], areas.data() + faces.first[s], faces.count[s]);
}

bool exact_factors(const geom::Scene& scene, const geom::FaceSet& faces, const double* altitudes,
                   const double* azimuths, size_t positions, double* out, const BatchOptions& options) {
    const size_t surfaces = faces.first.size();
    util::ParallelOptions po;
    po.threads = options.threads;
    po.progress = options.progress;
    po.progress_seconds = options.progress_seconds;
    po.cancel = options.cancel;
    return util::parallel_for(positions, 1, [&](size_t p0, size_t p1) {
        for (size_t p = p0; p < p1; ++p) {
            double d[3];
            geom::sun_direction(altitudes[p], azimuths[p], d);
            factors_for_direction(scene, faces, d, out + p * surfaces, 1);
        }
    }, po);
}

}  // namespace qm::shading
