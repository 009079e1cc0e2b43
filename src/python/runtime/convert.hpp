// Conversions from Python objects to core values, with the interpreter's own
// error messages.  Every failure leaves a Python exception set and throws
// PyErrAlready; with_arg() adds the "argument 'NAME': " prefix to TypeErrors.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "array/buffer.hpp"
#include "array/shape.hpp"
#include "base/messages.hpp"
#include "python/runtime/errors.hpp"

namespace lumipy {

// float(obj) semantics: exact floats read directly, everything else through
// PyFloat_AsDouble (__float__, then __index__).
inline double to_f64(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw PyErrAlready{};
    return v;
}

// Unsigned 64-bit integer through __index__; negatives and values past 2**64-1
// raise the interpreter's OverflowError, floats its TypeError.
std::uint64_t to_u64(PyObject* obj);

// Signed 64-bit integer through __index__.
std::int64_t to_i64(PyObject* obj);

// A flat sequence (not a str) of unsigned sizes / of floats.  A str is refused
// with "Can't extract `str` to `Vec`", a non-sequence with the cast error.
std::vector<std::size_t> to_usize_vec(PyObject* obj);
lumi::Buffer<double> to_f64_vec(PyObject* obj);
inline lumi::Shape to_shape(PyObject* obj) { return lumi::Shape(to_usize_vec(obj)); }

// A str is refused with "Can't extract `str` to `Vec`", a non-sequence with
// the 'Sequence' cast error.
inline void require_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj)) raise_type_error(lumi::msg::kStrToVec);
    if (!PySequence_Check(obj)) raise_cast_error(obj, lumi::msg::kCastSequence);
}

// Most items reserved up front on the word of a sequence's __len__.
inline constexpr std::size_t kMaxUntrustedReserve = std::size_t{1} << 16;

// Length hint for reserving.  Exact lists and tuples already hold their
// items, so their length is reserved in full; any other sequence's __len__
// may say anything (10**12 for three items), so at most kMaxUntrustedReserve
// is believed and storage grows geometrically past it.  An ordinary error
// from len() is ignored; interrupts propagate.
inline std::size_t reserve_hint(PyObject* obj) {
    if (PyList_CheckExact(obj)) return static_cast<std::size_t>(PyList_GET_SIZE(obj));
    if (PyTuple_CheckExact(obj)) return static_cast<std::size_t>(PyTuple_GET_SIZE(obj));
    Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) {
        clear_ordinary_error();
        return 0;
    }
    return std::min(static_cast<std::size_t>(n), kMaxUntrustedReserve);
}

// Calls f(item) for each item of a sequence in iteration order, stopping
// after `max_items` items.  Lists and tuples are walked by index with the
// length re-read every step (what their iterators do), holding a reference
// to the item while converting it, since a conversion hook may mutate the
// list.
template <class F>
void for_each_item(PyObject* obj, F&& f, std::size_t max_items = SIZE_MAX) {
    const auto cap = static_cast<Py_ssize_t>(std::min<std::size_t>(max_items, PY_SSIZE_T_MAX));
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj) && i < cap; ++i) {
            PyObject* item = PyList_GET_ITEM(obj, i);
            if (PyFloat_CheckExact(item) || PyLong_CheckExact(item)) {
                f(item);
            } else {
                Ref hold = Ref::borrow(item);
                f(hold.get());
            }
        }
        return;
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj) && i < cap; ++i) f(PyTuple_GET_ITEM(obj, i));
        return;
    }
    Ref it = check(PyObject_GetIter(obj));
    for (Py_ssize_t i = 0; i < cap; ++i) {
        PyObject* raw = PyIter_Next(it.get());
        if (!raw) break;
        Ref item = Ref::steal(raw);
        f(item.get());
    }
    if (PyErr_Occurred()) throw PyErrAlready{};
}


// Same conversions with the argument prefix.
inline double arg_f64(const char* name, PyObject* obj) {
    return with_arg(name, [&] { return to_f64(obj); });
}
inline std::uint64_t arg_u64(const char* name, PyObject* obj) {
    return with_arg(name, [&] { return to_u64(obj); });
}
inline std::int64_t arg_i64(const char* name, PyObject* obj) {
    return with_arg(name, [&] { return to_i64(obj); });
}
inline lumi::Shape arg_shape(const char* name, PyObject* obj) {
    return with_arg(name, [&] { return to_shape(obj); });
}
inline std::vector<std::size_t> arg_usize_vec(const char* name, PyObject* obj) {
    return with_arg(name, [&] { return to_usize_vec(obj); });
}
// None or absent means nullopt.
inline std::optional<std::uint64_t> arg_opt_u64(const char* name, PyObject* obj) {
    if (!obj || obj == Py_None) return std::nullopt;
    return arg_u64(name, obj);
}
inline std::optional<std::int64_t> arg_opt_i64(const char* name, PyObject* obj) {
    if (!obj || obj == Py_None) return std::nullopt;
    return arg_i64(name, obj);
}

// New Python objects.
inline Ref new_float(double v) { return check(PyFloat_FromDouble(v)); }
Ref new_size_list(const std::vector<std::size_t>& v);

}  // namespace lumipy
