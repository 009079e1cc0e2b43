// Stopping long calls early.
//
// The code that starts a call (the binding) installs a CancelScope on its
// thread with a poll function; long loops of the core call check_cancel()
// between units of work.  check_cancel() is cheap: it reads a flag and a
// coarse clock, and calls the poll function on the scope's thread at most
// once every kPollInterval.  When the poll answers "stop", or another thread
// of the same call already saw that answer, check_cancel() throws Cancelled,
// which unwinds to whoever installed the scope; the poll function has
// recorded the reason there.
//
// Pool threads working for a call follow its scope: they see the stop flag
// but never poll (the poll may only run on the thread that owns the call).
//
// The poll may run a signal handler that calls into this library again on
// the same thread: per-thread caches must come from thread_cache (one set
// per poll depth, see parallel.hpp), or be taken out of their slot while in
// use.  Never place check_cancel() inside a noexcept function.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace lumi {

// Thrown by check_cancel(); carries nothing: the poll function that asked
// for the stop has kept the reason.
struct Cancelled {};

// Called on the scope's thread; true means stop the call.  Must not throw.
using CancelPoll = bool (*)(void* ctx) noexcept;

namespace detail {

struct CancelFrame {
    std::atomic<bool>* stop;  // shared by every thread working for the call
    CancelPoll poll;          // null on pool threads
    void* ctx;
    std::int64_t next_ms;     // next poll time; 0: at the first check
    CancelFrame* prev;
};

// The innermost frame of this thread (built with the initial-exec TLS model,
// like every thread-local of the library: see CMakeLists.txt).
extern constinit thread_local CancelFrame* t_cancel;
extern constinit thread_local unsigned t_ticks;
extern constinit thread_local unsigned t_poll_depth;

void check_frame(CancelFrame* f);
std::int64_t now_ms() noexcept;

// Pool threads running chunks for a call adopt its stop flag for the time.
class FollowCancel {
public:
    explicit FollowCancel(std::atomic<bool>* stop) noexcept
        : frame_{stop, nullptr, nullptr, 0, t_cancel} {
        if (stop) t_cancel = &frame_;
    }
    ~FollowCancel() {
        if (frame_.stop) t_cancel = frame_.prev;
    }
    FollowCancel(const FollowCancel&) = delete;
    FollowCancel& operator=(const FollowCancel&) = delete;

private:
    CancelFrame frame_;
};

// The stop flag of the call running on this thread, or null.
inline std::atomic<bool>* current_stop() noexcept { return t_cancel ? t_cancel->stop : nullptr; }

}  // namespace detail

// Milliseconds between two polls.
constexpr std::int64_t kPollInterval = 50;

// Installs `poll` for the calling thread until destroyed (scopes nest: the
// innermost one is polled).  Cheap enough for every call.  The first check
// polls at once, unless `delay_first` (for polls that cost more): then the
// first poll comes kPollInterval after the scope was made.
class CancelScope {
public:
    CancelScope(CancelPoll poll, void* ctx, bool delay_first = false) noexcept
        : frame_{&stop_, poll, ctx, delay_first ? detail::now_ms() + kPollInterval : 0, detail::t_cancel} {
        detail::t_cancel = &frame_;
    }
    ~CancelScope() { detail::t_cancel = frame_.prev; }
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

private:
    std::atomic<bool> stop_{false};
    detail::CancelFrame frame_;
};

// How many polls are running on this thread: calls made from a signal
// handler run at depth 1 (per-thread caches keep one set per depth).
inline unsigned poll_depth() noexcept { return detail::t_poll_depth; }

// Polls nest at most this deep: a call made from a handler at the deepest
// level still stops when another thread of its call asks, but runs no
// handler itself, so no more than kPollDepths sets of per-thread caches are
// ever in use on one thread.
constexpr unsigned kPollDepths = 3;

// Whether a call on this thread can be stopped (a scope or a followed call).
inline bool cancel_active() noexcept { return detail::t_cancel != nullptr; }

// Throws Cancelled when the call running on this thread is to stop.
inline void check_cancel() {
    if (detail::CancelFrame* f = detail::t_cancel) detail::check_frame(f);
}

// For loops of many short steps (a tree's leaves, blocks of points): a
// check on every 256th call.
inline void cancel_tick() {
    if ((++detail::t_ticks & 255u) == 0) check_cancel();
}

// Writes one byte per page of p[0, bytes) in order, checking for a stop
// every few megabytes.  Code about to scatter into a large fresh buffer calls
// it first: a scatter touches every page at once, so the page faults (which
// can cost hundreds of milliseconds for a large buffer on a busy machine)
// would all land between two checks; touched in order, they are spread out.
// Does nothing when the call cannot be stopped.
void touch_pages(void* p, std::size_t bytes);

}  // namespace lumi
