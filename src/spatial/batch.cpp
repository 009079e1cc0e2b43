// Batch neighbour queries over the worker pool (see batch.hpp).
#include "spatial/batch.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include <unistd.h>

#include "base/cancel.hpp"
#include "base/parallel.hpp"
#include "spatial/kinds.hpp"

namespace lumi {

namespace {

// Rows handed to one worker at a time (kNN), and the fixed blocks of rows
// whose radius results are collected together.
constexpr std::size_t kKnnGrain = 32;
constexpr std::size_t kRadiusBlock = 64;
constexpr std::size_t kReorderRows = 512;

}  // namespace

namespace {

// spread2: the low 32 bits of v moved to the even bits; spread3: the low 21
// bits moved to every third bit.
std::uint64_t spread2(std::uint64_t v) noexcept {
    v &= 0xffffffffu;
    v = (v | v << 16) & 0x0000ffff0000ffffu;
    v = (v | v << 8) & 0x00ff00ff00ff00ffu;
    v = (v | v << 4) & 0x0f0f0f0f0f0f0f0fu;
    v = (v | v << 2) & 0x3333333333333333u;
    return (v | v << 1) & 0x5555555555555555u;
}

constexpr std::uint64_t spread3(std::uint64_t v) noexcept {
    v &= 0x1fffffu;
    v = (v | v << 32) & 0x001f00000000ffffu;
    v = (v | v << 16) & 0x001f0000ff0000ffu;
    v = (v | v << 8) & 0x100f00f00f00f00fu;
    v = (v | v << 4) & 0x10c30c30c30c30c3u;
    return (v | v << 2) & 0x1249249249249249u;
}

// spread3 of every 10-bit value: the 3-D keys' cells have 10 bits.
struct Spread3Table {
    std::uint32_t v[1024];
    constexpr Spread3Table() : v() {
        for (std::uint64_t i = 0; i < 1024; ++i) v[i] = static_cast<std::uint32_t>(spread3(i));
    }
};
constexpr Spread3Table kSpread3;

// Stable LSD radix sort of items by their high 32 bits, of which the low
// key_bits are set, through `spare` (the same size as items).  Only the top
// digits that tell about 8n cells apart are sorted: finer cells would hold
// less than a row each, and the rows of a cell keep their order.
void radix_sort_high(std::vector<std::uint64_t>& items, std::vector<std::uint64_t>& spare, unsigned key_bits) {
    auto key_of = [](std::uint64_t v) { return v >> 32; };
    constexpr unsigned kDigitBits = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
    const std::size_t n = items.size();
    const unsigned wanted = std::min(key_bits, static_cast<unsigned>(std::bit_width(n)) + 3);
    const unsigned sorted_bits = std::min(key_bits, (wanted + kDigitBits - 1) / kDigitBits * kDigitBits);
    std::vector<std::size_t> bucket(kBuckets);
    for (unsigned shift = key_bits - sorted_bits; shift < key_bits; shift += kDigitBits) {
        std::fill(bucket.begin(), bucket.end(), std::size_t{0});
        for (std::size_t i = 0; i < n; ++i) ++bucket[(key_of(items[i]) >> shift) & (kBuckets - 1)];
        if (bucket[(key_of(items[0]) >> shift) & (kBuckets - 1)] == n) continue;  // one digit for all
        std::size_t sum = 0;
        for (std::size_t& c : bucket) {
            const std::size_t here = c;
            c = sum;
            sum += here;
        }
        check_cancel();
        for (std::size_t i = 0; i < n; ++i) spare[bucket[(key_of(items[i]) >> shift) & (kBuckets - 1)]++] = items[i];
        items.swap(spare);
    }
}

// The Z-order key of every row (n < 2^32), over the first M coordinates,
// with `bits` bits each: items[i] = key << 32 | i.
template <std::size_t M>
void z_keys(const double* q, std::size_t n, std::size_t dim, unsigned bits, std::size_t max_workers,
            std::vector<std::uint64_t>& items) {
    double lo[M], scale[M];
    for (std::size_t c = 0; c < M; ++c) {
        lo[c] = std::numeric_limits<double>::infinity();
        scale[c] = -lo[c];  // the maximum, for now
    }
    for (std::size_t i = 0; i < n; ++i) {
        if ((i & 0xffff) == 0) cancel_tick();
        for (std::size_t c = 0; c < M; ++c) {
            const double v = q[i * dim + c];
            const bool finite = std::fabs(v) <= std::numeric_limits<double>::max();
            lo[c] = finite && v < lo[c] ? v : lo[c];
            scale[c] = finite && v > scale[c] ? v : scale[c];
        }
    }
    const double top = static_cast<double>((std::uint64_t{1} << bits) - 1);
    for (std::size_t c = 0; c < M; ++c) {
        const double span = scale[c] - lo[c];
        scale[c] = (scale[c] > lo[c] && std::isfinite(span)) ? top / span : 0.0;
    }
    parallel_for(n, 4096, [&](std::size_t begin, std::size_t end) {
        check_cancel();
        for (std::size_t i = begin; i < end; ++i) {
            std::uint64_t cell[M];
            for (std::size_t c = 0; c < M; ++c) {
                const double t = (q[i * dim + c] - lo[c]) * scale[c];
                // NaN and values below the range go to cell 0, above it to the top.
                cell[c] = static_cast<std::uint64_t>(static_cast<std::int64_t>(t >= 0.0 ? (t < top ? t : top) : 0.0));
            }
            // Coordinate 0 takes the highest bit of each group.
            std::uint64_t key;
            if constexpr (M == 1) {
                key = cell[0];
            } else if constexpr (M == 2) {
                key = spread2(cell[0]) << 1 | spread2(cell[1]);
            } else {
                key = std::uint64_t{kSpread3.v[cell[0]]} << 2 | std::uint64_t{kSpread3.v[cell[1]]} << 1 |
                      kSpread3.v[cell[2]];
            }
            items[i] = key << 32 | i;
        }
    }, max_workers);
}

void z_keys(const double* q, std::size_t n, std::size_t dim, unsigned bits, std::size_t max_workers,
            std::vector<std::uint64_t>& items) {
    if (dim == 1) return z_keys<1>(q, n, dim, bits, max_workers, items);
    if (dim == 2) return z_keys<2>(q, n, dim, bits, max_workers, items);
    z_keys<3>(q, n, dim, bits, max_workers, items);
}

}  // namespace

std::vector<std::size_t> locality_order(const double* q, std::size_t n, std::size_t dim, std::size_t max_workers) {
    std::vector<std::size_t> order;
    // (Sets of 2^32 rows or more, some hundred gigabytes, keep their order.)
    if (n < kReorderRows || dim == 0 || n > std::numeric_limits<std::uint32_t>::max()) return order;
    // A grid of 2^30 to 2^32 cells over the queries' range: fine enough for
    // any number of rows that fits in memory, with a key of at most 32 bits.
    const std::size_t m = std::min<std::size_t>(dim, 3);
    const unsigned bits = m == 1 ? 32 : m == 2 ? 16 : 10;
    const unsigned key_bits = bits * static_cast<unsigned>(m);
    // key << 32 | row in one word; sorting by the key keeps the rows of a
    // cell in ascending order.
    std::vector<std::uint64_t> items(n), spare(n);
    z_keys(q, n, dim, bits, max_workers, items);
    radix_sort_high(items, spare, key_bits);
    order.resize(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(items[i]);
    return order;
}

void check_knn_batch_size(std::size_t n, std::size_t k) {
    if (n == 0 || k == 0) return;
    constexpr std::size_t kCellBytes = 2 * sizeof(double);
    const std::size_t limit = std::numeric_limits<std::size_t>::max() / kCellBytes;
    if (k > limit / n) throw std::bad_alloc();
    const std::size_t bytes = n * k * kCellBytes;
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) {
        const auto upages = static_cast<std::size_t>(pages);
        const auto upage = static_cast<std::size_t>(page);
        if (upages <= std::numeric_limits<std::size_t>::max() / upage && bytes > upages * upage) {
            throw std::bad_alloc();
        }
    }
#endif
}

template <class Tree>
void knn_batch(const Tree& tree, const double* queries, std::size_t n, std::size_t k, std::size_t max_workers,
               double* dist, std::int64_t* rows) {
    if (n == 0 || k == 0) return;
    const std::vector<std::size_t> order = locality_order(queries, n, tree.dim(), max_workers);
    const std::size_t* ids = order.empty() ? nullptr : order.data();
    parallel_for(n, kKnnGrain, [&](std::size_t begin, std::size_t end) {
        KnnHeap heap;
        tree.knn_rows(queries, ids, begin, end, k, heap, dist, rows);
    }, max_workers);
}

template <class Tree>
void radius_count_batch(const Tree& tree, const double* queries, std::size_t n, double radius,
                        std::size_t max_workers, std::int64_t* counts) {
    if (n == 0) return;
    const std::size_t dim = tree.dim();
    if (!(radius >= 0.0) || tree.n_points() == 0) {
        std::fill_n(counts, n, std::int64_t{0});
        return;
    }
    const std::vector<std::size_t> order = locality_order(queries, n, dim, max_workers);
    const std::size_t* ids = order.empty() ? nullptr : order.data();
    parallel_for(n, kRadiusBlock, [&](std::size_t begin, std::size_t end) {
        tree.radius_count_rows(queries, ids, begin, end, radius, counts);
    }, max_workers);
}

template <class Tree>
RadiusBatch radius_batch(const Tree& tree, const double* queries, std::size_t n, double radius,
                         std::size_t max_workers, std::size_t max_total) {
    RadiusBatch out;
    out.offsets = Buffer<std::int64_t>::uninit(n + 1);
    out.offsets[0] = 0;
    if (n == 0) return out;
    const std::size_t dim = tree.dim();
    const std::vector<std::size_t> order = locality_order(queries, n, dim, max_workers);
    // Blocks are runs of kRadiusBlock positions of the processing order;
    // start[i] is where row i's answer begins in its block.
    const std::size_t nblocks = (n + kRadiusBlock - 1) / kRadiusBlock;
    std::vector<std::vector<std::size_t>> found(nblocks);
    std::vector<std::size_t> start(n), count(n);
    const std::size_t* ids = order.empty() ? nullptr : order.data();
    parallel_for(nblocks, 1, [&](std::size_t b0, std::size_t b1) {
        for (std::size_t b = b0; b < b1; ++b) {
            tree.radius_rows(queries, ids, b * kRadiusBlock, std::min(n, (b + 1) * kRadiusBlock), radius, found[b],
                             start.data(), count.data());
        }
    }, max_workers);
    std::size_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        total += count[i];
        out.offsets[i + 1] = static_cast<std::int64_t>(total);
    }
    if (total > max_total) throw std::bad_alloc();
    out.rows = Buffer<std::int64_t>::uninit(total);
    // Block of each row: its position in the processing order.
    std::vector<std::size_t> block_of(n);
    for (std::size_t p = 0; p < n; ++p) block_of[order.empty() ? p : order[p]] = p / kRadiusBlock;
    std::int64_t* dst = out.rows.data();
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t* src = found[block_of[i]].data() + start[i];
        for (std::size_t j = 0; j < count[i]; ++j) *dst++ = static_cast<std::int64_t>(src[j]);
    }
    return out;
}

#define LUMI_BATCH(A, Kind, ...)                                                                             \
    template void knn_batch(const SpatialTree<Kind>&, const double*, std::size_t, std::size_t, std::size_t,       \
                            double*, std::int64_t*);                                                            \
    template void radius_count_batch(const SpatialTree<Kind>&, const double*, std::size_t, double, std::size_t,   \
                                     std::int64_t*);                                                            \
    template RadiusBatch radius_batch(const SpatialTree<Kind>&, const double*, std::size_t, double, std::size_t,  \
                                      std::size_t);
LUMI_SPATIAL_KINDS(LUMI_BATCH, )
#undef LUMI_BATCH

}  // namespace lumi
