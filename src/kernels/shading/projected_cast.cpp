#include "kernels/shading/projected_cast.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

#include "kernels/geometry/self_match.hpp"
#include "kernels/geometry/stl_read.hpp"
#include "kernels/util/parallel.hpp"

namespace qm::shading {

namespace {

constexpr double kRange = 1e30;  // the tracer's bound on origins it walks with its tree

bool finite9(const double* t) {
    for (int j = 0; j < 9; ++j)
        if (!std::isfinite(t[j])) return false;
    return true;
}

// What one call shares between its positions.
struct Setup {
    const geom::Scene* scene = nullptr;
    const geom::FaceSet* faces = nullptr;
    std::vector<double> g;       // centroids, 3 per face
    std::vector<double> areas;   // per face
    std::vector<uint32_t> tris;  // candidate triangles (finite, not below every origin)
    std::vector<uint32_t> odd;   // triangles with non-finite coordinates: tested by every ray
    double scale = 0.0;          // M: largest coordinate of origins and candidates
    // The planes of the faces' own facets (up to 64): a triangle on or under
    // the plane of every origin of a facet cannot shade them while the sun
    // stands more than `rise` above that plane (its hit would lie less than
    // 1e-6 ahead: the coplanar facets of a roof, the ones under its eaves).
    struct Plane {
        double n[3];  // unit, on the side of the faces' normals
        double lo;    // lowest origin: min g . n
    };
    std::vector<Plane> planes;
    std::vector<int> group;       // per face: its facet's plane, or -1
    std::vector<uint64_t> under;  // per candidate (as in tris): planes it lies on or under
    double rise = INFINITY;       // least d . n for the planes' cut
};

// Scratch of one thread's positions.
struct Work {
    std::vector<uint32_t> cast;           // faces facing the sun
    std::vector<double> px, py;           // their projections
    std::vector<uint32_t> every;          // triangles tested by every ray
    std::vector<uint32_t> tri_id;         // binned triangles
    std::vector<int32_t> box;             // their cell ranges (4 each)
    std::vector<uint32_t> start, items, next;  // cell lists
    std::vector<double> illum;
    std::vector<uint64_t> under;      // per every-ray triangle: the planes it is cut by
    std::vector<uint64_t> bin_under;  // the same per binned triangle
};

void basis(const double d[3], double b1[3], double b2[3]) {
    // b1 = d x (the axis least along d), normalised; b2 = d x b1.
    int k = 0;
    for (int j = 1; j < 3; ++j)
        if (std::fabs(d[j]) < std::fabs(d[k])) k = j;
    double a[3] = {0.0, 0.0, 0.0};
    a[k] = 1.0;
    b1[0] = d[1] * a[2] - d[2] * a[1], b1[1] = d[2] * a[0] - d[0] * a[2], b1[2] = d[0] * a[1] - d[1] * a[0];
    const double l = std::sqrt(b1[0] * b1[0] + b1[1] * b1[1] + b1[2] * b1[2]);
    for (int j = 0; j < 3; ++j) b1[j] /= l;
    b2[0] = d[1] * b1[2] - d[2] * b1[1], b2[1] = d[2] * b1[0] - d[0] * b1[2], b2[2] = d[0] * b1[1] - d[1] * b1[0];
}

inline double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// geom::area_weighted_mean of each surface's faces.
void surface_means(const geom::FaceSet& faces, const std::vector<double>& areas, const std::vector<double>& illum,
                   double* out) {
    for (size_t sf = 0; sf < faces.first.size(); ++sf) {
        const size_t first = faces.first[sf];
        if (faces.count[sf] == 1) {  // geom::area_weighted_mean of one face, its sums spelled out
            const double area = 0.0 + (0.0 + areas[first]), lit = 0.0 + (0.0 + illum[first] * areas[first]);
            out[sf] = area > 0 ? lit / area : 0.0;
        } else {
            out[sf] = geom::area_weighted_mean(illum.data() + first, areas.data() + first, faces.count[sf]);
        }
    }
}

void cast_position(const Setup& s, const double d[3], double* out, Work& w, unsigned char* lit) {
    const geom::Scene& scene = *s.scene;
    const geom::FaceSet& faces = *s.faces;
    const size_t n = faces.size();
    double b1[3], b2[3];
    basis(d, b1, b2);
    // The faces towards the sun, projected.
    w.cast.resize(n), w.px.resize(n), w.py.resize(n);
    double x0 = INFINITY, x1 = -INFINITY, y0 = INFINITY, y1 = -INFINITY, depth = INFINITY;
    uint64_t present = 0;
    bool loose = false;  // a face without a plane
    size_t m = 0;
    for (size_t f = 0; f < n; ++f) {
        const double* nf = &faces.normals[3 * f];
        if (!(nf[0] * d[0] + nf[1] * d[1] + nf[2] * d[2] > 0)) continue;  // geom::is_face_visible
        const double* g = &s.g[3 * f];
        const double x = dot(g, b1), y = dot(g, b2);
        w.cast[m] = uint32_t(f), w.px[m] = x, w.py[m] = y, ++m;
        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
        depth = std::min(depth, dot(g, d));
        if (s.group[f] < 0) loose = true;
        else present |= uint64_t(1) << s.group[f];
    }
    uint64_t cut = 0;  // planes the sun stands high enough above
    for (size_t q = 0; q < s.planes.size(); ++q)
        if (dot(d, s.planes[q].n) >= s.rise) cut |= uint64_t(1) << q;
    const bool all_cut = !loose && (present & cut) == present;
    w.illum.assign(n, 0.0);
    if (m > 0) {
        // A grid of about two origins per cell over their projections.
        const double wx = x1 - x0, wy = y1 - y0;
        const double cells = std::max(1.0, double(m) / 2.0);
        int gx = 1, gy = 1;
        if (wx > 0.0 && wy > 0.0) {
            gx = int(std::clamp(std::sqrt(cells * wx / wy), 1.0, 512.0));
            gy = int(std::clamp(cells / gx, 1.0, 512.0));
        } else if (wx > 0.0) {
            gx = int(std::clamp(cells, 1.0, 4096.0));
        } else if (wy > 0.0) {
            gy = int(std::clamp(cells, 1.0, 4096.0));
        }
        const double ix = wx > 0.0 ? gx / wx : 0.0, iy = wy > 0.0 ? gy / wy : 0.0;
        auto cell_x = [&](double x) { return int(std::clamp(std::floor((x - x0) * ix), -1.0, double(gx))); };
        auto cell_y = [&](double y) { return int(std::clamp(std::floor((y - y0) * iy), -1.0, double(gy))); };
        const double mz = 1e-6 * (1.0 + s.scale);
        const size_t wide = std::max<size_t>(16, size_t(gx) * size_t(gy) / 4);
        w.every.assign(s.odd.begin(), s.odd.end());
        w.under.assign(s.odd.size(), 0);
        w.tri_id.clear(), w.bin_under.clear(), w.box.clear();
        w.start.assign(size_t(gx) * size_t(gy) + 1, 0);
        for (size_t ki = 0; ki < s.tris.size(); ++ki) {
            const uint32_t k = s.tris[ki];
            const uint64_t under = s.under[ki] & cut;
            if (all_cut && (under & present) == present) continue;  // under every lit origin's plane
            const double* t = scene.tri(k);
            // The exact test's determinant (never hit below 1e-6, independent of the origin).
            const double e1[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]};
            const double e2[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
            const double h[3] = {d[1] * e2[2] - d[2] * e2[1], d[2] * e2[0] - d[0] * e2[2], d[0] * e2[1] - d[1] * e2[0]};
            const double a = std::fabs(dot(e1, h));
            if (a < 0.5e-6) continue;
            if (std::max({dot(t, d), dot(t + 3, d), dot(t + 6, d)}) < depth - mz) continue;  // behind every origin
            double e = 0.0;
            for (int j = 0; j < 3; ++j) e = std::max({e, std::fabs(e1[j]), std::fabs(e2[j])});
            if (a < 1e-4 * e * e) {  // met obliquely: no bound on the test's rounding, every ray tests it
                w.every.push_back(k);
                w.under.push_back(0);
                continue;
            }
            const double margin = 1e-8 * (1.0 + s.scale + e);
            const double tx[3] = {dot(t, b1), dot(t + 3, b1), dot(t + 6, b1)};
            const double ty[3] = {dot(t, b2), dot(t + 3, b2), dot(t + 6, b2)};
            const double lx = std::min({tx[0], tx[1], tx[2]}) - margin, hx = std::max({tx[0], tx[1], tx[2]}) + margin;
            const double ly = std::min({ty[0], ty[1], ty[2]}) - margin, hy = std::max({ty[0], ty[1], ty[2]}) + margin;
            const int cx0 = std::max(0, cell_x(lx)), cx1 = std::min(gx - 1, cell_x(hx));
            const int cy0 = std::max(0, cell_y(ly)), cy1 = std::min(gy - 1, cell_y(hy));
            if (cx0 > cx1 || cy0 > cy1) continue;
            if (size_t(cx1 - cx0 + 1) * size_t(cy1 - cy0 + 1) > wide) {
                w.every.push_back(k);
                w.under.push_back(under);
                continue;
            }
            w.tri_id.push_back(k);
            w.bin_under.push_back(under);
            w.box.insert(w.box.end(), {cx0, cx1, cy0, cy1});
            for (int cy = cy0; cy <= cy1; ++cy)
                for (int cx = cx0; cx <= cx1; ++cx) ++w.start[size_t(cy) * size_t(gx) + size_t(cx) + 1];
        }
        for (size_t c = 1; c < w.start.size(); ++c) w.start[c] += w.start[c - 1];
        w.items.resize(w.start.back());
        w.next.assign(w.start.begin(), w.start.end() - 1);
        for (size_t i = 0; i < w.tri_id.size(); ++i) {
            const int* b = &w.box[4 * i];
            for (int cy = b[2]; cy <= b[3]; ++cy)
                for (int cx = b[0]; cx <= b[1]; ++cx) w.items[w.next[size_t(cy) * size_t(gx) + size_t(cx)]++] = uint32_t(i);
        }
        // Each ray: the exact test on the triangles its projection may lie in.
        for (size_t i = 0; i < m; ++i) {
            const uint32_t f = w.cast[i];
            const double* g = &s.g[3 * f];
            const int64_t self = faces.self[f];
            const uint64_t plane = s.group[f] < 0 ? 0 : uint64_t(1) << s.group[f];
            bool hit = false;
            for (size_t q = 0; q < w.every.size(); ++q) {
                const uint32_t k = w.every[q];
                if (int64_t(k) != self && !(w.under[q] & plane) && geom::ray_triangle_intersection(g, d, scene.tri(k))) {
                    hit = true;
                    break;
                }
            }
            if (!hit) {
                const int cx = std::clamp(cell_x(w.px[i]), 0, gx - 1), cy = std::clamp(cell_y(w.py[i]), 0, gy - 1);
                const size_t c = size_t(cy) * size_t(gx) + size_t(cx);
                for (uint32_t q = w.start[c]; q < w.start[c + 1]; ++q) {
                    const uint32_t i_bin = w.items[q], k = w.tri_id[i_bin];
                    if (int64_t(k) != self && !(w.bin_under[i_bin] & plane) &&
                        geom::ray_triangle_intersection(g, d, scene.tri(k))) {
                        hit = true;
                        break;
                    }
                }
            }
            if (!hit) {
                const double* nf = &faces.normals[3 * f];
                w.illum[f] = nf[0] * d[0] + nf[1] * d[1] + nf[2] * d[2];
                if (lit) lit[f / 8] |= static_cast<unsigned char>(1u << (f % 8));
            }
        }
    }
    surface_means(faces, s.areas, w.illum, out);
}

}  // namespace

void factors_from_lit(const geom::FaceSet& faces, const double* altitudes, const double* azimuths, size_t positions,
                      const unsigned char* lit, double* out) {
    const size_t n = faces.size(), row = (n + 7) / 8;
    std::vector<double> areas(n), illum(n);
    for (size_t f = 0; f < n; ++f) {
        const double* t = &faces.tris[9 * f];
        areas[f] = stl::triangle_area(t, t + 3, t + 6);
    }
    for (size_t p = 0; p < positions; ++p) {
        double d[3];
        geom::sun_direction(altitudes[p], azimuths[p], d);
        const unsigned char* bits = lit + p * row;
        for (size_t f = 0; f < n; ++f) {
            const double* nf = &faces.normals[3 * f];
            illum[f] = (bits[f / 8] >> (f % 8)) & 1u ? nf[0] * d[0] + nf[1] * d[1] + nf[2] * d[2] : 0.0;
        }
        surface_means(faces, areas, illum, out + p * faces.first.size());
    }
}

bool projected_factors(const geom::Scene& scene, const geom::FaceSet& faces, const double* altitudes,
                       const double* azimuths, size_t positions, double* out, const BatchOptions& options,
                       std::vector<unsigned char>* lit) {
    const size_t n = faces.size();
    Setup s;
    s.scene = &scene, s.faces = &faces;
    s.g.resize(3 * n), s.areas.resize(n);
    double lowest = INFINITY;
    bool in_range = true;
    for (size_t f = 0; f < n; ++f) {
        const double* t = &faces.tris[9 * f];
        s.areas[f] = stl::triangle_area(t, t + 3, t + 6);
        geom::centroid(t, &s.g[3 * f]);
        for (int j = 0; j < 3; ++j) {
            const double c = s.g[3 * f + j];
            in_range = in_range && std::fabs(c) <= kRange;  // false for NaN
            s.scale = std::max(s.scale, std::fabs(c));
        }
        lowest = std::min(lowest, s.g[3 * f + 2]);
    }
    // With the sun up a hit lies above its origin: triangles wholly below the lowest origin never shade.
    double top_scale = s.scale;  // M of the margins
    for (size_t k = 0; k < scene.size(); ++k) {
        const double* t = scene.tri(k);
        if (!finite9(t)) {
            s.odd.push_back(uint32_t(k));
            continue;
        }
        s.tris.push_back(uint32_t(k));
        for (int j = 0; j < 9; ++j) top_scale = std::max(top_scale, std::fabs(t[j]));
    }
    const double mz = 1e-6 * (1.0 + top_scale);
    size_t kept = 0;
    for (uint32_t k : s.tris) {
        const double* t = scene.tri(k);
        if (std::max({t[2], t[5], t[8]}) < lowest - mz) continue;
        s.tris[kept++] = k;
    }
    s.tris.resize(kept);
    s.scale = top_scale;
    // The faces' facets' planes. A triangle's hit from origin g at t > 1e-6 lies
    // at (q - g) . n = t (d . n) above g's plane; one whose vertices lie at most
    // `tol` above the plane of every origin (lo) cannot be hit once
    // (tol + delta) / (d . n) + delta < 1e-6, delta bounding the exact test's
    // rounding of t and of the hit point for the triangles it bins (met at
    // |a| >= 1e-4 E^2): below 1e-10 (1 + M).
    const double tol = 1e-10 * (1.0 + s.scale), delta = 1e-9 * (1.0 + s.scale);
    s.rise = 1e-6 > 2 * delta ? (tol + delta) / (1e-6 - delta) : INFINITY;
    s.group.assign(n, -1);
    std::vector<int64_t> facet_of;
    for (size_t f = 0; f < n; ++f) {
        const int64_t self = faces.self[f];
        if (self < 0 || uint64_t(self) >= scene.size() || !finite9(scene.tri(size_t(self)))) continue;
        size_t q = 0;
        while (q < facet_of.size() && facet_of[q] != self) ++q;
        if (q == facet_of.size()) {
            if (q == 64) continue;
            const double* t = scene.tri(size_t(self));
            const double e1[3] = {t[3] - t[0], t[4] - t[1], t[5] - t[2]}, e2[3] = {t[6] - t[0], t[7] - t[1], t[8] - t[2]};
            Setup::Plane pl{{e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]},
                            INFINITY};
            const double len = std::sqrt(dot(pl.n, pl.n));
            if (!(len > 0.0) || !std::isfinite(len)) continue;
            const double sign = dot(pl.n, &faces.normals[3 * f]) < 0.0 ? -1.0 : 1.0;
            for (double& x : pl.n) x *= sign / len;
            facet_of.push_back(self);
            s.planes.push_back(pl);
        }
        s.group[f] = int(q);
        s.planes[q].lo = std::min(s.planes[q].lo, dot(&s.g[3 * f], s.planes[q].n));
    }
    s.under.assign(s.tris.size(), 0);
    for (size_t ki = 0; ki < s.tris.size(); ++ki) {
        const double* t = scene.tri(s.tris[ki]);
        for (size_t q = 0; q < s.planes.size(); ++q) {
            const double* pn = s.planes[q].n;
            if (std::max({dot(t, pn), dot(t + 3, pn), dot(t + 6, pn)}) <= s.planes[q].lo + tol)
                s.under[ki] |= uint64_t(1) << q;
        }
    }
    const size_t row = (n + 7) / 8;
    if (lit) lit->assign(positions * row, 0);
    if (!in_range || scene.size() > size_t(UINT32_MAX) || s.tris.size() + s.odd.size() > 8 * n + 65536) {
        if (lit) lit->clear();
        return exact_factors(scene, faces, altitudes, azimuths, positions, out, options);
    }
    const size_t surfaces = faces.first.size();
    util::ParallelOptions po;
    po.threads = options.threads;
    po.progress = options.progress;
    po.progress_seconds = options.progress_seconds;
    po.cancel = options.cancel;
    std::atomic<bool> by_rays{false};
    const bool done = util::parallel_for(positions, 8, [&](size_t p0, size_t p1) {
        Work w;
        for (size_t p = p0; p < p1; ++p) {
            double d[3];
            geom::sun_direction(altitudes[p], azimuths[p], d);
            if (d[2] > 0.0 && std::isfinite(d[0]) && std::isfinite(d[1])) {
                cast_position(s, d, out + p * surfaces, w, lit ? lit->data() + p * row : nullptr);
            } else {
                factors_for_direction(scene, faces, d, out + p * surfaces, 1);
                by_rays = true;
            }
        }
    }, po);
    if (lit && (by_rays || !done)) lit->clear();
    return done;
}

}  // namespace qm::shading
