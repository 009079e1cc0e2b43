// Array: construction, shape, len, repr, conversion to nested lists, and the
// assembly of the type object from the member tables of the other files.
#include "python/array/array.hpp"

#include <string>
#include <vector>

#include "base/messages.hpp"
#include "python/runtime/args.hpp"
#include "array/format.hpp"
#include "python/runtime/convert.hpp"
#include "python/runtime/module.hpp"

namespace lumipy {

PyObject* wrap_array(lumi::ArrayF64&& value) {
    ArrayObject* obj = PyObject_New(ArrayObject, &array_type());
    if (!obj) throw PyErrAlready{};
    new (&obj->borrow) BorrowFlag();
    new (&obj->arr) lumi::ArrayF64(std::move(value));
    return reinterpret_cast<PyObject*>(obj);
}

ArrayObject* cast_array(PyObject* obj) {
    if (!is_array(obj)) raise_cast_error(obj, lumi::msg::kCastArray);
    return as_array_object(obj);
}

ArrayObject* arg_array(const char* name, PyObject* obj) {
    return with_arg(name, [&] { return cast_array(obj); });
}

namespace {

void array_dealloc(PyObject* self) {
    as_array_object(self)->arr.~NdArray();
    Py_TYPE(self)->tp_free(self);
}

PyObject* array_vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"Array.__new__", {"shape", "data"}};
        auto a = sig.parse(args, static_cast<Py_ssize_t>(nargsf), kwnames);
        lumi::Shape shape = arg_shape("shape", a[0]);
        lumi::Buffer<double> data = with_arg("data", [&] { return to_f64_vec(a[1]); });
        const std::size_t expected = lumi::Shape::element_count(shape);
        if (data.size() != expected) raise_value_error(lumi::msg::data_length(data.size(), shape.to_string(), expected));
        return wrap_array(lumi::ArrayF64::make(std::move(shape), std::move(data)));
    });
}

PyObject* array_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        return call_with_tuple(args, kwargs, [&](PyObject* const* a, Py_ssize_t n, PyObject* kw) {
            PyObject* r = array_vectorcall(reinterpret_cast<PyObject*>(type), a, static_cast<std::size_t>(n), kw);
            if (!r) throw PyErrAlready{};
            return r;
        });
    });
}

PyObject* array_get_shape(PyObject* self, void*) {
    return entry([&] {
        auto* o = as_array_object(self);
        SharedBorrow guard(o->borrow);
        return new_size_list(o->arr.shape).release();
    });
}

PyObject* array_repr(PyObject* self) {
    return entry([&] {
        auto* o = as_array_object(self);
        SharedBorrow guard(o->borrow);
        const lumi::ArrayF64& a = o->arr;
        std::string s = "Array(shape=" + a.shape.to_string() + ", data=[";
        s.reserve(s.size() + a.size() * 8 + 2);
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (i) s += ", ";
            lumi::append_float(s, a.data[i]);
        }
        s += "])";
        return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))).release();
    });
}

// Nested lists for the sub-array starting at flat position `offset` and
// spanning dimensions dim..ndim-1.  Iterative, so arrays with very many
// dimensions cannot exhaust the C stack.
Ref nested_list(const lumi::ArrayF64& a, std::size_t dim, std::size_t offset) {
    const std::size_t ndim = a.ndim();
    if (dim >= ndim) {
        raise_value_error("dimension " + std::to_string(dim) + " is out of range for an array with " +
                          std::to_string(ndim) + " dimensions");
    }
    using u128 = unsigned __int128;
    struct Frame {
        PyObject* list;  // owned by its parent list (or by root)
        std::size_t dim;
        u128 base;
        std::size_t next;
    };
    auto new_list = [](std::size_t n) {
        if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        return check(PyList_New(static_cast<Py_ssize_t>(n)));
    };
    Ref root = new_list(a.shape[dim]);
    std::vector<Frame> stack;
    stack.push_back({root.get(), dim, offset, 0});
    const double* data = a.data.data();
    const u128 len = a.size();
    while (!stack.empty()) {
        Frame& f = stack.back();
        const std::size_t n = a.shape[f.dim];
        const std::size_t stride = a.strides[f.dim];
        if (f.dim + 1 == ndim) {
            for (std::size_t i = 0; i < n; ++i) {
                const u128 pos = f.base + static_cast<u128>(i) * stride;
                if (pos >= len) {
                    // Positions past 2**64 print exactly as well.
                    std::string digits;
                    u128 v = pos;
                    do {
                        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
                        v /= 10;
                    } while (v);
                    raise_value_error(lumi::msg::index_out_of_bounds(a.size(), digits));
                }
                PyObject* item = PyFloat_FromDouble(data[static_cast<std::size_t>(pos)]);
                if (!item) throw PyErrAlready{};
                PyList_SET_ITEM(f.list, static_cast<Py_ssize_t>(i), item);
            }
            stack.pop_back();
        } else if (f.next < n) {
            const std::size_t i = f.next++;
            Ref child = new_list(a.shape[f.dim + 1]);
            PyObject* child_raw = child.get();
            PyList_SET_ITEM(f.list, static_cast<Py_ssize_t>(i), child.release());
            const u128 base = f.base + static_cast<u128>(i) * stride;
            stack.push_back({child_raw, f.dim + 1, base, 0});
        } else {
            stack.pop_back();
        }
    }
    return root;
}

PyObject* array_tolist(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        parse_no_args("Array.tolist", args, nargs, kwnames);
        auto* o = as_array_object(self);
        SharedBorrow guard(o->borrow);
        if (o->arr.ndim() == 0) return new_float(o->arr.data[0]).release();
        return nested_list(o->arr, 0, 0).release();
    });
}

PyObject* array_to_pylist_recursive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"Array.to_pylist_recursive", {"dim", "offset"}};
        auto a = sig.parse(args, nargs, kwnames);
        const std::uint64_t dim = arg_u64("dim", a[0]);
        const std::uint64_t offset = arg_u64("offset", a[1]);
        auto* o = as_array_object(self);
        SharedBorrow guard(o->borrow);
        return nested_list(o->arr, dim, offset).release();
    });
}

PyMethodDef own_methods[] = {
    {"tolist", LUMI_FN(array_tolist), LUMI_FASTCALL_KW,
     "tolist($self)\n--\n\n"},
    {"to_pylist_recursive",
     LUMI_FN(array_to_pylist_recursive), LUMI_FASTCALL_KW,
     "to_pylist_recursive($self, dim, offset)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"shape", array_get_shape, nullptr, nullptr, nullptr},
    {"__array_priority__", array_priority, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

std::vector<PyMethodDef>& method_table() {
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> t;
        for (PyMethodDef* part : {array_static_ctor_methods, own_methods, array_elementwise_methods,
                                  array_index_methods, array_numpy_methods, array_pickle_methods,
                                  array_linalg_methods, array_reduction_methods}) {
            for (PyMethodDef* d = part; d->ml_name; ++d) t.push_back(*d);
        }
        t.push_back({nullptr, nullptr, 0, nullptr});
        return t;
    }();
    return table;
}

}  // namespace

Py_ssize_t array_length(PyObject* self) {
    return static_cast<Py_ssize_t>(as_array_object(self)->arr.size());
}

PyTypeObject& array_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return lazy_type(type, [](PyTypeObject& t) {
        init_type(t, "Array", sizeof(ArrayObject), "Array(shape, data)\n--\n\n");
        t.tp_dealloc = array_dealloc;
        t.tp_repr = array_repr;
        t.tp_new = array_new;
        t.tp_vectorcall = array_vectorcall;
        t.tp_methods = method_table().data();
        t.tp_getset = getset;
        t.tp_as_number = &array_number_methods;
        t.tp_as_mapping = &array_mapping_methods;
        t.tp_as_sequence = &array_sequence_methods;
        t.tp_iter = array_iter;
    });
}

}  // namespace lumipy
