// Helpers of the spatial builds: the working copy of the rows with its
// selection, bounding boxes and column sums, page population, and the
// subtree tasks of the parallel phase.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace lumi {

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

}  // namespace lumi
