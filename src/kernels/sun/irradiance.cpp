#include "kernels/sun/irradiance.hpp"

#include <algorithm>
#include <cmath>

namespace qm::irradiance {

double cos_tilt(double nx, double ny, double nz) noexcept {
    // hypot avoids overflow for huge components and underflow for tiny ones.
    const double norm = std::hypot(nx, ny, nz);
    if (norm == 0.0) return 1.0;
    return std::clamp(nz / norm, -1.0, 1.0);
}

IrradianceError sky_diffuse_and_ground_reflection(double nx, double ny, double nz, double diffuse,
                                                  double ground_reflect, SkyAndGround& out) noexcept {
    if (!std::isfinite(nx) || !std::isfinite(ny) || !std::isfinite(nz) || !std::isfinite(diffuse) ||
        !std::isfinite(ground_reflect))
        return IrradianceError::not_finite;
    const double c = cos_tilt(nx, ny, nz);
    out.sky = diffuse * (1.0 + c) / 2.0;
    out.ground = ground_reflect * diffuse * (1.0 - c) / 2.0;
    return IrradianceError::none;
}

}  // namespace qm::irradiance
