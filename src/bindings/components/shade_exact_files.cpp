// Helpers of the project shading module's binding (shade_exact.hpp): host
// paths, whole-file reads and atomic writes, the users' wording of the
// shading kernels' errors, and a threaded cast with progress and Ctrl-C.
#include "bindings/components/shade_exact_files.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bindings/core/util.hpp"
#include "kernels/io/atomic_write.hpp"
#include "kernels/shading/exact_factors.hpp"

namespace qm::py::shade_exact_detail {

nb::object str_obj(const std::string& s) {
    return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape"));
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

std::string save_table_files(const std::string& path, const std::string& text, const shading::Fingerprint& fp) {
    int err = 0;
    const char* step = "";
    return shading::save_output(path, text, fp, err, step) == shading::StoreError::none ? std::string()
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

}  // namespace qm::py::shade_exact_detail
