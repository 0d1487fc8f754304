// quillmere.maps._irradiation: the per-triangle solar map of a model
// (kernels/maps/irradiation) for steps the host has read from a project,
// kept in the shading store (a fingerprinted product) and handed back as
// numpy arrays. The project plumbing (weather, site, period, surfaces) is in
// python/quillmere/maps.py; this file converts, releases the GIL and calls
// the kernel once.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bindings/shadow_calc/occlusion_scan.hpp"
#include "bindings/support/common.hpp"
#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/subdivide.hpp"
#include "kernels/maps/irradiation.hpp"
#include "kernels/shading/fingerprint.hpp"
#include "kernels/shading/store.hpp"

namespace qm::py {
namespace {

using Doubles = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Indices = nb::ndarray<const int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

constexpr size_t kMaxSamples = 20000000;  // analysed samples at most (as the shading module's faces)

template <class T>
nb::object numpy_of(std::vector<T>&& v, size_t cols = 1) {
    auto* heap = new std::vector<T>(std::move(v));
    nb::capsule owner(heap, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    if (cols == 1) {
        size_t shape[1] = {heap->size()};
        return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<1>>(heap->data(), 1, shape, owner));
    }
    size_t shape[2] = {heap->size() / cols, cols};
    return nb::cast(nb::ndarray<nb::numpy, T, nb::ndim<2>>(heap->data(), 2, shape, owner));
}

std::string num(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}

void digest_doubles(shading::Sha256& h, const double* p, size_t n) { h.update(p, n * sizeof(double)); }

std::string file_digest(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "(unreadable)";
    shading::Sha256 h;
    char buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) h.update(buf, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok ? "sha256:" + shading::Sha256::hex(h.finish()) : "(unreadable)";
}

// The unit facet normal of a model triangle: the file's, or its vertex
// order's where the file gives none.
void facet_normal(const geom::Model& m, size_t k, double n[3]) {
    std::copy_n(&m.normals[3 * k], 3, n);
    if (n[0] != 0.0 || n[1] != 0.0 || n[2] != 0.0) return;
    const double* t = m.scene->tri(k);
    const double u[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]}, v[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
    const double c[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    const double len = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
    if (len > 0 && std::isfinite(len)) n[0] = c[0] / len, n[1] = c[1] / len, n[2] = c[2] / len;
}

double area_of(const double* t) {
    const double u[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]}, v[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
    const double c[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    return 0.5 * std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
}

nb::object irradiation(nb::handle model_path, std::vector<std::string> surfaces, nb::handle triangles,
                       double resolution, double longitude, double latitude, double time_zone, int64_t start_year,
                       Doubles times, double sun_offset, Doubles dni, Doubles dhi, Doubles albedo, double hours,
                       bool perez, bool global_ground, size_t sky_directions, size_t horizon_directions,
                       unsigned threads, nb::handle cache, nb::handle progress, const std::string& lod) {
    if (!(resolution >= 0.0) || !std::isfinite(resolution))
        raise(PyExc_ValueError, "resolution 应为非负有限数，实际为 " + num(resolution));
    if (sky_directions < 1 || sky_directions > (size_t(1) << 20))
        raise(PyExc_ValueError, "sky_directions 应在 1 到 1048576 之间，实际为 " + std::to_string(sky_directions));
    if (horizon_directions > (size_t(1) << 20))
        raise(PyExc_ValueError, "horizon_directions 应在 0 到 1048576 之间，实际为 " + std::to_string(horizon_directions));
    if (!(hours > 0.0) || !std::isfinite(hours)) raise(PyExc_ValueError, "步长应为正数（小时），实际为 " + num(hours));
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        raise(PyExc_TypeError, std::string("progress 应为可调用对象或 None，实际为 ") + host_type_name(progress));

    std::shared_ptr<const geom::Model> model = cached_model(model_path, lod);
    if (!model || !model->scene) raise(PyExc_ValueError, "模型文件 " + to_text(model_path) + " 无法用于计算");

    // Analysed triangles: the surfaces in the given order (a name once), each surface's triangles in model order.
    std::vector<size_t> tri_of;       // analysed number -> model triangle
    std::vector<int32_t> surface_of;  // analysed number -> index in `names`
    std::vector<std::string> names;
    for (const std::string& name : surfaces) {
        if (std::find(names.begin(), names.end(), name) != names.end()) continue;
        size_t s = 0;
        while (s < model->names.size() && model->names[s] != name) ++s;
        if (s == model->names.size()) raise(PyExc_KeyError, "模型中没有表面 " + name);
        names.push_back(name);
        for (size_t k = 0; k < model->count[s]; ++k) {
            tri_of.push_back(model->first[s] + k);
            surface_of.push_back(int32_t(names.size() - 1));
        }
    }
    std::vector<int64_t> rows;
    if (triangles.is_none()) {
        rows.resize(tri_of.size());
        for (size_t i = 0; i < rows.size(); ++i) rows[i] = int64_t(i);
    } else {
        Indices idx = nb::cast<Indices>(triangles);
        rows.assign(idx.data(), idx.data() + idx.shape(0));
        for (int64_t r : rows)
            if (r < 0 || uint64_t(r) >= tri_of.size())
                raise(PyExc_IndexError, "三角形编号 " + std::to_string(r) + " 超出范围（共 " +
                                            std::to_string(tri_of.size()) + " 个分析三角形）");
    }
    const size_t n = times.shape(0);
    if (dni.shape(0) != n || dhi.shape(0) != n || albedo.shape(0) != n)
        raise(PyExc_ValueError, "times、dni、dhi、albedo 的长度应相同");

    // Faces: one map row per listed triangle, its samples at the resolution.
    geom::FaceSet faces;
    std::vector<double> area(rows.size()), normal(3 * rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const size_t k = tri_of[size_t(rows[i])];
        double nrm[3];
        facet_normal(*model, k, nrm);
        std::copy_n(nrm, 3, &normal[3 * i]);
        area[i] = area_of(model->scene->tri(k));
        const int64_t self = int64_t(k);
        if (!geom::add_surface(faces, model->scene->tri(k), nrm, &self, 1, resolution, kMaxSamples))
            raise(PyExc_ValueError, "resolution " + num(resolution) + " 细分后的三角形超过 " +
                                        std::to_string(kMaxSamples) + " 个：请增大 resolution");
    }

    // The store: the product is fresh when model, rows, steps and options are the same.
    shading::Fingerprint fp;
    fp.set("format", "1");
    fp.set("kind", "map");
    std::string cache_path;
    if (!cache.is_none()) {
        cache_path = fs_path(cache, "cache");
        shading::Sha256 rows_h, steps_h;
        const std::string model_fs = fs_path(model_path, "model");
        {
            nb::gil_scoped_release release;
            fp.set("model", file_digest(model_fs));
            if (!lod.empty()) fp.set("lod", lod);
            rows_h.update(rows.data(), rows.size() * sizeof(int64_t));
            digest_doubles(steps_h, times.data(), n);
            digest_doubles(steps_h, dni.data(), n);
            digest_doubles(steps_h, dhi.data(), n);
            digest_doubles(steps_h, albedo.data(), n);
        }
        std::string list;
        for (const std::string& s : names) list += (list.empty() ? "" : "\n") + s;
        fp.set("surfaces", "sha256:" + shading::sha256_hex(list));
        fp.set("triangles", std::to_string(rows.size()) + " sha256:" + shading::Sha256::hex(rows_h.finish()));
        fp.set("resolution", num(resolution));
        fp.set("site", num(latitude) + ", " + num(longitude) + ", " + num(time_zone));
        fp.set("start_year", std::to_string(start_year));
        fp.set("sun_offset", num(sun_offset));
        fp.set("hours", num(hours));
        fp.set("steps", std::to_string(n) + " sha256:" + shading::Sha256::hex(steps_h.finish()));
        fp.set("sky", perez ? "perez" : "isotropic");
        fp.set("ground", global_ground ? "global" : "diffuse");
        fp.set("directions", std::to_string(sky_directions) + ", " + std::to_string(horizon_directions));
    }

    maps::MapResult map;
    bool cached = false;
    std::string note;
    const auto t0 = std::chrono::steady_clock::now();
    if (!cache_path.empty()) {
        shading::StoreLoad got;
        bool ok = false;
        {
            nb::gil_scoped_release release;
            got = shading::load_if_fresh(cache_path, fp);
            size_t line = 0;
            ok = got.error == shading::StoreError::none && maps::read_map_table(got.text, rows, map, line);
        }
        cached = ok;
    }
    std::vector<maps::Step> steps;
    maps::StepsError se;
    {
        nb::gil_scoped_release release;
        std::vector<double> t(times.data(), times.data() + n), a(dni.data(), dni.data() + n),
            d(dhi.data(), dhi.data() + n), al(albedo.data(), albedo.data() + n);
        se = maps::make_steps(longitude, latitude, time_zone, start_year, t, sun_offset, a, d, al, hours, steps);
    }
    if (se != maps::StepsError::none) raise(PyExc_ValueError, "步的时间超出日历范围");
    // The sun's mean direction weighted by its direct light (the report's view).
    double sun[3] = {0.0, 0.0, 0.0};
    for (const maps::Step& s : steps) {
        if (!(s.altitude > 0.0) || !(s.dni > 0.0) || !std::isfinite(s.dni)) continue;
        double d[3];
        geom::sun_direction(s.altitude, s.azimuth, d);
        for (int j = 0; j < 3; ++j) sun[j] += d[j] * s.dni * s.hours;
    }
    const double sun_len = std::sqrt(sun[0] * sun[0] + sun[1] * sun[1] + sun[2] * sun[2]);
    if (sun_len > 0) {
        for (double& c : sun) c /= sun_len;
    } else {
        sun[2] = 1.0;
    }
    if (!cached) {
        std::atomic<bool> cancel{false};
        nb::object failure;
        maps::MapOptions o;
        o.perez = perez, o.global_ground = global_ground;
        o.sky_directions = sky_directions, o.horizon_directions = horizon_directions;
        o.threads = threads;
        o.cancel = &cancel;
        o.progress = [&](size_t done, size_t total) {
            nb::gil_scoped_acquire gil;
            if (cancel.load()) return;
            if (PyErr_CheckSignals() < 0) {  // Ctrl-C: stop, the KeyboardInterrupt is raised after
                cancel.store(true);
                return;
            }
            if (progress.is_none()) return;
            PyObject* r = PyObject_CallFunction(progress.ptr(), "nn", Py_ssize_t(done), Py_ssize_t(total));
            if (!r) {
                cancel.store(true);
                return;
            }
            Py_DECREF(r);
        };
        maps::MapError e;
        {
            nb::gil_scoped_release release;
            e = maps::irradiation_map(*model->scene, faces, steps, o, map);
        }
        if (PyErr_Occurred()) throw_pending();
        if (e != maps::MapError::none)
            raise(PyExc_ValueError, std::string("日照图计算失败：") + maps::map_error_text(e));
        if (!cache_path.empty()) {
            int err = 0;
            const char* step = "";
            shading::StoreError se2;
            {
                nb::gil_scoped_release release;
                se2 = shading::save(cache_path, maps::map_table_text(rows, map), fp, err, step);
            }
            if (se2 != shading::StoreError::none)
                note = "无法保存日照图缓存 " + to_text(cache) + "：" + std::strerror(err);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::vector<int32_t> surf(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) surf[i] = surface_of[size_t(rows[i])];
    nb::dict out;
    out["triangle"] = numpy_of(std::vector<int64_t>(rows));
    out["surface_index"] = numpy_of(std::move(surf));
    out["surfaces"] = nb::cast(names);
    out["area"] = numpy_of(std::move(area));
    out["normal"] = numpy_of(std::move(normal), 3);
    out["annual"] = numpy_of(std::move(map.annual));
    out["monthly"] = numpy_of(std::move(map.monthly), 12);
    out["sky_view"] = numpy_of(std::move(map.sky_view));
    out["ground_view"] = numpy_of(std::move(map.ground_view));
    out["horizon_view"] = numpy_of(std::move(map.horizon_view));
    out["origin"] = nb::make_tuple(model->origin[0], model->origin[1], model->origin[2]);
    out["sun_direction"] = nb::make_tuple(sun[0], sun[1], sun[2]);
    std::vector<double> verts(9 * rows.size());
    for (size_t i = 0; i < rows.size(); ++i) std::copy_n(model->scene->tri(tri_of[size_t(rows[i])]), 9, &verts[9 * i]);
    out["vertices"] = numpy_of(std::move(verts), 9);
    out["analysed_triangles"] = nb::int_(tri_of.size());
    out["samples"] = nb::int_(faces.size());
    out["beam_rays"] = nb::int_(map.beam_rays);
    out["view_rays"] = nb::int_(map.view_rays);
    out["skipped_steps"] = nb::int_(map.skipped_steps);
    out["cached"] = nb::bool_(cached);
    out["seconds"] = nb::float_(seconds);
    out["note"] = nb::str(note.c_str());
    return out;
}

}  // namespace

void bind_maps(nb::module_& m) {
    nb::module_ scope = named_scope("quillmere.maps");
    scope.def("_irradiation", &irradiation, nb::arg("model"), nb::arg("surfaces"), nb::arg("triangles").none(),
              nb::arg("resolution"), nb::arg("longitude"), nb::arg("latitude"), nb::arg("time_zone"),
              nb::arg("start_year"), nb::arg("times"), nb::arg("sun_offset"), nb::arg("dni"), nb::arg("dhi"),
              nb::arg("albedo"), nb::arg("hours"), nb::arg("perez"), nb::arg("global_ground"),
              nb::arg("sky_directions"), nb::arg("horizon_directions"), nb::arg("threads"), nb::arg("cache").none(),
              nb::arg("progress").none(), nb::arg("lod") = "",
              "The per-triangle map of the model's analysed triangles (the surfaces' triangles in order) for the\n"
              "steps at clock times `times` [s] with their dni, dhi [W/m2] and albedo [-]: a dict of numpy arrays\n"
              "(annual and monthly [kWh/m2], views, areas, unit normals) and the counts of the cast. `triangles`:\n"
              "int64 analysed-triangle numbers (None: all). `cache`: the store path (None: not kept). `lod`: a\n"
              "CityJSON model's level of detail (\"\": the highest). Internal:\n"
              "quillmere.maps.irradiation_map reads these from a project.");
    m.attr("_maps_irradiation") = scope.attr("_irradiation");
}

}  // namespace qm::py
