// query_knn_batch and query_radius_batch of KDTree, BallTree and VPTree: the
// query-set conversion, the call into the batch engine (spatial/batch.hpp)
// with the interpreter lock released, and the int64 result buffers.
#include "python/spatial/batch.hpp"

#include <algorithm>
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
#include "spatial/batch.hpp"

namespace lumipy {

namespace {


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

// The query rows, copied into `values` (row-major, rows * dim) while the
// interpreter lock is held, so no other thread can change them afterwards.
std::size_t read_batch_queries(PyObject* obj, std::size_t dim, lumi::Buffer<double>& values) {
    if (is_array(obj)) {
        ArrayObject* a = as_array_object(obj);
        SharedBorrow guard(a->borrow);
        const lumi::ArrayF64& arr = a->arr;
        if (arr.ndim() != 2) raise_not_2d();
        if (arr.shape[1] != dim) raise_width();
        values = arr.data;
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
    values = lumi::Buffer<double>::uninit(rows * dim);
    const auto* base = static_cast<const char*>(v.buf);
    const Py_ssize_t s0 = v.strides ? v.strides[0] : static_cast<Py_ssize_t>(dim * 8);
    const Py_ssize_t s1 = v.strides ? v.strides[1] : 8;
    double* out = values.data();
    if (s1 == 8 && s0 == static_cast<Py_ssize_t>(dim * 8)) {  // C-contiguous rows: one block
        if (rows * dim != 0) std::memcpy(out, base, rows * dim * 8);
        return rows;
    }
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

}  // namespace

template <class Tree>
PyObject* tree_query_knn_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return entry([&] {
        static const Sig<3> sig{TreeTraits<Tree>::query_knn_batch, {"queries", "k", "workers"}, 2};
        auto a = sig.parse(args, nargs, kwnames);
        const Tree& tree = tree_of<Tree>(self);
        const std::uint64_t k64 = arg_u64("k", a[1]);
        const std::size_t max_workers = arg_workers(a[2]);
        lumi::Buffer<double> queries;
        const std::size_t n = read_batch_queries(a[0], tree.dim(), queries);

        const auto k = static_cast<std::size_t>(k64);
        if (k != 0 && n > kMaxElements / k) raise_no_memory();
        // Every row has k columns (padded past the tree's points), so an
        // answer too large for the machine is refused before any allocation.
        lumi::check_knn_batch_size(n, k);
        const std::size_t total = n * k;
        lumi::ArrayF64 dist = lumi::ArrayF64::uninit(lumi::Shape{n, k});
        auto rows = lumi::Buffer<std::int64_t>::uninit(total);
        if (total > 0) {
            // The tree is immutable and `self` owns it; the queries are our
            // own copy.
            Ref keep = Ref::borrow(self);
            GilRelease nogil;
            lumi::knn_batch(tree, queries.data(), n, k, max_workers, dist.data.data(), rows.data());
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
        lumi::Buffer<double> queries;
        const std::size_t n = read_batch_queries(a[0], tree.dim(), queries);

        if (count_only) {
            auto counts = lumi::Buffer<std::int64_t>::uninit(n);
            if (n > 0) {
                Ref keep = Ref::borrow(self);
                GilRelease nogil;
                lumi::radius_count_batch(tree, queries.data(), n, radius, max_workers, counts.data());
            }
            return new_row_buffer(std::move(counts), 1, n).release();
        }
        lumi::RadiusBatch found;
        {
            Ref keep = Ref::borrow(self);
            GilRelease nogil;
            found = lumi::radius_batch(tree, queries.data(), n, radius, max_workers, kMaxElements);
        }
        const std::size_t total = found.rows.size();
        Ref row_buf = new_row_buffer(std::move(found.rows), 1, total);
        Ref offset_buf = new_row_buffer(std::move(found.offsets), 1, n + 1);
        return check(PyTuple_Pack(2, row_buf.get(), offset_buf.get())).release();
    });
}

LUMI_INSTANTIATE_TREE_METHOD(tree_query_knn_batch)
LUMI_INSTANTIATE_TREE_METHOD(tree_query_radius_batch)

}  // namespace lumipy
