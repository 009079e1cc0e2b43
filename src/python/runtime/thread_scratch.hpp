// Reusable per-thread buffers for short calls (a query vector, a candidate
// heap), so a hot loop of small calls allocates nothing.
#pragma once

#include <cstddef>
#include <utility>

#include "base/parallel.hpp"

namespace lumipy {

// Per-thread scratch taken for one call and handed back afterwards; a
// re-entrant call on the same thread (from a conversion hook or a finaliser)
// finds a freshly made value in the slot and uses storage of its own, so
// calls never share it.  The slot always holds a whole value: taking it
// leaves a new T there (not a moved-from one), and a value too large to
// keep is simply not handed back.
template <class T>
class ThreadScratch {
public:
    ThreadScratch() : value_(std::exchange(slot(), T{})) {}
    ~ThreadScratch() {
        if (!too_big(value_)) slot() = std::move(value_);
    }
    ThreadScratch(const ThreadScratch&) = delete;
    ThreadScratch& operator=(const ThreadScratch&) = delete;
    T& get() noexcept { return value_; }

private:
    static T& slot() { return lumi::thread_cache<T>(); }
    // Large buffers go back to the allocator instead of staying with the thread.
    static bool too_big(const T& v) noexcept { return v.capacity() > (std::size_t{1} << 16); }
    T value_;
};

}  // namespace lumipy
