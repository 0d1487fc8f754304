#include "kernels/shading/sun_grid.hpp"

#include <charconv>
#include <cmath>

namespace qm::shading {

SunGrid specified_grid() {
    SunGrid g;
    for (int az = 0; az <= 360; az += 45) g.azimuths.push_back(az);
    for (int alt = 0; alt <= 75; alt += 15) g.altitudes.push_back(alt);
    return g;
}

std::vector<double> axis_points(double step, double end) {
    std::vector<double> out;
    // k * step (not repeated addition), so 5 deg steps give exact multiples.
    for (size_t k = 0;; ++k) {
        const double v = double(k) * step;
        // A point within a millionth of a step of the end is the end itself.
        if (v >= end - step * 1e-6) break;
        out.push_back(v);
    }
    out.push_back(end);
    return out;
}

const char* grid_error_text(GridError e) noexcept {
    switch (e) {
        case GridError::none: return "";
        case GridError::azimuth_step: return "azimuth step must be positive and at most 360 deg";
        case GridError::altitude_step: return "altitude step must be positive and at most 90 deg";
        case GridError::too_many_points: return "too many grid points";
    }
    return "unknown";
}

GridError grid_for_steps(double azimuth_step, double altitude_step, SunGrid& out, size_t* points) {
    auto bad = [](double s, double range) { return !std::isfinite(s) || !(s > 0.0) || s > range; };
    if (bad(azimuth_step, 360.0)) return GridError::azimuth_step;
    if (bad(altitude_step, 90.0)) return GridError::altitude_step;
    const double n_az = std::ceil(360.0 / azimuth_step) + 1, n_alt = std::ceil(90.0 / altitude_step) + 1;
    if (points) *points = static_cast<size_t>(n_az * n_alt);
    if (n_az * n_alt > double(kMaxGridPoints)) return GridError::too_many_points;
    out.azimuths = axis_points(azimuth_step, 360.0);
    out.altitudes = axis_points(altitude_step, 90.0);
    return GridError::none;
}

std::string make_grid(double azimuth_step, double altitude_step, SunGrid& out) {
    return grid_error_text(grid_for_steps(azimuth_step, altitude_step, out));
}

std::string angle_text(double deg) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, deg + 0.0);  // -0 prints as 0
    return std::string(buf, r.ptr);
}

}  // namespace qm::shading
