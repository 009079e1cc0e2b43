// NumPy interchange: Array.from_numpy, Array.to_numpy and the __array__
// protocol.
//
// NumPy's C API is not compiled in.  Its function table is fetched from the
// `_ARRAY_API` capsule the first time either method runs, so importing this
// module never imports NumPy, and NumPy is not needed to build it.  The few
// table slots used here are declared below; their indices and the leading
// fields of the array object are the same in NumPy 1.7+ and 2.x.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "base/messages.hpp"
#include "python/runtime/args.hpp"
#include "array/buffer.hpp"
#include "python/array/array.hpp"
#include "python/runtime/module.hpp"

namespace lumipy {

namespace {

using npy_intp = Py_intptr_t;

// Leading fields of NumPy's array object (PyArrayObject_fields).  Fields
// past `flags` differ between versions and are never touched.  The dtype is
// only handed back to NumPy, never read.
struct NpyArrayHead {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

struct NpyDims {
    npy_intp* ptr;
    int len;
};

constexpr int kNpyDouble = 12;
constexpr int kNpyAnyOrder = -1;
constexpr int kFlagCContiguous = 0x0001;
constexpr int kFlagFContiguous = 0x0002;
constexpr int kFlagWriteable = 0x0400;
// PyArray_SetBaseObject first appeared in the 1.7 feature level.
constexpr unsigned kMinFeatureVersion = 0x00000007;

// Table slots (numpy/__multiarray_api.h).
enum : std::size_t {
    kSlotCVersion = 0,
    kSlotArrayType = 2,
    kSlotDescrFromType = 45,
    kSlotNewFromDescr = 94,
    kSlotNewshape = 135,
    kSlotEquivTypes = 182,
    kSlotFeatureVersion = 211,
    kSlotSetBaseObject = 282,
};

struct NumpyApi {
    PyTypeObject* ndarray;
    PyObject* float64;  // the float64 descriptor, one reference held for good
    PyObject* (*new_from_descr)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*, void*, int,
                                PyObject*);
    PyObject* (*newshape)(PyObject*, NpyDims*, int);
    unsigned char (*equiv_types)(PyObject*, PyObject*);
    int (*set_base_object)(PyObject*, PyObject*);
};

template <class F>
F slot(void** table, std::size_t i) {
    return reinterpret_cast<F>(table[i]);
}

[[noreturn]] void raise_import_error(const std::string& msg) { raise(PyExc_ImportError, msg); }

std::string hex(unsigned v) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    do {
        s.insert(s.begin(), digits[v & 0xf]);
        v >>= 4;
    } while (v);
    return "0x" + s;
}

Ref import_multiarray() {
    Ref mod = Ref::steal(PyImport_ImportModule("numpy._core.multiarray"));
    if (mod) return mod;
    // NumPy 1.x before 1.26 has no numpy._core.
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) throw PyErrAlready{};
    PyErr_Clear();
    return check(PyImport_ImportModule("numpy.core.multiarray"));
}

NumpyApi load_numpy_api() {
    Ref mod = import_multiarray();
    Ref capsule = check(PyObject_GetAttrString(mod.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get())) raise_import_error("numpy's _ARRAY_API is not a capsule");
    auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!table) {
        PyErr_Clear();
        raise_import_error("numpy's _ARRAY_API capsule holds no table");
    }
    // The table stays valid as long as NumPy's extension module is loaded,
    // which is for the rest of the process.
    const unsigned abi = slot<unsigned (*)()>(table, kSlotCVersion)();
    if (abi >> 24 != 1 && abi >> 24 != 2) {
        raise_import_error("unsupported NumPy C ABI version " + hex(abi) + " (expected 1.x or 2.x)");
    }
    const unsigned feature = slot<unsigned (*)()>(table, kSlotFeatureVersion)();
    if (feature < kMinFeatureVersion) {
        raise_import_error("NumPy C API version " + hex(feature) + " is too old (NumPy 1.7 or later is needed)");
    }
    NumpyApi api;
    api.ndarray = static_cast<PyTypeObject*>(table[kSlotArrayType]);
    api.new_from_descr = slot<decltype(api.new_from_descr)>(table, kSlotNewFromDescr);
    api.newshape = slot<decltype(api.newshape)>(table, kSlotNewshape);
    api.equiv_types = slot<decltype(api.equiv_types)>(table, kSlotEquivTypes);
    api.set_base_object = slot<decltype(api.set_base_object)>(table, kSlotSetBaseObject);
    api.float64 = slot<PyObject* (*)(int)>(table, kSlotDescrFromType)(kNpyDouble);
    if (!api.float64) throw PyErrAlready{};
    return api;
}

// Loaded on the first call and kept for the life of the process; a failed
// load (NumPy missing) is retried on the next call.
const NumpyApi& numpy_api() {
    static NumpyApi api;
    static bool loaded = false;
    if (!loaded) {
        NumpyApi fresh = load_numpy_api();
        // Importing NumPy runs Python code: another thread may have finished
        // loading meanwhile.  Both tables are the same; keep the first.
        if (loaded) {
            Py_DECREF(fresh.float64);
        } else {
            api = fresh;
            loaded = true;
        }
    }
    return api;
}

}  // namespace

bool numpy_f64_vector(PyObject* obj, StridedF64& out) {
    PyTypeObject* type = Py_TYPE(obj);
    if (std::strcmp(type->tp_name, "numpy.ndarray") != 0) return false;
    const NumpyApi& np = numpy_api();
    if (type != np.ndarray) return false;
    const auto* arr = reinterpret_cast<const NpyArrayHead*>(obj);
    if (arr->nd != 1 || !np.equiv_types(arr->descr, np.float64)) return false;
    out = {arr->data, static_cast<std::size_t>(arr->dimensions[0]), arr->strides[0]};
    return true;
}

namespace {

// ---------------------------------------------------------------------------
// PySliceContainer: owns the buffer that the NumPy arrays made by to_numpy
// view, and frees it when the last of them goes away.

struct SliceContainer {
    PyObject_HEAD
    lumi::Buffer<double> buf;
};

void slice_container_dealloc(PyObject* self) {
    reinterpret_cast<SliceContainer*>(self)->buf.~Buffer();
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject& slice_container_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return lazy_type(type, [](PyTypeObject& t) {
        init_type(t, "PySliceContainer", sizeof(SliceContainer), nullptr);
        t.tp_dealloc = slice_container_dealloc;
    });
}

Ref new_slice_container(lumi::Buffer<double>&& buf) {
    SliceContainer* obj = PyObject_New(SliceContainer, &slice_container_type());
    if (!obj) throw PyErrAlready{};
    new (&obj->buf) lumi::Buffer<double>(std::move(buf));
    return Ref::steal(reinterpret_cast<PyObject*>(obj));
}

// ---------------------------------------------------------------------------
// Column-major to row-major copy.

inline double load(const char* p) noexcept {
    double v;
    std::memcpy(&v, p, sizeof v);  // NumPy buffers need not be aligned
    return v;
}

// Copies the elements of an array stored column-major (first index fastest)
// with the given extents into dst in row-major order.  Offsets come from the
// extents alone: for a column-major contiguous array they are what the
// strides say for every dimension longer than 1, and dimensions of length 1
// (whose strides NumPy leaves arbitrary) are dropped first.
void copy_column_major(const char* src, double* dst, const lumi::Shape& shape) {
    std::vector<std::size_t> ext;
    std::size_t n = 1;
    for (std::size_t s : shape) {
        if (s != 1) ext.push_back(s);
        n *= s;
    }
    if (n == 0) return;
    const std::size_t m = ext.size();
    if (m <= 1) {
        lumi::copy_checked(dst, src, n * sizeof(double));
        return;
    }
    // Element strides of the source (column-major) and destination (row-major).
    std::vector<std::size_t> in_str(m), out_str(m);
    in_str[0] = 1;
    for (std::size_t k = 1; k < m; ++k) in_str[k] = in_str[k - 1] * ext[k - 1];
    out_str[m - 1] = 1;
    for (std::size_t k = m - 1; k-- > 0;) out_str[k] = out_str[k + 1] * ext[k + 1];

    // The first and last dimensions swap roles (contiguous in one buffer,
    // farthest apart in the other): copy them as tiles of a transpose, and
    // walk the dimensions in between with an odometer.
    constexpr std::size_t B = 32;
    const std::size_t rows = ext[0], cols = ext[m - 1];
    const std::size_t out_row = out_str[0];
    const std::size_t in_col_bytes = in_str[m - 1] * sizeof(double);
    std::vector<std::size_t> idx(m, 0);
    std::size_t in_off = 0, out_off = 0;
    for (;;) {
        for (std::size_t i0 = 0; i0 < rows; i0 += B) {
            lumi::check_cancel();
            const std::size_t i1 = std::min(rows, i0 + B);
            for (std::size_t j0 = 0; j0 < cols; j0 += B) {
                const std::size_t j1 = std::min(cols, j0 + B);
                for (std::size_t i = i0; i < i1; ++i) {
                    double* d = dst + out_off + i * out_row;
                    const char* s = src + (in_off + i) * sizeof(double);
                    for (std::size_t j = j0; j < j1; ++j) d[j] = load(s + j * in_col_bytes);
                }
            }
        }
        std::size_t k = m - 1;
        while (--k > 0) {
            in_off += in_str[k];
            out_off += out_str[k];
            if (++idx[k] < ext[k]) break;
            in_off -= ext[k] * in_str[k];
            out_off -= ext[k] * out_str[k];
            idx[k] = 0;
        }
        if (k == 0) return;
    }
}

// ---------------------------------------------------------------------------

PyObject* array_from_numpy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{"Array.from_numpy", {"arr"}};
        auto a = sig.parse(args, nargs, kwnames);
        PyObject* obj = a[0];
        const NumpyApi& np = numpy_api();
        if (!PyObject_TypeCheck(obj, np.ndarray)) raise_cast_error(obj, lumi::msg::kCastNdarray);
        const auto* arr = reinterpret_cast<const NpyArrayHead*>(obj);
        if (!np.equiv_types(arr->descr, np.float64)) {
            Ref dtype = check(PyObject_GetAttrString(obj, "dtype"));
            raise_with_note(PyExc_TypeError, cast_error_message(obj, lumi::msg::kCastNdarray),
                            "Array.from_numpy copies float64 arrays only, and this one has dtype " +
                                exception_message(dtype.get()) +
                                "; convert it first with np.asarray(x, dtype=np.float64)");
        }
        if (!(arr->flags & (kFlagCContiguous | kFlagFContiguous))) {
            raise_with_note(PyExc_TypeError, lumi::msg::kNotContiguous,
                            "Array.from_numpy copies C- or Fortran-contiguous arrays only; make a contiguous "
                            "copy of a strided view first with np.ascontiguousarray(x)");
        }
        lumi::Shape shape(static_cast<std::size_t>(arr->nd));
        for (int d = 0; d < arr->nd; ++d) {
            shape[static_cast<std::size_t>(d)] = static_cast<std::size_t>(arr->dimensions[d]);
        }
        const std::size_t n = lumi::Shape::element_count(shape);
        auto data = lumi::Buffer<double>::uninit(n);
        if (n) {
            if (arr->flags & kFlagCContiguous) {
                lumi::copy_checked(data.data(), arr->data, n * sizeof(double));
            } else {
                copy_column_major(arr->data, data.data(), shape);
            }
        }
        return wrap_array(lumi::ArrayF64::make(std::move(shape), std::move(data)));
    });
}

// A new row-major float64 NumPy array holding a copy of the Array's data.
Ref to_numpy_copy(PyObject* self) {
    const NumpyApi& np = numpy_api();
    auto* o = as_array_object(self);

    lumi::Buffer<double> buf;
    std::vector<npy_intp> dims;
    npy_intp n = 0;
    {
        SharedBorrow guard(o->borrow);
        const lumi::ArrayF64& a = o->arr;
        if (a.ndim() > static_cast<std::size_t>(INT32_MAX)) {
            raise_value_error("too many dimensions for a NumPy array");
        }
        dims.reserve(a.ndim());
        for (std::size_t s : a.shape) {
            // The core bounds the product of the non-zero extents far
            // below this; a zero-size array may still carry huge ones.
            if (s > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
                raise_value_error("array dimension " + std::to_string(s) + " is too large for NumPy");
            }
            dims.push_back(static_cast<npy_intp>(s));
        }
        n = static_cast<npy_intp>(a.size());
        // At least one element, so NumPy is always handed a real pointer.
        buf = lumi::Buffer<double>::uninit(std::max<std::size_t>(a.size(), 1));
        lumi::copy_checked(buf.data(), a.data.data(), a.size() * sizeof(double));
    }

    double* raw = buf.data();
    Ref owner = new_slice_container(std::move(buf));
    const npy_intp stride = sizeof(double);
    Py_INCREF(np.float64);  // stolen by NewFromDescr, even on failure
    Ref flat = check(np.new_from_descr(np.ndarray, np.float64, 1, &n, &stride, raw, kFlagWriteable, nullptr));
    // Steals the owner, even on failure; `flat` does not own its data,
    // so releasing it never frees the buffer.
    check_status(np.set_base_object(flat.get(), owner.release()));
    NpyDims newdims{dims.empty() ? &n : dims.data(), static_cast<int>(dims.size())};
    return check(np.newshape(flat.get(), &newdims, kNpyAnyOrder));
}

PyObject* array_to_numpy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        parse_no_args("Array.to_numpy", args, nargs, kwnames);
        return to_numpy_copy(self).release();
    });
}

// NumPy's array protocol (numpy.asarray, numpy.array and every function that
// takes array-likes).  An Array never shares memory with NumPy, so a copy is
// always made and copy=False is refused with the ValueError NumPy 2 expects
// from objects that cannot avoid one.  A requested dtype other than float64
// is applied with astype, so NumPy's own casting rules and errors hold.
PyObject* array_dunder_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"Array.__array__", {"dtype", "copy"}, 0};
        auto a = sig.parse(args, nargs, kwnames);
        PyObject* dtype = a[0] && a[0] != Py_None ? a[0] : nullptr;
        if (a[1] && a[1] != Py_None && !check_status(PyObject_IsTrue(a[1]))) {
            raise_value_error(
                "Unable to avoid copy while creating an array as requested: an Array never shares its memory "
                "with NumPy (use numpy.asarray(a) to allow the copy)");
        }
        Ref arr = to_numpy_copy(self);
        if (!dtype) return arr.release();
        static PyObject* astype_name = nullptr;
        static PyObject* copy_kw = nullptr;
        if (!astype_name) astype_name = check(PyUnicode_InternFromString("astype")).release();
        if (!copy_kw) copy_kw = check(Py_BuildValue("(s)", "copy")).release();
        // arr.astype(dtype, copy=False): no second copy for float64.
        PyObject* vargs[] = {arr.get(), dtype, Py_False};
        return check(PyObject_VectorcallMethod(astype_name, vargs, 2, copy_kw)).release();
    });
}

// Arrays nested deeper than this in lists and tuples are left for NumPy to
// convert through __array__ (a self-containing list ends here too).
constexpr int kMaxNesting = 32;

// `obj` with every Array, also inside (exact) lists and tuples, replaced by
// a NumPy copy; the object itself when it holds no Array.
Ref with_numpy_arrays(PyObject* obj, int depth) {
    if (is_array(obj)) return to_numpy_copy(obj);
    const bool list = PyList_CheckExact(obj);
    if ((!list && !PyTuple_CheckExact(obj)) || depth >= kMaxNesting) return Ref::borrow(obj);
    const Py_ssize_t n = list ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj);
    Ref out;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
        Ref keep = Ref::borrow(item);
        Ref conv = with_numpy_arrays(item, depth + 1);
        if (conv.get() == item && !out) continue;
        if (!out) {
            // First change: copy the container up to here.
            out = check(list ? PyList_GetSlice(obj, 0, n) : PyTuple_GetSlice(obj, 0, n));
        }
        if (list) {
            check_status(PyList_SetItem(out.get(), i, conv.release()));
        } else {
            // A fresh tuple from GetSlice is ours alone until returned.
            PyObject* old = PyTuple_GET_ITEM(out.get(), i);
            PyTuple_SET_ITEM(out.get(), i, conv.release());
            Py_DECREF(old);
        }
    }
    return out ? std::move(out) : Ref::borrow(obj);
}

// NumPy's function protocol: np.sum(a), np.concatenate([a, b]),
// np.linalg.norm(a) and every other NumPy function behave exactly as on
// np.asarray(a).  The Arrays among the arguments become NumPy copies and the
// function is called again, so NumPy dispatches as it would have for those
// copies: to itself, or to another array type that takes part.  (Without
// this, NumPy forwards axis= and out= to same-named methods of the Array,
// which take no such arguments.)
PyObject* array_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&]() -> PyObject* {
        static const Sig<4> sig{"Array.__array_function__", {"func", "types", "args", "kwargs"}};
        auto a = sig.parse(args, nargs, kwnames);
        PyObject* func = a[0];
        if (!PyTuple_Check(a[2])) raise_type_error("Array.__array_function__: args must be a tuple");
        if (!PyDict_Check(a[3])) raise_type_error("Array.__array_function__: kwargs must be a dict");
        numpy_api();  // NumPy is loaded before anything is converted
        Ref call_args = with_numpy_arrays(a[2], 0);
        Ref call_kwargs = check(PyDict_New());
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        // Walk a private copy: a finaliser run by an allocation could change
        // the caller's dict.
        Ref kwargs = check(PyDict_Copy(a[3]));
        while (PyDict_Next(kwargs.get(), &pos, &key, &value)) {
            Ref k = Ref::borrow(key);
            Ref conv = with_numpy_arrays(value, 0);
            check_status(PyDict_SetItem(call_kwargs.get(), k.get(), conv.get()));
        }
        // An Array the conversion cannot reach (in a deque, or nested too
        // deep) would bring NumPy straight back here with the same function:
        // that inner call runs NumPy's undispatched implementation, which
        // converts what is left through __array__.
        thread_local PyObject* active = nullptr;
        Ref target = Ref::borrow(func);
        if (active == func) {
            static PyObject* impl_name = nullptr;
            if (!impl_name) impl_name = check(PyUnicode_InternFromString("_implementation")).release();
            Ref impl = Ref::steal(PyObject_GetAttr(func, impl_name));
            if (impl) {
                target = std::move(impl);
            } else if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                throw PyErrAlready{};
            } else {
                PyErr_Clear();
            }
        }
        if (Py_EnterRecursiveCall(" in Array.__array_function__")) throw PyErrAlready{};
        PyObject* const outer = active;
        active = func;
        PyObject* result = PyObject_Call(target.get(), call_args.get(), call_kwargs.get());
        active = outer;
        Py_LeaveRecursiveCall();
        return check(result).release();
    });
}

}  // namespace

// NumPy's binary operators defer to an operand whose priority is above
// theirs.  NumPy scalars rank lowest (-1e6) and arrays at 0: between the two,
// `numpy.float64(2) * a` stays an Array like `2.0 * a`, while an operation
// with a NumPy array goes through __array__ and gives a NumPy array.
PyObject* array_priority(PyObject*, void*) { return PyFloat_FromDouble(-1.0); }

PyMethodDef array_numpy_methods[] = {
    {"from_numpy", LUMI_FN(array_from_numpy), LUMI_FASTCALL_KW | METH_STATIC, "from_numpy(arr)\n--\n\n"},
    {"to_numpy", LUMI_FN(array_to_numpy), LUMI_FASTCALL_KW, "to_numpy($self)\n--\n\n"},
    {"__array__", LUMI_FN(array_dunder_array), LUMI_FASTCALL_KW, "__array__($self, dtype=None, copy=None)\n--\n\n"},
    {"__array_function__", LUMI_FN(array_function), LUMI_FASTCALL_KW,
     "__array_function__($self, func, types, args, kwargs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace lumipy
