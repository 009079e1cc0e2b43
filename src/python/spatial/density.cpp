// kernel_density and kernel_density_approx of KDTree, BallTree and VPTree:
// argument conversion, the query-array rules, and the call into the density
// core, run without the interpreter lock when the job is large.
#include "python/spatial/density.hpp"

#include <optional>
#include <string>

#include "base/messages.hpp"
#include "python/runtime/args.hpp"
#include "python/array/array.hpp"
#include "python/runtime/borrow.hpp"
#include "python/runtime/convert.hpp"
#include "python/runtime/errors.hpp"
#include "python/runtime/gil.hpp"
#include "python/spatial/trees.hpp"
#include "spatial/ball_tree.hpp"
#include "spatial/kd_tree.hpp"
#include "spatial/kde.hpp"
#include "spatial/log_density.hpp"
#include "spatial/vp_tree.hpp"

namespace lumipy {

namespace {


lumi::KernelType arg_kernel(PyObject* obj) {
    if (!obj || obj == Py_None) return lumi::KernelType::Gaussian;
    return parse_option(arg_text("kernel", obj, nullptr), lumi::kernel_from_name, lumi::msg::kKernelOption);
}

double arg_bandwidth(PyObject* obj) {
    if (!obj || obj == Py_None) return 1.0;
    return arg_f64("bandwidth", obj);
}

// The query rows of a density call: the tree's own points, or `rows` rows of
// `width` values at `data`, read in place from an Array (kept alive and
// borrowed) or from a buffer of our own.
struct QueryRows {
    bool own_points = false;
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t width = 0;
    lumi::Buffer<double> owned;
    Ref array;
    std::optional<SharedBorrow> borrow;
};

[[noreturn]] void raise_query_form() { raise_value_error(lumi::msg::kQueriesForm); }

// One query vector of q.owned.size() values: of length dim, or refused.
void check_query_vector(QueryRows& q, std::size_t dim) {
    if (q.owned.size() != dim) {
        raise_value_error(lumi::msg::query_vector_length(q.owned.size(), dim));
    }
    q.data = q.owned.data();
    q.rows = 1;
    q.width = dim;
}

void read_queries(PyObject* obj, std::size_t dim, QueryRows& q) {
    if (!obj || obj == Py_None) {
        q.own_points = true;
        return;
    }
    if (F64Vector v; !is_array(obj) && v.read(obj)) {
        q.owned = lumi::Buffer<double>::uninit(v.size());
        v.copy(q.owned.data(), v.size());
        check_query_vector(q, dim);
        return;
    }
    if (!is_array(obj)) {
        // A number convertible to float: one query of one coordinate.
        const double v = PyFloat_AsDouble(obj);
        if (!(v == -1.0 && PyErr_Occurred())) {
            q.owned = lumi::Buffer<double>::uninit(1);
            q.owned[0] = v;
            q.data = q.owned.data();
            q.rows = q.width = 1;
            return;
        }
        clear_ordinary_error();
    } else {
        ArrayObject* a = as_array_object(obj);
        q.array = Ref::borrow(obj);
        q.borrow.emplace(a->borrow);
        const lumi::ArrayF64& arr = a->arr;
        if (arr.ndim() == 1) {
            if (arr.shape[0] != dim) {
                raise_value_error(lumi::msg::query_dimension(arr.shape[0], dim));
            }
            q.rows = 1;
        } else if (arr.ndim() == 2) {
            if (arr.shape[1] != dim) {
                raise_value_error(lumi::msg::query_dimension(arr.shape[1], dim));
            }
            q.rows = arr.shape[0];
        } else {
            raise_value_error(lumi::msg::kQueriesRank);
        }
        q.data = arr.data.data();
        q.width = dim;
        return;
    }
    // A sequence of floats of length dim (not a str).
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) raise_query_form();
    try {
        q.owned = to_f64_vec(obj);
    } catch (const PyErrAlready&) {
        clear_ordinary_error();
        raise_query_form();
    }
    check_query_vector(q, dim);
}

template <class Tree>
PyObject* run_density(PyObject* self, const Tree& tree, PyObject* queries, lumi::KernelType kernel, double h,
                      const lumi::ApproxCriterion& criterion) {
    QueryRows q;
    read_queries(queries, tree.dim(), q);
    const std::size_t rows = q.own_points ? tree.n_points() : q.rows;
    lumi::ArrayF64 out = lumi::ArrayF64::uninit(lumi::Shape::d1(rows));
    auto compute = [&] {
        if (q.own_points) {
            lumi::kernel_density_at_points(tree, kernel, h, criterion, out.data.data());
        } else {
            lumi::kernel_density_rows(tree, q.data, q.rows, q.width, kernel, h, criterion, out.data.data());
        }
    };
    if (lumi::density_job_is_large(rows, tree.n_points())) {
        // The tree is immutable and `self` owns it: a strong reference keeps
        // it alive meanwhile.  An Array read in place stays borrowed, so no
        // other thread can write to it.
        Ref keep = Ref::borrow(self);
        GilRelease nogil;
        compute();
    } else {
        compute();
    }
    if (rows == 1) return new_float(out.data[0]).release();
    return wrap_array(std::move(out));
}

// One row of log-densities per query row (see run_density).
template <class Tree>
PyObject* run_log_density(PyObject* self, const Tree& tree, PyObject* queries, lumi::KernelType kernel, double h,
                          double rtol, bool normalize) {
    QueryRows q;
    read_queries(queries, tree.dim(), q);
    const std::size_t rows = q.own_points ? tree.n_points() : q.rows;
    lumi::ArrayF64 out = lumi::ArrayF64::uninit(lumi::Shape::d1(rows));
    auto compute = [&] {
        if (q.own_points) {
            lumi::log_density_at_points(tree, kernel, h, rtol, normalize, out.data.data());
        } else {
            lumi::log_density_rows(tree, q.data, q.rows, q.width, kernel, h, rtol, normalize, out.data.data());
        }
    };
    if (lumi::density_job_is_large(rows, tree.n_points())) {
        Ref keep = Ref::borrow(self);  // as in run_density
        GilRelease nogil;
        compute();
    } else {
        compute();
    }
    if (rows == 1) return new_float(out.data[0]).release();
    return wrap_array(std::move(out));
}

}  // namespace

template <class Tree>
PyObject* tree_log_density(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return entry([&] {
        const Tree& tree = tree_of<Tree>(self);
        static const Sig<5> sig{TreeTraits<Tree>::log_density, {"queries", "bandwidth", "kernel", "rtol", "normalize"},
                                2, 3};
        auto a = sig.parse(args, nargs, kwnames);
        // Every argument is converted before any is interpreted.
        const double h = arg_bandwidth(a[1]);
        PyObject* kernel_text = a[2] && a[2] != Py_None ? arg_text("kernel", a[2], nullptr) : nullptr;
        const double rtol = a[3] && a[3] != Py_None ? arg_f64("rtol", a[3]) : 0.0;
        const bool normalize = a[4] && a[4] != Py_None && check_status(PyObject_IsTrue(a[4])) != 0;
        const lumi::KernelType kernel = arg_kernel(kernel_text);
        if (!(rtol >= 0.0)) raise_value_error(lumi::msg::kRtolValue);
        return run_log_density(self, tree, a[0], kernel, h, rtol, normalize);
    });
}

template <class Tree>
PyObject* tree_kernel_density(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return entry([&] {
        const Tree& tree = tree_of<Tree>(self);
        static const Sig<3> sig{TreeTraits<Tree>::kernel_density, {"queries", "bandwidth", "kernel"}, 0};
        auto a = sig.parse(args, nargs, kwnames);
        const double h = arg_bandwidth(a[1]);
        const lumi::KernelType kernel = arg_kernel(a[2]);
        return run_density(self, tree, a[0], kernel, h, lumi::ApproxCriterion{});
    });
}

template <class Tree>
PyObject* tree_kernel_density_approx(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
    return entry([&] {
        const Tree& tree = tree_of<Tree>(self);
        static const Sig<6> sig{
            TreeTraits<Tree>::kernel_density_approx, {"queries", "bandwidth", "kernel", "criterion", "min_samples", "max_span"}, 0};
        auto a = sig.parse(args, nargs, kwnames);
        // Every argument is converted before any is interpreted.
        const double h = arg_bandwidth(a[1]);
        PyObject* kernel_text = a[2] && a[2] != Py_None ? arg_text("kernel", a[2], nullptr) : nullptr;
        PyObject* criterion_text = a[3] && a[3] != Py_None ? arg_text("criterion", a[3], nullptr) : nullptr;
        const std::optional<std::uint64_t> min_samples = arg_opt_u64("min_samples", a[4]);
        std::optional<double> max_span;
        if (a[5] && a[5] != Py_None) max_span = arg_f64("max_span", a[5]);

        const lumi::KernelType kernel = arg_kernel(kernel_text);
        lumi::ApproxCriterion criterion;
        if (criterion_text) {
            const auto tag = parse_option(criterion_text, lumi::criterion_from_name, lumi::msg::kCriterionOption);
            criterion = lumi::make_criterion(tag, min_samples, max_span);
        }
        return run_density(self, tree, a[0], kernel, h, criterion);
    });
}

LUMI_INSTANTIATE_TREE_METHOD(tree_kernel_density)
LUMI_INSTANTIATE_TREE_METHOD(tree_kernel_density_approx)
LUMI_INSTANTIATE_TREE_METHOD(tree_log_density)

}  // namespace lumipy
