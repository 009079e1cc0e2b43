// Array subscripting (read, write, delete), get/take, membership, and
// iteration through PyArrayIter.  Reads take a shared borrow and writes an
// exclusive one for their whole duration, so an __index__ or __float__ hook
// that touches the same array gets a RuntimeError instead of stale memory.
#include <cstring>
#include <string>

#include "base/messages.hpp"
#include "python/runtime/args.hpp"
#include "python/array/array.hpp"
#include "python/runtime/convert.hpp"
#include "python/runtime/module.hpp"

namespace lumipy {

Py_ssize_t array_length(PyObject* self);

namespace {

using lumi::ArrayF64;

// Wraps a negative index once and checks it against the axis size.
std::size_t resolve_index(std::int64_t k, std::size_t axis, std::size_t size) {
    // Sizes never exceed PTRDIFF_MAX / 8, so they fit int64.
    const auto s = static_cast<std::int64_t>(size);
    const std::int64_t r = k < 0 ? k + s : k;
    if (r < 0 || r >= s) raise_value_error(lumi::msg::axis_out_of_bounds(k, axis, size));
    return static_cast<std::size_t>(r);
}

// Flat offset of the tuple's leading indices; errors as the interpreter's
// integer conversion raises them, or the axis message.
std::size_t tuple_offset(const ArrayF64& a, PyObject* tup, Py_ssize_t w) {
    std::size_t off = 0;
    for (Py_ssize_t j = 0; j < w; ++j) {
        const auto ju = static_cast<std::size_t>(j);
        const std::int64_t k = to_i64(PyTuple_GET_ITEM(tup, j));
        off += resolve_index(k, ju, a.shape[ju]) * a.strides[ju];
    }
    return off;
}

// Copy of the contiguous run holding dimensions first..ndim-1 at offset.
PyObject* subarray(const ArrayF64& a, std::size_t first, std::size_t off) {
    lumi::Shape shape(a.shape.begin() + static_cast<std::ptrdiff_t>(first), a.shape.end());
    const std::size_t n = lumi::Shape::element_count(shape);
    auto data = lumi::Buffer<double>::uninit(n);
    lumi::copy_checked(data.data(), a.data.data() + off, n * sizeof(double));
    return wrap_array(ArrayF64::make(std::move(shape), std::move(data)));
}

// Integer conversion through __index__; false (no error set) on an ordinary
// failure.  Interrupts and MemoryError propagate.
bool try_index(PyObject* idx, std::int64_t& k) {
    if (!PyLong_Check(idx) && !PyIndex_Check(idx)) return false;
    k = PyLong_AsLongLong(idx);
    if (k == -1 && PyErr_Occurred()) {
        clear_ordinary_error();
        return false;
    }
    return true;
}

PyObject* slice_read(const ArrayF64& a, PyObject* slice) {
    Py_ssize_t start, stop, step;
    check_status(PySlice_Unpack(slice, &start, &stop, &step));
    const auto n = static_cast<Py_ssize_t>(a.size());
    const Py_ssize_t count = PySlice_AdjustIndices(n, &start, &stop, step);
    auto out = lumi::Buffer<double>::uninit(static_cast<std::size_t>(count));
    const double* d = a.data.data();
    // Position of the m-th element computed directly: start + m * step stays
    // inside [0, n) for every m < count, whereas stepping a running position
    // once past the last element can overflow for steps near 2**63.
    constexpr Py_ssize_t kCheckEvery = Py_ssize_t{1} << 19;
    for (Py_ssize_t m = 0; m < count; ++m) {
        if (m % kCheckEvery == 0 && m) lumi::check_cancel();
        out[static_cast<std::size_t>(m)] = d[start + m * step];
    }
    return wrap_array(ArrayF64::make(lumi::Shape::d1(static_cast<std::size_t>(count)), std::move(out)));
}

PyObject* array_subscript(PyObject* self, PyObject* idx) {
    return entry([&]() -> PyObject* {
        auto* o = as_array_object(self);
        SharedBorrow guard(o->borrow);
        const ArrayF64& a = o->arr;
        const std::size_t r = a.ndim();
        if (PyTuple_Check(idx)) {
            const Py_ssize_t w = PyTuple_GET_SIZE(idx);
            if (static_cast<std::size_t>(w) > r) {
                raise_value_error(lumi::msg::too_many_indices(r, static_cast<std::size_t>(w)));
            }
            const std::size_t off = tuple_offset(a, idx, w);
            if (static_cast<std::size_t>(w) == r) return new_float(a.data[off]).release();
            return subarray(a, static_cast<std::size_t>(w), off);
        }
        if (Py_IS_TYPE(idx, &PySlice_Type)) return slice_read(a, idx);
        std::int64_t k;
        if (!try_index(idx, k)) raise_value_error(lumi::msg::kIndexNotInteger);
        if (r == 0) raise_value_error(lumi::msg::kZeroDimIndexed);
        const std::size_t i = resolve_index(k, 0, a.shape[0]);
        if (r == 1) return new_float(a.data[i]).release();
        return subarray(a, 1, i * a.strides[0]);
    });
}

int array_ass_subscript(PyObject* self, PyObject* idx, PyObject* value) {
    return guarded(-1, [&] {
        if (!value) raise(PyExc_NotImplementedError, lumi::msg::kCannotDelete);
        auto* o = as_array_object(self);
        ExclusiveBorrow guard(o->borrow);
        const double v = arg_f64("value", value);
        ArrayF64& a = o->arr;
        const std::size_t r = a.ndim();
        if (PyTuple_Check(idx)) {
            const Py_ssize_t w = PyTuple_GET_SIZE(idx);
            if (static_cast<std::size_t>(w) != r) {
                raise_value_error(lumi::msg::set_item_index_count(r, static_cast<std::size_t>(w)));
            }
            a.data[tuple_offset(a, idx, w)] = v;
            return 0;
        }
        std::int64_t k;
        if (!try_index(idx, k)) raise_value_error(lumi::msg::kAssignIndexNotInteger);
        if (r != 1) raise_value_error(lumi::msg::kSingleIndexAssignment);
        a.data[resolve_index(k, 0, a.shape[0])] = v;
        return 0;
    });
}

int array_contains(PyObject* self, PyObject* value) {
    return guarded(-1, [&] {
        const double v = arg_f64("value", value);
        auto* o = as_array_object(self);
        SharedBorrow guard(o->borrow);
        for (double x : o->arr.data) {
            if (x == v) return 1;
        }
        return 0;
    });
}

PyObject* array_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{"Array.get", {"indices"}};
        auto a = sig.parse(args, nargs, kwnames);
        std::vector<std::size_t> idx = arg_usize_vec("indices", a[0]);
        auto* o = as_array_object(self);
        SharedBorrow guard(o->borrow);
        const double* p = o->arr.get(idx);
        if (!p) raise_value_error(lumi::msg::kGetOutOfBounds);
        return new_float(*p).release();
    });
}

PyObject* array_take(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{"Array.take", {"indices"}};
        auto a = sig.parse(args, nargs, kwnames);
        std::vector<std::size_t> idx = arg_usize_vec("indices", a[0]);
        auto* o = as_array_object(self);
        SharedBorrow guard(o->borrow);
        return wrap_array(o->arr.take(idx));
    });
}

// ---- PyArrayIter ----

struct ArrayIterObject {
    PyObject_HEAD
    BorrowFlag borrow;
    lumi::Buffer<double> data;
    std::size_t pos;
};

void iter_dealloc(PyObject* self) {
    reinterpret_cast<ArrayIterObject*>(self)->data.~Buffer();
    Py_TYPE(self)->tp_free(self);
}

PyObject* iter_next(PyObject* self) {
    return entry([&]() -> PyObject* {
        auto* it = reinterpret_cast<ArrayIterObject*>(self);
        ExclusiveBorrow guard(it->borrow);
        if (it->pos >= it->data.size()) return nullptr;  // exhausted; no exception object
        return new_float(it->data[it->pos++]).release();
    });
}

PyObject* iter_self(PyObject* self) {
    Py_INCREF(self);
    return self;
}

}  // namespace

PyObject* array_iter(PyObject* self) {
    return entry([&] {
        auto* o = as_array_object(self);
        SharedBorrow guard(o->borrow);
        lumi::Buffer<double> copy = o->arr.data;
        ArrayIterObject* it = PyObject_New(ArrayIterObject, &array_iter_type());
        if (!it) throw PyErrAlready{};
        new (&it->borrow) BorrowFlag();
        new (&it->data) lumi::Buffer<double>(std::move(copy));
        it->pos = 0;
        return reinterpret_cast<PyObject*>(it);
    });
}

PyTypeObject& array_iter_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return lazy_type(type, [](PyTypeObject& t) {
        init_type(t, "PyArrayIter", sizeof(ArrayIterObject), nullptr);
        t.tp_dealloc = iter_dealloc;
        t.tp_iter = iter_self;
        t.tp_iternext = iter_next;
    });
}

PyMappingMethods array_mapping_methods = {array_length, array_subscript, array_ass_subscript};

PySequenceMethods array_sequence_methods = {
    array_length, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, array_contains, nullptr, nullptr,
};

PyMethodDef array_index_methods[] = {
    {"get", LUMI_FN(array_get), LUMI_FASTCALL_KW,
     "get($self, indices)\n--\n\n"},
    {"take", LUMI_FN(array_take), LUMI_FASTCALL_KW,
     "take($self, indices)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace lumipy
