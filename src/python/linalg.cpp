// The linalg submodule and the linear-algebra members of Array: products,
// transpose, diagonal, outer, Cholesky, QR and the eigen-decomposition.
//
// Array operands are read in place under shared borrows (the same object may
// appear twice); outer's operands are VecOrArray values.
#include <algorithm>
#include <string>

#include "base/messages.hpp"
#include "python/runtime/args.hpp"
#include "python/array/array.hpp"
#include "linalg/linalg.hpp"
#include "python/array/array_args.hpp"
#include "python/runtime/convert.hpp"
#include "python/linalg_call.hpp"
#include "python/runtime/gil.hpp"
#include "python/runtime/module.hpp"

namespace lumipy {

namespace {

// An Array argument held under a shared borrow for the guard's lifetime.
struct ReadArray {
    ArrayObject* obj;
    SharedBorrow guard;
    ReadArray(const char* name, PyObject* arg) : obj(arg_array(name, arg)), guard(obj->borrow) {}
    const lumi::ArrayF64& get() const { return obj->arr; }
};

double cube(std::size_t n) { return static_cast<double>(n) * static_cast<double>(n) * static_cast<double>(n); }

// Multiply-adds of a product (shape errors are the core's business).
double product_work(const lumi::ArrayF64& a, const lumi::ArrayF64& b) {
    return static_cast<double>(a.size()) * static_cast<double>(b.ndim() == 2 ? b.shape[1] : 1);
}

lumi::ArrayF64 product_of(const lumi::ArrayF64& a, const lumi::ArrayF64& b) {
    return run_core(product_work(a, b), [&] { return lumi::matmul(a, b); });
}

// Side of a matrix for cost estimates (0 unless 2-D).
std::size_t side(const lumi::ArrayF64& a) { return a.ndim() == 2 ? std::max(a.shape[0], a.shape[1]) : 0; }

PyObject* product(const Sig<2>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        auto a = sig.parse(args, nargs, kwnames);
        ReadArray x("a", a[0]);
        ReadArray y("b", a[1]);
        return wrap_array(product_of(x.get(), y.get()));
    });
}

PyObject* fn_matmul(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<2> sig{"matmul", {"a", "b"}};
    return product(sig, args, nargs, kwnames);
}

PyObject* fn_dot(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<2> sig{"dot", {"a", "b"}};
    return product(sig, args, nargs, kwnames);
}

// A one-Array function: parse `a`, borrow it, apply op.
template <class Op>
PyObject* unary(const Sig<1>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Op op) {
    return entry([&] {
        auto a = sig.parse(args, nargs, kwnames);
        ReadArray x("a", a[0]);
        return op(x.get());
    });
}

PyObject* fn_transpose(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<1> sig{"transpose", {"a"}};
    return unary(sig, args, nargs, kwnames, [](const lumi::ArrayF64& a) {
        return wrap_array(run_core(static_cast<double>(a.size()), [&] { return lumi::transpose(a); }));
    });
}

PyObject* fn_cholesky(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<1> sig{"cholesky", {"a"}};
    return unary(sig, args, nargs, kwnames, [](const lumi::ArrayF64& a) {
        return wrap_array(run_core(cube(side(a)), [&] { return lumi::cholesky(a); }));
    });
}

PyObject* fn_qr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<1> sig{"qr", {"a"}};
    return unary(sig, args, nargs, kwnames, [](const lumi::ArrayF64& a) {
        return array_pair(run_core(cube(side(a)), [&] { return lumi::qr(a); }));
    });
}

std::string float_repr(double x) {
    char* s = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!s) throw PyErrAlready{};
    std::string out(s);
    PyMem_Free(s);
    return out;
}

// An iteration that ran out of steps is not an error, but its values are only
// the diagonal of the last iterate: say so with a RuntimeWarning (which a
// warnings filter may turn into an exception).
void warn_unconverged(const char* name, const lumi::EigReport& r, double tol) {
    if (r.converged) return;
    const std::string msg = std::string(name) + ": no convergence after " + std::to_string(r.iterations) +
                            " iterations; the largest off-diagonal magnitude is still " +
                            float_repr(r.max_off_diagonal) + " (tol " + float_repr(tol) +
                            "), so the values are only the diagonal of the last iterate; for a symmetric matrix, "
                            "linalg.eigh (or linalg.eigvalsh for the values alone) is exact and fast";
    check_status(PyErr_WarnEx(PyExc_RuntimeWarning, msg.c_str(), 1));
}

PyObject* fn_eig(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<1> sig{"eig", {"a"}};
    return unary(sig, args, nargs, kwnames, [](const lumi::ArrayF64& a) {
        lumi::EigReport report;
        auto result = run_core(cube(side(a)) * 4000, [&] {
            return lumi::eig_with_params(a, lumi::kEigDefaultMaxIter, lumi::kEigDefaultTol, &report);
        });
        warn_unconverged("eig", report, lumi::kEigDefaultTol);
        return array_pair(std::move(result));
    });
}

PyObject* fn_eigvals(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<1> sig{"eigvals", {"a"}};
    return unary(sig, args, nargs, kwnames, [](const lumi::ArrayF64& a) {
        lumi::EigReport report;
        auto result = run_core(cube(side(a)) * 4000, [&] {
            return lumi::eig_with_params(a, lumi::kEigDefaultMaxIter, lumi::kEigDefaultTol, &report);
        });
        warn_unconverged("eigvals", report, lumi::kEigDefaultTol);
        return wrap_array(std::move(result.first));
    });
}

PyObject* fn_eig_with_params(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<3> sig{"eig_with_params", {"a", "max_iter", "tol"}, 1};
        auto a = sig.parse(args, nargs, kwnames);
        ArrayObject* obj = arg_array("a", a[0]);
        const std::uint64_t max_iter = a[1] ? arg_u64("max_iter", a[1]) : lumi::kEigDefaultMaxIter;
        const double tol = a[2] ? arg_f64("tol", a[2]) : lumi::kEigDefaultTol;
        // Borrowed only after the conversions, which may run Python code.
        SharedBorrow guard(obj->borrow);
        // The whole allowance of steps counts: a small matrix given many
        // steps may iterate for long, and other threads run meanwhile.
        const double work = cube(side(obj->arr)) * 4 * static_cast<double>(max_iter);
        lumi::EigReport report;
        auto result = run_core(work, [&] { return lumi::eig_with_params(obj->arr, max_iter, tol, &report); });
        warn_unconverged("eig_with_params", report, tol);
        return array_pair(std::move(result));
    });
}

// The 2-D test comes before the core's own, with the binding's wording.
PyObject* diagonal_of(ArrayObject* obj, std::int64_t k) {
    SharedBorrow guard(obj->borrow);
    if (obj->arr.ndim() != 2) raise_value_error(lumi::msg::kDiagonalRank);
    return wrap_array(lumi::diagonal(obj->arr, k));
}

PyObject* fn_diagonal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"diagonal", {"a", "k"}, 1};
        auto a = sig.parse(args, nargs, kwnames);
        ArrayObject* obj = arg_array("a", a[0]);
        // `a` is held for the whole call: a `k` whose __index__ writes to it
        // meets the borrow instead of changing the matrix mid-call.
        SharedBorrow guard(obj->borrow);
        const std::int64_t k = arg_opt_i64("k", a[1]).value_or(0);
        return diagonal_of(obj, k);
    });
}

PyObject* outer_impl(const Sig<2>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto a = sig.parse(args, nargs, kwnames);
    lumi::ArrayF64 x = arg_vec_or_array("a", a[0]).into_ndarray();
    lumi::ArrayF64 y = arg_vec_or_array("b", a[1]).into_ndarray();
    return wrap_array(lumi::outer(x, y));
}

PyObject* fn_outer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"outer", {"a", "b"}};
        return outer_impl(sig, args, nargs, kwnames);
    });
}

PyMethodDef linalg_functions[] = {
    {"matmul", LUMI_FN(fn_matmul), LUMI_FASTCALL_KW, "matmul(a, b)\n--\n\n"},
    {"dot", LUMI_FN(fn_dot), LUMI_FASTCALL_KW, "dot(a, b)\n--\n\n"},
    {"transpose", LUMI_FN(fn_transpose), LUMI_FASTCALL_KW, "transpose(a)\n--\n\n"},
    {"cholesky", LUMI_FN(fn_cholesky), LUMI_FASTCALL_KW, "cholesky(a)\n--\n\n"},
    {"qr", LUMI_FN(fn_qr), LUMI_FASTCALL_KW, "qr(a)\n--\n\n"},
    {"eig", LUMI_FN(fn_eig), LUMI_FASTCALL_KW, "eig(a)\n--\n\n"},
    {"eig_with_params", LUMI_FN(fn_eig_with_params), LUMI_FASTCALL_KW,
     "eig_with_params(a, max_iter=1000, tol=1e-10)\n--\n\n"},
    {"eigvals", LUMI_FN(fn_eigvals), LUMI_FASTCALL_KW, "eigvals(a)\n--\n\n"},
    {"diagonal", LUMI_FN(fn_diagonal), LUMI_FASTCALL_KW, "diagonal(a, k=None)\n--\n\n"},
    {"outer", LUMI_FN(fn_outer), LUMI_FASTCALL_KW, "outer(a, b)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- Array members ----

PyObject* method_transpose(const char* display, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return entry([&] {
        parse_no_args(display, args, nargs, kwnames);
        auto* o = as_array_object(self);
        SharedBorrow guard(o->borrow);
        return wrap_array(run_core(static_cast<double>(o->arr.size()), [&] { return lumi::transpose(o->arr); }));
    });
}

PyObject* method_t(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method_transpose("Array.t", self, args, nargs, kwnames);
}

PyObject* method_transpose_(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return method_transpose("Array.transpose", self, args, nargs, kwnames);
}

PyObject* method_product(const Sig<1>& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return entry([&] {
        auto a = sig.parse(args, nargs, kwnames);
        ReadArray y("other", a[0]);
        auto* o = as_array_object(self);
        SharedBorrow guard(o->borrow);
        return wrap_array(product_of(o->arr, y.get()));
    });
}

PyObject* method_dot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<1> sig{"Array.dot", {"other"}};
    return method_product(sig, self, args, nargs, kwnames);
}

PyObject* method_matmul(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<1> sig{"Array.matmul", {"other"}};
    return method_product(sig, self, args, nargs, kwnames);
}

PyObject* method_diagonal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{"Array.diagonal", {"k"}, 0};
        auto a = sig.parse(args, nargs, kwnames);
        ArrayObject* obj = as_array_object(self);
        SharedBorrow guard(obj->borrow);
        const std::int64_t k = arg_opt_i64("k", a[0]).value_or(0);
        return diagonal_of(obj, k);
    });
}

PyObject* static_outer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"Array.outer", {"a", "b"}};
        return outer_impl(sig, args, nargs, kwnames);
    });
}

}  // namespace

// The matrix-multiplication operator: forward only, Array @ Array.
PyObject* array_nb_matmul(PyObject* left, PyObject* right) {
    return entry([&]() -> PyObject* {
        if (!is_array(left) || !is_array(right)) Py_RETURN_NOTIMPLEMENTED;
        auto* a = as_array_object(left);
        auto* b = as_array_object(right);
        // A right operand that cannot be borrowed is not convertible.
        if (b->borrow.state < 0) Py_RETURN_NOTIMPLEMENTED;
        SharedBorrow gb(b->borrow);
        SharedBorrow ga(a->borrow);
        return wrap_array(product_of(a->arr, b->arr));
    });
}

PyMethodDef array_linalg_methods[] = {
    {"t", LUMI_FN(method_t), LUMI_FASTCALL_KW, "t($self)\n--\n\n"},
    {"transpose", LUMI_FN(method_transpose_), LUMI_FASTCALL_KW, "transpose($self)\n--\n\n"},
    {"dot", LUMI_FN(method_dot), LUMI_FASTCALL_KW, "dot($self, other)\n--\n\n"},
    {"matmul", LUMI_FN(method_matmul), LUMI_FASTCALL_KW, "matmul($self, other)\n--\n\n"},
    {"diagonal", LUMI_FN(method_diagonal), LUMI_FASTCALL_KW, "diagonal($self, k=None)\n--\n\n"},
    {"outer", LUMI_FN(static_outer), LUMI_FASTCALL_KW | METH_STATIC, "outer(a, b)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The solving functions (linalg_solve.cpp) and the symmetric eigensolver
// (linalg_eigh.cpp), outside __all__.
void register_linalg_solve(PyObject* module);
void register_linalg_eigh(PyObject* module);

void register_linalg(PyObject* module) {
    add_functions(module, linalg_functions);
    register_linalg_solve(module);
    register_linalg_eigh(module);
}

}  // namespace lumipy
