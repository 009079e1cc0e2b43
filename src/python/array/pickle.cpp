// Pickling and copying of Array.
//
// An Array pickles as array(1, shape, data): the version tag, the shape as a
// tuple of ints and the elements as raw little-endian IEEE-754 bytes, so
// every bit (NaN payloads, signed zeros) survives and loading is one copy.
#include <bit>
#include <cstring>

#include "base/messages.hpp"
#include "python/array/array.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/module.hpp"
#include "python/runtime/pickle.hpp"

namespace lumipy {

namespace {

constexpr long kArrayStateVersion = 1;

Ref shape_tuple(const lumi::Shape& shape) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    for (std::size_t i = 0; i < shape.size(); ++i) {
        PyObject* item = PyLong_FromSize_t(shape[i]);
        if (!item) throw PyErrAlready{};
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), item);
    }
    return t;
}

PyObject* array_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        parse_no_args("Array.__reduce__", args, nargs, kwnames);
        Ref fn = pickle_function("array");
        auto* o = as_array_object(self);
        Ref shape, data;
        {
            SharedBorrow guard(o->borrow);
            const lumi::ArrayF64& a = o->arr;
            shape = shape_tuple(a.shape);
            data = new_bytes(a.size() * sizeof(double),
                             [&](unsigned char* p) { store_le64(p, a.data.data(), a.size()); });
        }
        Ref version = check(PyLong_FromLong(kArrayStateVersion));
        Ref state = check(PyTuple_Pack(3, version.get(), shape.get(), data.get()));
        return check(PyTuple_Pack(2, fn.get(), state.get())).release();
    });
}

// A read-only buffer over an Array's elements, for pickle protocol 5: the
// pickler writes (or hands out of band) the Array's own memory instead of a
// copy.  Each exported view holds a shared borrow of the Array, so the
// elements cannot change while a consumer (a PickleBuffer, a memoryview)
// still reads them; writes meanwhile raise "Already borrowed".
struct ArrayExport {
    PyObject_HEAD
    PyObject* array;  // strong reference
};

void export_dealloc(PyObject* self) {
    Py_XDECREF(reinterpret_cast<ArrayExport*>(self)->array);
    Py_TYPE(self)->tp_free(self);
}

int export_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    return guarded(-1, [&] {
        auto* o = as_array_object(reinterpret_cast<ArrayExport*>(self)->array);
        if (flags & PyBUF_WRITABLE) raise(PyExc_BufferError, "an Array's pickle buffer is read-only");
        if (o->borrow.state < 0) raise(PyExc_RuntimeError, lumi::msg::kMutablyBorrowed);
        static double empty = 0.0;  // a real pointer for zero-length views
        void* data = o->arr.size() ? static_cast<void*>(o->arr.data.data()) : &empty;
        check_status(PyBuffer_FillInfo(view, self, data,
                                       static_cast<Py_ssize_t>(o->arr.size() * sizeof(double)), 1, flags));
        ++o->borrow.state;
        return 0;
    });
}

void export_releasebuffer(PyObject* self, Py_buffer*) {
    --as_array_object(reinterpret_cast<ArrayExport*>(self)->array)->borrow.state;
}

PyBufferProcs export_buffer_procs = {export_getbuffer, export_releasebuffer};

PyTypeObject& export_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return lazy_type(type, [](PyTypeObject& t) {
        init_type(t, "PyArrayExport", sizeof(ArrayExport), nullptr);
        t.tp_dealloc = export_dealloc;
        t.tp_as_buffer = &export_buffer_procs;
    });
}

// __reduce_ex__(protocol): protocol 5 and later pickle the elements through
// a PickleBuffer over the Array's memory (in band: written straight into the
// pickle; out of band: handed to the caller without a copy); earlier
// protocols, and big-endian hosts, use __reduce__.
PyObject* array_reduce_ex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{"Array.__reduce_ex__", {"protocol"}};
        auto a = sig.parse(args, nargs, kwnames);
        const long protocol = PyLong_AsLong(a[0]);
        if (protocol == -1 && PyErr_Occurred()) throw PyErrAlready{};
        if (protocol < 5 || std::endian::native != std::endian::little) {
            return array_reduce(self, nullptr, 0, nullptr);
        }
        Ref fn = pickle_function("array");
        auto* o = as_array_object(self);
        Ref shape;
        {
            SharedBorrow guard(o->borrow);
            shape = shape_tuple(o->arr.shape);
        }
        ArrayExport* exp = PyObject_New(ArrayExport, &export_type());
        if (!exp) throw PyErrAlready{};
        exp->array = Ref::borrow(self).release();
        Ref exporter = Ref::steal(reinterpret_cast<PyObject*>(exp));
        Ref buffer = check(PyPickleBuffer_FromObject(exporter.get()));
        Ref version = check(PyLong_FromLong(kArrayStateVersion));
        Ref state = check(PyTuple_Pack(3, version.get(), shape.get(), buffer.get()));
        return check(PyTuple_Pack(2, fn.get(), state.get())).release();
    });
}

PyObject* copy_of(PyObject* self) {
    auto* o = as_array_object(self);
    SharedBorrow guard(o->borrow);
    return wrap_array(o->arr.clone());
}

PyObject* array_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        parse_no_args("Array.__copy__", args, nargs, kwnames);
        return copy_of(self);
    });
}

// An Array holds no references, so the memo has nothing to share.
PyObject* array_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{"Array.__deepcopy__", {"memo"}};
        sig.parse(args, nargs, kwnames);
        return copy_of(self);
    });
}

// array(version, shape, data): the Array a state describes.
PyObject* restore_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<3> sig{"array", {"version", "shape", "data"}};
        auto a = sig.parse(args, nargs, kwnames);
        check_state_version("Array", a[0], kArrayStateVersion);
        check_state_tuple("Array", "the shape", a[1], -1);
        lumi::Shape shape(static_cast<std::size_t>(PyTuple_GET_SIZE(a[1])));
        for (std::size_t d = 0; d < shape.size(); ++d) {
            shape[d] = state_u64("Array", "a dimension", PyTuple_GET_ITEM(a[1], static_cast<Py_ssize_t>(d)));
        }
        std::size_t count = 0;
        try {
            count = lumi::Shape::element_count(shape);
        } catch (const lumi::Error&) {
            raise_bad_state("Array", "the shape " + shape.to_string() + " is too big");
        }
        StateBytes bytes("Array", "the data", a[2]);
        if (bytes.size() != count * sizeof(double)) {
            raise_bad_state("Array", "the data has " + std::to_string(bytes.size()) + " bytes, the shape " +
                                         shape.to_string() + " needs " + std::to_string(count * sizeof(double)));
        }
        auto data = lumi::Buffer<double>::uninit(count);
        load_le64(data.data(), bytes.data(), count);
        return wrap_array(lumi::ArrayF64::make(std::move(shape), std::move(data)));
    });
}

}  // namespace

PyMethodDef array_pickle_methods[] = {
    {"__reduce__", LUMI_FN(array_reduce), LUMI_FASTCALL_KW, "__reduce__($self)\n--\n\n"},
    {"__reduce_ex__", LUMI_FN(array_reduce_ex), LUMI_FASTCALL_KW, "__reduce_ex__($self, protocol)\n--\n\n"},
    {"__copy__", LUMI_FN(array_copy), LUMI_FASTCALL_KW, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", LUMI_FN(array_deepcopy), LUMI_FASTCALL_KW, "__deepcopy__($self, memo)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef pickle_array_functions[] = {
    {"array", LUMI_FN(restore_array), LUMI_FASTCALL_KW, "array(version, shape, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace lumipy
