#include "kernels/geometry/survey.hpp"

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
            at += f.normal_n;
            for (uint32_t v = 0; v < f.nverts; ++v) at += f.vert_n[v];
        }
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace qm::geom
