// Reusable per-thread buffers for short calls (a query vector, a candidate
// heap), so a hot loop of small calls allocates nothing.
#pragma once

#include <cstddef>
#include <utility>

#include "base/parallel.hpp"

namespace lumipy {

// Per-thread scratch taken for one call and handed back afterwards; a
// re-entrant call on the same thread (from a conversion hook or a finaliser)
// finds the slot empty and uses fresh storage, so calls never share it.
template <class T>
class ThreadScratch {
public:
    ThreadScratch() : value_(std::move(slot())) {}
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
