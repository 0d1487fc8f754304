#include "kernels/shading/triangle_sun.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/geometry/tiles.hpp"

namespace qm::shading {

TriangleSunError triangle_sun(const TriangleSunInput& in, TriangleSunResult& out) {
    out = TriangleSunResult{};
    const geom::Scene& scene = *in.scene;
    const size_t n = in.n_faces;
    for (size_t i = 0; i < n; ++i) {
        const int64_t f = in.faces[i];
        out.where = i;
        if (f < 0 || static_cast<uint64_t>(f) >= scene.size()) return TriangleSunError::bad_face;
        if (!geom::triangle_in_range(scene.tri(static_cast<size_t>(f)))) return TriangleSunError::face_range;
    }
    for (size_t k = 0; k < in.n_steps; ++k) {
        const double* d = in.directions + 3 * k;
        out.where = k;
        const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        if (!std::isfinite(len) || len == 0.0) return TriangleSunError::bad_step;
        if (!(in.hours[k] >= 0.0) || !std::isfinite(in.hours[k])) return TriangleSunError::bad_step;
        if (!(in.dni[k] >= 0.0) || !std::isfinite(in.dni[k])) return TriangleSunError::bad_step;
    }
    out.where = 0;
    out.sunlit_hours.assign(n, 0.0);
    out.beam.assign(n, 0.0);
    if (n == 0) return TriangleSunError::none;

    // Centroids, and their box: every cast of the selection shares one float tree.
    std::vector<double> g(3 * n);
    double lo[3], hi[3];
    for (size_t i = 0; i < n; ++i) {
        geom::centroid(scene.tri(static_cast<size_t>(in.faces[i])), &g[3 * i]);
        for (int a = 0; a < 3; ++a) {
            const double c = g[3 * i + a];
            lo[a] = i ? std::min(lo[a], c) : c;
            hi[a] = i ? std::max(hi[a], c) : c;
        }
    }
    std::vector<double> origins;
    std::vector<int64_t> self;
    std::vector<size_t> which;
    std::vector<double> cosine;
    std::vector<unsigned char> hit;
    origins.reserve(3 * n), self.reserve(n), which.reserve(n), cosine.reserve(n), hit.resize(n);
    for (size_t k = 0; k < in.n_steps; ++k) {
        if (in.cancel && in.cancel->load(std::memory_order_relaxed)) return TriangleSunError::cancelled;
        const double* raw = in.directions + 3 * k;
        const double len = std::sqrt(raw[0] * raw[0] + raw[1] * raw[1] + raw[2] * raw[2]);
        const double d[3] = {raw[0] / len, raw[1] / len, raw[2] / len};
        if (d[2] <= 0.0 || in.hours[k] == 0.0) continue;
        origins.clear(), self.clear(), which.clear(), cosine.clear();
        for (size_t i = 0; i < n; ++i) {
            const double* nf = in.normals + 3 * in.faces[i];
            if (!geom::is_face_visible(nf, d)) continue;
            origins.insert(origins.end(), &g[3 * i], &g[3 * i] + 3);
            self.push_back(in.faces[i]);
            which.push_back(i);
            cosine.push_back(nf[0] * d[0] + nf[1] * d[1] + nf[2] * d[2]);
        }
        if (which.empty()) continue;
        scene.cast(origins.data(), self.data(), which.size(), d, hit.data(), in.threads, lo, hi);
        out.rays += which.size();
        const double beam_step = in.dni[k] * in.hours[k] / 1000.0;
        for (size_t j = 0; j < which.size(); ++j) {
            if (hit[j]) continue;
            out.sunlit_hours[which[j]] += in.hours[k];
            out.beam[which[j]] += beam_step * cosine[j];
        }
    }
    return TriangleSunError::none;
}

}  // namespace qm::shading
