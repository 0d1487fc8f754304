// quillmere.components.shade_exact.ExactShadowModule: its stored products
// other than the per-step factors (shade_exact.cpp): the table (checked at
// awake against its fingerprint, computed and written with it), the surfaces'
// sky, ground and horizon views (computed once, kept beside the table under a
// fingerprint), and the removal of the files kept beside a table.
#include <nanobind/ndarray.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "bindings/components/shade_exact.hpp"
#include "bindings/components/shade_exact_files.hpp"
#include "bindings/core/util.hpp"
#include "bindings/shadow_calc/occlusion_scan.hpp"
#include "kernels/shading/cos_table.hpp"
#include "kernels/shading/factor_file.hpp"
#include "kernels/shading/plan.hpp"
#include "kernels/shading/sky_view.hpp"

namespace qm::py {
using namespace shade_exact_detail;

// The plan of this module's products from its options, model and surfaces
// (the model's digest is computed once per awake and model path).
shading::ShadingPlan ExactShadowModule::plan() {
    shading::ShadingPlan p;
    const std::string path = fs_path(stl_file_path);
    if (path != model_digest_path_ || model_digest_.empty()) {
        nb::gil_scoped_release release;
        model_digest_ = shading::model_digest(path);
        model_digest_path_ = path;
    }
    p.table_path = PyUnicode_Check(csv_file_path.ptr()) ? fs_path(csv_file_path) : std::string();
    p.model_digest = model_digest_;
    for (nb::handle n : nb::borrow<nb::list>(surfs_analyze_name)) p.surfaces.push_back(to_text(n));
    p.resolution = resolution;
    p.normals = normals;
    p.lod = model_lod();
    p.grid_given = grid_given;
    p.azimuth_step = azimuth_step, p.altitude_step = altitude_step;
    return p;
}

void ExactShadowModule::discard_caches() {
    nb::object paths = resolve_paths();
    // The table itself stays until its replacement is complete.
    regenerate_table = true;
    for (const std::string& p : shading::generated_files(to_text(paths[1]))) remove_if_file(str_obj(p));
    for (const std::string& p : shading::cell_light_files(to_text(paths[1]))) remove_if_file(str_obj(p));
}

// A table that exists: regenerated when its fingerprint no longer matches,
// used unchecked (with one line) when it has none.
void ExactShadowModule::check_table(nb::handle csv) {
    if (!exists(csv) || !is_file(csv)) return;
    nb::object fp_path = str_obj(shading::fingerprint_path(to_text(csv)));
    if (!is_file(fp_path)) {
        print("阴影表 " + to_text(csv) + " 没有指纹文件（不是本程序生成的），未核对模型与表面，按原样使用");
        return;
    }
    const shading::ShadingPlan p = plan();
    if (p.model_digest.empty()) return;  // no model to compare with: the table module reports it
    const shading::Fingerprint expected = shading::table_fingerprint(p);
    std::string text;
    shading::Fingerprint found;
    std::vector<std::string> diffs;
    if (!read_whole(fs_path(fp_path), text) || !shading::Fingerprint::parse(text, found))
        diffs.push_back("format");
    else
        diffs = shading::Fingerprint::differences(expected, found);
    if (diffs.empty()) return;
    print("阴影表 " + to_text(csv) + " 与其指纹不符（" + key_names(diffs) + "已改变），重新生成");
    regenerate_table = true;  // replaced once the new table is complete
    remove_if_file(fp_path);
}

void ExactShadowModule::shadow_analyze_output(nb::handle output_folder) {
    print("开始阴影分析, 输出结果 到 " + to_text(output_folder));
    std::shared_ptr<const geom::Model> m = cached_model(stl_file_path, model_lod());
    if (m->irregular)
        raise(PyExc_ValueError, "facet " + std::to_string(m->irregular_facet) + " of solid '" + m->irregular_solid +
                                    "' does not have a 3-number normal and three vertices of three coordinates");
    // Surfaces as the geometry library takes them: unknown names raise
    // KeyError, a surface without facets ValueError; repeated names once.
    model = m;
    nb::object index = check(PyDict_New());
    for (size_t s = 0; s < m->names.size(); ++s) set_item(index, str_obj(m->names[s]), nb::int_(s));
    for (nb::handle name : nb::borrow<nb::list>(surfs_analyze_name)) {
        const size_t s = PyLong_AsSize_t(get_item(index, name).ptr());
        if (m->count[s] == 0) raise(PyExc_ValueError, "current_solid_vertices must have 3 dimensions, got 1");
    }
    build_faces();
    std::vector<std::string> names;
    for (nb::handle name : nb::borrow<nb::dict>(exact_columns).keys()) names.push_back(to_text(name));

    shading::SunGrid grid = shading::specified_grid();
    if (grid_given) {
        std::string why = grid_words(azimuth_step, altitude_step, grid);
        if (!why.empty()) raise(PyExc_ValueError, "grid: " + why);
    }
    std::vector<double> alt, az;
    shading::grid_positions(grid, alt, az);
    std::vector<double> out(alt.size() * names.size());
    if (cast_factors("shading table", true, *m->scene, faces, alt.data(), az.data(), alt.size(), out.data()))
        throw_pending();
    write_table(output_folder, shading::cos_table_text(grid, names, out.data()));
    print("阴影分析结束");
}

// The table and its fingerprint, the old fingerprint removed first: a table
// and a fingerprint not written together are never left as a pair.
void ExactShadowModule::write_table(nb::handle output, const std::string& text) {
    const std::string err = save_table_files(fs_path(output), text, shading::table_fingerprint(plan()));
    if (!err.empty()) raise(PyExc_OSError, "无法写入阴影表 " + to_text(output) + "：" + err);
}

void ExactShadowModule::compute_views() {
    views_done = true;
    view_sky.clear(), view_ground.clear(), view_horizon.clear();
    if (!PyUnicode_Check(stl_file_path.ptr()) || !is_file(stl_file_path) || !PyUnicode_Check(csv_file_path.ptr()))
        return;
    if (!model) {
        model = cached_model(stl_file_path, model_lod());
        if (model->irregular) {
            model.reset();
            return;  // the table module's start-up has reported it
        }
    }
    if (faces.first.empty()) build_faces();
    const size_t S = faces.first.size();
    if (S == 0) return;
    const shading::SkyViewOptions defaults;
    const shading::Fingerprint expected = shading::views_fingerprint(plan(), defaults);
    const std::string file = shading::views_path(to_text(csv_file_path));
    const std::string cache = fs_path(str_obj(file));
    std::vector<std::string> names;
    for (nb::handle name : nb::borrow<nb::dict>(exact_columns).keys()) names.push_back(to_text(name));
    const std::vector<std::string> views = {"sky_view", "ground_view", "horizon_view"};

    if (is_file(str_obj(file))) {
        shading::StoreLoad got;
        shading::ViewTable table;
        shading::FactorFileError bad = shading::FactorFileError::none;
        size_t line = 0;
        {
            nb::gil_scoped_release release;
            got = shading::load_if_fresh(cache, expected);
            if (got.error == shading::StoreError::none) bad = shading::read_view_table(got.text, names, views, table, line);
        }
        std::string why = store_words(got);
        if (why.empty() && bad == shading::FactorFileError::none) {
            for (size_t s = 0; s < S; ++s) {
                view_sky.push_back(table.values[3 * s]), view_ground.push_back(table.values[3 * s + 1]);
                view_horizon.push_back(table.values[3 * s + 2]);
            }
            return;
        }
        if (why.empty()) why = "内容有误（" + factor_file_words(bad, line) + "）";
        print("天空视角系数 " + file + " " + why + "，重新计算");
    }

    print("开始计算天空视角系数：" + std::to_string(S) + " 个表面，" + std::to_string(faces.size()) + " 个三角形，每个 " +
          std::to_string(defaults.directions) + " 个方向");
    auto t0 = std::chrono::steady_clock::now();
    Progress progress = Progress::make("sky view");
    std::atomic<bool> cancel{false};
    progress.cancel = &cancel;
    shading::SkyViewOptions opt;
    opt.progress = [&progress](size_t d, size_t t) { progress(d, t); };
    opt.cancel = &cancel;
    shading::ViewFactors v;
    {
        nb::gil_scoped_release release;
        shading::view_factors(*model->scene, faces, v, opt);
    }
    if (cancel.load()) {
        views_done = false;
        throw_pending();
    }
    view_sky = v.sky, view_ground = v.ground, view_horizon = v.horizon;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    print(std::string("天空视角系数计算结束（") + buf + " s）");
    shading::ViewTable table;
    table.views = views;
    table.surfaces = names;
    for (size_t s = 0; s < S; ++s)
        table.values.insert(table.values.end(), {view_sky[s], view_ground[s], view_horizon[s]});
    std::string err;
    {
        nb::gil_scoped_release release;
        err = save_product(cache, shading::view_table_text(table), expected);
    }
    if (!err.empty()) print("警告：无法保存天空视角系数 " + file + "：" + err);
}

bool ExactShadowModule::surface_views(nb::handle name, SurfaceViews& out) {
    if (!views_done) compute_views();
    if (!PyUnicode_Check(name.ptr())) return false;
    PyObject* col = PyDict_GetItem(exact_columns.ptr(), name.ptr());
    if (!col) return false;
    const size_t c = nb::cast<size_t>(nb::handle(col));
    if (c >= view_sky.size() || c >= view_horizon.size()) return false;
    out.sky = view_sky[c], out.ground = view_ground[c], out.horizon = view_horizon[c];
    return true;
}

nb::object ExactShadowModule::horizon_views() {
    if (!views_done) compute_views();
    nb::dict out;
    for (auto [name, col] : nb::borrow<nb::dict>(exact_columns)) {
        const size_t c = nb::cast<size_t>(col);
        if (c < view_horizon.size()) out[name] = nb::float_(view_horizon[c]);
    }
    return out;
}

nb::object ExactShadowModule::sky_views() {
    if (!views_done) compute_views();
    nb::dict out;
    for (auto [name, col] : nb::borrow<nb::dict>(exact_columns)) {
        const size_t c = nb::cast<size_t>(col);
        if (c < view_sky.size()) out[name] = nb::make_tuple(view_sky[c], view_ground[c]);
    }
    return out;
}

nb::object ExactShadowModule::sun_factors() {
    if (!exact) return nb::none();
    auto array = [](const double* src, size_t n, size_t stride) {
        double* data = new double[n ? n : 1];
        for (size_t i = 0; i < n; ++i) data[i] = src[i * stride];
        nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
        size_t shape[1] = {n};
        return nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<1>>(data, 1, shape, owner));
    };
    nb::dict out, per;
    out["altitude"] = array(row_alt.data(), step_rows, 1);
    out["azimuth"] = array(row_az.data(), step_rows, 1);
    const size_t S = faces.first.size();
    for (auto [name, col] : nb::borrow<nb::dict>(exact_columns))
        per[name] = array(row_factors.data() + nb::cast<size_t>(col), step_rows, S);
    out["factors"] = per;
    return out;
}

// The table cast elsewhere (quillmere shade --workers): its positions in
// table order, and the table written from the factors cast there with the
// fingerprint this module writes for its own tables of the same inputs.
nb::object cos_table_positions() {
    std::vector<double> alt, az;
    shading::grid_positions(shading::specified_grid(), alt, az);
    nb::list out;
    for (size_t p = 0; p < alt.size(); ++p) out.append(nb::make_tuple(alt[p], az[p]));
    return out;
}

void write_cos_table(nb::handle model, nb::handle surfaces, nb::handle output, nb::handle factors) {
    shading::ShadingPlan plan;
    const std::string model_path = fs_path(model), table_path = fs_path(output);
    nb::object names = check(PySequence_List(surfaces.ptr()));
    std::vector<std::string> columns;  // distinct, in order
    for (nb::handle n : nb::borrow<nb::list>(names)) {
        plan.surfaces.push_back(to_text(n));
        if (std::find(columns.begin(), columns.end(), plan.surfaces.back()) == columns.end())
            columns.push_back(plan.surfaces.back());
    }
    nb::object rows = check(PySequence_List(factors.ptr()));
    const shading::SunGrid grid = shading::specified_grid();
    if (size_t(PyList_GET_SIZE(rows.ptr())) != grid.size())
        raise(PyExc_ValueError, "factors: 应有 " + std::to_string(grid.size()) + " 行（每个太阳位置一行）");
    std::vector<double> values;
    for (nb::handle row : nb::borrow<nb::list>(rows)) {
        nb::object items = check(PySequence_List(row.ptr()));
        if (size_t(PyList_GET_SIZE(items.ptr())) != columns.size())
            raise(PyExc_ValueError, "factors: 每行应有 " + std::to_string(columns.size()) + " 个数值（每个表面一个）");
        for (nb::handle v : nb::borrow<nb::list>(items)) values.push_back(as_double(v));
    }
    if (exists(output) && exists(model) && nb::cast<bool>(os_path().attr("samefile")(model, output)))
        raise(PyExc_ValueError, "阴影表 " + to_text(output) + " 就是模型文件，未写入");
    std::string err;
    {
        nb::gil_scoped_release release;
        plan.model_digest = shading::model_digest(model_path);
        err = save_table_files(table_path, shading::cos_table_text(grid, columns, values.data()),
                               shading::table_fingerprint(plan));
    }
    if (!err.empty()) raise(PyExc_OSError, "无法写入阴影表 " + to_text(output) + "：" + err);
}

}  // namespace qm::py
