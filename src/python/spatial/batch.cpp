// query_knn_batch and query_radius_batch of KDTree, BallTree and VPTree: the
// query-set conversion, the split of the rows over the worker pool with the
// interpreter lock released, and the int64 result buffers.
//
// Results never depend on the number of workers: every query row is answered
// on its own by the same const search as the single-point methods, kNN rows
// are written straight to their place, and radius rows are collected in
// fixed blocks of rows (independent of the split) that are joined in row
// order afterwards.  Rows are searched in an order that keeps nearby queries
// together (locality_order), for the caches' sake; it changes no answer.
#include "python/spatial/batch.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "base/messages.hpp"
#include "python/runtime/args.hpp"
#include "python/array/array.hpp"
#include "python/runtime/borrow.hpp"
#include "python/runtime/convert.hpp"
#include "python/runtime/errors.hpp"
#include "python/runtime/gil.hpp"
#include "python/spatial/row_buffer.hpp"
#include "python/spatial/trees.hpp"
#include "base/parallel.hpp"

namespace lumipy {

namespace {


// Rows handed to one worker at a time (kNN), and the fixed blocks of rows
// whose radius results are collected together.
constexpr std::size_t kKnnGrain = 32;
constexpr std::size_t kRadiusBlock = 64;

// Largest element count of one result buffer (8-byte elements).
constexpr std::size_t kMaxElements = static_cast<std::size_t>(PY_SSIZE_T_MAX) / 8;

[[noreturn]] void raise_no_memory() {
    PyErr_NoMemory();
    throw PyErrAlready{};
}

// None: the pool's size; -1: all of the pool; n >= 1: at most n threads.
std::size_t arg_workers(PyObject* obj) {
    if (!obj || obj == Py_None) return 0;
    const std::int64_t w = arg_i64("workers", obj);
    if (w == -1) return 0;
    if (w < 1) raise_value_error("workers must be a positive integer or -1");
    return static_cast<std::size_t>(w);
}

bool arg_flag(PyObject* obj) {
    if (!obj || obj == Py_None) return false;
    return check_status(PyObject_IsTrue(obj)) != 0;
}

[[noreturn]] void raise_queries_type(const std::string& got) {
    with_arg("queries", [&] { raise_type_error("expected a 2-D Array or a float64 buffer, got " + got); });
    throw PyErrAlready{};  // not reached: with_arg re-raises
}

[[noreturn]] void raise_not_2d() { raise_value_error(lumi::msg::kQueriesNot2D); }
[[noreturn]] void raise_width() { raise_value_error(lumi::msg::kQueryWidth); }

bool is_float64_format(const char* f) {
    if (!f) return false;  // unsigned bytes
    if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little) ||
        (*f == '>' && std::endian::native == std::endian::big)) {
        ++f;
    }
    return std::strcmp(f, "d") == 0;
}

class BufferView {
public:
    Py_buffer view{};
    bool held = false;
    ~BufferView() {
        if (held) PyBuffer_Release(&view);
    }
};

// The query rows, copied into `values` (row-major, rows * dim) while the
// interpreter lock is held, so no other thread can change them afterwards.
std::size_t read_batch_queries(PyObject* obj, std::size_t dim, std::vector<double>& values) {
    if (is_array(obj)) {
        ArrayObject* a = as_array_object(obj);
        SharedBorrow guard(a->borrow);
        const lumi::ArrayF64& arr = a->arr;
        if (arr.ndim() != 2) raise_not_2d();
        if (arr.shape[1] != dim) raise_width();
        values.assign(arr.data.begin(), arr.data.end());
        return arr.shape[0];
    }
    if (!PyObject_CheckBuffer(obj)) raise_queries_type("'" + type_qualname(obj) + "'");
    BufferView b;
    if (PyObject_GetBuffer(obj, &b.view, PyBUF_RECORDS_RO) < 0) {
        clear_ordinary_error();
        raise_queries_type("a '" + type_qualname(obj) + "' buffer that cannot be read");
    }
    b.held = true;
    const Py_buffer& v = b.view;
    if (!is_float64_format(v.format) || v.itemsize != 8) {
        raise_queries_type("a buffer of format '" + std::string(v.format ? v.format : "B") + "'");
    }
    if (v.ndim != 2) raise_not_2d();
    const auto rows = static_cast<std::size_t>(v.shape[0]);
    if (static_cast<std::size_t>(v.shape[1]) != dim) raise_width();
    // A broadcast view can describe far more rows than it stores.
    if (dim != 0 && rows > kMaxElements / dim) raise_no_memory();
    values.resize(rows * dim);
    const auto* base = static_cast<const char*>(v.buf);
    const Py_ssize_t s0 = v.strides ? v.strides[0] : static_cast<Py_ssize_t>(dim * 8);
    const Py_ssize_t s1 = v.strides ? v.strides[1] : 8;
    double* out = values.data();
    for (std::size_t i = 0; i < rows; ++i) {
        const char* row = base + static_cast<Py_ssize_t>(i) * s0;
        if (s1 == 8) {
            if (dim) std::memcpy(out + i * dim, row, dim * 8);
        } else {
            for (std::size_t j = 0; j < dim; ++j) {
                std::memcpy(out + i * dim + j, row + static_cast<Py_ssize_t>(j) * s1, 8);
            }
        }
    }
    return rows;
}

// Processing order of the query rows: along a Z-order curve over (up to)
// their first three coordinates, so consecutive searches visit the same
// nodes and points while they are still in cache.  Only the order in which
// rows are searched changes; every row's answer goes to its own place.
// Small sets keep their own order (an empty result).
constexpr std::size_t kReorderRows = 512;

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
    std::sort(keyed.begin(), keyed.end());
    order.resize(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = keyed[i].second;
    return order;
}

}  // namespace

template <class Tree>
PyObject* tree_query_knn_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return entry([&] {
        static const Sig<3> sig{TreeTraits<Tree>::query_knn_batch, {"queries", "k", "workers"}, 2};
        auto a = sig.parse(args, nargs, kwnames);
        const Tree& tree = tree_of<Tree>(self);
        const std::uint64_t k64 = arg_u64("k", a[1]);
        const std::size_t max_workers = arg_workers(a[2]);
        std::vector<double> queries;
        const std::size_t n = read_batch_queries(a[0], tree.dim(), queries);

        const auto k = static_cast<std::size_t>(k64);
        if (k != 0 && n > kMaxElements / k) raise_no_memory();
        const std::size_t total = n * k;
        lumi::ArrayF64 dist = lumi::ArrayF64::uninit(lumi::Shape{n, k});
        std::vector<std::int64_t> rows(total);
        if (total > 0) {
            const std::size_t dim = tree.dim();
            const auto pad_row = static_cast<std::int64_t>(tree.n_points());
            double* d_out = dist.data.data();
            std::int64_t* r_out = rows.data();
            std::vector<std::size_t> order;
            auto body = [&](std::size_t begin, std::size_t end) {
                lumi::KnnHeap heap;
                for (std::size_t p = begin; p < end; ++p) {
                    const std::size_t i = order.empty() ? p : order[p];
                    tree.knn_search(queries.data() + i * dim, dim, k, heap);
                    const auto& found = heap.items();
                    double* d = d_out + i * k;
                    std::int64_t* r = r_out + i * k;
                    const std::size_t m = found.size();
                    for (std::size_t j = 0; j < m; ++j) {
                        d[j] = found[j].dist;
                        r[j] = static_cast<std::int64_t>(found[j].row);
                    }
                    for (std::size_t j = m; j < k; ++j) {
                        d[j] = std::numeric_limits<double>::infinity();
                        r[j] = pad_row;
                    }
                }
            };
            // The tree is immutable and `self` owns it; the queries are our
            // own copy.
            Ref keep = Ref::borrow(self);
            GilRelease nogil;
            order = locality_order(queries.data(), n, dim);
            lumi::parallel_for(n, kKnnGrain, body, max_workers);
        }
        Ref distances = Ref::steal(wrap_array(std::move(dist)));
        if (!distances) throw PyErrAlready{};
        Ref row_buf = new_row_buffer(std::move(rows), 2, n, k);
        return check(PyTuple_Pack(2, distances.get(), row_buf.get())).release();
    });
}

template <class Tree>
PyObject* tree_query_radius_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return entry([&] {
        static const Sig<4> sig{TreeTraits<Tree>::query_radius_batch, {"queries", "radius", "count_only", "workers"}, 2};
        auto a = sig.parse(args, nargs, kwnames);
        const Tree& tree = tree_of<Tree>(self);
        const double radius = arg_f64("radius", a[1]);
        const bool count_only = arg_flag(a[2]);
        const std::size_t max_workers = arg_workers(a[3]);
        std::vector<double> queries;
        const std::size_t n = read_batch_queries(a[0], tree.dim(), queries);

        const std::size_t dim = tree.dim();
        const std::size_t nblocks = (n + kRadiusBlock - 1) / kRadiusBlock;
        std::vector<std::int64_t> counts(n);
        std::vector<std::vector<std::size_t>> found(count_only ? 0 : nblocks);
        std::vector<std::int64_t> offsets;
        std::vector<std::int64_t> rows;
        bool too_many = false;
        if (n > 0) {
            // Blocks are runs of kRadiusBlock positions of the processing
            // order; start[i] is where row i's answer begins in its block.
            std::vector<std::size_t> order;
            std::vector<std::size_t> start(count_only ? 0 : n);
            auto body = [&](std::size_t b0, std::size_t b1) {
                std::vector<std::size_t> scratch;
                for (std::size_t b = b0; b < b1; ++b) {
                    std::vector<std::size_t>& out = count_only ? scratch : found[b];
                    const std::size_t end = std::min(n, (b + 1) * kRadiusBlock);
                    for (std::size_t p = b * kRadiusBlock; p < end; ++p) {
                        const std::size_t i = order.empty() ? p : order[p];
                        if (count_only) scratch.clear();
                        const std::size_t before = out.size();
                        tree.radius_search(queries.data() + i * dim, dim, radius, out);
                        counts[i] = static_cast<std::int64_t>(out.size() - before);
                        if (!count_only) start[i] = before;
                    }
                }
            };
            Ref keep = Ref::borrow(self);
            GilRelease nogil;
            order = locality_order(queries.data(), n, dim);
            lumi::parallel_for(nblocks, 1, body, max_workers);
            if (!count_only) {
                offsets.resize(n + 1);
                std::size_t total = 0;
                offsets[0] = 0;
                for (std::size_t i = 0; i < n; ++i) {
                    total += static_cast<std::size_t>(counts[i]);
                    offsets[i + 1] = static_cast<std::int64_t>(total);
                }
                too_many = total > kMaxElements;
                if (!too_many) {
                    rows.resize(total);
                    // Block of each row: its position in the processing order.
                    std::vector<std::size_t> block_of(n);
                    for (std::size_t p = 0; p < n; ++p) block_of[order.empty() ? p : order[p]] = p / kRadiusBlock;
                    std::int64_t* dst = rows.data();
                    for (std::size_t i = 0; i < n; ++i) {
                        const std::size_t* src = found[block_of[i]].data() + start[i];
                        for (std::int64_t j = 0; j < counts[i]; ++j) *dst++ = static_cast<std::int64_t>(src[j]);
                    }
                }
            }
        }
        if (too_many) raise_no_memory();
        if (count_only) return new_row_buffer(std::move(counts), 1, n).release();
        if (n == 0) offsets.assign(1, 0);
        const std::size_t total = rows.size();
        Ref row_buf = new_row_buffer(std::move(rows), 1, total);
        Ref offset_buf = new_row_buffer(std::move(offsets), 1, n + 1);
        return check(PyTuple_Pack(2, row_buf.get(), offset_buf.get())).release();
    });
}

#define LUMI_BATCH_METHODS(Tree)                                                                        \
    template PyObject* tree_query_knn_batch<Tree>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept; \
    template PyObject* tree_query_radius_batch<Tree>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

LUMI_BATCH_METHODS(lumi::KDTree)
LUMI_BATCH_METHODS(lumi::BallTree)
LUMI_BATCH_METHODS(lumi::VPTree)

#undef LUMI_BATCH_METHODS

}  // namespace lumipy
