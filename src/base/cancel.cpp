// The cancellation point: stop flag, coarse clock, poll.
#include "base/cancel.hpp"

#include <chrono>

#if defined(__linux__)
#include <time.h>
#endif

namespace lumi {

namespace detail {

constinit thread_local CancelFrame* t_cancel = nullptr;
constinit thread_local unsigned t_ticks = 0;
constinit thread_local unsigned t_poll_depth = 0;

// Milliseconds of a monotonic clock.  The coarse clock is read from memory
// (no system call) and ticks every few milliseconds, plenty for a 50 ms poll.
std::int64_t now_ms() noexcept {
#if defined(__linux__) && defined(CLOCK_MONOTONIC_COARSE)
    timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) == 0)
        return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
#endif
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void check_frame(CancelFrame* f) {
    if (f->stop->load(std::memory_order_relaxed)) throw Cancelled{};
    if (!f->poll) return;
    // next_ms == 0: the first check polls.
    if (f->next_ms != 0 && now_ms() < f->next_ms) return;
    if (t_poll_depth + 1 >= kPollDepths) return;  // see kPollDepths
    ++t_poll_depth;
    const bool stop = f->poll(f->ctx);
    --t_poll_depth;
    if (stop) {
        f->stop->store(true, std::memory_order_relaxed);
        throw Cancelled{};
    }
    f->next_ms = now_ms() + kPollInterval;
}

}  // namespace detail

void touch_pages(void* p, std::size_t bytes) {
    if (!cancel_active()) return;
    constexpr std::size_t kPage = 4096, kCheckBytes = std::size_t{2} << 20;
    auto* c = static_cast<volatile unsigned char*>(p);
    for (std::size_t off = 0; off < bytes; off += kPage) {
        if (off % kCheckBytes == 0) check_cancel();
        c[off] = 0;
    }
}

}  // namespace lumi
