#include "kernels/shading/sun_track.hpp"

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
    const std::vector<double> times = step_times(run.begin_time, run.time_step, run.steps);
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

}  // namespace qm::shading
