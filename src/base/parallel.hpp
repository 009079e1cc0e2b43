// The library's one worker pool.
//
// parallel_for(n, grain, body) calls body(begin, end) over contiguous chunks
// of [0, n), each at least `grain` items long, on the pool's threads and the
// calling thread together, and returns once every chunk has run.  The pool
// starts on the first call that needs it; its size is the hardware
// concurrency, capped by LUMIVANDER_NUM_THREADS when that holds a positive
// integer (1 runs everything inline on the caller).
//
// Callers keep results independent of the thread count by never letting an
// accumulation cross a chunk boundary: chunk boundaries depend on the number
// of workers.
//
// - n <= grain, a pool of one, or a call from inside a chunk (nested use):
//   body(0, n) runs inline, with no synchronisation at all.
// - The first exception thrown by a chunk is rethrown in the caller once all
//   running chunks have finished; chunks not yet started are skipped.
// - Several threads may call parallel_for at once.
// - A child process forked while the pool runs starts its own pool lazily.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace lumi {

// Threads a parallel_for may use, the calling thread included (>= 1).
std::size_t worker_count();

namespace detail {

// A non-owning reference to a callable taking (begin, end).  Copies refer to
// the same callable (the constructor template never wraps a ChunkFn).
class ChunkFn {
public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::remove_cv_t<F>, ChunkFn>>>
    explicit ChunkFn(F& f) noexcept
        : obj_(const_cast<void*>(static_cast<const void*>(&f))),
          call_([](void* o, std::size_t b, std::size_t e) { (*static_cast<F*>(o))(b, e); }) {}
    void operator()(std::size_t b, std::size_t e) const { call_(obj_, b, e); }

private:
    void* obj_;
    void (*call_)(void*, std::size_t, std::size_t);
};

// True on a pool thread, or on a caller while it runs chunks.
bool in_parallel_region() noexcept;

void run_parallel(std::size_t n, std::size_t grain, ChunkFn body, std::size_t max_workers);

}  // namespace detail

// Whether parallel_for(n, grain, ...) would hand work to other threads; when
// false it runs the body inline.  Lets a caller skip preparations (such as
// releasing an interpreter lock) that only pay off for a split.
inline bool splits(std::size_t n, std::size_t grain, std::size_t max_workers = 0) {
    if (grain == 0) grain = 1;
    return n / grain >= 2 && max_workers != 1 && worker_count() > 1 && !detail::in_parallel_region();
}

template <class F>
void parallel_for(std::size_t n, std::size_t grain, F&& body, std::size_t max_workers = 0) {
    if (n == 0) return;
    if (!splits(n, grain, max_workers)) {
        body(std::size_t{0}, n);
        return;
    }
    auto& ref = body;
    detail::run_parallel(n, grain, detail::ChunkFn(ref), max_workers);
}

}  // namespace lumi
