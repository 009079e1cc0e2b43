// Build helpers of the spatial indexes (build_helpers.hpp).
#include "spatial/build_helpers.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/cancel.hpp"
#include "base/error.hpp"
#include "base/messages.hpp"
#include "base/parallel.hpp"

namespace lumi {

void check_points_shape(std::size_t ndim) {
    if (ndim != 2) throw Error(msg::kPointsNot2D);
}

RowStore::RowStore(const double* input, std::size_t n, std::size_t dim) : RowStore(n, dim) { fill(input); }

RowStore::RowStore(std::size_t n, std::size_t dim) : dim_(dim) {
    rows_.reserve(n * dim);
    order_.reserve(n);
}

void RowStore::fill(const double* input) {
    // In pieces: copying a large input (page faults included) takes a while.
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    const std::size_t total = rows_.capacity(), n = order_.capacity();
    rows_.clear();
    for (std::size_t i = 0; i < total; i += kPiece) {
        check_cancel();
        rows_.insert(rows_.end(), input + i, input + i + std::min(kPiece, total - i));
    }
    order_.resize(n);
    std::iota(order_.begin(), order_.end(), std::size_t{0});
}

void populate_pages(const MemorySpan* spans, std::size_t count) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    // Kernels before 5.14 refuse the request: then the writes fault as usual.
    static std::atomic<bool> refused{false};
    constexpr std::size_t kMaxSpans = 8, kMinPages = 64, kPagesPerPiece = 32;
    static const std::size_t page = [] {
        const long p = sysconf(_SC_PAGESIZE);
        return p > 0 ? static_cast<std::size_t>(p) : std::size_t{4096};
    }();
    if (refused.load(std::memory_order_relaxed) || count > kMaxSpans) return;
    // Whole pages around each span (pages it shares with other blocks are
    // mapped memory of this process too; populating leaves them as they are).
    std::uintptr_t first[kMaxSpans];
    std::size_t offset[kMaxSpans + 1] = {0};
    for (std::size_t i = 0; i < count; ++i) {
        const auto lo = reinterpret_cast<std::uintptr_t>(spans[i].data);
        first[i] = lo / page * page;
        const std::size_t pages = spans[i].bytes == 0 ? 0 : (lo + spans[i].bytes - first[i] + page - 1) / page;
        offset[i + 1] = offset[i] + pages;
    }
    const std::size_t total = offset[count];
    if (total < kMinPages) return;
    parallel_for(total, kPagesPerPiece, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = 0; i < count && !refused.load(std::memory_order_relaxed); ++i) {
            const std::size_t lo = std::max(b, offset[i]), hi = std::min(e, offset[i + 1]);
            if (lo >= hi) continue;
            void* at = reinterpret_cast<void*>(first[i] + (lo - offset[i]) * page);
            if (madvise(at, (hi - lo) * page, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
                refused.store(true, std::memory_order_relaxed);
            }
        }
    });
#else
    (void)spans;
    (void)count;
#endif
}

namespace {

// The keys of a selection over positions start + i: either a separate array
// permuted along with the rows, or (Column) one coordinate of the rows
// themselves, read in place.  D fixes the row length at compile time (0:
// the store's dim), so that exchanging two rows is a few moves.
template <std::size_t D, bool Column>
struct SelectKeys {
    double* rows;
    std::size_t* order;
    std::size_t dim;
    std::size_t start;
    double* keys;        // !Column: keys[i] belongs to position start + i
    std::size_t column;  // Column: the coordinate that is the key

    std::size_t width() const noexcept { return D ? D : dim; }
    double* row(std::size_t i) const noexcept { return rows + (start + i) * width(); }
    double operator[](std::size_t i) const noexcept {
        if constexpr (Column) {
            return row(i)[column];
        } else {
            return keys[i];
        }
    }
    void swap(std::size_t a, std::size_t b) const noexcept {
        if constexpr (!Column) std::swap(keys[a], keys[b]);
        double* x = row(a);
        double* y = row(b);
        const std::size_t w = width();
        for (std::size_t i = 0; i < w; ++i) std::swap(x[i], y[i]);
        std::swap(order[start + a], order[start + b]);
    }
    void set_key(std::size_t i, double v) const noexcept {
        if constexpr (!Column) keys[i] = v;
    }
    // Where key i lies, and how far apart neighbouring keys are.
    const double* key_at(std::size_t i) const noexcept {
        if constexpr (Column) {
            return row(i) + column;
        } else {
            return keys + i;
        }
    }
    std::ptrdiff_t key_stride() const noexcept { return Column ? static_cast<std::ptrdiff_t>(width()) : 1; }

    // One position's row, row number and key, held aside (fixed D only).
    static constexpr bool kFixedWidth = D != 0;
    struct Held {
        double x[D ? D : 1];
        std::size_t row_number;
        double key;
    };
    Held take(std::size_t i) const noexcept {
        Held h;
        std::copy_n(row(i), width(), h.x);
        h.row_number = order[start + i];
        h.key = (*this)[i];
        return h;
    }
    void put(std::size_t i, const Held& h) const noexcept {
        std::copy_n(h.x, width(), row(i));
        order[start + i] = h.row_number;
        set_key(i, h.key);
    }
    // Position src's contents to position dst (src's are left as they were).
    void move(std::size_t dst, std::size_t src) const noexcept {
        std::copy_n(row(src), width(), row(dst));
        order[start + dst] = order[start + src];
        if constexpr (!Column) keys[dst] = keys[src];
    }
};

// Insertion sort of local positions [left, right] (inclusive): each position
// in turn moves down past every key strictly greater than its own, so equal
// keys keep their order.  With fixed rows the moving entry is held aside and
// the others shift up, which leaves the same arrangement as exchanging
// neighbours without storing each row twice.
template <class K>
void insertion_sort(const K& keys, std::ptrdiff_t left, std::ptrdiff_t right) {
    for (std::ptrdiff_t a = left + 1; a <= right; ++a) {
        const auto ua = static_cast<std::size_t>(a);
        const double key = keys[ua];
        if (!(key < keys[ua - 1])) continue;
        if constexpr (K::kFixedWidth) {
            const auto held = keys.take(ua);
            std::size_t b = ua;
            do {
                keys.move(b, b - 1);
                --b;
            } while (b > static_cast<std::size_t>(left) && key < keys[b - 1]);
            keys.put(b, held);
        } else {
            for (std::size_t b = ua; b > static_cast<std::size_t>(left) && keys[b] < keys[b - 1]; --b) {
                keys.swap(b, b - 1);
            }
        }
    }
}

// Bit t set when the key at x + t * stride (t < n <= 64) is >= p (Ge) or
// <= p (Le): the same comparisons one at a time would make, two at a time.
template <class M>
std::uint64_t key_bits(const double* x, std::ptrdiff_t stride, std::size_t n, double p) noexcept {
    std::uint64_t bits = 0;
    std::size_t t = 0;
#if defined(__SSE2__)
    const __m128d pv = _mm_set1_pd(p);
    for (; t + 2 <= n; t += 2, x += 2 * stride) {
        const __m128d v = _mm_loadh_pd(_mm_load_sd(x), x + stride);
        const int m = _mm_movemask_pd(M::ge ? _mm_cmpge_pd(v, pv) : _mm_cmple_pd(v, pv));
        bits |= static_cast<std::uint64_t>(m) << t;
    }
#endif
    for (; t < n; ++t, x += stride) bits |= static_cast<std::uint64_t>(M::ge ? *x >= p : *x <= p) << t;
    return bits;
}
struct Ge {
    static constexpr bool ge = true;
};
struct Le {
    static constexpr bool ge = false;
};

// The one-by-one finish of a partition around p over local positions
// [a, b), fewer than 64 of them: from the left, every position whose key is
// >= p (the scan passes over keys < p) is exchanged with the next one from
// the right whose key is <= p, until the two scans meet.  The keys' two
// tests are taken into bit masks first (a swap only touches positions that
// neither scan reads again), so the scans are bit searches instead of
// unpredictable branches.  Returns where the left scan stopped.
template <class K>
std::size_t partition_tail(const K keys, std::size_t a, std::size_t b, double p) {
    const std::size_t n = b - a;
    if (n < 2) return a + (n == 1 && keys[a] < p);  // what the scans below leave
    const std::uint64_t ge = key_bits<Ge>(keys.key_at(a), keys.key_stride(), n, p);
    const std::uint64_t le = key_bits<Le>(keys.key_at(a), keys.key_stride(), n, p);
    // The scans' current ends, relative to a: [lo, hi) is still unread.
    std::size_t lo = 0, hi = n;
    for (;;) {
        const std::uint64_t below_hi = (std::uint64_t{1} << hi) - 1;
        const std::uint64_t stop_l = ge & below_hi & ~((std::uint64_t{1} << lo) - 1);
        const std::size_t x = stop_l ? static_cast<std::size_t>(std::countr_zero(stop_l)) : hi;
        const std::uint64_t stop_r = le & below_hi & ~((std::uint64_t{1} << x) - 1);
        const std::size_t y = stop_r ? 64 - static_cast<std::size_t>(std::countl_zero(stop_r)) : x;  // exclusive
        if (y - x < 2) return a + x;
        keys.swap(a + x, a + y - 1);
        lo = x + 1;
        hi = y - 1;
    }
}

// Splits local positions [l, r) around the value p: afterwards [l, split) <= p
// <= [split, r).  Keys are compared in blocks of 32 without branches, one
// bit per misplaced entry (>= p in a left block, <= p in a right block,
// whose bit t is position j - 1 - t), and the misplaced entries are then
// exchanged pairwise in bit order (the block partition of Edelkamp and
// Weiss); the last stretch goes one by one.
template <class K>
std::size_t partition_keys(const K keys, std::size_t l, std::size_t r, double p) {
    constexpr std::size_t B = 32;
    std::uint32_t ml = 0, mr = 0;  // the current blocks' misplaced entries not yet exchanged
    std::size_t i = l, j = r;
    while (j - i >= 2 * B) {
        cancel_tick();
        if (ml == 0) ml = static_cast<std::uint32_t>(key_bits<Ge>(keys.key_at(i), keys.key_stride(), B, p));
        if (mr == 0) mr = static_cast<std::uint32_t>(key_bits<Le>(keys.key_at(j - 1), -keys.key_stride(), B, p));
        for (; ml != 0 && mr != 0; ml &= ml - 1, mr &= mr - 1) {
            keys.swap(i + static_cast<std::size_t>(std::countr_zero(ml)),
                      j - 1 - static_cast<std::size_t>(std::countr_zero(mr)));
        }
        if (ml == 0) i += B;
        if (mr == 0) j -= B;
    }
    // [l, i) <= p <= [j, r); the rest one by one.
    return partition_tail(keys, i, j, p);
}

// The guaranteed finish of a selection on an adversarial order: nth_element
// on (key, position) pairs, then the rows moved to match.
template <class K>
void select_by_sorting_pairs(const K& keys, std::size_t lo, std::size_t hi, std::size_t m) {
    const std::size_t count = hi - lo;
    const std::size_t w = keys.width();
    std::vector<std::pair<double, std::size_t>> pairs(count);
    for (std::size_t i = 0; i < count; ++i) pairs[i] = {keys[lo + i], i};
    std::nth_element(pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(m - lo), pairs.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<double> rows(count * w);
    std::vector<std::size_t> order(count);
    const double* src = keys.row(lo);
    std::size_t* dst_order = keys.order + keys.start + lo;
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t i = pairs[j].second;
        std::copy_n(src + i * w, w, rows.data() + j * w);
        order[j] = dst_order[i];
        keys.set_key(lo + j, pairs[j].first);
    }
    std::copy(rows.begin(), rows.end(), keys.row(lo));
    std::copy(order.begin(), order.end(), dst_order);
}

// Floyd and Rivest's selection: for a large range, first select within a
// sample around the target so that its key makes a pivot close to rank k;
// then one partition pass leaves only a short range to go.  About 1.5n
// comparisons for a median.  Indices are inclusive and local.
template <class K>
void select_range(const K keys, std::ptrdiff_t left, std::ptrdiff_t right, std::ptrdiff_t k, int depth) {
    auto at = [&](std::ptrdiff_t i) { return keys[static_cast<std::size_t>(i)]; };
    auto swap_at = [&](std::ptrdiff_t a, std::ptrdiff_t b) {
        keys.swap(static_cast<std::size_t>(a), static_cast<std::size_t>(b));
    };
    for (int rounds = 0; right > left; ++rounds) {
        if (right - left < 16) {
            insertion_sort(keys, left, right);
            return;
        }
        if (rounds > 64 || depth > 16) {
            // Adversarial order: finish with a guaranteed method.
            select_by_sorting_pairs(keys, static_cast<std::size_t>(left), static_cast<std::size_t>(right) + 1,
                                    static_cast<std::size_t>(k));
            return;
        }
        if (right - left > 600) {
            const double n = static_cast<double>(right - left + 1);
            const double i = static_cast<double>(k - left + 1);
            const double z = std::log(n);
            const double s = 0.5 * std::exp(2.0 * z / 3.0);
            const double sd = 0.5 * std::sqrt(z * s * (n - s) / n) * (i < n / 2 ? -1.0 : 1.0);
            const auto kd = static_cast<double>(k);
            // The sample range always holds k (the clamps to k only guard rounding).
            const std::ptrdiff_t nl =
                std::min(k, std::max(left, static_cast<std::ptrdiff_t>(kd - i * s / n + sd)));
            const std::ptrdiff_t nr =
                std::max(k, std::min(right, static_cast<std::ptrdiff_t>(kd + (n - i) * s / n + sd)));
            select_range(keys, nl, nr, k, depth + 1);
        }
        // The pivot waits at `left` while the rest is split around it, then
        // takes its place between the halves, at j.
        const double t = at(k);
        swap_at(left, k);
        const auto split = partition_keys(keys, static_cast<std::size_t>(left) + 1,
                                          static_cast<std::size_t>(right) + 1, t);
        const auto j = static_cast<std::ptrdiff_t>(split) - 1;
        swap_at(left, j);
        if (j == k) return;
        if (j < k) {
            left = j + 1;
        } else {
            right = j - 1;
        }
    }
}

template <bool Column>
void select_any(double* rows, std::size_t* order, std::size_t dim, std::size_t start, std::size_t count,
                std::size_t m, double* keys, std::size_t column) {
    if (count < 2) return;
    auto run = [&](auto d) {
        constexpr std::size_t D = decltype(d)::value;
        const SelectKeys<D, Column> k{rows, order, dim, start, keys, column};
        select_range(k, 0, static_cast<std::ptrdiff_t>(count) - 1, static_cast<std::ptrdiff_t>(m), 0);
    };
    switch (dim) {
        case 1:
            return run(std::integral_constant<std::size_t, 1>{});
        case 2:
            return run(std::integral_constant<std::size_t, 2>{});
        case 3:
            return run(std::integral_constant<std::size_t, 3>{});
        default:
            return run(std::integral_constant<std::size_t, 0>{});
    }
}

}  // namespace

void RowStore::select(std::size_t start, std::size_t end, std::size_t m, double* keys) {
    select_any<false>(rows_.data(), order_.data(), dim_, start, end - start, m, keys, 0);
}

void RowStore::select_column(std::size_t start, std::size_t end, std::size_t m, std::size_t column,
                             std::vector<double>& scratch, bool check_nan) {
    const std::size_t count = end - start;
    for (std::size_t j = 0; check_nan && j < count; ++j) {
        const double v = row(start + j)[column];
        if (v != v) throw_nan_split();
    }
    if (dim_ <= kColumnKeysDim) {
        select_any<true>(rows_.data(), order_.data(), dim_, start, count, m, nullptr, column);
        return;
    }
    // Long rows: the keys side by side are cheaper to scan.
    if (scratch.size() < count) scratch.resize(count);
    for (std::size_t j = 0; j < count; ++j) scratch[j] = row(start + j)[column];
    select_any<false>(rows_.data(), order_.data(), dim_, start, count, m, scratch.data(), 0);
}

namespace {

// The sequential rule (a value replaces the minimum only when smaller) keeps
// the first of equal values, which matters only for zeros (-0.0 == 0.0): a
// zero bound takes the sign of the first zero in the column.
inline double first_zero(const double* x, std::size_t count, std::size_t stride) noexcept {
    for (std::size_t p = 0; p < count; ++p, x += stride) {
        if (*x == 0.0) return *x;
    }
    return 0.0;
}

#if defined(__SSE2__)
// The NaN-free box of D-coordinate rows, two doubles per register: the
// rows are read as one flat run, W doubles (whole rows, an even count) a
// step, so lane j of a step always holds coordinate j % D.
template <std::size_t D>
void bounding_box_sse2(const double* x, std::size_t count, double* lo_out, double* hi_out) noexcept {
    constexpr std::size_t W = D == 3 ? 12 : 8;
    constexpr std::size_t R = W / 2;
    constexpr double inf = std::numeric_limits<double>::infinity();
    __m128d lo[R], hi[R];
    for (std::size_t r = 0; r < R; ++r) {
        lo[r] = _mm_set1_pd(inf);
        hi[r] = _mm_set1_pd(-inf);
    }
    const std::size_t total = count * D;
    std::size_t j = 0;
    for (; j + W <= total; j += W) {
        for (std::size_t r = 0; r < R; ++r) {
            const __m128d v = _mm_loadu_pd(x + j + 2 * r);
            lo[r] = _mm_min_pd(v, lo[r]);
            hi[r] = _mm_max_pd(v, hi[r]);
        }
    }
    double lo_lane[W], hi_lane[W];
    for (std::size_t r = 0; r < R; ++r) {
        _mm_storeu_pd(lo_lane + 2 * r, lo[r]);
        _mm_storeu_pd(hi_lane + 2 * r, hi[r]);
    }
    for (std::size_t t = 0; j + t < total; ++t) {
        const double v = x[j + t];
        lo_lane[t] = v < lo_lane[t] ? v : lo_lane[t];
        hi_lane[t] = v > hi_lane[t] ? v : hi_lane[t];
    }
    for (std::size_t i = 0; i < D; ++i) {
        double a = lo_lane[i], b = hi_lane[i];
        for (std::size_t l = i + D; l < W; l += D) {
            a = lo_lane[l] < a ? lo_lane[l] : a;
            b = hi_lane[l] > b ? hi_lane[l] : b;
        }
        if (a == 0.0) a = first_zero(x + i, count, D);
        if (b == 0.0) b = first_zero(x + i, count, D);
        lo_out[i] = a;
        hi_out[i] = b;
    }
}
#endif

// Several points at a time in independent accumulators (the minimum and
// maximum of numbers do not depend on the grouping; NaN never enters), then
// the zeros' signs as the one-at-a-time scan would leave them.  CheckNan
// false: the caller knows the rows hold no NaN, and the loop is minima and
// maxima alone.
template <std::size_t D, bool CheckNan = true>
bool bounding_box_fixed(const double* x, std::size_t count, double* lo_out, double* hi_out) noexcept {
#if defined(__SSE2__)
    if constexpr (!CheckNan) {
        bounding_box_sse2<D>(x, count, lo_out, hi_out);
        return false;
    }
#endif
    constexpr std::size_t L = D == 1 ? 8 : D == 2 ? 4 : (D == 3 && !CheckNan) ? 4 : 2;
    constexpr double inf = std::numeric_limits<double>::infinity();
    double lo[L * D], hi[L * D];
    for (std::size_t j = 0; j < L * D; ++j) {
        lo[j] = inf;
        hi[j] = -inf;
    }
    bool nan = false;
    const double* p = x;
    std::size_t n = count;
    for (; n >= L; n -= L, p += L * D) {
        for (std::size_t j = 0; j < L * D; ++j) {
            const double v = p[j];
            lo[j] = v < lo[j] ? v : lo[j];
            hi[j] = v > hi[j] ? v : hi[j];
            if constexpr (CheckNan) nan |= v != v;
        }
    }
    for (std::size_t j = 0; j < n * D; ++j) {
        const double v = p[j];
        lo[j] = v < lo[j] ? v : lo[j];
        hi[j] = v > hi[j] ? v : hi[j];
        nan |= v != v;
    }
    for (std::size_t i = 0; i < D; ++i) {
        double a = lo[i], b = hi[i];
        for (std::size_t l = 1; l < L; ++l) {
            a = lo[l * D + i] < a ? lo[l * D + i] : a;
            b = hi[l * D + i] > b ? hi[l * D + i] : b;
        }
        if (a == 0.0) a = first_zero(x + i, count, D);
        if (b == 0.0) b = first_zero(x + i, count, D);
        lo_out[i] = a;
        hi_out[i] = b;
    }
    return nan;
}

template <std::size_t D>
void column_sums_fixed(const double* x, std::size_t count, double* out) noexcept {
    double s[D];
    for (std::size_t i = 0; i < D; ++i) s[i] = -0.0;
    for (std::size_t p = 0; p < count; ++p, x += D) {
        for (std::size_t i = 0; i < D; ++i) s[i] += x[i];
    }
    std::copy_n(s, D, out);
}

// The box of `count` rows of `dim` coordinates; NaN values are left out and
// reported when CheckNan, and the rows are taken to hold none otherwise.
template <bool CheckNan>
bool box_of_rows(const double* x, std::size_t count, std::size_t dim, double* lo, double* hi) noexcept {
    switch (dim) {
        case 1:
            return bounding_box_fixed<1, CheckNan>(x, count, lo, hi);
        case 2:
            return bounding_box_fixed<2, CheckNan>(x, count, lo, hi);
        case 3:
            return bounding_box_fixed<3, CheckNan>(x, count, lo, hi);
        case 4:
            return bounding_box_fixed<4, CheckNan>(x, count, lo, hi);
        default:
            break;
    }
    std::fill_n(lo, dim, std::numeric_limits<double>::infinity());
    std::fill_n(hi, dim, -std::numeric_limits<double>::infinity());
    bool nan = false;
    for (std::size_t p = 0; p < count; ++p, x += dim) {
        for (std::size_t i = 0; i < dim; ++i) {
            const double v = x[i];
            lo[i] = v < lo[i] ? v : lo[i];
            hi[i] = v > hi[i] ? v : hi[i];
            if constexpr (CheckNan) nan |= v != v;
        }
    }
    return nan;
}

}  // namespace

bool bounding_box(const double* x, std::size_t count, std::size_t dim, double* lo, double* hi) noexcept {
    return box_of_rows<true>(x, count, dim, lo, hi);
}

void bounding_box_numbers(const double* x, std::size_t count, std::size_t dim, double* lo, double* hi) noexcept {
    box_of_rows<false>(x, count, dim, lo, hi);
}

void column_sums(const double* x, std::size_t count, std::size_t dim, double* sums) noexcept {
    switch (dim) {
        case 1:
            return column_sums_fixed<1>(x, count, sums);
        case 2:
            return column_sums_fixed<2>(x, count, sums);
        case 3:
            return column_sums_fixed<3>(x, count, sums);
        case 4:
            return column_sums_fixed<4>(x, count, sums);
        default:
            break;
    }
    std::fill_n(sums, dim, -0.0);
    for (std::size_t p = 0; p < count; ++p, x += dim) {
        for (std::size_t i = 0; i < dim; ++i) sums[i] += x[i];
    }
}

std::size_t subtree_task_grain(std::size_t n_points) {
    const std::size_t workers = worker_count();
    if (workers <= 1) return n_points + 1;
    // Several tasks per thread even out subtrees of different cost.
    return std::max<std::size_t>(n_points / (8 * workers), 8192);
}

void run_subtree_tasks(const std::vector<SubtreeTask>& tasks, void (*body)(void*, const SubtreeTask&), void* ctx) {
    parallel_for(tasks.size(), 1, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) body(ctx, tasks[i]);
    });
}

void throw_nan_split() { throw Error(msg::kUnwrapNone); }

}  // namespace lumi
