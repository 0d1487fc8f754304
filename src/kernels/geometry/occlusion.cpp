#include "kernels/geometry/occlusion.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/geometry/occlusion_detail.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qm::geom {
using namespace detail;

namespace {

double pairwise(const double* a, size_t n) noexcept {
    if (n < 8) {
        double res = 0.0;
        for (size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise(a, n2) + pairwise(a + n2, n - n2);
}

}  // namespace

void detail::advise_huge_pages(const void* p, size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    const uintptr_t b = (a + kHuge - 1) & ~(kHuge - 1), e = (a + bytes) & ~(kHuge - 1);
    if (p && bytes >= 2 * kHuge && e > b) (void)::madvise(reinterpret_cast<void*>(b), e - b, MADV_HUGEPAGE);
#else
    (void)p, (void)bytes;
#endif
}

bool is_face_visible(const double n[3], const double d[3]) noexcept {
    return n[0] * d[0] + n[1] * d[1] + n[2] * d[2] > 0;
}

bool ray_triangle_intersection(const double o[3], const double d[3], const double* tri) noexcept {
    return ray_hits_triangle(o, d, tri);
}

void centroid(const double* tri, double g[3]) noexcept {
    for (int j = 0; j < 3; ++j) g[j] = (tri[j] + tri[3 + j] + tri[6 + j]) / 3.0;
}

double pairwise_sum(const double* x, size_t n) noexcept { return 0.0 + pairwise(x, n); }

void sun_direction(double altitude_deg, double azimuth_deg, double d[3]) noexcept {
    const double deg = 3.141592653589793 / 180.0;
    const double alt = altitude_deg * deg, az = azimuth_deg * deg;
    const double x = std::sin(az) * std::cos(alt);
    const double y = std::cos(az) * std::cos(alt);
    const double z = std::sin(alt);
    const double norm = std::sqrt(x * x + y * y + z * z);
    d[0] = x / norm;
    d[1] = y / norm;
    d[2] = z / norm;
}

bool Scene::occluded_brute(const double g[3], const double d[3], int64_t self) const {
    const size_t T = size();
    for (size_t k = 0; k < T; ++k) {
        if (static_cast<int64_t>(k) == self) continue;
        if (ray_triangle_intersection(g, d, tri(k))) return true;
    }
    return false;
}

}  // namespace qm::geom
