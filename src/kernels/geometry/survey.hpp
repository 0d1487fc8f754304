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
};

// One entry per solid, in dictionary order (a repeated name counts once, as the readers keep it).
std::vector<SurfaceSurvey> survey_surfaces(const stl::Solids& solids);

}  // namespace qm::geom
