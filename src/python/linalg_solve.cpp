// The solving functions of the linalg submodule: solve_triangular,
// cho_solve, solve, lstsq, qr_reduced, inv, det and slogdet.  They carry
// NumPy's and SciPy's names and argument conventions and are attributes of
// the submodule without being part of its __all__.
//
// Array operands are read in place under shared borrows; flags are converted
// (which may run Python code) before anything is borrowed.  Calls of more
// than about 2^18 floating-point operations release the interpreter lock
// and can be stopped with Ctrl-C.
#include <string>

#include "linalg/linalg.hpp"
#include "linalg/solve.hpp"
#include "python/array/array.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/convert.hpp"
#include "python/linalg_call.hpp"
#include "python/runtime/gil.hpp"

namespace lumipy {

namespace {

double dim(const lumi::ArrayF64& a, std::size_t axis) {
    return a.ndim() > axis ? static_cast<double>(a.shape[axis]) : 0.0;
}

// Work of a solve with a square matrix a and right-hand sides b.
double solve_work(const lumi::ArrayF64& a, const lumi::ArrayF64& b) {
    return dim(a, 0) * dim(a, 0) * (b.ndim() == 2 ? dim(b, 1) : 1.0);
}

double cube(const lumi::ArrayF64& a) { return dim(a, 0) * dim(a, 0) * dim(a, 0); }

bool arg_flag(PyObject* obj) { return obj && check_status(PyObject_IsTrue(obj)) != 0; }

PyObject* fn_solve_triangular(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<4> sig{"solve_triangular", {"a", "b", "lower", "unit_diagonal"}, 2};
        auto p = sig.parse(args, nargs, kwnames);
        ArrayObject* a = arg_array("a", p[0]);
        ArrayObject* b = arg_array("b", p[1]);
        const bool lower = arg_flag(p[2]);
        const bool unit = arg_flag(p[3]);
        SharedBorrow ga(a->borrow);
        SharedBorrow gb(b->borrow);
        return wrap_array(run_core(solve_work(a->arr, b->arr),
                                   [&] { return lumi::solve_triangular(a->arr, b->arr, lower, unit); }));
    });
}

// A function of two Arrays (a, b), named `first` and "b".
template <class Op>
PyObject* binary(const Sig<2>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* first,
                 Op op) {
    auto p = sig.parse(args, nargs, kwnames);
    ArrayObject* a = arg_array(first, p[0]);
    ArrayObject* b = arg_array("b", p[1]);
    SharedBorrow ga(a->borrow);
    SharedBorrow gb(b->borrow);
    return op(a->arr, b->arr);
}

PyObject* fn_cho_solve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"cho_solve", {"l", "b"}};
        return binary(sig, args, nargs, kwnames, "l", [](const lumi::ArrayF64& l, const lumi::ArrayF64& b) {
            return wrap_array(run_core(2 * solve_work(l, b), [&] { return lumi::cho_solve(l, b); }));
        });
    });
}

PyObject* fn_solve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"solve", {"a", "b"}};
        return binary(sig, args, nargs, kwnames, "a", [](const lumi::ArrayF64& a, const lumi::ArrayF64& b) {
            return wrap_array(run_core(cube(a) + 2 * solve_work(a, b), [&] { return lumi::solve(a, b); }));
        });
    });
}

PyObject* fn_lstsq(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"lstsq", {"a", "b"}};
        return binary(sig, args, nargs, kwnames, "a", [](const lumi::ArrayF64& a, const lumi::ArrayF64& b) {
            const double work = dim(a, 0) * dim(a, 1) * (dim(a, 1) + (b.ndim() == 2 ? dim(b, 1) : 1.0));
            return wrap_array(run_core(work, [&] { return lumi::lstsq(a, b); }));
        });
    });
}

// A one-Array function: parse `a`, borrow it, apply op.
template <class Op>
PyObject* unary(const Sig<1>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Op op) {
    auto p = sig.parse(args, nargs, kwnames);
    ArrayObject* a = arg_array("a", p[0]);
    SharedBorrow guard(a->borrow);
    return op(a->arr);
}

PyObject* fn_qr_reduced(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{"qr_reduced", {"a"}};
        return unary(sig, args, nargs, kwnames, [](const lumi::ArrayF64& a) {
            // Every row of Q runs through all reflections over all m columns.
            const double work = dim(a, 0) * dim(a, 0) * dim(a, 1) + dim(a, 0) * dim(a, 1) * dim(a, 1);
            return array_pair(run_core(work, [&] { return lumi::qr_reduced(a); }));
        });
    });
}

PyObject* fn_inv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{"inv", {"a"}};
        return unary(sig, args, nargs, kwnames, [](const lumi::ArrayF64& a) {
            return wrap_array(run_core(2 * cube(a), [&] { return lumi::inv(a); }));
        });
    });
}

PyObject* fn_det(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{"det", {"a"}};
        return unary(sig, args, nargs, kwnames, [](const lumi::ArrayF64& a) {
            return new_float(run_core(cube(a) / 3, [&] { return lumi::det(a); })).release();
        });
    });
}

PyObject* fn_slogdet(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{"slogdet", {"a"}};
        return unary(sig, args, nargs, kwnames, [](const lumi::ArrayF64& a) {
            const auto r = run_core(cube(a) / 3, [&] { return lumi::slogdet(a); });
            Ref sign = new_float(r.first);
            Ref logabs = new_float(r.second);
            return check(PyTuple_Pack(2, sign.get(), logabs.get())).release();
        });
    });
}

PyMethodDef solve_functions[] = {
    {"solve_triangular", LUMI_FN(fn_solve_triangular), LUMI_FASTCALL_KW,
     "solve_triangular(a, b, lower=False, unit_diagonal=False)\n--\n\n"},
    {"cho_solve", LUMI_FN(fn_cho_solve), LUMI_FASTCALL_KW, "cho_solve(l, b)\n--\n\n"},
    {"solve", LUMI_FN(fn_solve), LUMI_FASTCALL_KW, "solve(a, b)\n--\n\n"},
    {"lstsq", LUMI_FN(fn_lstsq), LUMI_FASTCALL_KW, "lstsq(a, b)\n--\n\n"},
    {"qr_reduced", LUMI_FN(fn_qr_reduced), LUMI_FASTCALL_KW, "qr_reduced(a)\n--\n\n"},
    {"inv", LUMI_FN(fn_inv), LUMI_FASTCALL_KW, "inv(a)\n--\n\n"},
    {"det", LUMI_FN(fn_det), LUMI_FASTCALL_KW, "det(a)\n--\n\n"},
    {"slogdet", LUMI_FN(fn_slogdet), LUMI_FASTCALL_KW, "slogdet(a)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// Attributes of the linalg submodule outside its __all__.
void register_linalg_solve(PyObject* module) { check_status(PyModule_AddFunctions(module, solve_functions)); }

}  // namespace lumipy
