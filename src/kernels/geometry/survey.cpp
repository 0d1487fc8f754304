#include "kernels/geometry/survey.hpp"

#include <algorithm>
#include <cmath>

namespace qm::geom {

std::vector<SurfaceSurvey> survey_surfaces(const stl::Solids& solids) {
    std::vector<SurfaceSurvey> out;
    out.reserve(solids.solids.size());
    for (const stl::SolidData& s : solids.solids) {
        SurfaceSurvey r{s.name, s.shapes.size(), 0};
        size_t at = 0;
        for (const stl::FacetShape& f : s.shapes) {
            if (f.normal_n == 3 && s.values[at] == 0.0 && s.values[at + 1] == 0.0 && s.values[at + 2] == 0.0)
                ++r.zero_normals;
            if (f.normal_n == 3 && f.nverts == 3 && f.vert_n[0] == 3 && f.vert_n[1] == 3 && f.vert_n[2] == 3) {
                const double* n = &s.values[at];
                const double* p = n + 3;
                if (!std::all_of(p, p + 9, [](double x) { return std::isfinite(x); })) {
                    ++r.non_finite;
                } else {
                    if (!std::isfinite(n[0]) || !std::isfinite(n[1]) || !std::isfinite(n[2])) ++r.non_finite_normals;
                    const double ax = p[3] - p[0], ay = p[4] - p[1], az = p[5] - p[2];
                    const double bx = p[6] - p[0], by = p[7] - p[1], bz = p[8] - p[2];
                    const double cx = ay * bz - az * by, cy = az * bx - ax * bz, cz = ax * by - ay * bx;
                    if (!(cx * cx + cy * cy + cz * cz > 0)) ++r.degenerate;
                }
            }
            at += f.normal_n;
            for (uint32_t v = 0; v < f.nverts; ++v) at += f.vert_n[v];
        }
        for (const stl::SolidData& e : solids.replaced) r.earlier += e.name == s.name;
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace qm::geom
