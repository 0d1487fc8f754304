#include "kernels/geometry/model_read.hpp"

#include <cmath>

#include "kernels/geometry/cityjson_read.hpp"
#include "kernels/geometry/gltf_read.hpp"
#include "kernels/geometry/model.hpp"
#include "kernels/geometry/obj_read.hpp"

namespace qm::geom {

bool is_mesh_file(const std::string& path) noexcept {
    const ModelFormat f = format_of_path(path);
    return f != ModelFormat::stl && f != ModelFormat::unknown;
}

io::ReadStatus read_mesh_file(const std::string& path, MeshModel& out, ReadProblem& err, io::FileStamp& stamp,
                              int& error, uint64_t* hash, const std::string& lod) {
    io::FileText file;
    const io::ReadStatus st = file.open(path, stamp);
    error = file.error();
    if (st != io::ReadStatus::ok) return st;
    const std::string_view data = file.text();
    if (hash) *hash = content_hash(data);
    switch (format_of_path(path)) {
        case ModelFormat::obj:
            read_obj(data, out, err);
            break;
        case ModelFormat::gltf:
        case ModelFormat::glb: {
            const size_t slash = path.rfind('/');
            read_gltf(data, slash == std::string::npos ? std::string(".") : path.substr(0, slash), out, err);
            break;
        }
        default: {
            CityJsonOptions opt;
            opt.lod = lod;
            read_cityjson(data.substr(io::utf8_bom_length(data)), opt, out, err);
            if (err.byte != SIZE_MAX) err.byte += io::utf8_bom_length(data);
            break;
        }
    }
    return st;
}

std::vector<stl::SolidStats> surface_statistics(const stl::Solids& solids) {
    std::vector<stl::SolidStats> out;
    for (const auto& s : solids.solids) {
        stl::SolidStats r;
        r.name = s.name;
        double area = 0, n[3] = {0, 0, 0};
        const size_t count = s.shapes.size();
        for (size_t k = 0; k < count && s.values.size() >= 12 * (k + 1); ++k) {
            const double* v = s.values.data() + 12 * k;
            area += stl::triangle_area(v + 3, v + 6, v + 9);
            n[0] += v[0], n[1] += v[1], n[2] += v[2];
        }
        if (count > 0) {
            r.has_triangles = true;
            r.area = area;
            const double c = static_cast<double>(count);
            const double ax = n[0] / c, ay = n[1] / c, az = n[2] / c;
            const double mag = std::sqrt(ax * ax + ay * ay + az * az);
            if (mag > 0) {
                r.zero_normal = false;
                r.normal[0] = ax / mag, r.normal[1] = ay / mag, r.normal[2] = az / mag;
            }
        }
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace qm::geom
