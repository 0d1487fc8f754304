#include "kernels/geometry/self_match.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/check.hpp"
#include "kernels/geometry/occlusion.hpp"

namespace qm::geom {
namespace {

// Lexicographic order of the nine coordinates.
int compare9(const double* a, const double* b) {
    for (int j = 0; j < 9; ++j) {
        if (a[j] < b[j]) return -1;
        if (b[j] < a[j]) return 1;
    }
    return 0;
}

}  // namespace

std::vector<int64_t> match_own_triangles(const double* model, size_t triangles, const double* faces, size_t n) {
    std::vector<uint32_t> order;
    order.reserve(triangles);
    for (size_t k = 0; k < triangles; ++k) {
        const double* t = model + 9 * k;
        bool has_nan = false;
        for (int j = 0; j < 9; ++j) has_nan = has_nan || t[j] != t[j];
        if (!has_nan) order.push_back(static_cast<uint32_t>(k));
    }
    // Equal triangles sort by index, so the first of them is found.
    std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
        int c = compare9(model + 9 * x, model + 9 * y);
        return c < 0 || (c == 0 && x < y);
    });
    std::vector<int64_t> self(n, -1);
    for (size_t f = 0; f < n; ++f) {
        const double* face = faces + 9 * f;
        auto it = std::lower_bound(order.begin(), order.end(), face,
                                   [&](uint32_t k, const double* key) { return compare9(model + 9 * k, key) < 0; });
        if (it == order.end()) continue;
        QM_DCHECK(*it < triangles);
        // Equal with ==: a face with a NaN coordinate matches nothing.
        const double* t = model + 9 * *it;
        bool equal = true;
        for (int j = 0; j < 9; ++j) equal = equal && t[j] == face[j];
        if (equal) self[f] = *it;
    }
    return self;
}

size_t normals_from_vertices(const double* faces, double* normals, size_t n) {
    size_t set = 0;
    for (size_t f = 0; f < n; ++f) {
        double* nrm = normals + 3 * f;
        if (nrm[0] != 0.0 || nrm[1] != 0.0 || nrm[2] != 0.0) continue;
        const double* v = faces + 9 * f;
        const double a[3] = {v[3] - v[0], v[4] - v[1], v[5] - v[2]}, b[3] = {v[6] - v[0], v[7] - v[1], v[8] - v[2]};
        const double c[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
        const double len = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
        if (!(len > 0.0) || !std::isfinite(len)) continue;
        for (int j = 0; j < 3; ++j) nrm[j] = c[j] / len;
        ++set;
    }
    return set;
}

double area_weighted_mean(const double* illum, const double* areas, size_t n) {
    // Small surfaces (a module's cells: one to a few faces each, millions of
    // calls) keep their products on the stack.
    double small[64];
    std::vector<double> large(n > 64 ? n : 0);
    double* prod = n > 64 ? large.data() : small;
    for (size_t i = 0; i < n; ++i) prod[i] = illum[i] * areas[i];
    const double total = pairwise_sum(areas, n);
    const double weighted = pairwise_sum(prod, n);
    return total > 0 ? weighted / total : 0.0;
}

}  // namespace qm::geom
