// util/parallel: the one pool's partition, failure policy, progress and
// cancellation; every kernel that runs threads fails through it, never by
// ending the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/subdivide.hpp"
#include "kernels/shading/exact_factors.hpp"
#include "kernels/shading/sky_view.hpp"
#include "kernels/util/parallel.hpp"

namespace util = qm::util;
namespace geom = qm::geom;
namespace sh = qm::shading;

namespace {

// Clears the thread-start hook whatever a test leaves behind.
struct HookGuard {
    ~HookGuard() { util::testing::fail_thread_start_after(-1); }
};

using Ranges = std::vector<std::pair<size_t, size_t>>;

Ranges ranges_seen(size_t n, size_t grain, unsigned threads) {
    Ranges seen;
    std::mutex m;
    util::ParallelOptions o;
    o.threads = threads;
    EXPECT_TRUE(util::parallel_for(n, grain, [&](size_t b, size_t e) {
        std::lock_guard<std::mutex> lock(m);
        seen.emplace_back(b, e);
    }, o));
    std::sort(seen.begin(), seen.end());
    return seen;
}

// A box of 12 triangles over a floor of 2: enough for a tree and some shade.
std::vector<double> small_scene() {
    std::vector<double> t;
    auto quad = [&](std::initializer_list<double> a, std::initializer_list<double> b, std::initializer_list<double> c,
                    std::initializer_list<double> d) {
        for (auto p : {a, b, c, a, c, d}) t.insert(t.end(), p.begin(), p.end());
    };
    quad({-5, -5, 0}, {5, -5, 0}, {5, 5, 0}, {-5, 5, 0});
    quad({0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1});
    quad({0, 0, 0}, {1, 0, 0}, {1, 0, 1}, {0, 0, 1});
    return t;
}

}  // namespace

TEST(ParallelFor, ChunksDependOnlyOnSizeAndGrainAndCoverEveryItemOnce) {
    for (unsigned threads : {1u, 2u, 3u, 8u}) {
        const Ranges seen = ranges_seen(10, 3, threads);
        const Ranges expected = {{0, 3}, {3, 6}, {6, 9}, {9, 10}};
        EXPECT_EQ(seen, expected) << threads << " threads";
    }
    EXPECT_EQ(ranges_seen(6, 0, 2), (Ranges{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}}));  // grain 0 as 1
    bool called = false;
    EXPECT_TRUE(util::parallel_for(0, 4, [&](size_t, size_t) { called = true; }));
    EXPECT_FALSE(called);
    // Near-equal pieces, contiguous, covering [0, n).
    EXPECT_EQ(util::piece_begin(10, 3, 0), 0u);
    EXPECT_EQ(util::piece_begin(10, 3, 1), 3u);
    EXPECT_EQ(util::piece_begin(10, 3, 2), 6u);
    EXPECT_EQ(util::piece_begin(10, 3, 3), 10u);
    EXPECT_EQ(util::piece_begin(~size_t{0}, 2, 2), ~size_t{0});  // no overflow on huge ranges
}

TEST(ParallelFor, AWorkersExceptionIsTheCallsErrorLowestChunkFirst) {
    for (unsigned threads : {1u, 4u}) {
        util::ParallelOptions o;
        o.threads = threads;
        std::atomic<size_t> ran{0};
        try {
            util::parallel_for(64, 1, [&](size_t b, size_t) {
                ++ran;
                if (b == 5) throw std::invalid_argument("chunk 5");
                if (b == 40) throw std::out_of_range("chunk 40");
            }, o);
            FAIL() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "chunk 5");
        } catch (const std::out_of_range&) {
            // Chunk 40 may fail before chunk 5 is taken; then chunk 5 never runs.
            EXPECT_GT(threads, 1u);
        }
        EXPECT_LT(ran.load(), 64u + 1);
    }
    // With one thread the failure stops the loop at once.
    std::atomic<size_t> ran{0};
    util::ParallelOptions one;
    one.threads = 1;
    EXPECT_THROW(util::parallel_for(10, 1, [&](size_t b, size_t) {
        ++ran;
        if (b == 2) throw std::runtime_error("x");
    }, one), std::runtime_error);
    EXPECT_EQ(ran.load(), 3u);
}

TEST(ParallelFor, AThreadThatCannotStartIsTheCallsErrorAndTheStartedOnesAreJoined) {
    HookGuard guard;
    for (bool with_progress : {false, true}) {
        for (int after : {0, 1, 2}) {
            util::testing::fail_thread_start_after(after);
            util::ParallelOptions o;
            o.threads = 4;
            if (with_progress) o.progress = [](size_t, size_t) {};
            std::atomic<size_t> ran{0};
            EXPECT_THROW(util::parallel_for(1000, 1, [&](size_t, size_t) { ++ran; }, o), std::system_error)
                << "after " << after << (with_progress ? " with progress" : "");
            EXPECT_LE(ran.load(), 1000u);
        }
    }
    // The hook is spent: the next call runs normally on every thread.
    util::ParallelOptions o;
    o.threads = 4;
    std::atomic<size_t> sum{0};
    EXPECT_TRUE(util::parallel_for(100, 7, [&](size_t b, size_t e) {
        for (size_t i = b; i < e; ++i) sum += i;
    }, o));
    EXPECT_EQ(sum.load(), 4950u);
}

TEST(ParallelFor, ProgressRunsOnTheCallersThreadAndEndsWithTheTotal) {
    for (unsigned threads : {1u, 3u}) {
        const auto caller = std::this_thread::get_id();
        bool elsewhere = false;
        std::pair<size_t, size_t> last{0, 0};
        util::ParallelOptions o;
        o.threads = threads;
        o.progress_seconds = 0.001;
        o.progress = [&](size_t done, size_t total) {
            elsewhere = elsewhere || std::this_thread::get_id() != caller;
            EXPECT_LE(done, total);
            last = {done, total};
        };
        EXPECT_TRUE(util::parallel_for(50, 4, [&](size_t, size_t) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }, o));
        EXPECT_FALSE(elsewhere);
        EXPECT_EQ(last, (std::pair<size_t, size_t>{50, 50}));
    }
}

TEST(ParallelFor, CancellationStopsBeforeTheNextChunkAndReturnsFalse) {
    for (unsigned threads : {1u, 4u}) {
        std::atomic<bool> stop{false};
        std::atomic<size_t> ran{0};
        util::ParallelOptions o;
        o.threads = threads;
        o.cancel = &stop;
        EXPECT_FALSE(util::parallel_for(10000, 1, [&](size_t, size_t) {
            if (++ran == 10) stop = true;
        }, o));
        EXPECT_LT(ran.load(), 10000u);
        // Set before the call: nothing runs.
        ran = 0;
        EXPECT_FALSE(util::parallel_for(10, 1, [&](size_t, size_t) { ++ran; }, o));
        EXPECT_EQ(ran.load(), 0u);
    }
}

TEST(ParallelFor, KernelsThatRunThreadsFailWithTheCallNotTheProcess) {
    HookGuard guard;
    const std::vector<double> tris = small_scene();
    geom::Scene scene(tris, 1);
    geom::FaceSet set;
    std::vector<double> normals(3 * 2, 0.0);
    normals[2] = normals[5] = 1.0;
    const std::vector<int64_t> self = {0, 1};
    ASSERT_TRUE(geom::add_surface(set, tris.data(), normals.data(), self.data(), 2, 0.0, 1000000));

    // Batch exact factors: four positions on four threads, one of which cannot start.
    const double alt[4] = {30, 40, 50, 60}, az[4] = {90, 180, 200, 270};
    std::vector<double> out(4);
    sh::BatchOptions b;
    b.threads = 4;
    util::testing::fail_thread_start_after(1);
    EXPECT_THROW(sh::exact_factors(scene, set, alt, az, 4, out.data(), b), std::system_error);
    std::vector<double> again(4), one(4);
    ASSERT_TRUE(sh::exact_factors(scene, set, alt, az, 4, again.data(), b));
    b.threads = 1;
    ASSERT_TRUE(sh::exact_factors(scene, set, alt, az, 4, one.data(), b));
    EXPECT_EQ(again, one);

    // Sky views: the same policy (a guarded start there used to end the process).
    sh::SkyViewOptions v;
    v.threads = 4;
    v.directions = 1024;
    sh::ViewFactors views;
    util::testing::fail_thread_start_after(0);
    EXPECT_THROW(sh::view_factors(scene, set, views, v), std::system_error);
    ASSERT_TRUE(sh::view_factors(scene, set, views, v));
    EXPECT_EQ(views.sky.size(), 1u);

    // A cast over many rays on several threads.
    std::vector<double> origins(3 * 4096);
    for (size_t i = 0; i < 4096; ++i) origins[3 * i] = 0.5, origins[3 * i + 1] = 0.5, origins[3 * i + 2] = 0.5;
    std::vector<unsigned char> hit(4096);
    const double up[3] = {0, 0, 1};
    util::testing::fail_thread_start_after(0);
    EXPECT_THROW(scene.cast(origins.data(), nullptr, 4096, up, hit.data(), 4), std::system_error);
    scene.cast(origins.data(), nullptr, 4096, up, hit.data(), 4);
    EXPECT_EQ(std::count(hit.begin(), hit.end(), 1), 4096);  // under the lid
}
