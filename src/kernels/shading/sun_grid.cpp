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

std::string make_grid(double azimuth_step, double altitude_step, SunGrid& out) {
    auto bad = [](double s, double range) { return !std::isfinite(s) || !(s > 0.0) || s > range; };
    if (bad(azimuth_step, 360.0)) return "方位角步长应为 0 到 360 度之间的正数";
    if (bad(altitude_step, 90.0)) return "高度角步长应为 0 到 90 度之间的正数";
    const double n_az = std::ceil(360.0 / azimuth_step) + 1, n_alt = std::ceil(90.0 / altitude_step) + 1;
    if (n_az * n_alt > double(kMaxGridPoints))
        return "网格点过多（" + std::to_string(static_cast<long long>(n_az * n_alt)) + " 个，最多 " +
               std::to_string(kMaxGridPoints) + " 个）：请增大步长";
    out.azimuths = axis_points(azimuth_step, 360.0);
    out.altitudes = axis_points(altitude_step, 90.0);
    return "";
}

std::string angle_text(double deg) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, deg + 0.0);  // -0 prints as 0
    return std::string(buf, r.ptr);
}

}  // namespace qm::shading
