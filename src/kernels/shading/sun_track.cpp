#include "kernels/shading/sun_track.hpp"

#include <cmath>
#include <cstring>
#include <unordered_map>

namespace qm::shading {

namespace {
struct Bits {
    uint64_t alt, az;
    bool operator==(const Bits&) const = default;
};
struct BitsHash {
    size_t operator()(const Bits& k) const noexcept {
        return std::hash<uint64_t>()(k.alt * 0x9E3779B97F4A7C15ull ^ k.az);
    }
};
uint64_t bits(double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}
}  // namespace

SunTrack sun_track(const SunRun& run) {
    SunTrack track;
    track.step_times = step_times(run.begin_time, run.time_step, run.steps);
    track.time_step = run.time_step;
    track.offset = sun_offset(run.sun_time);
    const std::vector<double>& times = track.step_times;
    track.position_of_step.assign(times.size(), -1);
    std::unordered_map<Bits, int64_t, BitsHash> seen;
    const double offset = sun_offset(run.sun_time);
    for (size_t k = 0; k < times.size(); ++k) {
        solar::SunPosition p;
        if (step_sun(run.longitude, run.latitude, run.time_zone, run.start_year, times[k], offset, p) !=
                solar::SpaError::none ||
            !(p.height > 0.0))
            continue;
        ++track.sunny_steps;
        auto [it, added] = seen.emplace(Bits{bits(p.height), bits(p.azimuth)}, int64_t(track.altitudes.size()));
        if (added) {
            track.altitudes.push_back(p.height);
            track.azimuths.push_back(p.azimuth);
        }
        track.position_of_step[k] = it->second;
    }
    return track;
}

int64_t SunTrack::step_at(double clock_time, double at_offset) const noexcept {
    if (step_times.empty() || bits(at_offset) != bits(offset) || !(time_step > 0.0)) return -1;
    const double k = std::round((clock_time - step_times[0]) / time_step);
    if (!(k >= 0.0) || k >= double(step_times.size()) + 1.0) return -1;
    // Repeated addition may put the step one off the quotient's rounding.
    for (double d : {0.0, -1.0, 1.0}) {
        const double j = k + d;
        if (j >= 0.0 && j < double(step_times.size()) && bits(step_times[size_t(j)]) == bits(clock_time))
            return int64_t(j);
    }
    return -1;
}

}  // namespace qm::shading
