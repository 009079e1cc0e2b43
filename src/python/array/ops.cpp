// Arithmetic operators and element-wise math methods of Array.
//
// Operator dispatch: the forward form (Array on the left) accepts an Array or
// a number on the right; the reflected form accepts a number only; anything
// else returns NotImplemented so the interpreter raises its own TypeError.
#include "python/runtime/args.hpp"
#include "python/array/array.hpp"
#include "python/runtime/convert.hpp"
#include "python/runtime/gil.hpp"
#include "base/parallel.hpp"
#include "ops/arithmetic.hpp"
#include "ops/scalar.hpp"
#include "ops/unary.hpp"

namespace lumipy {

namespace {

using lumi::BinOp;

// Runs f() with the interpreter lock released when the work is big enough to
// go to the worker pool.  Callers hold borrow guards on every operand, so the
// data stays put while the lock is released.
template <class F>
lumi::ArrayF64 compute(std::size_t n, std::size_t grain, F&& f) {
    if (!lumi::splits(n, grain)) return f();
    GilRelease nogil;
    return f();
}

// Number conversion for operands: false (and no error set) when the object
// is not a number.  Interrupts and MemoryError propagate.
bool operand_number(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    if (out == -1.0 && PyErr_Occurred()) {
        clear_ordinary_error();
        return false;
    }
    return true;
}

template <BinOp Op>
PyObject* forward(PyObject* self, PyObject* other) {
    if (is_array(other)) {
        auto* b = as_array_object(other);
        auto* a = as_array_object(self);
        // A right operand that cannot be borrowed is not convertible.
        if (b->borrow.state < 0) Py_RETURN_NOTIMPLEMENTED;
        SharedBorrow gb(b->borrow);
        SharedBorrow ga(a->borrow);
        return wrap_array(compute(lumi::binary_result_size(a->arr, b->arr), lumi::arithmetic_grain(),
                                  [&] { return lumi::binary_op_copy(a->arr, b->arr, Op); }));
    }
    double s;
    if (!operand_number(other, s)) Py_RETURN_NOTIMPLEMENTED;
    auto* a = as_array_object(self);
    SharedBorrow ga(a->borrow);
    return wrap_array(compute(a->arr.size(), lumi::arithmetic_grain(), [&] { return lumi::scalar_op_copy(a->arr, s, Op); }));
}

template <BinOp Op>
PyObject* reflected(PyObject* self, PyObject* other) {
    double s;
    if (!operand_number(other, s)) Py_RETURN_NOTIMPLEMENTED;
    auto* a = as_array_object(self);
    SharedBorrow ga(a->borrow);
    return wrap_array(compute(a->arr.size(), lumi::arithmetic_grain(), [&] { return lumi::scalar_op_copy_left(s, a->arr, Op); }));
}

template <BinOp Op>
PyObject* nb_binary(PyObject* left, PyObject* right) {
    return entry([&]() -> PyObject* {
        if (is_array(left)) {
            PyObject* r = forward<Op>(left, right);
            if (r != Py_NotImplemented) return r;
            Py_DECREF(r);
        }
        if (is_array(right)) return reflected<Op>(right, left);
        Py_RETURN_NOTIMPLEMENTED;
    });
}

PyObject* nb_negative(PyObject* self) {
    return entry([&] {
        auto* a = as_array_object(self);
        SharedBorrow guard(a->borrow);
        return wrap_array(compute(a->arr.size(), lumi::unary_grain(lumi::UnaryOp::Neg),
                                  [&] { return lumi::unary_op_copy(a->arr, lumi::UnaryOp::Neg); }));
    });
}

template <lumi::UnaryOp Op>
PyObject* unary_method(PyObject* self, const char* display, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return entry([&] {
        parse_no_args(display, args, nargs, kwnames);
        auto* a = as_array_object(self);
        SharedBorrow guard(a->borrow);
        return wrap_array(compute(a->arr.size(), lumi::unary_grain(Op), [&] { return lumi::unary_op_copy(a->arr, Op); }));
    });
}

#define LUMI_UNARY(pyname, fn)                                                                          \
    PyObject* method_##pyname(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) { \
        return unary_method<lumi::UnaryOp::fn>(self, "Array." #pyname, args, nargs, kw);                 \
    }

LUMI_UNARY(sin, Sin)
LUMI_UNARY(cos, Cos)
LUMI_UNARY(exp, Exp)
LUMI_UNARY(sqrt, Sqrt)
LUMI_UNARY(tan, Tan)
LUMI_UNARY(arcsin, Asin)
LUMI_UNARY(arccos, Acos)
LUMI_UNARY(arctan, Atan)
LUMI_UNARY(log, Log)
LUMI_UNARY(abs, Abs)
LUMI_UNARY(sign, Sign)
#undef LUMI_UNARY

PyObject* method_clip(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"Array.clip", {"min", "max"}};
        auto a = sig.parse(args, nargs, kwnames);
        const double lo = arg_f64("min", a[0]);
        const double hi = arg_f64("max", a[1]);
        auto* o = as_array_object(self);
        SharedBorrow guard(o->borrow);
        return wrap_array(compute(o->arr.size(), lumi::clip_grain(), [&] { return lumi::clip_copy(o->arr, lo, hi); }));
    });
}

}  // namespace

PyNumberMethods array_number_methods = [] {
    PyNumberMethods m{};
    m.nb_add = nb_binary<BinOp::Add>;
    m.nb_subtract = nb_binary<BinOp::Sub>;
    m.nb_multiply = nb_binary<BinOp::Mul>;
    m.nb_true_divide = nb_binary<BinOp::Div>;
    m.nb_negative = nb_negative;
    m.nb_matrix_multiply = array_nb_matmul;
    return m;
}();

PyMethodDef array_elementwise_methods[] = {
    {"sin", LUMI_FN(method_sin), LUMI_FASTCALL_KW, "sin($self)\n--\n\n"},
    {"cos", LUMI_FN(method_cos), LUMI_FASTCALL_KW, "cos($self)\n--\n\n"},
    {"exp", LUMI_FN(method_exp), LUMI_FASTCALL_KW, "exp($self)\n--\n\n"},
    {"sqrt", LUMI_FN(method_sqrt), LUMI_FASTCALL_KW, "sqrt($self)\n--\n\n"},
    {"clip", LUMI_FN(method_clip), LUMI_FASTCALL_KW, "clip($self, min, max)\n--\n\n"},
    {"tan", LUMI_FN(method_tan), LUMI_FASTCALL_KW, "tan($self)\n--\n\n"},
    {"arcsin", LUMI_FN(method_arcsin), LUMI_FASTCALL_KW, "arcsin($self)\n--\n\n"},
    {"arccos", LUMI_FN(method_arccos), LUMI_FASTCALL_KW, "arccos($self)\n--\n\n"},
    {"arctan", LUMI_FN(method_arctan), LUMI_FASTCALL_KW, "arctan($self)\n--\n\n"},
    {"log", LUMI_FN(method_log), LUMI_FASTCALL_KW, "log($self)\n--\n\n"},
    {"abs", LUMI_FN(method_abs), LUMI_FASTCALL_KW, "abs($self)\n--\n\n"},
    {"sign", LUMI_FN(method_sign), LUMI_FASTCALL_KW, "sign($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace lumipy
