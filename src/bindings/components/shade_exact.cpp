// quillmere.components.shade_exact.ExactShadowModule: the project shading
// module (see shade_exact.hpp). A client of the shading kernels: it reads its
// options, asks the plan (kernels/shading/plan) what its products depend on
// and where they lie, the store whether a product is fresh, the sun track for
// the run's sun positions; the casting runs in the kernels without the GIL.
// This file maps their results and failures to the module's printed messages.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "bindings/components/shade_exact.hpp"
#include "bindings/components/shade_exact_files.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_clock.hpp"
#include "bindings/core/util.hpp"
#include "bindings/shadow_calc/occlusion_scan.hpp"
#include "bindings/support/common.hpp"
#include "kernels/geometry/surface_faces.hpp"
#include "kernels/shading/step_factors.hpp"
#include "kernels/shading/sun_grid.hpp"

namespace qm::py {
using namespace shade_exact_detail;

namespace {
nb::handle g_type;

// Analysed faces at most (after subdivision).
constexpr size_t kMaxFaces = 20000000;

uint64_t bits(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}
}  // namespace

nb::handle exact_shadow_type() { return g_type; }

nb::object ExactShadowModule::_get_module_info() {
    return module_info_record("SurfaceShadow",
                              {{1, "param", "stl_file_path", "string", nb::str(""), ""},
                               {2, "param", "csv_file_path", "string", nb::str(""), ""},
                               {3, "param", "method", "string", nb::str("exact"), ""},
                               {3, "param", "grid", "list", nb::none(), "°"},
                               {3, "param", "resolution", "number", nb::float_(0.0), ""}},
                              2, "表面阴影计算模块");
}

void ExactShadowModule::read_options() {
    first_surface_ = 5;
    nb::object method = get_item(in_file_params, nb::int_(2));
    std::string m = PyUnicode_Check(method.ptr()) ? to_text(method) : "";
    if (m != "exact" && m != "table")
        raise(PyExc_ValueError, "method 应为 \"exact\" 或 \"table\"，实际为 " + to_text(check(PyObject_Repr(method.ptr()))));
    exact = m == "exact";
    // grid: None (the 54-point grid) or [azimuth_step, altitude_step].
    nb::object grid = get_item(in_file_params, nb::int_(3));
    grid_given = !grid.is_none();
    azimuth_step = 45.0, altitude_step = 15.0;
    if (grid_given) {
        nb::object items = check(PySequence_List(grid.ptr()));
        if (PyList_GET_SIZE(items.ptr()) != 2)
            raise(PyExc_ValueError, "grid 应为两个数值 [方位角步长, 高度角步长]，实际为 " + to_text(check(PyObject_Repr(grid.ptr()))));
        azimuth_step = as_double(PyList_GET_ITEM(items.ptr(), 0));
        altitude_step = as_double(PyList_GET_ITEM(items.ptr(), 1));
        shading::SunGrid g;
        std::string why = grid_words(azimuth_step, altitude_step, g);
        if (!why.empty()) raise(PyExc_ValueError, "grid: " + why);
    }
    nb::object res = get_item(in_file_params, nb::int_(4));
    resolution = res.is_none() ? 0.0 : as_double(res);
    if (!std::isfinite(resolution) || resolution < 0.0)
        raise(PyExc_ValueError, "resolution 应为非负的有限数（模型单位），实际为 " + number_text(resolution));
    set_record_value(params, nb::str("method"), method);
    set_record_value(params, nb::str("grid"),
                     grid_given ? nb::object(nb::make_tuple(azimuth_step, altitude_step)) : nb::none());
    set_record_value(params, nb::str("resolution"), nb::float_(resolution));
}

nb::object ExactShadowModule::resolve_paths() {
    nb::object stl = convert_to_valid_path(get_item(in_file_params, nb::int_(0)));
    nb::object csv = convert_to_valid_path(get_item(in_file_params, nb::int_(1)));
    return nb::make_tuple(stl, csv);
}

void ExactShadowModule::awake_fresh(nb::handle state) {
    views_done = false;
    view_sky.clear(), view_ground.clear(), view_horizon.clear();
    model.reset();
    faces = geom::FaceSet{};
    exact_columns = nb::steal(PyDict_New());
    rows.clear();
    row_alt.clear(), row_az.clear(), row_factors.clear();
    step_rows = 0;
    track = shading::SunTrack{};
    // The model's digest was cleared by awake (and may have been made since for the sharing key).
    // The table module's start-up, with this type's grid and fingerprints for
    // what it generates. The exact method keeps the table too, as an overview
    // of the surfaces' shading (and for a switch to the table method).
    try {
        nb::object paths = resolve_paths();
        stl_file_path = paths[0];
        surfs_analyze_name = check(
            PySequence_List(check(PySequence_GetSlice(in_file_params.ptr(), first_surface_, PY_SSIZE_T_MAX)).ptr()));
        check_table(paths[1]);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        // The table module's start-up reports the same problem itself.
    }
    SurfaceShadowModule::awake(state);
    if (!exact) return;
    try {
        awake_exact(state);
    } catch (nb::python_error& e) {
        // A file that cannot be read is one printed line; a wrong value (ValueError) is the caller's to see.
        if (e.matches(PyExc_Exception) && !e.matches(PyExc_ValueError)) {
            print("读取文件时发生错误：" + exception_text(e));
            return;
        }
        throw;
    }
}

// Exact method: the model, the analysed faces and the factors of the run's steps.
void ExactShadowModule::awake_exact(nb::handle state) {
    // Paths and statistics come from the table module's start-up; without a
    // model it has printed why, and every lookup answers as for an unknown surface.
    if (!PyUnicode_Check(stl_file_path.ptr()) || !is_file(stl_file_path) || !PyUnicode_Check(csv_file_path.ptr()))
        return;
    exact_file = str_obj(shading::exact_path(to_text(csv_file_path)));
    model = cached_model(stl_file_path, model_lod());
    if (model->irregular) {
        print("读取文件时发生错误：facet " + std::to_string(model->irregular_facet) + " of solid '" +
              model->irregular_solid + "' does not have a 3-number normal and three vertices of three coordinates");
        return;
    }
    build_faces();
    plan_steps(state);
}

void ExactShadowModule::build_faces() {
    exact_columns = nb::steal(PyDict_New());
    std::vector<size_t> solids;
    std::vector<nb::handle> names;
    for (nb::handle name : nb::borrow<nb::list>(surfs_analyze_name)) {
        if (!PyUnicode_Check(name.ptr()) || PyDict_Contains(exact_columns.ptr(), name.ptr()) == 1) continue;
        const std::string n = to_text(name);
        size_t s = 0;
        while (s < model->names.size() && model->names[s] != n) ++s;
        if (s == model->names.size() || model->count[s] == 0) continue;  // lookups answer -1.0 with the message
        set_item(exact_columns, name, nb::int_(static_cast<Py_ssize_t>(solids.size())));
        solids.push_back(s);
    }
    bool ok;
    {
        nb::gil_scoped_release release;
        ok = geom::analysed_faces(*model, solids, normals_from_vertices(), resolution, kMaxFaces, faces);
    }
    if (!ok)
        raise(PyExc_ValueError, "resolution " + number_text(resolution) + " 细分后的三角形超过 " +
                                    std::to_string(kMaxFaces) + " 个：请增大 resolution");
}

// Casts the positions not cast yet and appends them as rows; returns how many.
size_t ExactShadowModule::add_rows(const std::vector<double>& alt, const std::vector<double>& az, bool lines) {
    std::vector<double> a, z;
    for (size_t i = 0; i < alt.size(); ++i) {
        Key k{bits(alt[i]), bits(az[i])};
        if (rows.count(k)) continue;
        rows.emplace(k, row_alt.size() + a.size());
        a.push_back(alt[i]);
        z.push_back(az[i]);
    }
    const size_t S = faces.first.size(), m = a.size();
    if (m == 0) return 0;
    std::vector<double> out(m * S);
    auto t0 = std::chrono::steady_clock::now();
    if (lines)
        print("开始精确阴影计算：" + std::to_string(m) + " 个太阳位置，" + std::to_string(faces.size()) +
              " 个三角形，结果保存到 " + to_text(exact_file));
    if (cast_factors("exact shading", lines, *model->scene, faces, a.data(), z.data(), m, out.data())) {
        for (size_t i = 0; i < m; ++i) rows.erase(Key{bits(a[i]), bits(z[i])});
        throw_pending();
    }
    if (lines) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.1f", std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        print(std::string("精确阴影计算结束（") + buf + " s）");
    }
    row_alt.insert(row_alt.end(), a.begin(), a.end());
    row_az.insert(row_az.end(), z.begin(), z.end());
    row_factors.insert(row_factors.end(), out.begin(), out.end());
    return m;
}

// The run's sun track and the factors of its positions: from the store when
// fresh and of the same positions, otherwise cast and saved.
void ExactShadowModule::plan_steps(nb::handle state) {
    shading::SunRun run;
    if (!sun_run_of(state, run)) return;  // no run to plan for: every lookup is cast when asked
    {
        nb::gil_scoped_release release;
        track = shading::sun_track(run);
    }
    const std::vector<double>& alt = track.altitudes;
    const std::vector<double>& az = track.azimuths;
    const shading::Fingerprint expected = shading::exact_fingerprint(plan(), run);
    const std::string cache = fs_path(exact_file);

    // A file of this run's factors, when its fingerprint and content match.
    std::vector<std::string> names;
    for (nb::handle name : nb::borrow<nb::dict>(exact_columns).keys()) names.push_back(to_text(name));
    if (is_file(exact_file)) {
        shading::StepFactorsLoad got;
        {
            nb::gil_scoped_release release;
            got = shading::load_step_factors(cache, expected, names, track);
        }
        if (got.fresh()) {
            for (size_t i = 0; i < alt.size(); ++i) rows.emplace(Key{bits(alt[i]), bits(az[i])}, i);
            row_alt = std::move(got.table.altitudes);
            row_az = std::move(got.table.azimuths);
            row_factors = std::move(got.table.factors);
            step_rows = alt.size();
            return;
        }
        const std::string why = got.store.error != shading::StoreError::none ? store_words(got.store)
                                : got.other_positions ? "与本次运行的太阳位置不一致"
                                                      : "内容有误（" + factor_file_words(got.file, got.line) + "）";
        print("精确阴影系数 " + to_text(exact_file) + " " + why + "，重新计算");
    }
    add_rows(alt, az, true);
    step_rows = row_alt.size();

    // Kept beside the table for the next run of the same project.
    shading::FactorTable table;
    table.surfaces = names;
    table.altitudes = row_alt;
    table.azimuths = row_az;
    table.factors = row_factors;
    nb::object folder = os_path().attr("dirname")(exact_file);
    if (PyObject_IsTrue(folder.ptr()) == 1 && !exists(folder)) nb::module_::import_("os").attr("makedirs")(folder);
    std::string err;
    {
        nb::gil_scoped_release release;
        err = save_product(cache, shading::factor_table_text(table), expected);
    }
    if (!err.empty()) print("警告：无法保存精确阴影系数 " + to_text(exact_file) + "：" + err);
}

double ExactShadowModule::get_cos_value(nb::handle solid_name, double altitude, double azimuth) {
    if (!exact) return SurfaceShadowModule::get_cos_value(solid_name, altitude, azimuth);
    PyObject* found = PyDict_GetItemWithError(exact_columns.ptr(), solid_name.ptr());
    if (!found) {
        if (PyErr_Occurred()) throw_pending();
        print("错误：未找到 " + to_text(solid_name) + " 的插值函数。");
        return -1.0;
    }
    const size_t column = PyLong_AsSize_t(found), S = faces.first.size();
    auto it = rows.find(Key{bits(altitude), bits(azimuth)});
    if (it == rows.end()) {
        add_rows({altitude}, {azimuth}, false);
        it = rows.find(Key{bits(altitude), bits(azimuth)});
    }
    return row_factors[it->second * S + column];
}

double ExactShadowModule::step_cos_value(nb::handle surface, const StepSun& sun) {
    if (exact && step_rows > 0) {
        PyObject* found = PyDict_GetItemWithError(exact_columns.ptr(), surface.ptr());
        if (!found && PyErr_Occurred()) throw_pending();
        double factor;
        const int64_t k = track.step_at(sun.clock_time, sun.sun_offset);
        if (found && k >= 0 && step_factor(size_t(k), PyLong_AsSize_t(found), factor)) return factor;
    }
    return get_cos_value(surface, sun.altitude, sun.azimuth);
}

bool ExactShadowModule::step_factor(size_t step, size_t column, double& factor) const {
    const int64_t p = track.position(step);
    const size_t S = faces.first.size();
    if (!exact || p < 0 || size_t(p) >= step_rows || column >= S) return false;
    factor = row_factors[size_t(p) * S + column];
    return true;
}

int ExactShadowModule::traverse(visitproc visit, void* arg) {
    if (int rc = SurfaceShadowModule::traverse(visit, arg)) return rc;
    Py_VISIT(exact_columns.ptr());
    Py_VISIT(exact_file.ptr());
    return 0;
}

void ExactShadowModule::clear() {
    SurfaceShadowModule::clear();
    exact_columns = nb::steal(PyDict_New());
    exact_file = nb::none();
}

namespace {
class PyExactShadowModule final : public ShadeTrampoline<ExactShadowModule> {};
}  // namespace

// The project values awake reads, in in_file_params order: the model, the
// table, the method, the table grid, the subdivision and the surfaces.
ModuleDeclaration shade_exact_declaration() {
    ModuleDeclaration d;
    d.values = {required_value("model", ValueKind::model), required_value("table", ValueKind::path_out),
                optional_choice("method", {"exact", "table"}, "exact"), optional_grid("grid"),
                optional_number("resolution", 0.0, "(0, inf)"), required_value("surfaces", ValueKind::surfaces)};
    d.values[4].fallback_off = true;  // resolution 0: no subdivision (a project writes a positive edge length)
    d.generated = {"table"};
    d.settings = {normals_setting()};
    return d;
}

void bind_shade_exact(nb::module_& m) {
    using M = ExactShadowModule;
    nb::module_ scope = named_scope("quillmere.components.shade_exact");
    auto cls = nb::class_<M, SurfaceShadowModule, PyExactShadowModule>(
        scope, "ExactShadowModule", nb::type_slots(unit_type_slots()),
        "The project shading module: a SurfaceShadowModule whose lookups are the exact ray-cast factors at "
        "each sun position (method \"exact\"), or a table on a grid with free steps (method \"table\"); "
        "optional subdivision of the analysed triangles; fingerprinted generated files.\n\n"
        "in_file_params: [model, table, method, grid, resolution, surface, ...].");
    g_type = cls;
    cls.def("__init__", &construct_unit<M, PyExactShadowModule>, nb::arg("name").none(), kUnitInitDoc);
    cls.def("_get_module_info", [](M& u) { return info_result(u.M::_get_module_info()); },
            "Returns the module information record: the two paths, the method, the grid steps and the resolution.");
    def_awake<M>(cls,
                 "Reads the options and the surface statistics; exact method: casts the sun positions of the run's "
                 "steps (state[\"clock\"], state[\"site\"]) in one batch or reads them from the file beside the "
                 "table; table method: checks the table's fingerprint, generates it when absent or stale, reads it.");
    def_shading_operations<M>(
        cls,
        "Cosine factor of a surface for a sun at (altitude, azimuth) in degrees: exact method, the geometry "
        "library's result at that position (as calculate_shadow gives it); table method, as SurfaceShadowModule.",
        "Computes the cosine table on this module's grid, writes it to the given file (replacing it) and its "
        "fingerprint beside it.");
    cls.def("sun_factors",
            [](M& u) {
                return result_as<"dict[str, typing.Any] | None">(u.sun_factors());
            },
            "Exact method: {\"altitude\", \"azimuth\", \"factors\": {surface: array}} over the run's steps with the "
            "sun above the horizon; None in table mode.");
    cls.def("sky_views",
            [](M& u) { return result_as<"dict[str, tuple[float, float]]">(u.sky_views()); },
            "{surface: (sky_view, ground_view)} of the analysed surfaces: the cosine-weighted fractions of the "
            "sky above the horizon and of the ground below it that each surface sees past the whole model "
            "(area-weighted over its triangles, at the module's resolution). Computed once after awake and kept "
            "in a fingerprinted file beside the table.");
    cls.def_static(
        "from_values", [](nb::handle name, nb::handle values) { return from_values(name, values); }, nb::arg("name"),
        nb::arg("values"),
        nb::sig("def from_values(name: str, values: dict[str, typing.Any]) -> ExactShadowModule"),
        "A module named name whose in_file_params hold values, a dict by the declaration's key names (model, "
        "table, surfaces; method, grid and resolution optional), in the order awake reads them.");
    cls.def("horizon_views",
            [](M& u) { return result_as<"dict[str, float]">(u.horizon_views()); },
            "{surface: horizon_view} of the analysed surfaces: the share of the horizon band (the lowest 6.5 deg "
            "of the sky) each surface sees past the whole model, weighted by the cosine to the band; sin(tilt) for "
            "a free plane. Computed and kept with the sky views.");
    scope.def("shading_keys", &shading_keys, nb::arg("project"), nb::arg("state").none() = nb::none(),
              nb::sig("def shading_keys(project: dict[str, typing.Any], state: dict[str, typing.Any] | None = None) "
                      "-> dict[str, dict[str, typing.Any]]"),
              "{instance: keys} of every shading module (a class declaring surfaces) of a checked project "
              "(Manager.load_project()): \"key\" (where it is written), \"model\", \"surfaces\", \"fingerprint\" "
              "(what it computes: equal fingerprints, the same files), \"table_key\", \"table\", \"variant_table\" "
              "(beside the table, named after the fingerprint) and \"files\" (every generated file: key, path, "
              "variant, address in the module's project entry). The run is state's clock and site (the manager's "
              "state), else the project's period, time step and site.");
    scope.def("cos_table_positions", [] { return result_as<"list[tuple[float, float]]">(cos_table_positions()); },
              "The sun positions (altitude, azimuth) [deg] of the 54-point cosine table, in table order.");
    scope.def("write_cos_table", &write_cos_table, nb::arg("model"), nb::arg("surfaces"), nb::arg("output"),
              nb::arg("factors"),
              nb::sig("def write_cos_table(model: str, surfaces: typing.Sequence[str], output: str, "
                      "factors: typing.Sequence[typing.Sequence[float]]) -> None"),
              "Writes the 54-point cosine table of surfaces of model to output from factors cast elsewhere (one row "
              "per position of cos_table_positions(), one value per distinct surface), with the fingerprint "
              "ExactShadowModule writes for its own table of the same inputs.");
    cls.def("discard_caches", [](M& u) { u.discard_caches(); },
            "Deletes the generated table, the exact factors and their fingerprints, so the next awake computes "
            "them again.");
    publish_declaration(cls, shade_exact_declaration());
    m.attr("ExactShadowModule") = cls;
    bind_shade_exact_prepared(scope);
    for (const char* name : {"cos_table_positions", "write_cos_table", "share_prepared", "prepared_counts", "shading_keys"})
        m.attr(name) = scope.attr(name);
}

}  // namespace qm::py
