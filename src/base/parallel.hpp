// The library's one worker pool.
//
// parallel_for(n, grain, body) calls body(begin, end) over contiguous chunks
// of [0, n), each at least `grain` items long (the last may be shorter), on
// the pool's threads and the calling thread together, and returns once every
// chunk has run.  The pool starts on the first call that needs it; its size
// is the hardware concurrency, capped by LUMIVANDER_NUM_THREADS when that
// holds a positive integer (1 runs everything on the caller).
//
// Chunks are claimed one at a time by whichever thread is free, the caller
// included, so a thread slowed down by other processes simply takes fewer.
// Each thread sizes its chunks from how long its last one took (a few
// milliseconds each), and near the end of a call chunks shrink to a share of
// what is left, so that the threads finish together.  Chunk boundaries
// therefore depend on timing and on the number of workers: callers keep
// results independent of them by never letting an accumulation cross a
// chunk boundary.  Idle pool threads look for the next job for about a
// millisecond (giving their core away between looks) before they sleep, and
// a caller waiting for the last chunks spins for a few tens of microseconds,
// so that calls in quick succession do not pay for a wake-up each.  A helper
// that starts a job on its caller's core moves to another one.  A job of
// only a few pieces is shared only with a helper that was looking for work
// just then: one held up by another process would keep the caller waiting
// for its piece.
//
// - n < 2 * grain, a pool of one, max_workers == 1, or a call from inside a
//   chunk (nested use): the caller runs everything itself, in one call of
//   body when the call cannot be cancelled, otherwise in chunks, so that it
//   can stop between them.
// - Between chunks every thread calls check_cancel(): a cancelled call stops
//   claiming chunks and parallel_for throws Cancelled once the chunks in
//   progress have finished.  While waiting for other threads the caller keeps
//   polling.
// - The first exception thrown by a chunk is rethrown in the caller once all
//   running chunks have finished; chunks not yet started are skipped.
// - Several threads may call parallel_for at once.
// - A child process forked while the pool runs starts its own pool lazily.
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "base/cancel.hpp"

namespace lumi {

// Threads a parallel_for may use, the calling thread included (>= 1).
std::size_t worker_count();

namespace detail {
extern constinit thread_local bool t_thread_ready;
void prepare_thread_now() noexcept;
}  // namespace detail

// Makes the calling thread ready to throw: the C++ runtime keeps its
// per-thread exception state in thread-local memory that it allocates on the
// first throw in a thread, and aborts the process when that allocation fails
// (as it can, when the exception is an out-of-memory error).  Every thread
// that runs library code calls this first, while memory is still available.
inline void prepare_thread() noexcept {
    if (!detail::t_thread_ready) detail::prepare_thread_now();
}

// Runs del(p) when the calling thread exits.  For per-thread caches: a
// thread_local object with a destructor registers that destructor on first
// use, and the C library aborts when that registration runs out of memory;
// so caches are thread_local pointers to heap objects handed over here (one
// registration per thread, made by prepare_thread).  Holds a few dozen.
void at_thread_exit(void* p, void (*del)(void*)) noexcept;

// A per-thread object of type T, made on first use (which may throw
// std::bad_alloc) and destroyed when the thread exits.  A call made from a
// signal handler while another call waits at a cancellation point gets an
// object of its own (one per poll depth), so the waiting call's contents stay
// as they were.
template <class T>
T& thread_cache() {
    thread_local T* objects[kPollDepths] = {};
    T*& p = objects[std::min(poll_depth(), kPollDepths - 1)];
    if (!p) {
        p = new T();
        at_thread_exit(p, [](void* q) { delete static_cast<T*>(q); });
    }
    return *p;
}

// Gets up to `helpers` sleeping pool threads up ahead of a parallel_for that
// follows after some serial preparation (packing an operand, say), so that
// waking them overlaps with it.  They look for a job for about a
// millisecond, then sleep again; threads already looking look that much
// longer.  (A thread woken early may also be one
// that was about to be woken for another caller's job: it finds that job
// in the queue just the same.)
void wake_workers(std::size_t helpers) noexcept;

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

// The caller alone, in chunks, checking for cancellation between them.
void run_inline(std::size_t n, std::size_t grain, ChunkFn body);

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
    auto& ref = body;
    if (!splits(n, grain, max_workers)) {
        if (cancel_active() && n / (grain ? grain : 1) >= 2) {
            detail::run_inline(n, grain, detail::ChunkFn(ref));
        } else {
            body(std::size_t{0}, n);
        }
        return;
    }
    detail::run_parallel(n, grain, detail::ChunkFn(ref), max_workers);
}

}  // namespace lumi
