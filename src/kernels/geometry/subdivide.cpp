#include "kernels/geometry/subdivide.hpp"

#include <algorithm>
#include <cmath>

namespace qm::geom {
namespace {

double edge(const double* a, const double* b) noexcept {
    const double x = b[0] - a[0], y = b[1] - a[1], z = b[2] - a[2];
    return std::sqrt(x * x + y * y + z * z);
}

}  // namespace

size_t subdivision_parts(const double* tri, double resolution, size_t max_parts) noexcept {
    if (!(resolution > 0.0) || !std::isfinite(resolution)) return 1;
    const double longest = std::max({edge(tri, tri + 3), edge(tri + 3, tri + 6), edge(tri + 6, tri)});
    if (!std::isfinite(longest) || !(longest > resolution)) return 1;
    const double n = std::ceil(longest / resolution);
    return n >= double(max_parts) ? max_parts : std::max<size_t>(1, static_cast<size_t>(n));
}

void subdivide_triangle(const double* tri, size_t n, std::vector<double>& out) {
    if (n <= 1) {
        out.insert(out.end(), tri, tri + 9);
        return;
    }
    const double* p0 = tri;
    const double* p1 = tri + 3;
    const double* p2 = tri + 6;
    // Lattice point (i, j), i + j <= n: p0 + i/n (p1 - p0) + j/n (p2 - p0).
    auto point = [&](size_t i, size_t j, double* q) {
        const double a = double(i) / double(n), b = double(j) / double(n);
        for (int k = 0; k < 3; ++k) q[k] = p0[k] + a * (p1[k] - p0[k]) + b * (p2[k] - p0[k]);
    };
    double a[3], b[3], c[3], d[3];
    for (size_t j = 0; j < n; ++j) {
        for (size_t i = 0; i + j < n; ++i) {
            // Upward triangle (i, j), (i+1, j), (i, j+1): same winding as the parent.
            point(i, j, a);
            point(i + 1, j, b);
            point(i, j + 1, c);
            out.insert(out.end(), a, a + 3);
            out.insert(out.end(), b, b + 3);
            out.insert(out.end(), c, c + 3);
            if (i + j + 1 < n) {
                // Downward triangle (i+1, j), (i+1, j+1), (i, j+1).
                point(i + 1, j + 1, d);
                out.insert(out.end(), b, b + 3);
                out.insert(out.end(), d, d + 3);
                out.insert(out.end(), c, c + 3);
            }
        }
    }
}

bool add_surface(FaceSet& set, const double* tris, const double* normals, const int64_t* self, size_t n,
                 double resolution, size_t max_faces) {
    size_t total = 0;
    std::vector<size_t> parts(n);
    for (size_t k = 0; k < n; ++k) {
        parts[k] = subdivision_parts(tris + 9 * k, resolution);
        total += parts[k] * parts[k];
        if (set.size() + total > max_faces) return false;
    }
    set.first.push_back(set.size());
    set.count.push_back(total);
    set.tris.reserve(set.tris.size() + 9 * total);
    for (size_t k = 0; k < n; ++k) {
        subdivide_triangle(tris + 9 * k, parts[k], set.tris);
        for (size_t s = 0; s < parts[k] * parts[k]; ++s) {
            set.normals.insert(set.normals.end(), normals + 3 * k, normals + 3 * k + 3);
            set.self.push_back(self ? self[k] : -1);
        }
    }
    return true;
}

}  // namespace qm::geom
