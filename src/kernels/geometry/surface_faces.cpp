#include "kernels/geometry/surface_faces.hpp"

#include <algorithm>

#include "kernels/check.hpp"
#include "kernels/geometry/self_match.hpp"

namespace qm::geom {

void surface_faces(const Model& model, const std::vector<size_t>& solids, bool from_vertices, SurfaceFaces& out) {
    QM_DCHECK(model.scene != nullptr);
    out = SurfaceFaces{};
    size_t total = 0;
    for (size_t s : solids) {
        QM_DCHECK(s < model.names.size());
        out.first.push_back(total);
        out.count.push_back(model.count[s]);
        total += model.count[s];
    }
    out.tris.resize(9 * total), out.normals.resize(3 * total), out.self.resize(total);
    const Scene& scene = *model.scene;
    for (size_t i = 0; i < solids.size(); ++i) {
        const size_t s = solids[i];
        for (size_t k = 0; k < model.count[s]; ++k) {
            const size_t id = model.first[s] + k, pos = out.first[i] + k;
            std::copy_n(scene.tri(id), 9, out.tris.data() + 9 * pos);
            std::copy_n(model.normals.data() + 3 * id, 3, out.normals.data() + 3 * pos);
            out.self[pos] = static_cast<int64_t>(id);
        }
    }
    if (from_vertices) normals_from_vertices(out.tris.data(), out.normals.data(), total);
}

bool analysed_faces(const Model& model, const std::vector<size_t>& solids, bool from_vertices, double resolution,
                    size_t max_faces, FaceSet& out) {
    out = FaceSet{};
    SurfaceFaces f;
    surface_faces(model, solids, from_vertices, f);
    for (size_t i = 0; i < solids.size(); ++i) {
        const size_t a = f.first[i];
        if (!add_surface(out, f.tris.data() + 9 * a, f.normals.data() + 3 * a, f.self.data() + a, f.count[i],
                         resolution, max_faces))
            return false;
    }
    return true;
}

}  // namespace qm::geom
