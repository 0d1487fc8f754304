// Cost of the solar position kernel per call, and its agreement with the
// published worked example (17 Oct 2003 12:30:30, zone -7, Golden CO).
//
//   cmake -S . -B build/bench -G Ninja -DQUILLMERE_BUILD_BENCHMARKS=ON -DQUILLMERE_BUILD_PYTHON=OFF
//   cmake --build build/bench && build/bench/bench_solar
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "kernels/sun/spa.hpp"

// CPU time of this thread: the figure that does not depend on how busy the machine is.
struct cpu_clock {
    using time_point = std::chrono::nanoseconds;
    static time_point now() {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return std::chrono::nanoseconds(int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec);
    }
};

int main() {
    using clock = cpu_clock;
    qm::solar::SpaInput in;
    in.year = 2003, in.month = 10, in.day = 17, in.hour = 12, in.minute = 30, in.second = 30;
    in.timezone = -7, in.delta_t = 67, in.longitude = -105.1786, in.latitude = 39.742476;
    in.elevation = 1830.14, in.pressure = 820, in.temperature = 11, in.atmos_refract = 0.5667;
    qm::solar::SpaResult r;
    qm::solar::spa_calculate(in, r);
    std::printf("example: zenith %.6f (published 50.11162, diff %.1e), azimuth %.6f (published 194.34024, diff %.1e)\n",
                r.zenith, std::fabs(r.zenith - 50.11162), r.azimuth, std::fabs(r.azimuth - 194.34024));

    // A year of hourly instants: every call is a new instant (full algorithm).
    const int n = 8760;
    double sink = 0;
    auto t0 = clock::now();
    for (int rep = 0; rep < 3; ++rep)
        for (int h = 0; h < n; ++h) {
            const double dt[6] = {2021, 1.0 + (h / 730), 1.0 + (h / 24) % 28, double(h % 24), 0, 0};
            qm::solar::SunPosition p;
            qm::solar::sun_position(4.9, 52.3, 1, dt, p);
            sink += p.height;
        }
    auto t1 = clock::now();
    const double fresh = double((t1 - t0).count()) / (3.0 * n);
    // Several panels asking for the same instant in turn: the instant's part is reused.
    t0 = clock::now();
    for (int h = 0; h < n; ++h) {
        const double dt[6] = {2021, 6, 21, 12, 0, 0};
        qm::solar::SunPosition p;
        qm::solar::sun_position(4.9 + 1e-3 * (h % 7), 52.3, 1, dt, p);
        sink += p.azimuth;
    }
    t1 = clock::now();
    const double same = double((t1 - t0).count()) / n;
    std::printf("kernel (thread CPU time): %.0f ns per call (new instant), %.0f ns per call (same instant, other site)  [%g]\n", fresh,
                same, sink > 0 ? 1.0 : 0.0);
    return 0;
}
