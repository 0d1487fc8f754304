// The one thread pool of the code base: parallel_for over [0, n).
//
// Partition: [0, n) is cut into chunks of `grain` items, chunk c being
// [c * grain, min(n, (c + 1) * grain)); the cut depends only on n and grain,
// never on the thread count or timing. Chunks are handed out in order to
// whichever thread asks next, so a body that writes only its own chunk's
// results gives the same answer for any thread count.
//
// Threads: up to `threads` (0: hardware concurrency), never more than there
// are chunks. Without a progress callback the calling thread works as one of
// them; with one it waits and reports (done items, n) about every
// `progress_seconds` and once at the end, so the callback always runs on the
// caller's thread (it may take the interpreter's lock or set `cancel`).
//
// Failure policy (one for every caller): when a body throws, no further chunk
// is started, every thread is joined, and the exception of the lowest failed
// chunk is rethrown to the caller. When a thread cannot be started, no further
// chunk is started, the threads that did start are joined, and the
// std::system_error is rethrown: the call fails, the process never ends in
// std::terminate.
//
// Cancellation: `cancel` is read before every chunk; once it is set no chunk
// starts and the call returns false (true when every chunk ran).
#pragma once
#include <atomic>
#include <cstddef>
#include <functional>

namespace qm::util {

struct ParallelOptions {
    unsigned threads = 0;  // 0: hardware concurrency
    std::function<void(size_t done, size_t total)> progress;  // may be empty
    double progress_seconds = 0.25;
    const std::atomic<bool>* cancel = nullptr;  // set (from any thread) to stop early
};

// Threads for a request: `threads`, or the hardware concurrency for 0 (at least 1).
unsigned resolve_threads(unsigned threads) noexcept;

// Runs body(begin, end) for every chunk of [0, n). Returns false when cancelled.
bool parallel_for(size_t n, size_t grain, const std::function<void(size_t begin, size_t end)>& body,
                  const ParallelOptions& options = {});

// Piece p of [0, n) cut into `pieces` near-equal contiguous pieces: [first, last).
inline size_t piece_begin(size_t n, size_t pieces, size_t p) noexcept {
    return static_cast<size_t>((static_cast<unsigned __int128>(n) * p) / pieces);
}

namespace testing {
// Test hook: after `starts` more successful thread starts, the next start
// fails as the system would (std::system_error, resource unavailable); once.
// A negative value clears it.
void fail_thread_start_after(int starts) noexcept;
}  // namespace testing

}  // namespace qm::util
