#include "kernels/geometry/tiles.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qm::geom {

bool triangle_in_range(const double* tri) noexcept {
    for (int i = 0; i < 9; ++i)
        if (!(std::fabs(tri[i]) <= kMaxCoordinate)) return false;  // NaN fails too
    return true;
}

Extent xy_extent(const double* tris, size_t n) noexcept {
    Extent e;
    for (size_t k = 0; k < n; ++k) {
        const double* t = tris + 9 * k;
        if (!triangle_in_range(t)) continue;
        for (int v = 0; v < 3; ++v) {
            for (int a = 0; a < 2; ++a) {
                const double c = t[3 * v + a];
                if (e.empty) {
                    e.lo[a] = e.hi[a] = c;
                } else {
                    e.lo[a] = std::min(e.lo[a], c);
                    e.hi[a] = std::max(e.hi[a], c);
                }
            }
            e.empty = false;
        }
    }
    return e;
}

TileError margin_triangles(const double* tris, size_t n, const Extent& tile, double margin,
                           std::vector<uint32_t>& out) {
    out.clear();
    if (!(margin >= 0.0) || !std::isfinite(margin)) return TileError::bad_margin;
    if (tile.empty) return TileError::none;
    const double lo[2] = {tile.lo[0] - margin, tile.lo[1] - margin};
    const double hi[2] = {tile.hi[0] + margin, tile.hi[1] + margin};
    for (size_t k = 0; k < n; ++k) {
        const double* t = tris + 9 * k;
        if (!triangle_in_range(t)) continue;
        bool apart = false;
        for (int a = 0; a < 2 && !apart; ++a) {
            const double tlo = std::min({t[a], t[3 + a], t[6 + a]});
            const double thi = std::max({t[a], t[3 + a], t[6 + a]});
            apart = thi < lo[a] || tlo > hi[a];
        }
        if (!apart) out.push_back(static_cast<uint32_t>(k));
    }
    return TileError::none;
}

TileError shift_triangles(double* tris, size_t n, const double offset[3]) noexcept {
    for (int a = 0; a < 3; ++a)
        if (!(std::fabs(offset[a]) <= kMaxCoordinate)) return TileError::bad_offset;
    for (size_t i = 0; i < 9 * n; ++i) tris[i] += offset[i % 3];
    return TileError::none;
}

double extent_distance(const Extent& a, const Extent& b) noexcept {
    if (a.empty || b.empty) return std::numeric_limits<double>::infinity();
    const double dx = std::max({0.0, a.lo[0] - b.hi[0], b.lo[0] - a.hi[0]});
    const double dy = std::max({0.0, a.lo[1] - b.hi[1], b.lo[1] - a.hi[1]});
    return std::max(dx, dy);  // the margin is a square band, as margin_triangles tests it
}

}  // namespace qm::geom
