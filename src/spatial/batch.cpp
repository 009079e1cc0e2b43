// Batch neighbour queries over the worker pool (see batch.hpp).
#include "spatial/batch.hpp"

#include <algorithm>
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

std::vector<std::size_t> locality_order(const double* q, std::size_t n, std::size_t dim) {
    std::vector<std::size_t> order;
    if (n < kReorderRows || dim == 0) return order;
    const std::size_t m = std::min<std::size_t>(dim, 3);
    const unsigned bits = m == 1 ? 32 : m == 2 ? 31 : 21;
    double lo[3], scale[3];
    for (std::size_t c = 0; c < m; ++c) {
        double a = std::numeric_limits<double>::infinity(), b = -a;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = q[i * dim + c];
            if (std::isfinite(v)) {
                a = std::min(a, v);
                b = std::max(b, v);
            }
        }
        lo[c] = a;
        const double span = b - a;
        scale[c] = (b > a && std::isfinite(span)) ? static_cast<double>((std::uint64_t{1} << bits) - 1) / span : 0.0;
    }
    const double top = static_cast<double>((std::uint64_t{1} << bits) - 1);
    std::vector<std::pair<std::uint64_t, std::size_t>> keyed(n);
    for (std::size_t i = 0; i < n; ++i) {
        cancel_tick();
        std::uint64_t cell[3] = {0, 0, 0};
        for (std::size_t c = 0; c < m; ++c) {
            const double t = (q[i * dim + c] - lo[c]) * scale[c];
            // NaN and values below the range go to cell 0, above it to the top.
            cell[c] = t >= 0.0 ? static_cast<std::uint64_t>(std::min(t, top)) : 0;
        }
        std::uint64_t key = 0;
        for (unsigned b = bits; b-- > 0;) {
            for (std::size_t c = 0; c < m; ++c) key = (key << 1) | ((cell[c] >> b) & 1);
        }
        keyed[i] = {key, i};
    }
    // A stable radix sort on the key, from the lowest digit up: the order of
    // (key, row) pairs, as a comparison sort would give, in a few passes.
    constexpr unsigned kDigitBits = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
    std::vector<std::pair<std::uint64_t, std::size_t>> spare(n);
    std::vector<std::size_t> bucket(kBuckets);
    const unsigned key_bits = bits * static_cast<unsigned>(m);
    for (unsigned shift = 0; shift < key_bits; shift += kDigitBits) {
        std::fill(bucket.begin(), bucket.end(), std::size_t{0});
        for (std::size_t i = 0; i < n; ++i) ++bucket[(keyed[i].first >> shift) & (kBuckets - 1)];
        if (bucket[(keyed[0].first >> shift) & (kBuckets - 1)] == n) continue;  // one digit for all
        std::size_t sum = 0;
        for (std::size_t& c : bucket) {
            const std::size_t here = c;
            c = sum;
            sum += here;
        }
        for (std::size_t i = 0; i < n; ++i) {
            cancel_tick();
            spare[bucket[(keyed[i].first >> shift) & (kBuckets - 1)]++] = keyed[i];
        }
        keyed.swap(spare);
    }
    order.resize(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = keyed[i].second;
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
    const std::vector<std::size_t> order = locality_order(queries, n, tree.dim());
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
    const std::vector<std::size_t> order = locality_order(queries, n, dim);
    const std::size_t* ids = order.empty() ? nullptr : order.data();
    parallel_for(n, kRadiusBlock, [&](std::size_t begin, std::size_t end) {
        tree.radius_count_rows(queries, ids, begin, end, radius, counts);
    }, max_workers);
}

template <class Tree>
RadiusBatch radius_batch(const Tree& tree, const double* queries, std::size_t n, double radius,
                         std::size_t max_workers, std::size_t max_total) {
    RadiusBatch out;
    out.offsets.assign(n + 1, 0);
    if (n == 0) return out;
    const std::size_t dim = tree.dim();
    const std::vector<std::size_t> order = locality_order(queries, n, dim);
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
    out.rows.resize(total);
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
