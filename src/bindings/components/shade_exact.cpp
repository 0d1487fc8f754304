// quillmere.components.shade_exact.ExactShadowModule: the project shading
// module (see shade_exact.hpp). The casting runs in the kernels without the
// GIL; this file reads the options, checks and writes the generated files
// and maps failures to the module's printed messages.
#include <nanobind/ndarray.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bindings/components/shade_exact.hpp"
#include "bindings/components/shade_exact_files.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_clock.hpp"
#include "bindings/core/util.hpp"
#include "bindings/shadow_calc/occlusion_scan.hpp"
#include "bindings/support/common.hpp"
#include "kernels/io/atomic_write.hpp"
#include "kernels/io/file_read.hpp"
#include "kernels/shading/exact_factors.hpp"
#include "kernels/shading/factor_file.hpp"
#include "kernels/shading/sky_view.hpp"
#include "kernels/shading/sun_grid.hpp"

namespace qm::py {
// Helpers shared with shade_exact_views.cpp (declared in shade_exact_files.hpp).
namespace shade_exact_detail {

nb::handle g_type;

// Analysed faces at most (after subdivision).
constexpr size_t kMaxFaces = 20000000;

nb::object str_obj(const std::string& s) {
    return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape"));
}

uint64_t bits(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

std::string number_text(double v) { return shading::angle_text(v); }

nb::module_ os_path() { return nb::module_::import_("os.path"); }
bool is_file(nb::handle p) { return nb::cast<bool>(os_path().attr("isfile")(p)); }
bool exists(nb::handle p) { return nb::cast<bool>(os_path().attr("exists")(p)); }

// The file-system bytes of a host path (str), for the C++ file functions.
std::string fs_path(nb::handle p) {
    nb::object b = nb::module_::import_("os").attr("fsencode")(p);
    return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

// Writes `text` through the atomic writer (a temporary file in the same
// folder, renamed into place), so a reader never sees a half-written file.
// Returns "" or the error.
std::string write_atomic(const std::string& path, const std::string& text) {
    int err = 0;
    const char* step = "";
    return io::write_file_atomic(path, text, err, step) ? std::string() : std::string(std::strerror(err));
}

bool read_whole(const std::string& path, std::string& out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    char buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

void remove_if_file(nb::handle p) {
    if (is_file(p)) nb::module_::import_("os").attr("remove")(p);
}

// Chinese names of the fingerprint keys, for the one-line notices.
std::string key_names(const std::vector<std::string>& keys) {
    static const std::pair<const char*, const char*> names[] = {
        {"format", "格式"},   {"kind", "类型"},          {"model", "模型"},         {"surfaces", "表面列表"},
        {"grid", "网格"},     {"resolution", "细分尺寸"}, {"site", "场地"},          {"period", "运行期"},
        {"time_step", "时间步长"}, {"sun_time", "太阳时刻"}, {"steps", "步数"},
        {"directions", "方向数"}, {"horizon_band", "地平线带"}};
    std::string out;
    for (const auto& k : keys) {
        std::string n = k;
        for (const auto& [key, name] : names)
            if (k == key) n = name;
        out += (out.empty() ? "" : "、") + n;
    }
    return out;
}

std::string grid_words(double azimuth_step, double altitude_step, shading::SunGrid& grid) {
    size_t points = 0;
    switch (shading::grid_for_steps(azimuth_step, altitude_step, grid, &points)) {
        case shading::GridError::none: return "";
        case shading::GridError::azimuth_step: return "方位角步长应为 0 到 360 度之间的正数";
        case shading::GridError::altitude_step: return "高度角步长应为 0 到 90 度之间的正数";
        case shading::GridError::too_many_points:
            return "网格点过多（" + std::to_string(points) + " 个，最多 " + std::to_string(shading::kMaxGridPoints) +
                   " 个）：请增大步长";
    }
    return "?";
}

std::string store_words(const shading::StoreLoad& got) {
    switch (got.error) {
        case shading::StoreError::none: return "";
        case shading::StoreError::no_product: return "不存在";
        case shading::StoreError::unreadable: return "无法读取";
        case shading::StoreError::no_fingerprint: return "没有指纹文件";
        case shading::StoreError::fingerprint_format: return "与其指纹不符（" + key_names({"format"}) + "已改变）";
        case shading::StoreError::stale: return "与其指纹不符（" + key_names(got.changed) + "已改变）";
        case shading::StoreError::content_changed: return "在生成后被改动过（内容与指纹不符）";
        case shading::StoreError::write_failed: return "无法写入";
    }
    return "?";
}

std::string factor_file_words(shading::FactorFileError e, size_t line) {
    const std::string at = line ? "第 " + std::to_string(line) + " 行" : "";
    switch (e) {
        case shading::FactorFileError::none: return "";
        case shading::FactorFileError::empty: return "文件为空";
        case shading::FactorFileError::header: return "表头的表面名称与本次运行不符";
        case shading::FactorFileError::not_number: return at + "不是数值";
        case shading::FactorFileError::count: return at + "的数值个数不对";
        case shading::FactorFileError::range: return at + "有超出范围的数值（系数应在 0 到 1 之间）";
        case shading::FactorFileError::surface: return at + "的表面名称与本次运行不符";
    }
    return "?";
}

std::string save_product(const std::string& path, const std::string& text, const shading::Fingerprint& fp) {
    int err = 0;
    const char* step = "";
    return shading::save(path, text, fp, err, step) == shading::StoreError::none ? std::string()
                                                                                 : std::string(std::strerror(err));
}

// Casts the factors of n sun positions with progress on the terminal (none
// when quiet), the GIL released and Ctrl-C honoured; true when cancelled.
bool cast_factors(const char* label, bool show, const geom::Scene& scene, const geom::FaceSet& faces,
                  const double* alt, const double* az, size_t n, double* out) {
    Progress progress = Progress::make(label);
    if (!show) progress.stream = nb::object();
    std::atomic<bool> cancel{false};
    progress.cancel = &cancel;
    shading::BatchOptions opt;
    opt.progress = [&progress](size_t d, size_t t) { progress(d, t); };
    opt.cancel = &cancel;
    {
        nb::gil_scoped_release release;
        shading::exact_factors(scene, faces, alt, az, n, out, opt);
    }
    return cancel.load();
}

std::string fixed6(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", v);
    return buf;
}

}  // namespace shade_exact_detail
using namespace shade_exact_detail;

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

shading::Fingerprint ExactShadowModule::common_fingerprint(const std::string& kind) {
    shading::Fingerprint fp;
    fp.set("format", "1");
    fp.set("kind", kind);
    const std::string path = fs_path(stl_file_path);
    if (path != model_digest_path_ || model_digest_.empty()) {
        std::string digest;
        {
            nb::gil_scoped_release release;
            io::FileText file;
            io::FileStamp stamp;
            if (file.open(path, stamp) == io::ReadStatus::ok) digest = shading::sha256_hex(file.text());
        }
        model_digest_ = digest.empty() ? "" : "sha256:" + digest;
        model_digest_path_ = path;
    }
    fp.set("model", model_digest_.empty() ? "(unreadable)" : model_digest_);
    std::string names;
    for (nb::handle n : nb::borrow<nb::list>(surfs_analyze_name)) {
        std::string s = to_text(n), q = "\"";
        for (char c : s) q += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
        names += (names.empty() ? "" : ", ") + q + "\"";
    }
    fp.set("surfaces", names);
    fp.set("resolution", number_text(resolution));
    fp.set("normals", normals);
    return fp;
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
    shading::Fingerprint expected = common_fingerprint("table");
    if (model_digest_.empty()) return;  // no model to compare with: the table module reports it
    expected.set("grid", grid_given ? number_text(azimuth_step) + ", " + number_text(altitude_step)
                                    : "45, 15 (altitudes 0..75)");
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

void ExactShadowModule::awake(nb::handle state) {
    read_options();
    views_done = false;
    view_sky.clear(), view_ground.clear(), view_horizon.clear();
    model.reset();
    faces = geom::FaceSet{};
    exact_columns = nb::steal(PyDict_New());
    rows.clear();
    row_alt.clear(), row_az.clear(), row_factors.clear();
    step_rows = 0;
    model_digest_.clear();
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
    std::string csv = to_text(csv_file_path);
    exact_file = str_obj(csv.size() > 4 && csv.compare(csv.size() - 4, 4, ".csv") == 0
                             ? csv.substr(0, csv.size() - 4) + ".exact.csv"
                             : csv + ".exact.csv");
    model = cached_model(stl_file_path);
    if (model->irregular)
        raise(PyExc_RuntimeError, "facet " + std::to_string(model->irregular_facet) + " of solid '" +
                                      model->irregular_solid +
                                      "' does not have a 3-number normal and three vertices of three coordinates");
    build_faces();
    plan_steps(state);
}

void ExactShadowModule::build_faces() {
    faces = geom::FaceSet{};
    exact_columns = nb::steal(PyDict_New());
    for (nb::handle name : nb::borrow<nb::list>(surfs_analyze_name)) {
        if (!PyUnicode_Check(name.ptr()) || PyDict_Contains(exact_columns.ptr(), name.ptr()) == 1) continue;
        const std::string n = to_text(name);
        size_t s = 0;
        while (s < model->names.size() && model->names[s] != n) ++s;
        if (s == model->names.size() || model->count[s] == 0) continue;  // lookups answer -1.0 with the message
        const size_t first = model->first[s], count = model->count[s];
        std::vector<double> tris(9 * count);
        std::vector<int64_t> self(count);
        for (size_t k = 0; k < count; ++k) {
            std::copy_n(model->scene->tri(first + k), 9, tris.data() + 9 * k);
            self[k] = static_cast<int64_t>(first + k);
        }
        std::vector<double> normals(model->normals.begin() + 3 * first, model->normals.begin() + 3 * (first + count));
        if (normals_from_vertices()) {
            // A (0, 0, 0) normal from the file: the vertex order's (right-hand rule).
            for (size_t k = 0; k < count; ++k) {
                double* n = normals.data() + 3 * k;
                if (n[0] != 0.0 || n[1] != 0.0 || n[2] != 0.0) continue;
                const double* t = tris.data() + 9 * k;
                const double u[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]}, v[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
                const double c[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
                const double len = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
                if (len > 0) n[0] = c[0] / len, n[1] = c[1] / len, n[2] = c[2] / len;
            }
        }
        if (!geom::add_surface(faces, tris.data(), normals.data(), self.data(), count, resolution, kMaxFaces))
            raise(PyExc_ValueError, "resolution " + number_text(resolution) + " 细分后的三角形超过 " +
                                        std::to_string(kMaxFaces) + " 个：请增大 resolution");
        set_item(exact_columns, name, nb::int_(static_cast<Py_ssize_t>(faces.first.size() - 1)));
    }
}

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

void ExactShadowModule::plan_steps(nb::handle state) {
    if (!PyDict_Check(state.ptr())) return;
    PyObject* clock_obj = PyDict_GetItemString(state.ptr(), "clock");
    PyObject* site = PyDict_GetItemString(state.ptr(), "site");
    if (!clock_obj || !site || !PyDict_Check(site) ||
        !PyObject_TypeCheck(clock_obj, (PyTypeObject*)sim_clock_type().ptr()))
        return;  // no run to plan for: every lookup is cast when asked
    SimClock* clock = nb::inst_ptr<SimClock>(clock_obj);
    const double lon = as_double(get_item(site, "longitude")), lat = as_double(get_item(site, "latitude"));
    const int32_t zone = as_int32(get_item(site, "time_zone"));
    shading::SunTime sun_time = shading::SunTime::start;
    if (PyObject* st = PyDict_GetItemString(site, "sun_time")) {
        if (!PyUnicode_Check(st) || !shading::parse_sun_time(to_text(st), sun_time))
            raise(PyExc_ValueError, "site.sun_time 应为 \"middle\" 或 \"start\"，实际为 " + to_text(check(PyObject_Repr(st))));
    }
    const size_t n = shading::step_count(clock->end_time, clock->time_step);
    const std::vector<double> times = shading::step_times(clock->current_time, clock->time_step, n);
    std::vector<double> alt, az;
    {
        nb::gil_scoped_release release;
        std::unordered_map<Key, int, KeyHash> seen;
        for (double t : times) {
            solar::SunPosition p;
            if (shading::step_sun(lon, lat, zone, clock->start_year, t, shading::sun_offset(sun_time), p) !=
                    solar::SpaError::none ||
                !(p.height > 0.0))
                continue;
            if (!seen.emplace(Key{bits(p.height), bits(p.azimuth)}, 0).second) continue;
            alt.push_back(p.height);
            az.push_back(p.azimuth);
        }
    }

    shading::Fingerprint expected = common_fingerprint("exact");
    char period[96];
    std::snprintf(period, sizeof period, "%04d-%02d-%02d .. %04d-%02d-%02d", int(clock->start_year),
                  int(clock->begin_month), int(clock->begin_day), int(clock->end_year), int(clock->end_month),
                  int(clock->end_day));
    expected.set("site", number_text(lat) + ", " + number_text(lon) + ", " + std::to_string(zone));
    expected.set("period", std::string(period) + " from " + number_text(clock->current_time) + " s");
    expected.set("time_step", number_text(clock->time_step));
    expected.set("steps", std::to_string(n));
    expected.set("sun_time", shading::sun_time_name(sun_time));
    const std::string cache = fs_path(exact_file);

    // A file of this run's factors, when its fingerprint and content match.
    std::vector<std::string> names;
    for (nb::handle name : nb::borrow<nb::dict>(exact_columns).keys()) names.push_back(to_text(name));
    if (is_file(exact_file)) {
        shading::StoreLoad got;
        shading::FactorTable table;
        shading::FactorFileError bad = shading::FactorFileError::none;
        size_t bad_line = 0;
        {
            nb::gil_scoped_release release;
            got = shading::load_if_fresh(cache, expected);
            if (got.error == shading::StoreError::none) bad = shading::read_factor_table(got.text, names, table, bad_line);
        }
        std::string why = store_words(got);
        if (why.empty()) {
            bool same = bad == shading::FactorFileError::none && table.positions() == alt.size();
            for (size_t i = 0; same && i < alt.size(); ++i)
                same = bits(table.altitudes[i]) == bits(alt[i]) && bits(table.azimuths[i]) == bits(az[i]);
            if (same) {
                for (size_t i = 0; i < alt.size(); ++i) rows.emplace(Key{bits(alt[i]), bits(az[i])}, i);
                row_alt = table.altitudes;
                row_az = table.azimuths;
                row_factors = table.factors;
                step_rows = alt.size();
                return;
            }
            why = bad == shading::FactorFileError::none ? "与本次运行的太阳位置不一致"
                                                        : "内容有误（" + factor_file_words(bad, bad_line) + "）";
        }
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

void ExactShadowModule::shadow_analyze_output(nb::handle output_folder) {
    print("开始阴影分析, 输出结果 到 " + to_text(output_folder));
    std::shared_ptr<const geom::Model> m = cached_model(stl_file_path);
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
    for (double h : grid.altitudes)
        for (double a : grid.azimuths) alt.push_back(h), az.push_back(a);
    const size_t S = names.size();
    std::vector<double> out(alt.size() * S);
    if (cast_factors("shading table", true, *m->scene, faces, alt.data(), az.data(), alt.size(), out.data()))
        throw_pending();
    std::string text = "方位角,高度角";
    for (const auto& n : names) text += "," + n;
    text += "\n";
    for (size_t p = 0; p < alt.size(); ++p) {
        text += shading::angle_text(az[p]) + "," + shading::angle_text(alt[p]);
        for (size_t k = 0; k < S; ++k) text += "," + fixed6(out[p * S + k]);
        text += "\n";
    }
    write_table(output_folder, text);
    print("阴影分析结束");
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
    cls.def("save_table", [](M& u, const std::string& text) { u.save_table(text); }, nb::arg("text"),
            "Reads the options and writes text, a table of this module's grid computed elsewhere (quillmere shade "
            "--workers), to the module's table path with the fingerprint the module writes for its own tables.");
    cls.def("horizon_views",
            [](M& u) { return result_as<"dict[str, float]">(u.horizon_views()); },
            "{surface: horizon_view} of the analysed surfaces: the share of the horizon band (the lowest 6.5 deg "
            "of the sky) each surface sees past the whole model, weighted by the cosine to the band; sin(tilt) for "
            "a free plane. Computed and kept with the sky views.");
    cls.def("discard_caches", [](M& u) { u.discard_caches(); },
            "Deletes the generated table, the exact factors and their fingerprints, so the next awake computes "
            "them again.");
    publish_declaration(cls, shade_exact_declaration());
    m.attr("ExactShadowModule") = cls;
}

}  // namespace qm::py
