// Linked into the sanitizer build only.
//
// Under AddressSanitizer a failing operator new aborts the process, even with
// allocator_may_return_null=1, where the normal build throws std::bad_alloc
// and the caller gets a MemoryError.  A size that can never be allocated (a
// vector for 2**58 rows of a zero-width array, say) would then end the
// sanitizer run on behaviour that is correct.  These replacements route the
// module's operator new through malloc, which the sanitizer lets fail, so the
// sanitizer build keeps the normal build's semantics; the version script keeps
// them local to the module.
#include <cstdlib>
#include <new>

namespace {

void* allocate(std::size_t n) {
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}

void* allocate_aligned(std::size_t n, std::align_val_t al) {
    const auto a = static_cast<std::size_t>(al);
    // aligned_alloc wants a size that is a multiple of the alignment.
    const std::size_t rounded = ((n ? n : 1) + a - 1) / a * a;
    if (rounded < n) throw std::bad_alloc();
    if (void* p = std::aligned_alloc(a, rounded)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return std::malloc(n ? n : 1); }
void* operator new(std::size_t n, std::align_val_t al) { return allocate_aligned(n, al); }
void* operator new[](std::size_t n, std::align_val_t al) { return allocate_aligned(n, al); }
void* operator new(std::size_t n, std::align_val_t al, const std::nothrow_t&) noexcept {
    try {
        return allocate_aligned(n, al);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, std::align_val_t al, const std::nothrow_t& t) noexcept {
    return operator new(n, al, t);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
