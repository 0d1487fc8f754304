// What the run manager checks of a building model before a run: which
// surfaces (solids) it holds and how many facets of each have no normal.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "kernels/geometry/stl_read.hpp"

namespace qm::geom {

struct SurfaceSurvey {
    std::string name;
    size_t facets = 0;
    size_t zero_normals = 0;  // facets whose normal in the file is (0, 0, 0): never lit by direct sun
    size_t earlier = 0;       // earlier solids of this name (replaced as surfaces; they still cast shade)
    size_t non_finite = 0;    // facets with a NaN or infinite vertex coordinate (left out of the model)
    size_t non_finite_normals = 0;  // facets with finite vertices and a NaN or infinite normal
    size_t degenerate = 0;    // facets of finite vertices and zero area
};

// One entry per solid, in dictionary order (a repeated name counts once, as the readers keep it).
std::vector<SurfaceSurvey> survey_surfaces(const stl::Solids& solids);

}  // namespace qm::geom
