#include "kernels/shading/exact_factors.hpp"

#include "kernels/geometry/self_match.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace qm::shading {

void factors_for_direction(const geom::Scene& scene, const geom::FaceSet& faces, const double d[3], double* out,
                           unsigned threads) {
    const size_t n = faces.size();
    std::vector<double> illum(n), areas(n);
    scene.scan(faces.tris.data(), faces.normals.data(), faces.self.data(), n, d, illum.data(), areas.data(), threads);
    for (size_t s = 0; s < faces.first.size(); ++s)
        out[s] = geom::area_weighted_mean(illum.data() + faces.first[s], areas.data() + faces.first[s], faces.count[s]);
}

bool exact_factors(const geom::Scene& scene, const geom::FaceSet& faces, const double* altitudes,
                   const double* azimuths, size_t positions, double* out, const BatchOptions& options) {
    const size_t surfaces = faces.first.size();
    unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned>(std::min<size_t>(threads, std::max<size_t>(1, positions)));
    std::atomic<size_t> next{0}, done{0};
    std::mutex mutex;
    std::condition_variable finished;
    unsigned running = 0;
    auto cancelled = [&] { return options.cancel && options.cancel->load(std::memory_order_relaxed); };
    auto work = [&] {
        for (size_t p; !cancelled() && (p = next.fetch_add(1)) < positions;) {
            double d[3];
            geom::sun_direction(altitudes[p], azimuths[p], d);
            factors_for_direction(scene, faces, d, out + p * surfaces, 1);
            done.fetch_add(1, std::memory_order_relaxed);
        }
    };
    auto worker = [&] {
        work();
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        finished.notify_all();
    };
    std::vector<std::thread> pool;
    for (unsigned k = 0; k < threads; ++k) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++running;
        }
        try {
            pool.emplace_back(worker);
        } catch (const std::system_error&) {
            std::lock_guard<std::mutex> lock(mutex);
            --running;
            break;
        }
    }
    if (pool.empty()) work();  // no thread could start: all positions here
    const auto period = std::chrono::duration<double>(options.progress_seconds);
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (running > 0) {
            finished.wait_for(lock, period);
            if (running > 0 && options.progress) {
                lock.unlock();
                options.progress(done.load(), positions);
                lock.lock();
            }
        }
    }
    for (auto& t : pool) t.join();
    if (options.progress) options.progress(done.load(), positions);
    return !cancelled() || done.load() == positions;
}

}  // namespace qm::shading
