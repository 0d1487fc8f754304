#include "kernels/shading/sky_view.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>

#include "kernels/geometry/self_match.hpp"
#include "kernels/util/parallel.hpp"

namespace qm::shading {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kGolden = 0.61803398874989484820;

bool unit_normal(const double* n, double out[3]) {
    const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (!(len > 0.0) || !std::isfinite(len)) return false;
    for (int j = 0; j < 3; ++j) out[j] = n[j] / len;
    return true;
}

double tri_area(const double* t) {
    const double a[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]};
    const double b[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
    const double c[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    const double area = 0.5 * std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
    return std::isfinite(area) ? area : 0.0;
}

}  // namespace

std::vector<double> view_directions(const double n_in[3], size_t count) {
    std::vector<double> out;
    double n[3];
    if (!unit_normal(n_in, n) || count == 0) return out;
    double t1[3];
    const double h = std::sqrt(n[0] * n[0] + n[1] * n[1]);
    if (h > 1e-12) {
        t1[0] = -n[1] / h, t1[1] = n[0] / h, t1[2] = 0.0;  // up x n
    } else {
        t1[0] = 1.0, t1[1] = 0.0, t1[2] = 0.0;
    }
    const double t2[3] = {n[1] * t1[2] - n[2] * t1[1], n[2] * t1[0] - n[0] * t1[2], n[0] * t1[1] - n[1] * t1[0]};
    out.reserve(3 * count);
    for (size_t k = 0; k < count; ++k) {
        const double u = (double(k) + 0.5) / double(count);
        const double s = std::sqrt(u), c = std::sqrt(1.0 - u);
        double turn = kGolden * double(k);
        turn -= std::floor(turn);
        const double phi = 2.0 * kPi * turn;
        const double cp = std::cos(phi), sp = std::sin(phi);
        for (int j = 0; j < 3; ++j) out.push_back(s * (cp * t1[j] + sp * t2[j]) + c * n[j]);
    }
    return out;
}

std::vector<double> horizon_directions(size_t count, double band_deg) {
    std::vector<double> out;
    if (count == 0 || !(band_deg > 0.0 && band_deg < 90.0)) return out;
    out.reserve(3 * count);
    for (size_t k = 0; k < count; ++k) {
        const double phi = 2.0 * kPi * (double(k) + 0.5) / double(count);
        double lift = kGolden * (double(k) + 0.5);
        lift -= std::floor(lift);
        const double e = band_deg * kPi / 180.0 * lift;
        out.push_back(std::cos(e) * std::cos(phi));
        out.push_back(std::cos(e) * std::sin(phi));
        out.push_back(std::sin(e));
    }
    return out;
}

bool view_factors(const geom::Scene& scene, const geom::FaceSet& faces, ViewFactors& out,
                  const SkyViewOptions& options) {
    out = {};
    if (options.directions < 1 || options.directions > (size_t(1) << 20)) return false;
    if (options.horizon_directions > (size_t(1) << 20)) return false;
    const std::vector<double> band = horizon_directions(options.horizon_directions, options.horizon_band);
    if (options.horizon_directions > 0 && band.empty()) return false;
    const size_t per_band = band.size() / 3;
    const size_t nf = faces.size();
    const size_t per_face = options.directions;

    // Faces grouped by bit-equal normal (one direction set per group).
    struct Group {
        double normal[3];
        std::vector<size_t> faces;
        std::vector<double> origins;
        std::vector<int64_t> self;
        std::vector<double> dirs;
    };
    std::vector<Group> groups;
    {
        std::map<std::array<uint64_t, 3>, size_t> index;
        for (size_t f = 0; f < nf; ++f) {
            double n[3];
            if (!unit_normal(&faces.normals[3 * f], n)) continue;
            std::array<uint64_t, 3> key;
            std::memcpy(key.data(), &faces.normals[3 * f], sizeof key);
            auto [it, fresh] = index.emplace(key, groups.size());
            if (fresh) {
                groups.emplace_back();
                std::copy_n(n, 3, groups.back().normal);
            }
            Group& g = groups[it->second];
            g.faces.push_back(f);
            double c[3];
            geom::centroid(&faces.tris[9 * f], c);
            g.origins.insert(g.origins.end(), c, c + 3);
            g.self.push_back(faces.self[f]);
        }
    }
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (Group& g : groups) {
        g.dirs = view_directions(g.normal, options.directions);
        for (size_t i = 0; i < g.origins.size(); i += 3)
            for (int j = 0; j < 3; ++j)
                if (std::fabs(g.origins[i + j]) <= 1e30)
                    lo[j] = std::min(lo[j], g.origins[i + j]), hi[j] = std::max(hi[j], g.origins[i + j]);
    }
    for (int j = 0; j < 3; ++j)
        if (!(lo[j] <= hi[j])) lo[j] = hi[j] = 0.0;

    // Tasks: (group, block of directions). Counts are integers, so the sum
    // does not depend on which thread did what.
    constexpr size_t kBlock = 64;
    // Band tasks keep their weighted sums apart (partial), added in task
    // order at the end.
    struct Task {
        size_t group, first, count;
        bool band;
    };
    std::vector<Task> tasks;
    for (size_t g = 0; g < groups.size(); ++g) {
        for (size_t d = 0; d < per_face; d += kBlock) tasks.push_back({g, d, std::min(kBlock, per_face - d), false});
        for (size_t d = 0; d < per_band; d += kBlock) tasks.push_back({g, d, std::min(kBlock, per_band - d), true});
    }
    std::vector<std::vector<double>> partial(tasks.size());
    std::vector<std::atomic<uint32_t>> sky_count(nf), ground_count(nf);
    for (size_t f = 0; f < nf; ++f) sky_count[f] = 0, ground_count[f] = 0;

    util::ParallelOptions po;
    po.threads = options.threads;
    po.progress = options.progress;
    po.progress_seconds = options.progress_seconds;
    po.cancel = options.cancel;
    const bool complete = util::parallel_for(tasks.size(), 1, [&](size_t t0, size_t t1) {
        std::vector<unsigned char> hit;
        std::vector<uint32_t> sky, ground;
        for (size_t t = t0; t < t1; ++t) {
            const Task& task = tasks[t];
            const Group& g = groups[task.group];
            const size_t m = g.faces.size();
            hit.assign(m, 0);
            if (task.band) {
                std::vector<double>& sum = partial[t];
                sum.assign(m, 0.0);
                const double* n = g.normal;
                for (size_t k = task.first; k < task.first + task.count; ++k) {
                    const double* d = &band[3 * k];
                    const double h = std::hypot(d[0], d[1]);
                    const double w = (n[0] * d[0] + n[1] * d[1]) / h;  // n . h_k
                    if (!(w > 0.0) || !(n[0] * d[0] + n[1] * d[1] + n[2] * d[2] > 0.0)) continue;
                    scene.cast(g.origins.data(), g.self.data(), m, d, hit.data(), 1, lo, hi);
                    for (size_t i = 0; i < m; ++i) sum[i] += hit[i] ? 0.0 : w;
                }
                continue;
            }
            sky.assign(m, 0);
            ground.assign(m, 0);
            for (size_t k = task.first; k < task.first + task.count; ++k) {
                const double* d = &g.dirs[3 * k];
                if (d[2] == 0.0) continue;
                scene.cast(g.origins.data(), g.self.data(), m, d, hit.data(), 1, lo, hi);
                std::vector<uint32_t>& acc = d[2] > 0.0 ? sky : ground;
                for (size_t i = 0; i < m; ++i) acc[i] += hit[i] ? 0u : 1u;
            }
            for (size_t i = 0; i < m; ++i) {
                sky_count[g.faces[i]].fetch_add(sky[i], std::memory_order_relaxed);
                ground_count[g.faces[i]].fetch_add(ground[i], std::memory_order_relaxed);
            }
        }
    }, po);
    if (!complete) return false;

    std::vector<double> fsky(nf), fground(nf), fband(nf, 0.0), areas(nf);
    for (size_t t = 0; t < tasks.size(); ++t) {
        if (!tasks[t].band) continue;
        const Group& g = groups[tasks[t].group];
        for (size_t i = 0; i < g.faces.size(); ++i) fband[g.faces[i]] += partial[t][i];
    }
    for (size_t f = 0; f < nf; ++f) {
        fband[f] *= per_band ? kPi / double(per_band) : 0.0;
        fsky[f] = double(sky_count[f].load()) / double(per_face);
        fground[f] = double(ground_count[f].load()) / double(per_face);
        areas[f] = tri_area(&faces.tris[9 * f]);
    }
    const size_t ns = faces.first.size();
    out.sky.resize(ns);
    out.ground.resize(ns);
    if (per_band) out.horizon.resize(ns);
    for (size_t s = 0; s < ns; ++s) {
        const size_t a = faces.first[s], c = faces.count[s];
        out.sky[s] = geom::area_weighted_mean(fsky.data() + a, areas.data() + a, c);
        out.ground[s] = geom::area_weighted_mean(fground.data() + a, areas.data() + a, c);
        if (per_band) out.horizon[s] = geom::area_weighted_mean(fband.data() + a, areas.data() + a, c);
    }
    return true;
}

}  // namespace qm::shading
