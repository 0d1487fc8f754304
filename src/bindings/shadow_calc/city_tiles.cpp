// quillmere.shadow_calc.city_tiles: tiles of a city model for the city map
// (kernels/geometry/tiles.hpp) and the direct sun on chosen triangles of a
// built scene (kernels/shading/triangle_sun.hpp). Conversion, GIL release and
// one kernel call per function; the users' wording of kernel errors.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/vector.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bindings/shadow_calc/model_files.hpp"
#include "bindings/support/common.hpp"
#include "kernels/geometry/model_read.hpp"
#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/subdivide.hpp"
#include "kernels/geometry/tiles.hpp"
#include "kernels/maps/irradiation.hpp"
#include "kernels/shading/triangle_sun.hpp"

namespace qm::py {
namespace {

using Rows = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Vec = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Index = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

template <typename T>
nb::object new_array(std::vector<T>&& v, size_t rows, size_t cols) {
    auto* heap = new std::vector<T>(std::move(v));
    nb::capsule owner(heap, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    if (cols == 0) {
        size_t shape[1] = {rows};
        return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<1>>(heap->data(), 1, shape, owner));
    }
    size_t shape[2] = {rows, cols};
    return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<2>>(heap->data(), 2, shape, owner));
}

void need_cols(const Rows& a, size_t cols, const char* name) {
    if (a.shape(1) != cols)
        raise(PyExc_ValueError, std::string(name) + " 的形状应为 (n, " + std::to_string(cols) + ")，实际第二维为 " +
                                    std::to_string(a.shape(1)));
}

geom::Extent extent_arg(nb::handle e) {
    geom::Extent out;
    if (e.is_none()) return out;
    nb::tuple t = nb::cast<nb::tuple>(e);
    if (t.size() != 4) raise(PyExc_ValueError, "extent 应为 (x_min, y_min, x_max, y_max) 或 None");
    out.lo[0] = nb::cast<double>(t[0]), out.lo[1] = nb::cast<double>(t[1]);
    out.hi[0] = nb::cast<double>(t[2]), out.hi[1] = nb::cast<double>(t[3]);
    for (int a = 0; a < 2; ++a)
        if (!(out.lo[a] <= out.hi[a])) raise(PyExc_ValueError, "extent 的最小值应不大于最大值且为有限数");
    out.empty = false;
    return out;
}

nb::object extent_value(const geom::Extent& e) {
    if (e.empty) return nb::none();
    return nb::make_tuple(e.lo[0], e.lo[1], e.hi[0], e.hi[1]);
}

// The model file of one tile: triangles in its local frame, their surfaces and the frame's origin.
nb::dict read_tile(nb::handle path) {
    std::string fs;
    if (!mesh_file_arg(path, fs))
        raise(PyExc_ValueError, "瓦片文件应为 .json/.jsonl（CityJSON）、.obj、.gltf 或 .glb: " + to_text(nb::str(path)));
    geom::MeshModel mm;
    geom::ReadProblem err;
    io::FileStamp stamp;
    int error = 0;
    uint64_t hash = 0;
    io::ReadStatus st;
    {
        nb::gil_scoped_release release;
        st = geom::read_mesh_file(fs, mm, err, stamp, error, &hash);
    }
    if (st != io::ReadStatus::ok) {
        const int code = st == io::ReadStatus::directory ? EISDIR : (error ? error : EIO);
        PyErr_SetObject(PyExc_OSError, nb::make_tuple(code, std::strerror(code), path).ptr());
        throw nb::python_error();
    }
    if (err.failed()) raise(PyExc_ValueError, model_problem_text(to_text(nb::str(path)), err));
    std::vector<double> tris, normals;
    std::vector<int64_t> surface;
    nb::list names;
    for (size_t s = 0; s < mm.solids.solids.size(); ++s) {
        const auto& solid = mm.solids.solids[s];
        names.append(check(PyUnicode_DecodeUTF8(solid.name.data(), Py_ssize_t(solid.name.size()), "surrogateescape")));
        size_t off = 0;
        for (const auto& sh : solid.shapes) {
            const size_t len = sh.normal_n + sh.vert_n[0] + sh.vert_n[1] + sh.vert_n[2];
            if (sh.normal_n == 3 && sh.nverts == 3 && sh.vert_n[0] == 3 && sh.vert_n[1] == 3 && sh.vert_n[2] == 3) {
                normals.insert(normals.end(), &solid.values[off], &solid.values[off] + 3);
                tris.insert(tris.end(), &solid.values[off + 3], &solid.values[off + 12]);
                surface.push_back(int64_t(s));
            }
            off += len;
        }
    }
    const size_t n = surface.size();
    nb::dict out;
    out["triangles"] = new_array(std::move(tris), n, 9);
    out["normals"] = new_array(std::move(normals), n, 3);
    out["surface"] = new_array(std::move(surface), n, 0);
    out["names"] = names;
    out["origin"] = nb::make_tuple(mm.origin[0], mm.origin[1], mm.origin[2]);
    out["content_hash"] = nb::int_(hash);
    return out;
}

nb::object xy_extent(const Rows& tris) {
    need_cols(tris, 9, "triangles");
    geom::Extent e;
    {
        nb::gil_scoped_release release;
        e = geom::xy_extent(tris.data(), tris.shape(0));
    }
    return extent_value(e);
}

nb::object margin_triangles(const Rows& tris, nb::handle extent, double margin) {
    need_cols(tris, 9, "triangles");
    const geom::Extent e = extent_arg(extent);
    std::vector<uint32_t> keep;
    geom::TileError r;
    {
        nb::gil_scoped_release release;
        r = geom::margin_triangles(tris.data(), tris.shape(0), e, margin, keep);
    }
    if (r == geom::TileError::bad_margin) raise(PyExc_ValueError, "边距（margin）应为非负有限数 [m]，实际为 " + std::to_string(margin));
    return new_array(std::vector<int64_t>(keep.begin(), keep.end()), keep.size(), 0);
}

nb::object shift_triangles(const Rows& tris, std::vector<double> offset) {
    need_cols(tris, 9, "triangles");
    if (offset.size() != 3) raise(PyExc_ValueError, "offset 应为三个数 [m]");
    std::vector<double> out(tris.data(), tris.data() + 9 * tris.shape(0));
    if (geom::shift_triangles(out.data(), tris.shape(0), offset.data()) != geom::TileError::none)
        raise(PyExc_ValueError, "瓦片原点之差超出 1e7 m 或不是有限数：各瓦片应使用同一坐标参考系");
    const size_t n = tris.shape(0);
    return new_array(std::move(out), n, 9);
}

double extent_distance(nb::handle a, nb::handle b) { return geom::extent_distance(extent_arg(a), extent_arg(b)); }

// A built scene kept by a worker for its later units.
class SunScene {
public:
    SunScene(const Rows& tris, const Rows& normals) {
        need_cols(tris, 9, "triangles");
        need_cols(normals, 3, "normals");
        if (normals.shape(0) != tris.shape(0)) raise(PyExc_ValueError, "normals 与 triangles 的行数不同");
        std::vector<double> t(tris.data(), tris.data() + 9 * tris.shape(0));
        normals_.assign(normals.data(), normals.data() + 3 * normals.shape(0));
        nb::gil_scoped_release release;
        scene_ = std::make_unique<geom::Scene>(std::move(t), 1);
    }
    size_t size() const { return scene_->size(); }
    size_t memory_bytes() const { return scene_->memory_bytes() + normals_.size() * sizeof(double); }

    nb::tuple direct_sun(const Index& faces, const Rows& directions, const Vec& hours, const Vec& dni,
                         unsigned threads) const {
        need_cols(directions, 3, "directions");
        const size_t k = directions.shape(0);
        if (hours.shape(0) != k || dni.shape(0) != k)
            raise(PyExc_ValueError, "hours 与 dni 的长度应等于 directions 的行数");
        shading::TriangleSunInput in;
        in.scene = scene_.get(), in.normals = normals_.data();
        in.faces = faces.data(), in.n_faces = faces.shape(0);
        in.directions = directions.data(), in.hours = hours.data(), in.dni = dni.data(), in.n_steps = k;
        in.threads = threads;
        shading::TriangleSunResult r;
        shading::TriangleSunError e;
        {
            nb::gil_scoped_release release;
            e = shading::triangle_sun(in, r);
        }
        const std::string at = std::to_string(r.where);
        switch (e) {
            case shading::TriangleSunError::none: break;
            case shading::TriangleSunError::bad_face: raise(PyExc_IndexError, "第 " + at + " 个面的编号不在场景中");
            case shading::TriangleSunError::face_range:
                raise(PyExc_ValueError, "第 " + at + " 个面的坐标不是有限数或离原点超过 1e7 m（单位或坐标参考系有误）");
            case shading::TriangleSunError::bad_step:
                raise(PyExc_ValueError, "第 " + at + " 个太阳步长无效（方向长度为 0 或非有限数，时长或直射辐照为负或非有限数）");
            case shading::TriangleSunError::cancelled: raise(PyExc_KeyboardInterrupt, "已中断");
        }
        const size_t n = r.beam.size();
        return nb::make_tuple(new_array(std::move(r.sunlit_hours), n, 0), new_array(std::move(r.beam), n, 0),
                              nb::int_(r.rays));
    }

    // The solar map's values (kernels/maps/irradiation.hpp) of the chosen
    // faces, each its own map row, for steps read from a project.
    nb::tuple irradiation(const Index& faces, double resolution, double longitude, double latitude,
                          double time_zone, int64_t start_year, const Vec& times, double sun_offset, const Vec& dni,
                          const Vec& dhi, const Vec& albedo, double hours, bool perez, bool global_ground,
                          size_t sky_directions, size_t horizon_directions, unsigned threads) const {
        constexpr size_t kMaxSamples = 20000000;
        if (!(resolution >= 0.0) || !std::isfinite(resolution)) raise(PyExc_ValueError, "resolution 应为非负有限数");
        if (sky_directions < 1 || sky_directions > (size_t(1) << 20))
            raise(PyExc_ValueError, "sky_directions 应在 1 到 1048576 之间");
        if (horizon_directions > (size_t(1) << 20)) raise(PyExc_ValueError, "horizon_directions 应在 0 到 1048576 之间");
        if (!(hours > 0.0) || !std::isfinite(hours)) raise(PyExc_ValueError, "步长应为正数（小时）");
        const size_t n = times.shape(0);
        if (dni.shape(0) != n || dhi.shape(0) != n || albedo.shape(0) != n)
            raise(PyExc_ValueError, "times、dni、dhi、albedo 的长度应相同");
        geom::FaceSet set;
        for (size_t i = 0; i < faces.shape(0); ++i) {
            const int64_t f = faces.data()[i];
            if (f < 0 || uint64_t(f) >= scene_->size())
                raise(PyExc_IndexError, "第 " + std::to_string(i) + " 个面的编号不在场景中");
            if (!geom::triangle_in_range(scene_->tri(size_t(f))))
                raise(PyExc_ValueError, "第 " + std::to_string(i) +
                                            " 个面的坐标不是有限数或离原点超过 1e7 m（单位或坐标参考系有误）");
            if (!geom::add_surface(set, scene_->tri(size_t(f)), &normals_[3 * size_t(f)], &f, 1, resolution,
                                   kMaxSamples))
                raise(PyExc_ValueError, "细分后的三角形超过 " + std::to_string(kMaxSamples) + " 个：请增大 resolution");
        }
        std::vector<maps::Step> steps;
        maps::MapResult map;
        maps::MapError e;
        {
            nb::gil_scoped_release release;
            std::vector<double> t(times.data(), times.data() + n), a(dni.data(), dni.data() + n),
                d(dhi.data(), dhi.data() + n), al(albedo.data(), albedo.data() + n);
            if (maps::make_steps(longitude, latitude, time_zone, start_year, t, sun_offset, a, d, al, hours, steps) !=
                maps::StepsError::none)
                e = maps::MapError::bad_options;
            else {
                maps::MapOptions o;
                o.perez = perez, o.global_ground = global_ground;
                o.sky_directions = sky_directions, o.horizon_directions = horizon_directions;
                o.threads = threads;
                e = maps::irradiation_map(*scene_, set, steps, o, map);
            }
        }
        if (e != maps::MapError::none) raise(PyExc_ValueError, std::string("日照图计算失败：") + maps::map_error_text(e));
        const size_t rows = map.annual.size();
        return nb::make_tuple(new_array(std::move(map.annual), rows, 0), new_array(std::move(map.monthly), rows, 12),
                              nb::int_(map.beam_rays + map.view_rays));
    }

private:
    std::vector<double> normals_;
    std::unique_ptr<geom::Scene> scene_;
};

}  // namespace

void bind_city_tiles(nb::module_& m) {
    nb::module_ sub = named_scope("quillmere.shadow_calc.city_tiles");
    sub.def("read_tile", &read_tile, nb::arg("path"),
            nb::sig("def read_tile(path: str | os.PathLike[str]) -> dict[str, typing.Any]"),
            "Reads one tile (CityJSON, OBJ, glTF): {'triangles': (n, 9) [m] in the tile's local frame, "
            "'normals': (n, 3), 'surface': (n,) index into 'names', 'names': surface names, 'origin': the "
            "local frame's world coordinates [m], 'content_hash': int}.");
    sub.def("xy_extent", &xy_extent, nb::arg("triangles"),
            nb::sig("def xy_extent(triangles: numpy.typing.NDArray[numpy.float64]) -> tuple[float, float, float, float] | None"),
            "Plan-view extent (x_min, y_min, x_max, y_max) [m] of the in-range triangles, or None.");
    sub.def("margin_triangles", &margin_triangles, nb::arg("triangles"), nb::arg("extent").none(),
            nb::arg("margin"),
            nb::sig("def margin_triangles(triangles: numpy.typing.NDArray[numpy.float64], extent: tuple[float, float, float, float] | None, margin: float) -> numpy.typing.NDArray[numpy.int64]"),
            "Indices of the triangles whose plan-view box comes within margin [m] of extent (a square band).");
    sub.def("shift_triangles", &shift_triangles, nb::arg("triangles"), nb::arg("offset"),
            nb::sig("def shift_triangles(triangles: numpy.typing.NDArray[numpy.float64], offset: collections.abc.Sequence[float]) -> numpy.typing.NDArray[numpy.float64]"),
            "A copy of triangles moved by offset [m] (tile origin minus the shared frame's origin).");
    sub.def("extent_distance", &extent_distance, nb::arg("a").none(), nb::arg("b").none(),
            nb::sig("def extent_distance(a: tuple[float, float, float, float] | None, b: tuple[float, float, float, float] | None) -> float"),
            "Plan-view distance between two extents along the farther axis [m] (inf when one is None).");
    nb::class_<SunScene>(sub, "SunScene",
                         "A ray-casting scene of triangles (n, 9) [m] with their unit normals (n, 3).")
        .def(nb::init<const Rows&, const Rows&>(), nb::arg("triangles"), nb::arg("normals"),
             "Builds the scene's tree (on one thread; the same tree on any machine).")
        .def_prop_ro("size", &SunScene::size, "Number of triangles in the scene.")
        .def_prop_ro("memory_bytes", &SunScene::memory_bytes, "Bytes held by the triangles, normals and tree.")
        .def("direct_sun", &SunScene::direct_sun, nb::arg("faces"), nb::arg("directions"), nb::arg("hours"),
             nb::arg("dni"), nb::arg("threads") = 1,
             nb::sig("def direct_sun(self, faces: numpy.typing.NDArray[numpy.int64], directions: numpy.typing.NDArray[numpy.float64], hours: numpy.typing.NDArray[numpy.float64], dni: numpy.typing.NDArray[numpy.float64], threads: int = 1) -> "
                     "tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], int]"),
             "Per face of `faces` (int64 scene indices): (sunlit_hours [h], beam [kWh/m2], rays cast) over the "
             "sun steps (directions towards the sun, durations [h], direct normal irradiance [W/m2]).")
        .def("irradiation", &SunScene::irradiation, nb::arg("faces"), nb::arg("resolution"), nb::arg("longitude"),
             nb::arg("latitude"), nb::arg("time_zone"), nb::arg("start_year"), nb::arg("times"),
             nb::arg("sun_offset"), nb::arg("dni"), nb::arg("dhi"), nb::arg("albedo"), nb::arg("hours"),
             nb::arg("perez"), nb::arg("global_ground"), nb::arg("sky_directions"), nb::arg("horizon_directions"),
             nb::arg("threads") = 1,
             nb::sig("def irradiation(self, faces: numpy.typing.NDArray[numpy.int64], resolution: float, longitude: float, latitude: float, "
                     "time_zone: float, start_year: int, times: numpy.typing.NDArray[numpy.float64], sun_offset: float, dni: numpy.typing.NDArray[numpy.float64], dhi: numpy.typing.NDArray[numpy.float64], "
                     "albedo: numpy.typing.NDArray[numpy.float64], hours: float, perez: bool, global_ground: bool, sky_directions: int, "
                     "horizon_directions: int, threads: int = 1) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], int]"),
             "The solar map (annual [kWh/m2], monthly (n, 12) [kWh/m2], rays cast) of each face of `faces`, for "
             "the steps at clock times `times` [s] with their dni, dhi [W/m2] and albedo [-], as "
             "quillmere.maps.irradiation_map computes it for a model (the same light model and casting).");
    for (const char* name : {"read_tile", "xy_extent", "margin_triangles", "shift_triangles", "extent_distance",
                             "SunScene"})
        m.attr(name) = sub.attr(name);
}

}  // namespace qm::py
