#include "kernels/geometry/model.hpp"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kernels/geometry/occlusion_detail.hpp"

namespace qm::geom {

namespace {
// Facets (12 numbers each: normal, three vertices) with a vertex coordinate
// beyond ±kMaxTracedCoordinate, counted under the solid's name.
void count_far_facets(const stl::SolidData& s, Model& m) {
    size_t far = 0;
    const double* v = s.values.data();
    for (size_t k = 0; k < s.shapes.size(); ++k, v += 12)
        far += std::any_of(v + 3, v + 12, [](double x) { return std::isfinite(x) && std::fabs(x) > kMaxTracedCoordinate; });
    if (far) m.far_facets.emplace_back(s.name, far);
}
}  // namespace

std::shared_ptr<const Model> make_model(const stl::Solids& solids, unsigned threads, const double* origin) {
    auto m = std::make_shared<Model>();
    if (origin) std::copy_n(origin, 3, m->origin);
    const size_t T = solids.facet_count();
    std::vector<double> tris;
    detail::reserve_huge(tris, 9 * T);
    detail::reserve_huge(m->normals, 3 * T);
    for (const auto& s : solids.solids) {
        m->names.push_back(s.name);
        m->first.push_back(m->normals.size() / 3);
        m->count.push_back(s.shapes.size());
        if (!s.regular && !m->irregular) {
            size_t k = 0;
            while (k < s.shapes.size()) {
                const auto& sh = s.shapes[k];
                if (sh.normal_n != 3 || sh.nverts != 3 || sh.vert_n[0] != 3 || sh.vert_n[1] != 3 ||
                    sh.vert_n[2] != 3)
                    break;
                ++k;
            }
            m->irregular = true;
            m->irregular_solid = s.name;
            m->irregular_facet = k;
        }
        if (m->irregular) continue;
        count_far_facets(s, *m);
        const double* v = s.values.data();
        const size_t n0 = m->normals.size(), t0 = tris.size(), ns = s.shapes.size();
        m->normals.resize(n0 + 3 * ns);
        tris.resize(t0 + 9 * ns);
        double* nd = m->normals.data() + n0;
        double* td = tris.data() + t0;
        size_t kept = 0;
        for (size_t k = 0; k < ns; ++k, v += 12) {
            // A facet with a non-finite vertex has no place in space: left out (it would
            // otherwise poison the surface's bounds and every ray near it).
            if (!std::all_of(v + 3, v + 12, [](double x) { return std::isfinite(x); })) {
                ++m->non_finite_facets;
                continue;
            }
            std::copy_n(v, 3, nd);
            std::copy_n(v + 3, 9, td);
            // A non-finite normal is taken from the vertices (right-hand rule), as a finite one would be.
            if (!std::isfinite(nd[0]) || !std::isfinite(nd[1]) || !std::isfinite(nd[2])) {
                const double ax = td[3] - td[0], ay = td[4] - td[1], az = td[5] - td[2];
                const double bx = td[6] - td[0], by = td[7] - td[1], bz = td[8] - td[2];
                double n[3] = {ay * bz - az * by, az * bx - ax * bz, ax * by - ay * bx};
                const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
                for (int j = 0; j < 3; ++j) nd[j] = len > 0 && std::isfinite(len) ? n[j] / len : 0.0;
                ++m->non_finite_normals;
            }
            nd += 3;
            td += 9;
            ++kept;
        }
        m->normals.resize(n0 + 3 * kept);
        tris.resize(t0 + 9 * kept);
        m->count.back() = kept;
    }
    // Triangles of solids replaced by a later one of the same name: no surface
    // of their own, but part of the scene, so they still cast shade.
    for (const auto& s : solids.replaced) {
        if (m->irregular || !s.regular) continue;
        count_far_facets(s, *m);
        const double* v = s.values.data();
        for (size_t k = 0; k < s.shapes.size(); ++k, v += 12) {
            if (!std::all_of(v, v + 12, [](double x) { return std::isfinite(x); })) continue;
            m->normals.insert(m->normals.end(), v, v + 3);
            tris.insert(tris.end(), v + 3, v + 12);
            ++m->shade_only;
        }
    }
    if (!m->irregular) m->scene = std::make_unique<Scene>(std::move(tris), threads);
    return m;
}

ModelCache::Hit ModelCache::find(const FileKey& key, const std::string& variant) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].key == key && entries_[i].variant == variant) {
            Entry hit = entries_[i];
            entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
            entries_.push_back(hit);
            return {hit.model, hit.verify, hit.hash};
        }
    }
    return {};
}

void ModelCache::put(const FileKey& key, std::shared_ptr<const Model> model, uint64_t hash, int64_t now_ns,
                     const std::string& variant) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A path holds one model per variant at a time: an older version of the file is dropped.
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [&](const Entry& e) { return e.key.path == key.path && e.variant == variant; }),
                   entries_.end());
    const bool recent = now_ns - key.ctime_ns < kRecentNs || now_ns - key.mtime_ns < kRecentNs;
    entries_.push_back({key, variant, std::move(model), hash, recent});
    while (entries_.size() > capacity_) entries_.erase(entries_.begin());
}

void ModelCache::confirm(const FileKey& key, int64_t now_ns, const std::string& variant) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Entry& e : entries_)
        if (e.key == key && e.variant == variant) e.verify = now_ns - key.ctime_ns < kRecentNs || now_ns - key.mtime_ns < kRecentNs;
}

void ModelCache::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

uint64_t content_hash(std::string_view text) noexcept {
    // Four independent lanes of multiply-rotate mixing, then a final avalanche.
    constexpr uint64_t k1 = 0x9E3779B185EBCA87ULL, k2 = 0xC2B2AE3D27D4EB4FULL;
    uint64_t h[4] = {k1, k2, k1 ^ k2, ~k1};
    const char* p = text.data();
    size_t n = text.size();
    auto mix = [](uint64_t acc, uint64_t w) {
        acc += w * 0xC2B2AE3D27D4EB4FULL;
        acc = (acc << 31) | (acc >> 33);
        return acc * 0x9E3779B185EBCA87ULL;
    };
    while (n >= 32) {
        for (int k = 0; k < 4; ++k) {
            uint64_t w;
            std::memcpy(&w, p + 8 * k, 8);
            h[k] = mix(h[k], w);
        }
        p += 32;
        n -= 32;
    }
    uint64_t r = text.size() * k1 ^ h[0] ^ (h[1] << 1 | h[1] >> 63) ^ (h[2] << 7 | h[2] >> 57) ^
                 (h[3] << 12 | h[3] >> 52);
    while (n >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        r = mix(r, w);
        p += 8;
        n -= 8;
    }
    uint64_t tail = 0;
    if (n) std::memcpy(&tail, p, n);  // p may be null for an empty text
    r = mix(r, tail ^ (uint64_t(n) << 56));
    r ^= r >> 33;
    r *= 0xFF51AFD7ED558CCDULL;
    r ^= r >> 33;
    return r;
}

int64_t wall_clock_ns() noexcept {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace qm::geom
