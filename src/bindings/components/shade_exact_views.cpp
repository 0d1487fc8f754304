// quillmere.components.shade_exact.ExactShadowModule: the surfaces' sky and
// ground views (computed once, kept beside the table under a fingerprint) and
// the removal of the files kept beside a table.
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
    const std::string cache = fs_path(str_obj(file)), fp_file = shading::fingerprint_path(cache);
    std::vector<std::string> names;
    for (nb::handle name : nb::borrow<nb::dict>(exact_columns).keys()) names.push_back(to_text(name));

    if (is_file(str_obj(file))) {
        std::string text, fp_text;
        shading::Fingerprint found;
        std::vector<std::string> diffs;
        std::string why;
        if (!read_whole(fp_file, fp_text)) why = "没有指纹文件";
        else if (!shading::Fingerprint::parse(fp_text, found)) diffs.push_back("format");
        if (why.empty() && diffs.empty()) diffs = shading::Fingerprint::differences(expected, found);
        if (why.empty() && !diffs.empty()) why = "与其指纹不符（" + key_names(diffs) + "已改变）";
        if (why.empty()) {
            // "surface,sky_view,ground_view,horizon_view" header, one line per surface in column order.
            std::vector<double> sky, ground, horizon;
            bool ok = read_whole(cache, text);
            size_t pos = ok ? text.find('\n') : std::string::npos;
            for (size_t s = 0; ok && s < S; ++s) {
                if (pos == std::string::npos) { ok = false; break; }
                size_t end = text.find('\n', pos + 1);
                std::string line = text.substr(pos + 1, end == std::string::npos ? std::string::npos : end - pos - 1);
                pos = end;
                // The name may hold commas: the three numbers are the last three fields.
                size_t c[3];
                size_t from = line.size();
                for (int j = 2; j >= 0 && ok; --j) {
                    c[j] = from == 0 ? std::string::npos : line.rfind(',', from - 1);
                    if (c[j] == std::string::npos || c[j] == 0) ok = false;
                    else from = c[j];
                }
                if (!ok || line.substr(0, c[0]) != names[s]) { ok = false; break; }
                double v[3];
                for (int j = 0; j < 3 && ok; ++j) {
                    const std::string field = line.substr(c[j] + 1, j < 2 ? c[j + 1] - c[j] - 1 : std::string::npos);
                    char* e = nullptr;
                    v[j] = std::strtod(field.c_str(), &e);
                    if (field.empty() || *e || !(v[j] >= 0 && v[j] <= (j == 2 ? 1.001 : 1.0))) ok = false;  // midpoint sums may pass sin 90 by 1e-6
                }
                if (!ok) break;
                sky.push_back(v[0]), ground.push_back(v[1]), horizon.push_back(v[2]);
            }
            if (ok) {
                view_sky = sky, view_ground = ground, view_horizon = horizon;
                return;
            }
            why = "内容有误";
        }
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
    std::string text = "surface,sky_view,ground_view,horizon_view\n";
    for (size_t s = 0; s < S; ++s) {
        char line[128];
        std::snprintf(line, sizeof line, ",%.17g,%.17g,%.17g\n", view_sky[s], view_ground[s], view_horizon[s]);
        text += names[s] + line;
    }
    std::string err = write_atomic(cache, text);
    if (err.empty()) err = write_atomic(fp_file, expected.text());
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
