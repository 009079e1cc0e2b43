// The candidates of a k-nearest search: KnnHeap, a bounded max-heap for any
// k, and SortedKnn, a sorted list for a small k.
//
// While a set holds fewer than k entries every point goes in; afterwards a
// point replaces the worst only when strictly nearer.  A subtree is skipped
// when the set is full and the subtree's lower bound exceeds the worst.  The
// answer lists at most k rows in ascending distance; ties are in no
// particular order.  A NaN distance ranks after every number.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <utility>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "base/cancel.hpp"

namespace lumi {

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

}  // namespace lumi
