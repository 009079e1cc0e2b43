// RowBuffer: the int64 results of the batch neighbour queries (row_buffer.hpp).
#include "python/spatial/row_buffer.hpp"

#include <new>
#include <string>
#include <utility>

#include "python/runtime/args.hpp"
#include "python/array/array.hpp"
#include "python/runtime/errors.hpp"
#include "python/runtime/module.hpp"

namespace lumipy {

namespace {

struct RowBufferObject {
    PyObject_HEAD
    lumi::Buffer<std::int64_t> values;
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
    int ndim;
};

RowBufferObject* as_row_buffer(PyObject* self) noexcept { return reinterpret_cast<RowBufferObject*>(self); }

void row_buffer_dealloc(PyObject* self) {
    as_row_buffer(self)->values.~Buffer();
    Py_TYPE(self)->tp_free(self);
}

int row_buffer_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    return guarded(-1, [&] {
        if (!view) raise(PyExc_BufferError, "a RowBuffer needs a view to fill");
        if (flags & PyBUF_WRITABLE) raise(PyExc_BufferError, "a RowBuffer is read-only");
        RowBufferObject* o = as_row_buffer(self);
        static std::int64_t empty = 0;  // a real pointer for zero-length views
        view->buf = o->values.empty() ? &empty : o->values.data();
        view->obj = Ref::borrow(self).release();
        view->len = static_cast<Py_ssize_t>(o->values.size() * sizeof(std::int64_t));
        view->readonly = 1;
        view->itemsize = sizeof(std::int64_t);
        view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>("q") : nullptr;
        if (flags & PyBUF_ND) {
            view->ndim = o->ndim;
            view->shape = o->shape;
        } else {
            // A consumer that asked for no shape reads one flat block.
            view->ndim = 1;
            view->shape = nullptr;
        }
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? o->strides : nullptr;
        view->suboffsets = nullptr;
        view->internal = nullptr;
        return 0;
    });
}

PyBufferProcs row_buffer_procs = {row_buffer_getbuffer, nullptr};

Py_ssize_t row_buffer_len(PyObject* self) { return as_row_buffer(self)->shape[0]; }

PySequenceMethods row_buffer_sequence = {row_buffer_len};

// A new list, like Array.shape, so the two compare equal.
Ref shape_of(const RowBufferObject* o) {
    Ref shape = check(PyList_New(o->ndim));
    for (int d = 0; d < o->ndim; ++d) {
        PyObject* item = PyLong_FromSsize_t(o->shape[d]);
        if (!item) throw PyErrAlready{};
        PyList_SET_ITEM(shape.get(), d, item);
    }
    return shape;
}

PyObject* row_buffer_shape(PyObject* self, void*) {
    return entry([&] { return shape_of(as_row_buffer(self)).release(); });
}

Ref int_list(const std::int64_t* values, std::size_t n) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = PyLong_FromLongLong(values[i]);
        if (!item) throw PyErrAlready{};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyObject* row_buffer_tolist(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        parse_no_args("RowBuffer.tolist", args, nargs, kwnames);
        const RowBufferObject* o = as_row_buffer(self);
        if (o->ndim == 1) return int_list(o->values.data(), o->values.size()).release();
        const auto rows = static_cast<std::size_t>(o->shape[0]);
        const auto cols = static_cast<std::size_t>(o->shape[1]);
        Ref outer = check(PyList_New(o->shape[0]));
        for (std::size_t i = 0; i < rows; ++i) {
            PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(i),
                            int_list(o->values.data() + i * cols, cols).release());
        }
        return outer.release();
    });
}

// numpy.array(self): a copy, with NumPy imported only when asked for.
PyObject* row_buffer_to_numpy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        parse_no_args("RowBuffer.to_numpy", args, nargs, kwnames);
        Ref numpy = check(PyImport_ImportModule("numpy"));
        Ref array = check(PyObject_GetAttrString(numpy.get(), "array"));
        return check(PyObject_CallOneArg(array.get(), self)).release();
    });
}

PyObject* row_buffer_repr(PyObject* self) {
    return entry([&] {
        Ref shape = shape_of(as_row_buffer(self));
        return check(PyUnicode_FromFormat("RowBuffer(shape=%R)", shape.get())).release();
    });
}

PyMethodDef row_buffer_methods[] = {
    {"tolist", LUMI_FN(row_buffer_tolist), LUMI_FASTCALL_KW, "tolist($self)\n--\n\n"},
    {"to_numpy", LUMI_FN(row_buffer_to_numpy), LUMI_FASTCALL_KW, "to_numpy($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef row_buffer_getset[] = {
    {"shape", row_buffer_shape, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject& row_buffer_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return lazy_type(type, [](PyTypeObject& t) {
        init_type(t, "RowBuffer", sizeof(RowBufferObject), nullptr);
        t.tp_dealloc = row_buffer_dealloc;
        t.tp_as_buffer = &row_buffer_procs;
        t.tp_as_sequence = &row_buffer_sequence;
        t.tp_methods = row_buffer_methods;
        t.tp_getset = row_buffer_getset;
        t.tp_repr = row_buffer_repr;
    });
}

}  // namespace

Ref new_row_buffer(lumi::Buffer<std::int64_t>&& values, int ndim, std::size_t n0, std::size_t n1) {
    auto* o = PyObject_New(RowBufferObject, &row_buffer_type());
    if (!o) throw PyErrAlready{};
    new (&o->values) lumi::Buffer<std::int64_t>(std::move(values));
    o->ndim = ndim;
    o->shape[0] = static_cast<Py_ssize_t>(n0);
    o->shape[1] = ndim == 2 ? static_cast<Py_ssize_t>(n1) : 0;
    o->strides[0] = static_cast<Py_ssize_t>(ndim == 2 ? n1 * sizeof(std::int64_t) : sizeof(std::int64_t));
    o->strides[1] = static_cast<Py_ssize_t>(sizeof(std::int64_t));
    return Ref::steal(reinterpret_cast<PyObject*>(o));
}

}  // namespace lumipy
