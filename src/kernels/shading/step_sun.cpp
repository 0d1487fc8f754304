#include "kernels/shading/step_sun.hpp"

#include <array>
#include <cmath>

#include "kernels/time/calendar.hpp"

namespace qm::shading {

bool parse_sun_time(std::string_view text, SunTime& out) noexcept {
    if (text == "start") {
        out = SunTime::start;
        return true;
    }
    if (text == "middle") {
        out = SunTime::middle;
        return true;
    }
    return false;
}

const char* sun_time_name(SunTime t) noexcept { return t == SunTime::middle ? "middle" : "start"; }

double sun_offset(SunTime t) noexcept { return t == SunTime::middle ? kWeatherInterval / 2.0 : 0.0; }

std::vector<double> step_times(double begin_time, double time_step, size_t steps) {
    std::vector<double> out;
    out.reserve(steps);
    double t = begin_time;
    for (size_t k = 0; k < steps; ++k) {
        out.push_back(t);
        t += time_step;
    }
    return out;
}

size_t step_count(double span, double time_step) noexcept {
    if (!(time_step > 0.0) || !std::isfinite(time_step) || !(span > 0.0)) return 0;
    const double n = std::ceil(span / time_step - 1e-9);
    return n > 0 && n < 1e12 ? static_cast<size_t>(n) : 0;
}

solar::SpaError step_sun(double longitude, double latitude, double time_zone, int64_t start_year,
                         double clock_time, double offset, solar::SunPosition& out) noexcept {
    std::array<int64_t, 6> dt{};
    if (calendar::datetime_after(start_year, 1, 1, clock_time + offset, dt) != calendar::DateTimeError::none)
        return solar::SpaError::not_finite;
    const double fields[6] = {double(dt[0]), double(dt[1]), double(dt[2]), double(dt[3]), double(dt[4]), double(dt[5])};
    return solar::sun_position(longitude, latitude, time_zone, fields, out);
}

}  // namespace qm::shading
