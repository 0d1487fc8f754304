#include "kernels/util/parallel.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace qm::util {

namespace {

std::atomic<int> g_fail_after{-1};

std::thread start_thread(const std::function<void()>& run) {
    int left = g_fail_after.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (g_fail_after.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            if (left == 0) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                                   "thread start (injected)");
            break;
        }
    }
    return std::thread(run);
}

}  // namespace

namespace testing {
void fail_thread_start_after(int starts) noexcept { g_fail_after.store(starts < 0 ? -1 : starts); }
}  // namespace testing

unsigned resolve_threads(unsigned threads) noexcept {
    return threads ? threads : std::max(1u, std::thread::hardware_concurrency());
}

bool parallel_for(size_t n, size_t grain, const std::function<void(size_t, size_t)>& body,
                  const ParallelOptions& options) {
    if (grain == 0) grain = 1;
    const size_t chunks = n / grain + (n % grain != 0);
    auto cancelled = [&] { return options.cancel && options.cancel->load(std::memory_order_relaxed); };
    std::atomic<size_t> next{0}, done{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    size_t failed_chunk = chunks;
    std::exception_ptr failure;
    unsigned running = 0;

    // Takes chunks until none is left, the call is cancelled or a body failed.
    auto work = [&] {
        for (size_t c; !stop.load(std::memory_order_relaxed) && !cancelled() && (c = next.fetch_add(1)) < chunks;) {
            const size_t begin = c * grain, end = std::min(n, begin + grain);
            try {
                body(begin, end);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (c < failed_chunk) failed_chunk = c, failure = std::current_exception();
                stop.store(true, std::memory_order_relaxed);
            }
            done.fetch_add(end - begin, std::memory_order_relaxed);
        }
    };
    const size_t threads = std::min<size_t>(resolve_threads(options.threads), chunks);
    const bool reports = static_cast<bool>(options.progress);
    const auto period = std::chrono::duration<double>(options.progress_seconds);

    if (threads <= 1) {
        // One thread: the caller runs every chunk, reporting between chunks.
        auto last = std::chrono::steady_clock::now();
        for (size_t c = 0; c < chunks && !cancelled() && !failure; ++c) {
            const size_t begin = c * grain, end = std::min(n, begin + grain);
            try {
                body(begin, end);
            } catch (...) {
                failure = std::current_exception();
            }
            done.fetch_add(end - begin, std::memory_order_relaxed);
            if (reports && std::chrono::steady_clock::now() - last >= period) {
                options.progress(done.load(), n);
                last = std::chrono::steady_clock::now();
            }
        }
        if (failure) std::rethrow_exception(failure);
        if (reports) options.progress(done.load(), n);
        return done.load() == n;
    }

    const std::function<void()> worker = [&] {
        work();
        std::lock_guard<std::mutex> lock(mutex);
        --running;
        finished.notify_all();
    };
    std::vector<std::thread> pool;
    pool.reserve(threads);
    std::exception_ptr start_failure;
    for (size_t k = reports ? 0 : 1; k < threads; ++k) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++running;
        }
        try {
            pool.push_back(start_thread(worker));
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex);
            --running;
            start_failure = std::current_exception();
            stop.store(true, std::memory_order_relaxed);
            break;
        }
    }
    if (!reports) {
        work();  // the caller is one of the workers
    } else {
        std::unique_lock<std::mutex> lock(mutex);
        while (running > 0) {
            finished.wait_for(lock, period);
            if (running > 0) {
                lock.unlock();
                options.progress(done.load(), n);
                lock.lock();
            }
        }
    }
    for (std::thread& t : pool) t.join();
    if (start_failure) std::rethrow_exception(start_failure);
    if (failure) std::rethrow_exception(failure);
    if (reports) options.progress(done.load(), n);
    return done.load() == n;
}

}  // namespace qm::util
