// libFuzzer target: the block reader on arbitrary bytes, and for small
// well-formed results, tree-versus-brute-force occlusion on the parsed model.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kernels/geometry/model.hpp"
#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/stl_read.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!qm::stl::utf8_valid(text)) return 0;
    qm::stl::Solids solids;
    qm::stl::ParseError err;
    if (!qm::stl::read_blocks(text, {}, solids, err)) return 0;
    auto model = qm::geom::make_model(solids);
    if (model->irregular || model->triangles() == 0 || model->triangles() > 64) return 0;
    const auto& scene = *model->scene;
    const double dirs[3][3] = {{0, 0, 1}, {0.6, 0.8, 0}, {0.48, -0.6, 0.64}};
    for (const auto& d : dirs) {
        for (size_t k = 0; k < scene.size(); ++k) {
            double g[3];
            qm::geom::centroid(scene.tri(k), g);
            const auto self = static_cast<int64_t>(k);
            if (scene.occluded(g, d, self, false) != scene.occluded(g, d, self, true)) std::abort();
        }
    }
    return 0;
}
