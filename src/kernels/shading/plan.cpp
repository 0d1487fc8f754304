#include "kernels/shading/plan.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <utility>

#include "kernels/geometry/model.hpp"
#include "kernels/io/file_read.hpp"

namespace qm::shading {

std::string model_digest(const std::string& path) {
    // A sweep asks for one model's digest several times per variant (its check, the sharing key,
    // the products): the last few are kept by the file's identity, as the model cache keeps models.
    // A file read within the clock's granularity of its last change is hashed every time (a rewrite
    // then could keep its stamp).
    static std::mutex mutex;
    static std::vector<std::pair<io::FileStamp, std::string>> kept;  // most recent last
    constexpr size_t kKeep = 8;
    io::FileStamp now;
    if (io::stat_stamp(path, now)) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [stamp, digest] : kept)
            if (stamp == now) return digest;
    }
    io::FileText file;
    io::FileStamp stamp;
    if (file.open(path, stamp) != io::ReadStatus::ok) return "";
    std::string digest = "sha256:" + sha256_hex(file.text());
    const int64_t read_at = geom::wall_clock_ns();
    const int64_t recent = geom::ModelCache::kRecentNs;
    if (read_at - stamp.ctime_ns >= recent && read_at - stamp.mtime_ns >= recent) {
        std::lock_guard<std::mutex> lock(mutex);
        std::erase_if(kept, [&](const auto& e) { return e.first.path == stamp.path; });
        kept.emplace_back(stamp, digest);
        if (kept.size() > kKeep) kept.erase(kept.begin());
    }
    return digest;
}

Fingerprint product_fingerprint(const ShadingPlan& plan, const std::string& kind) {
    Fingerprint fp;
    fp.set("format", "1");
    fp.set("kind", kind);
    fp.set("model", plan.model_digest.empty() ? "(unreadable)" : plan.model_digest);
    if (!plan.lod.empty()) fp.set("lod", plan.lod);
    std::string names;
    for (const std::string& s : plan.surfaces) {
        std::string q = "\"";
        for (char c : s) q += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
        names += (names.empty() ? "" : ", ") + q + "\"";
    }
    fp.set("surfaces", names);
    fp.set("resolution", angle_text(plan.resolution));
    fp.set("normals", plan.normals);
    return fp;
}

Fingerprint table_fingerprint(const ShadingPlan& plan) {
    Fingerprint fp = product_fingerprint(plan, "table");
    fp.set("grid", plan.grid_given ? angle_text(plan.azimuth_step) + ", " + angle_text(plan.altitude_step)
                                   : "45, 15 (altitudes 0..75)");
    return fp;
}

Fingerprint exact_fingerprint(const ShadingPlan& plan, const SunRun& run) {
    Fingerprint fp = product_fingerprint(plan, "exact");
    char period[128];
    std::snprintf(period, sizeof period, "%04lld-%02d-%02d .. %04lld-%02d-%02d", static_cast<long long>(run.start_year),
                  run.begin_month, run.begin_day, static_cast<long long>(run.end_year), run.end_month, run.end_day);
    fp.set("site", angle_text(run.latitude) + ", " + angle_text(run.longitude) + ", " + std::to_string(run.time_zone));
    fp.set("period", std::string(period) + " from " + angle_text(run.begin_time) + " s");
    fp.set("time_step", angle_text(run.time_step));
    fp.set("steps", std::to_string(run.steps));
    fp.set("sun_time", sun_time_name(run.sun_time));
    return fp;
}

Fingerprint views_fingerprint(const ShadingPlan& plan, const SkyViewOptions& options) {
    Fingerprint fp = product_fingerprint(plan, "views");
    fp.set("directions", std::to_string(options.directions));
    char band[64];
    std::snprintf(band, sizeof band, "%zu x %g deg", options.horizon_directions, options.horizon_band);
    fp.set("horizon_band", band);
    return fp;
}

GridError table_grid(const ShadingPlan& plan, SunGrid& out, size_t* points) {
    if (!plan.grid_given) {
        out = specified_grid();
        if (points) *points = out.size();
        return GridError::none;
    }
    return grid_for_steps(plan.azimuth_step, plan.altitude_step, out, points);
}

std::string sibling_path(const std::string& table_path, const char* suffix) {
    const std::string& p = table_path;
    return p.size() > 4 && p.compare(p.size() - 4, 4, ".csv") == 0 ? p.substr(0, p.size() - 4) + suffix : p + suffix;
}

std::string exact_path(const std::string& table_path) { return sibling_path(table_path, ".exact.csv"); }
std::string views_path(const std::string& table_path) { return sibling_path(table_path, ".views.csv"); }

std::vector<std::string> generated_files(const std::string& table_path) {
    const std::string exact = exact_path(table_path), views = views_path(table_path);
    return {fingerprint_path(table_path), exact, fingerprint_path(exact), views, fingerprint_path(views)};
}

std::string cell_light_path(const std::string& table_path, const std::string& array_name) {
    std::string safe;
    for (char c : array_name) safe += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') ? c : '_';
    if (safe != array_name) safe.append(1, '-').append(sha256_hex(array_name), 0, 8);
    return sibling_path(table_path, std::string(".cells.").append(safe).append(".bin").c_str());
}

std::vector<std::string> cell_light_files(const std::string& table_path) {
    namespace fs = std::filesystem;
    const fs::path stem(sibling_path(table_path, ".cells."));
    const std::string prefix = stem.filename().string();
    fs::path folder = stem.parent_path();
    if (folder.empty()) folder = ".";
    std::vector<std::string> found;
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool kept = name.ends_with(".bin") || name.ends_with(".bin.fingerprint");
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 && kept)
            found.push_back((stem.parent_path() / name).string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string product_key(const Fingerprint& fp) { return sha256_hex(fp.text()); }

std::string plan_key(const ShadingPlan& plan, const SunRun* run) {
    std::string text = table_fingerprint(plan).text();
    if (run) text += exact_fingerprint(plan, *run).text();
    return sha256_hex(text);
}

std::string declared_key(const ShadingPlan& plan, const std::string& type,
                         const std::vector<std::pair<std::string, std::string>>& values, const SunRun* run) {
    Fingerprint fp = product_fingerprint(plan, "declared " + type);
    // One line per value; a line break in a value's text cannot fake another line.
    for (const auto& [key, text] : values) fp.set("value." + key, sha256_hex(text));
    std::string all = fp.text();
    if (run) {
        Fingerprint r = exact_fingerprint(plan, *run);
        for (const char* key : {"site", "period", "time_step", "steps", "sun_time"})
            if (const std::string* v = r.get(key)) all += std::string(key) + " = " + *v + "\n";
    }
    return sha256_hex(all);
}

std::string variant_path(const std::string& path, const std::string& key) {
    const size_t slash = path.find_last_of('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.find_last_of('.');
    // No extension: no dot in the name, or only leading dots before it (".hidden").
    if (dot == std::string::npos || dot < base || path.find_first_not_of('.', base) >= dot) dot = std::string::npos;
    const std::string stem = dot == std::string::npos ? path : path.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string(".csv") : path.substr(dot);
    return stem + "-" + key.substr(0, 12) + ext;
}

}  // namespace qm::shading
