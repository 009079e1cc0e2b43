// The vocabulary shared by the three spatial indexes (KDTree, BallTree,
// VPTree): metrics and kernels with their name parsers, the distance policies,
// the candidate heap of k-nearest-neighbour searches and a few build helpers.
//
// Layout.  A tree is built once from an (n_points, dim) array and never
// changes.  Its nodes live in one flat vector in pre-order: node 0 is the
// root, a node comes before its left subtree, the left subtree before the
// right one.  Every node covers a contiguous range [start, end) of storage
// positions and has either two children (`left` covers the front of the
// range, `right` the rest) or none (kNoNode in both).  `order` is a
// permutation of the input rows: storage position p holds input row order[p],
// and `points` holds the coordinates in storage order (row p = input row
// order[p], row-major), so a leaf scans one contiguous block.  Results name
// points by input row, never by storage position.  Per-node floating data
// that has `dim` entries (boxes, centroids) sits in a separate flat vector
// indexed by node id, so nodes stay small and fixed-size.
//
// Queries.  A query is `dim` coordinates; any other length is refused before
// anything is read.  The metric is chosen once per query: the search code is
// a template over a policy (Euclidean, Manhattan, Chebyshev) and with_metric
// dispatches on the tree's metric at the top.  Searches work on "reduced"
// distances (the squared distance for Euclidean, the distance itself for the
// others), which order exactly like distances; a radius is converted once to
// the largest reduced value whose distance is still within it, so "distance
// <= radius" is decided exactly as if every square root were taken.
//
// - k nearest: a max-heap of (reduced distance, input row) with room for k
//   entries; while it holds fewer than k every point goes in, afterwards a
//   point replaces the worst only when strictly nearer.  A subtree is skipped
//   when the heap is full and the subtree's lower bound exceeds the worst.
//   The answer lists at most k rows in ascending distance; ties are in no
//   particular order.  A NaN distance ranks after every number.
// - radius: every point whose distance is <= radius, in traversal order
//   (left subtree before right, storage order inside a leaf); a subtree is
//   skipped when its lower bound exceeds the radius.
// - density (kernel sums) uses the per-node quantities each tree exposes:
//   a lower bound of the distance from the query to any point of the node
//   (sound: never above a true distance, so pruning never drops a point), an
//   estimation interval (lo, hi), a span and a count.
//
// All search entry points are const, keep their state in caller-owned
// objects (KnnHeap, result vectors) and can run on many threads at once.
#pragma once

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "base/error.hpp"
#include "base/messages.hpp"
#include "base/parallel.hpp"

namespace lumi {

enum class DistanceMetric : std::uint8_t { Euclidean = 0, Manhattan = 1, Chebyshev = 2 };
enum class KernelType : std::uint8_t { Gaussian = 0, Epanechnikov = 1, Uniform = 2, Triangular = 3 };

// When a whole node of the density recursion is replaced by an estimate.
struct ApproxCriterion {
    enum class Tag : std::uint8_t { None = 0, MinSamples = 1, MaxSpan = 2, Combined = 3 };
    Tag tag = Tag::None;
    std::size_t min_samples = 0;
    double max_span = 0.0;
};

inline constexpr std::size_t kNoNode = static_cast<std::size_t>(-1);

// ---------------------------------------------------------------------------
// Option names (matched on the caller's lower-cased text; the messages are
// msg::kMetricOption and msg::kKernelOption).

std::optional<DistanceMetric> metric_from_name(std::string_view lowered);
std::optional<KernelType> kernel_from_name(std::string_view lowered);

// ---------------------------------------------------------------------------
// Distances.

// How far q[i] lies outside [lo, hi]; 0 inside or when q[i] is NaN.
inline double box_gap(double q, double lo, double hi) noexcept {
    if (q < lo) return lo - q;
    if (q > hi) return q - hi;
    return 0.0;
}

// c ? a : b through the bits, for selects whose condition no branch
// predictor can guess.
inline double pick(bool c, double a, double b) noexcept {
    const std::uint64_t m = std::uint64_t{0} - static_cast<std::uint64_t>(c);
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & m) | (std::bit_cast<std::uint64_t>(b) & ~m));
}

// Distance policies.  rdist is the reduced distance, from_rdist turns it into
// the distance, rdist_within(r) is the largest reduced value whose distance is
// <= r (so `rdist <= rdist_within(r)` decides `distance <= r` exactly), and
// add folds one per-coordinate absolute difference into a running reduced
// value (also used for box bounds).
struct EuclideanMetric {
    static constexpr std::size_t kDim = 0;  // dimension not fixed at compile time
    static constexpr DistanceMetric id = DistanceMetric::Euclidean;
    static double add(double acc, double diff) noexcept { return acc + diff * diff; }
    static double rdist(const double* a, const double* b, std::size_t dim) noexcept {
        double s = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            const double d = a[i] - b[i];
            s += d * d;
        }
        return s;
    }
    static double from_rdist(double r) noexcept { return std::sqrt(r); }
    static double rdist_within(double r) noexcept;
    // True when the distance of `r` is strictly below that of `worst`
    // (two reduced values can share a distance after the square root).
    static bool strictly_nearer(double r, double worst) noexcept {
        return r < worst && std::sqrt(r) < std::sqrt(worst);
    }
    // A value below which strictly_nearer(r, worst) holds without a square
    // root: 2^-48 below a normal worst, the square roots lie at least 2^-49
    // apart relatively, many units in the last place after rounding.
    // Subnormal (or zero) worst values get no shortcut.
    static double surely_nearer_below(double worst) noexcept {
        return worst >= DBL_MIN ? worst * (1.0 - 0x1p-48) : 0.0;
    }
};

struct ManhattanMetric {
    static constexpr std::size_t kDim = 0;  // dimension not fixed at compile time
    static constexpr DistanceMetric id = DistanceMetric::Manhattan;
    static double add(double acc, double diff) noexcept { return acc + std::fabs(diff); }
    static double rdist(const double* a, const double* b, std::size_t dim) noexcept {
        double s = 0.0;
        for (std::size_t i = 0; i < dim; ++i) s += std::fabs(a[i] - b[i]);
        return s;
    }
    static double from_rdist(double r) noexcept { return r; }
    static double rdist_within(double r) noexcept { return r; }
    static bool strictly_nearer(double r, double worst) noexcept { return r < worst; }
    static double surely_nearer_below(double worst) noexcept { return worst; }
};

struct ChebyshevMetric {
    static constexpr std::size_t kDim = 0;  // dimension not fixed at compile time
    static constexpr DistanceMetric id = DistanceMetric::Chebyshev;
    // A NaN difference never replaces the running value.
    static double add(double acc, double diff) noexcept {
        const double d = std::fabs(diff);
        return d > acc ? d : acc;
    }
    static double rdist(const double* a, const double* b, std::size_t dim) noexcept {
        double m = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            const double d = std::fabs(a[i] - b[i]);
            if (d > m) m = d;
        }
        return m;
    }
    static double from_rdist(double r) noexcept { return r; }
    static double rdist_within(double r) noexcept { return r; }
    static bool strictly_nearer(double r, double worst) noexcept { return r < worst; }
    static double surely_nearer_below(double worst) noexcept { return worst; }
};

// Calls f(Policy{}) with the policy of `metric`.
template <class F>
decltype(auto) with_metric(DistanceMetric metric, F&& f) {
    switch (metric) {
        case DistanceMetric::Manhattan:
            return f(ManhattanMetric{});
        case DistanceMetric::Chebyshev:
            return f(ChebyshevMetric{});
        case DistanceMetric::Euclidean:
        default:
            return f(EuclideanMetric{});
    }
}

// A policy with the dimension fixed at compile time, so that the loops over
// coordinates unroll; callers pass fixed_dim<M>(dim) as the dimension.
template <class M, std::size_t D>
struct FixedDim : M {
    static constexpr std::size_t kDim = D;
};

template <class M>
constexpr std::size_t fixed_dim(std::size_t dim) noexcept {
    return M::kDim ? M::kDim : dim;
}

// Whether every query and density takes the reference route: the plain
// visit over the full nodes, point by point into the plain result sets
// (KnnHeap, one scalar kernel sum), with no compact or split nodes, no
// sorted small-k candidates, no policies of fixed dimension and none of the
// density's shortcuts.  LUMIVANDER_SPATIAL=reference (any case) asks for it;
// the variable is read once, at first use, and other values are ignored.
// Every route gives the same answers: the tests compare them.
bool reference_route() noexcept;

// Calls f(Policy{}) with the policy of `metric`, specialised for the small
// dimensions 1, 2 and 3 (except on the reference route).
template <class F>
void with_metric_dim(DistanceMetric metric, std::size_t dim, F&& f) {
    if (reference_route()) dim = 0;
    with_metric(metric, [&](auto m) {
        using M = decltype(m);
        switch (dim) {
            case 1:
                f(FixedDim<M, 1>{});
                break;
            case 2:
                f(FixedDim<M, 2>{});
                break;
            case 3:
                f(FixedDim<M, 3>{});
                break;
            default:
                f(m);
        }
    });
}

// Reduced distance from q to the nearest point of the box [lo, hi] under M.
// Never above the reduced distance to any point inside the box: every step
// (subtraction, square, sum, maximum) is monotone under rounding.
template <class M>
double box_rdist(const double* q, const double* lo, const double* hi, std::size_t dim) noexcept {
    double acc = 0.0;
    for (std::size_t i = 0; i < dim; ++i) acc = M::add(acc, box_gap(q[i], lo[i], hi[i]));
    return acc;
}

// Reduced distance from q to the farthest corner of the box under M (the
// farther face per coordinate; an exact tie takes hi).
template <class M>
double box_far_rdist(const double* q, const double* lo, const double* hi, std::size_t dim) noexcept {
    double acc = 0.0;
    for (std::size_t i = 0; i < dim; ++i) {
        const double face = std::fabs(q[i] - hi[i]) < std::fabs(q[i] - lo[i]) ? lo[i] : hi[i];
        acc = M::add(acc, q[i] - face);
    }
    return acc;
}

// Slack for bounds derived from the triangle inequality (ball and VP trees):
// three rounded distances of `dim` terms each can break the inequality by a
// few units in the last place per term, so such a bound is lowered by
// triangle_slack(dim) * (the distances involved) to stay below every true
// computed distance.
inline double triangle_slack(std::size_t dim) noexcept {
    return 4.0 * (static_cast<double>(dim) + 4.0) * DBL_EPSILON;
}

// ---------------------------------------------------------------------------
// Queries.

// Refuses a query whose length differs from the tree's dimension.
void check_query_length(std::size_t query_len, std::size_t dim);

// Per-query scratch of `dim` doubles: on the stack for small dimensions,
// else in a per-thread buffer kept between queries (so a query allocates
// nothing once its thread has seen the dimension).  One at a time per thread.
class GapBuffer {
public:
    explicit GapBuffer(std::size_t dim) : data_(dim > kInline ? shared(dim) : inline_) {}
    GapBuffer(const GapBuffer&) = delete;
    GapBuffer& operator=(const GapBuffer&) = delete;
    double* data() noexcept { return data_; }

private:
    static constexpr std::size_t kInline = 16;
    struct Store {
        std::vector<double> v;
    };
    static double* shared(std::size_t dim) {
        std::vector<double>& buffer = thread_cache<Store>().v;
        if (buffer.size() < dim) buffer.resize(dim);
        return buffer.data();
    }
    double inline_[kInline];
    double* data_;
};

// One candidate of a k-nearest search: reduced distance and storage
// position, or after finish() the distance and input row.
struct Neighbor {
    double dist;
    std::size_t row;
};

// The bounded max-heap of a k-nearest search.  Owned by the caller, reusable
// across queries (its storage is kept).
class KnnHeap {
public:
    KnnHeap() = default;
    // A moved-from heap is empty, with no storage: its capacity goes with it.
    KnnHeap(KnnHeap&& o) noexcept { *this = std::move(o); }
    KnnHeap& operator=(KnnHeap&& o) noexcept {
        buf_ = std::move(o.buf_);
        cap_ = std::exchange(o.cap_, 0);
        n_ = std::exchange(o.n_, 0);
        k_ = std::exchange(o.k_, 0);
        sure_ = o.sure_;
        return *this;
    }
    KnnHeap(const KnnHeap&) = delete;
    KnnHeap& operator=(const KnnHeap&) = delete;

    // Starts a search for k > 0 neighbours among n points.
    void reset(std::size_t k, std::size_t n) {
        k_ = k;
        n_ = 0;
        const std::size_t cap = std::min(k, n);
        if (cap_ < cap) {
            buf_.reset(new Neighbor[cap]);  // left unwritten
            cap_ = cap;
        }
    }
    std::size_t size() const noexcept { return n_; }
    std::size_t capacity() const noexcept { return cap_; }
    bool full() const noexcept { return n_ == k_; }
    // Largest reduced distance held; only meaningful when full().
    double worst() const noexcept { return buf_[0].dist; }

    template <class M>
    void offer(double rd, std::size_t row) {
        if (n_ < k_) {
            if (rd != rd) rd = std::numeric_limits<double>::infinity();  // NaN ranks last
            push(rd, row);
            if (n_ == k_) sure_ = M::surely_nearer_below(buf_[0].dist);
        } else if (rd < sure_ || M::strictly_nearer(rd, buf_[0].dist)) {
            replace_top(rd, row);
            sure_ = M::surely_nearer_below(buf_[0].dist);
        }
    }

    // Sorts the candidates by ascending distance, converts the reduced
    // distances into distances and the storage positions into input rows
    // (order[position]).  The search offers positions: a candidate's row is
    // looked up only if it stays to the end.
    template <class M>
    std::span<const Neighbor> finish(const std::size_t* order) {
        // Popping the heap one entry at a time is what sort_heap does; a
        // large heap pops in runs with a stop check between them.
        constexpr std::size_t kPopsPerCheck = 4096;
        Neighbor* h = buf_.get();
        Neighbor* last = h + n_;
        while (last - h > static_cast<std::ptrdiff_t>(kPopsPerCheck)) {
            check_cancel();
            for (std::size_t i = 0; i < kPopsPerCheck; ++i) std::pop_heap(h, last--, less);
        }
        std::sort_heap(h, last, less);
        for (std::size_t i = 0; i < n_; ++i) {
            h[i].dist = M::from_rdist(h[i].dist);
            h[i].row = order[h[i].row];
        }
        return {h, n_};
    }
    std::span<const Neighbor> items() const noexcept { return {buf_.get(), n_}; }
    // Takes a finished answer of n <= min(k, points) entries found by
    // SortedKnn, as finish would have left it: the entries to write.
    std::span<Neighbor> finished(std::size_t n) noexcept {
        n_ = n;
        return {buf_.get(), n};
    }

private:
    // A function object (not a function pointer) so the heap algorithms inline it.
    struct Less {
        bool operator()(const Neighbor& a, const Neighbor& b) const noexcept { return a.dist < b.dist; }
    };
    static constexpr Less less{};
    // Adds an entry, as push_heap does: up from the end past every parent
    // that is nearer.
    void push(double rd, std::size_t row) noexcept {
        Neighbor* h = buf_.get();
        std::size_t i = n_++;
        while (i > 0) {
            const std::size_t parent = (i - 1) / 2;
            if (!(h[parent].dist < rd)) break;
            h[i] = h[parent];
            i = parent;
        }
        h[i] = {rd, row};
    }
    void replace_top(double rd, std::size_t row) noexcept {
        // Sift the new entry down from the root.
        Neighbor* h = buf_.get();
        const std::size_t n = n_;
        std::size_t i = 0;
        for (;;) {
            std::size_t c = 2 * i + 1;
            if (c >= n) break;
            if (c + 1 < n && h[c].dist < h[c + 1].dist) ++c;
            if (!(rd < h[c].dist)) break;
            h[i] = h[c];
            i = c;
        }
        h[i] = {rd, row};
    }

    std::unique_ptr<Neighbor[]> buf_;  // the heap: its first n_ of cap_ entries
    std::size_t cap_ = 0;
    std::size_t n_ = 0;
    std::size_t k_ = 0;
    double sure_ = 0.0;  // when full: a smaller value is strictly nearer than the worst
};

// The candidates of a k-nearest search for k <= kMax, kept sorted by
// distance instead of in a heap: a new one is slotted in by shifting the
// farther ones up a place, without a branch on the values.  It holds at
// every moment the same distances as KnnHeap would (the same offers are
// taken, and the farthest is the one dropped), so it needs no final sort;
// it can differ from the heap only in which of several equal distances it
// keeps or in the order of equal distances, and says so: finish refuses an
// answer with a tie, or after dropping one of several equally far
// candidates, and the search then runs again with KnnHeap.
class SortedKnn {
public:
    static constexpr std::size_t kMax = 16;

    // Starts a search for 0 < k <= kMax neighbours.
    void reset(std::size_t k) noexcept {
        k_ = k;
        n_ = 0;
        tie_ = false;
    }
    std::size_t size() const noexcept { return n_; }
    bool full() const noexcept { return n_ == k_; }
    double worst() const noexcept { return d()[k_ - 1]; }

    template <class M>
    void offer(double rd, std::size_t pos) noexcept {
        if (n_ < k_) {
            if (rd != rd) rd = std::numeric_limits<double>::infinity();  // NaN ranks last
            insert(rd, pos, n_);
            if (++n_ == k_) sure_ = M::surely_nearer_below(d()[k_ - 1]);
        } else if (rd < sure_ || M::strictly_nearer(rd, d()[k_ - 1])) {
            tie_ |= k_ > 1 && d()[k_ - 2] == d()[k_ - 1];
            insert(rd, pos, k_ - 1);
            sure_ = M::surely_nearer_below(d()[k_ - 1]);
        }
    }

    // Hands the answer over nearest first: size(n), then put(i, distance,
    // input row) for i < n; false, handing nothing, when the heap's answer
    // could differ (see above).
    template <class M, class Size, class Put>
    bool finish(const std::size_t* order, Size&& size, Put&& put) const noexcept {
        if (tie_) return false;
        bool tie = false;
        for (std::size_t i = 1; i < n_; ++i) tie |= d()[i - 1] == d()[i];
        if (tie) return false;
        size(n_);
        for (std::size_t i = 0; i < n_; ++i) put(i, M::from_rdist(d()[i]), order[r()[i]]);
        return true;
    }

private:
    // Places (rd, pos) among the sorted entries [0, last), dropping entry
    // `last` (an empty slot while filling): every entry farther than rd
    // moves up one place.  Entry j becomes, when d[j] > rd (or j == last),
    // the larger of d[j - 1] and rd, else stays; d[-1] is -inf.  Pairs go
    // from the top down, so that d[j - 1] is read before it is written, and
    // every load is an aligned pair (d[j - 1] comes from the pair below), so
    // that it can take the pair stored by the previous insert.
    [[gnu::always_inline]] void insert(double rd, std::size_t pos, std::size_t last) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
        double* d = this->d();
        std::size_t* r = this->r();
        const __m128d rv = _mm_set1_pd(rd);
        const __m128d pv = _mm_castsi128_pd(_mm_set1_epi64x(static_cast<long long>(pos)));
        std::size_t j = last & ~std::size_t{1};
        // In the top pair, the lane of `last` moves whatever it holds.
        __m128d force = _mm_castsi128_pd((last & 1) != 0 ? _mm_set_epi64x(-1, 0) : _mm_set_epi64x(0, -1));
        __m128d dj = _mm_load_pd(d + j);
        __m128d rj = _mm_load_pd(reinterpret_cast<const double*>(r + j));
        for (;;) {
            const __m128d dl = _mm_load_pd(d + j - 2);  // the pair below (d[-2], d[-1] under pair 0)
            const __m128d rl = _mm_load_pd(reinterpret_cast<const double*>(r + j - 2));
            const __m128d dm = _mm_shuffle_pd(dl, dj, 1);  // d[j - 1], d[j]
            const __m128d rm = _mm_shuffle_pd(rl, rj, 1);
            const __m128d moves = _mm_or_pd(_mm_cmpgt_pd(dj, rv), force);
            const __m128d from = _mm_cmpgt_pd(dm, rv);  // d[j - 1] moves up too
            const __m128d nd = _mm_or_pd(_mm_and_pd(moves, _mm_max_pd(dm, rv)), _mm_andnot_pd(moves, dj));
            const __m128d in = _mm_or_pd(_mm_and_pd(from, rm), _mm_andnot_pd(from, pv));
            const __m128d nr = _mm_or_pd(_mm_and_pd(moves, in), _mm_andnot_pd(moves, rj));
            _mm_store_pd(d + j, nd);
            _mm_store_pd(reinterpret_cast<double*>(r + j), nr);
            if (j == 0) break;
            j -= 2;
            dj = dl;
            rj = rl;
            force = _mm_setzero_pd();
        }
#else
        std::size_t j = last;
        for (; j > 0 && d()[j - 1] > rd; --j) {
            d()[j] = d()[j - 1];
            r()[j] = r()[j - 1];
        }
        d()[j] = rd;
        r()[j] = pos;
#endif
    }

    // Entries 0 .. kMax - 1 from index 2 (16-byte aligned), with d[-1] =
    // -inf below them and room for the pair past the last.
    alignas(16) double dbuf_[kMax + 4] = {-std::numeric_limits<double>::infinity(),
                                          -std::numeric_limits<double>::infinity()};
    alignas(16) std::size_t rbuf_[kMax + 4] = {};
    std::size_t k_ = 0;
    std::size_t n_ = 0;
    bool tie_ = false;   // a dropped candidate was as far as the one kept below it
    double sure_ = 0.0;  // when full: a smaller value is strictly nearer than the worst
    double* d() noexcept { return dbuf_ + 2; }
    const double* d() const noexcept { return dbuf_ + 2; }
    std::size_t* r() noexcept { return rbuf_ + 2; }
    const std::size_t* r() const noexcept { return rbuf_ + 2; }
};

// ---------------------------------------------------------------------------
// Building.

// Fails a build whose input is not (n_points, dim).
void check_points_shape(std::size_t ndim);

// A block of memory, for populate_pages.
struct MemorySpan {
    const void* data;
    std::size_t bytes;
};

template <class T>
MemorySpan capacity_span(const std::vector<T>& v) noexcept {
    return {v.data(), v.capacity() * sizeof(T)};
}

// Maps the pages of freshly reserved storage, on the worker pool, before it
// is first written: the first touch of a page costs a fault each, which
// would otherwise come one at a time on the thread that fills the storage.
// Contents are left as they are.  Does nothing where the system has no
// such request, or for small amounts.
void populate_pages(const MemorySpan* spans, std::size_t count);

// Working storage of a build: the points in current order next to `order`.
// Subtrees own disjoint ranges, so they can be built on different threads.
class RowStore {
public:
    RowStore(const double* input, std::size_t n, std::size_t dim);
    // Room for n rows, not written yet: fill() copies the input in.
    RowStore(std::size_t n, std::size_t dim);
    void fill(const double* input);
    MemorySpan rows_span() const noexcept { return capacity_span(rows_); }
    MemorySpan order_span() const noexcept { return capacity_span(order_); }

    std::size_t dim() const noexcept { return dim_; }
    double* row(std::size_t p) noexcept { return rows_.data() + p * dim_; }
    const double* row(std::size_t p) const noexcept { return rows_.data() + p * dim_; }
    std::size_t row_number(std::size_t p) const noexcept { return order_[p]; }

    // Exchanges two positions.
    void swap(std::size_t a, std::size_t b) noexcept {
        double* x = row(a);
        double* y = row(b);
        for (std::size_t i = 0; i < dim_; ++i) std::swap(x[i], y[i]);
        std::swap(order_[a], order_[b]);
    }

    // Reorders positions [start, end) so that the one of rank m (0-based,
    // ascending key) stands at start + m, none with a larger key before it
    // and none with a smaller one after it (a selection: linear on average,
    // never a sort).  keys[i] belongs to position start + i, holds no NaN and
    // is permuted along with the rows.
    void select(std::size_t start, std::size_t end, std::size_t m, double* keys);
    // The same with coordinate `column` of the rows as the key; fails the
    // build on a NaN key.  The same arrangement as select() given those keys;
    // short rows are compared in place, longer ones through `scratch`.
    // check_nan false: the caller knows the rows hold no NaN.
    void select_column(std::size_t start, std::size_t end, std::size_t m, std::size_t column,
                       std::vector<double>& scratch, bool check_nan = true);

    std::vector<double> take_rows() { return std::move(rows_); }
    std::vector<std::size_t> take_order() { return std::move(order_); }

private:
    static constexpr std::size_t kColumnKeysDim = 4;

    std::size_t dim_;
    std::vector<double> rows_;
    std::vector<std::size_t> order_;
};

// Per-coordinate minimum and maximum of `count` consecutive rows (NaN values
// left out: +inf / -inf when a coordinate has no other value); returns
// whether any value was NaN.
bool bounding_box(const double* rows, std::size_t count, std::size_t dim, double* lo, double* hi) noexcept;
// The same box for rows known to hold no NaN.
void bounding_box_numbers(const double* rows, std::size_t count, std::size_t dim, double* lo, double* hi) noexcept;

// Per-coordinate sums of `count` consecutive rows, in row order from -0.0.
void column_sums(const double* rows, std::size_t count, std::size_t dim, double* sums) noexcept;

// A subtree left for the parallel phase of a build.
struct SubtreeTask {
    std::size_t id;  // node id of the subtree's root
    std::size_t start;
    std::size_t end;
};

// Ranges of at least this many points are handed out as separate tasks
// when a build runs on several threads.
std::size_t subtree_task_grain(std::size_t n_points);

// Runs body(task) for every task on the worker pool.
void run_subtree_tasks(const std::vector<SubtreeTask>& tasks, void (*body)(void*, const SubtreeTask&), void* ctx);

// Node count of a subtree over `count` points, for trees that split every
// range of more than `leaf` points (leaf >= 1) in two: the halves have
// `split(count)` and count - split(count) points.  Node ids are assigned in
// pre-order from these counts, so subtrees can be built independently.
template <class Split>
std::size_t subtree_node_count(std::size_t count, std::size_t leaf, Split split) {
    // Ranges of one level take at most two neighbouring sizes.
    std::size_t total = 0;
    std::size_t sizes[2] = {count, 0}, mult[2] = {1, 0};
    std::size_t nsizes = 1;
    while (nsizes) {
        std::size_t nsz[2] = {0, 0}, nm[2] = {0, 0};
        std::size_t nn = 0;
        auto add = [&](std::size_t size, std::size_t m) {
            for (std::size_t i = 0; i < nn; ++i) {
                if (nsz[i] == size) {
                    nm[i] += m;
                    return;
                }
            }
            nsz[nn] = size;
            nm[nn] = m;
            ++nn;
        };
        for (std::size_t i = 0; i < nsizes; ++i) {
            total += mult[i];
            if (sizes[i] <= leaf) continue;
            const std::size_t a = split(sizes[i]);
            add(a, mult[i]);
            add(sizes[i] - a, mult[i]);
        }
        for (std::size_t i = 0; i < nn; ++i) {
            sizes[i] = nsz[i];
            mult[i] = nm[i];
        }
        nsizes = nn;
    }
    return total;
}

// The message of a NaN met while splitting a node.
[[noreturn]] void throw_nan_split();

// "index out of bounds: the len is LEN but the index is INDEX"
[[noreturn]] void throw_index_error(std::size_t len, std::size_t index);

}  // namespace lumi
