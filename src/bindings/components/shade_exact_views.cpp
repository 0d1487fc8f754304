// quillmere.components.shade_exact.ExactShadowModule: the surfaces' sky and
// ground views (computed once, kept beside the table under a fingerprint) and
// the removal of the files kept beside a table.
#include <cerrno>
#include <cstdio>
#include <string>

#include "bindings/components/shade_exact.hpp"
#include "bindings/components/shade_exact_files.hpp"
#include <nanobind/ndarray.h>

#include <atomic>
#include <cmath>
#include <cstring>

#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_clock.hpp"
#include "bindings/core/util.hpp"
#include "bindings/shadow_calc/occlusion_scan.hpp"
#include "kernels/shading/exact_factors.hpp"
#include "kernels/shading/factor_file.hpp"
#include "kernels/shading/sky_view.hpp"
#include "kernels/shading/sun_grid.hpp"
namespace qm::py {
using namespace shade_exact_detail;

namespace {

std::string sibling(const std::string& csv, const char* suffix) {
    return csv.size() > 4 && csv.compare(csv.size() - 4, 4, ".csv") == 0 ? csv.substr(0, csv.size() - 4) + suffix
                                                                         : csv + suffix;
}
}  // namespace

void ExactShadowModule::discard_caches() {
    nb::object paths = resolve_paths();
    std::string csv = to_text(paths[1]);
    std::string exact_path = sibling(csv, ".exact.csv"), views_path = sibling(csv, ".views.csv");
    // The table itself stays until its replacement is complete.
    regenerate_table = true;
    for (const std::string& p : {shading::fingerprint_path(csv), exact_path, shading::fingerprint_path(exact_path),
                                 views_path, shading::fingerprint_path(views_path)})
        remove_if_file(str_obj(p));
}

shading::Fingerprint ExactShadowModule::table_fingerprint() {
    shading::Fingerprint fp = common_fingerprint("table");
    fp.set("grid", grid_given ? number_text(azimuth_step) + ", " + number_text(altitude_step)
                              : "45, 15 (altitudes 0..75)");
    return fp;
}

// The table and its fingerprint, the old fingerprint removed first: a table
// and a fingerprint not written together are never left as a pair.
void ExactShadowModule::write_table(nb::handle output, const std::string& text) {
    const shading::Fingerprint fp = table_fingerprint();
    const std::string path = fs_path(output), fp_path = shading::fingerprint_path(path);
    std::string err;
    {
        nb::gil_scoped_release release;
        if (std::remove(fp_path.c_str()) != 0 && errno != ENOENT) err = std::strerror(errno);
        if (err.empty()) err = write_atomic(path, text);
        if (err.empty()) err = write_atomic(fp_path, fp.text());
    }
    if (!err.empty()) raise(PyExc_OSError, "无法写入阴影表 " + to_text(output) + "：" + err);
}

void ExactShadowModule::save_table(const std::string& text) {
    read_options();
    nb::object paths = resolve_paths();
    stl_file_path = paths[0];
    surfs_analyze_name = check(
        PySequence_List(check(PySequence_GetSlice(in_file_params.ptr(), first_surface_, PY_SSIZE_T_MAX)).ptr()));
    model_digest_.clear();
    write_table(paths[1], text);
}

void ExactShadowModule::compute_views() {
    views_done = true;
    view_sky.clear(), view_ground.clear(), view_horizon.clear();
    if (!PyUnicode_Check(stl_file_path.ptr()) || !is_file(stl_file_path) || !PyUnicode_Check(csv_file_path.ptr()))
        return;
    if (!model) {
        model = cached_model(stl_file_path);
        if (model->irregular) {
            model.reset();
            return;  // the table module's start-up has reported it
        }
    }
    if (faces.first.empty()) build_faces();
    const size_t S = faces.first.size();
    if (S == 0) return;
    const shading::SkyViewOptions defaults;
    shading::Fingerprint expected = common_fingerprint("views");
    expected.set("directions", std::to_string(defaults.directions));
    char band[64];
    std::snprintf(band, sizeof band, "%zu x %g deg", defaults.horizon_directions, defaults.horizon_band);
    expected.set("horizon_band", band);
    const std::string file = sibling(to_text(csv_file_path), ".views.csv");
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

bool ExactShadowModule::surface_views(nb::handle name, double& sky, double& ground) {
    double horizon;
    return surface_views(name, sky, ground, horizon);
}

bool ExactShadowModule::surface_views(nb::handle name, double& sky, double& ground, double& horizon) {
    if (!views_done) compute_views();
    if (!PyUnicode_Check(name.ptr())) return false;
    PyObject* col = PyDict_GetItem(exact_columns.ptr(), name.ptr());
    if (!col) return false;
    const size_t c = nb::cast<size_t>(nb::handle(col));
    if (c >= view_sky.size() || c >= view_horizon.size()) return false;
    sky = view_sky[c], ground = view_ground[c], horizon = view_horizon[c];
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


}  // namespace qm::py
