// Owned, contiguous element storage.  Allocated with malloc/calloc so that an
// uninitialised result buffer costs nothing before the kernel writes it and a
// zero-filled one can come straight from fresh pages.  Large blocks are
// advised towards transparent huge pages, which removes most of the page-fault
// cost of touching a fresh multi-megabyte result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "base/cancel.hpp"

namespace lumi {

// Copies `bytes` bytes in pieces of 4 MiB with a stop check between them, so
// a copy of gigabytes still stops within moments of Ctrl-C.  (Byte pointers:
// a NumPy buffer need not be aligned.)
inline void copy_checked(void* dst, const void* src, std::size_t bytes) {
    constexpr std::size_t kPiece = std::size_t{4} << 20;
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    for (std::size_t done = 0; done < bytes; done += kPiece) {
        if (done) check_cancel();
        std::memcpy(d + done, s + done, bytes - done < kPiece ? bytes - done : kPiece);
    }
}

namespace detail {

inline constexpr std::size_t kHugePageThreshold = std::size_t{4} << 20;

inline void advise_huge(void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes < kHugePageThreshold) return;
    auto addr = reinterpret_cast<std::uintptr_t>(p);
    std::uintptr_t start = (addr + 4095) & ~std::uintptr_t{4095};
    std::uintptr_t end = addr + bytes;
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace detail

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>, "Buffer holds plain numbers");

public:
    Buffer() noexcept = default;

    // n elements, contents unspecified (the caller writes every one).
    static Buffer uninit(std::size_t n) { return Buffer(n, false); }
    // n elements, all bits zero.
    static Buffer zeroed(std::size_t n) { return Buffer(n, true); }

    Buffer(std::initializer_list<T> init) : Buffer(init.size(), false) {
        std::size_t i = 0;
        for (const T& v : init) ptr_[i++] = v;
    }

    Buffer(const Buffer& o) : Buffer(o.n_, false) { copy_checked(ptr_, o.ptr_, n_ * sizeof(T)); }
    Buffer(Buffer&& o) noexcept : ptr_(std::exchange(o.ptr_, nullptr)), n_(std::exchange(o.n_, 0)) {}
    Buffer& operator=(const Buffer& o) {
        if (this != &o) *this = Buffer(o);
        return *this;
    }
    Buffer& operator=(Buffer&& o) noexcept {
        if (this != &o) {
            std::free(ptr_);
            ptr_ = std::exchange(o.ptr_, nullptr);
            n_ = std::exchange(o.n_, 0);
        }
        return *this;
    }
    ~Buffer() { std::free(ptr_); }

    std::size_t size() const noexcept { return n_; }
    bool empty() const noexcept { return n_ == 0; }
    T* data() noexcept { return ptr_; }
    const T* data() const noexcept { return ptr_; }
    T& operator[](std::size_t i) noexcept { return ptr_[i]; }
    const T& operator[](std::size_t i) const noexcept { return ptr_[i]; }
    T* begin() noexcept { return ptr_; }
    T* end() noexcept { return ptr_ + n_; }
    const T* begin() const noexcept { return ptr_; }
    const T* end() const noexcept { return ptr_ + n_; }

    // Grows to n elements keeping the existing ones (new ones unspecified).
    void grow(std::size_t n) {
        if (n <= n_) return;
        if (n > PTRDIFF_MAX / sizeof(T)) throw std::bad_alloc();
        void* p = std::realloc(ptr_, n * sizeof(T));
        if (!p) throw std::bad_alloc();
        ptr_ = static_cast<T*>(p);
        n_ = n;
    }

    // Shrinks to n elements and returns the unused storage to the allocator.
    void shrink(std::size_t n) noexcept {
        if (n >= n_) return;
        if (n == 0) {
            std::free(ptr_);
            ptr_ = nullptr;
        } else if (void* p = std::realloc(ptr_, n * sizeof(T))) {
            ptr_ = static_cast<T*>(p);  // a failed shrink keeps the old block
        }
        n_ = n;
    }

private:
    Buffer(std::size_t n, bool zero) : n_(n) {
        if (n == 0) return;
        if (n > PTRDIFF_MAX / sizeof(T)) throw std::bad_alloc();
        std::size_t bytes = n * sizeof(T);
        ptr_ = static_cast<T*>(zero ? std::calloc(n, sizeof(T)) : std::malloc(bytes));
        if (!ptr_) throw std::bad_alloc();
        detail::advise_huge(ptr_, bytes);
    }

    T* ptr_ = nullptr;
    std::size_t n_ = 0;
};

}  // namespace lumi
