// The Array class: a Python object owning exactly one NdArray<double>.
//
// The class is assembled in array.cpp from member tables defined next to
// their implementations: construction and conversion (array.cpp), arithmetic
// and element-wise math (ops.cpp), subscripting and iteration (index.cpp),
// argument conversion and asarray (array_args.cpp), NumPy interchange
// (numpy_bridge.cpp), constructors (construct.cpp), pickling (pickle.cpp).
#pragma once

#include <new>
#include <string>

#include "array/ndarray.hpp"
#include "python/runtime/borrow.hpp"
#include "python/runtime/entry.hpp"
#include "python/runtime/ref.hpp"

namespace lumipy {

struct ArrayObject {
    PyObject_HEAD
    BorrowFlag borrow;
    lumi::ArrayF64 arr;
};

PyTypeObject& array_type();
PyTypeObject& array_iter_type();

inline bool is_array(PyObject* obj) noexcept { return PyObject_TypeCheck(obj, &array_type()); }
inline ArrayObject* as_array_object(PyObject* obj) noexcept { return reinterpret_cast<ArrayObject*>(obj); }

// The Array behind obj, or TypeError "'T' object cannot be cast as 'Array'".
ArrayObject* cast_array(PyObject* obj);
// Same with the "argument 'NAME': " prefix.
ArrayObject* arg_array(const char* name, PyObject* obj);

// float64 values read in place: `len` of them, `stride` bytes apart.
struct StridedF64 {
    const char* data = nullptr;
    std::size_t len = 0;
    Py_ssize_t stride = 0;
};

// Whether obj is exactly a numpy.ndarray (not a subclass) of one dimension
// and native float64; `out` then views its values.  Never imports NumPy: an
// object of that type means it is loaded.
bool numpy_f64_vector(PyObject* obj, StridedF64& out);

// A new Array object taking ownership of the core value.
PyObject* wrap_array(lumi::ArrayF64&& value);

// Member tables contributed by the files named above (NULL-terminated).
extern PyMethodDef array_static_ctor_methods[];   // zeros ones full asarray eye diag
extern PyMethodDef array_elementwise_methods[];   // sin cos exp sqrt clip tan arcsin ...
extern PyMethodDef array_index_methods[];         // get take
extern PyMethodDef array_numpy_methods[];         // from_numpy to_numpy __array__
extern PyMethodDef array_pickle_methods[];        // __reduce__ __copy__ __deepcopy__
extern PyMethodDef array_linalg_methods[];        // t transpose dot matmul diagonal outer
extern PyMethodDef array_reduction_methods[];     // sum mean var std median quantile any all (stats.cpp)
extern PyNumberMethods array_number_methods;
extern PyMappingMethods array_mapping_methods;
extern PySequenceMethods array_sequence_methods;
PyObject* array_iter(PyObject* self);
PyObject* array_priority(PyObject* self, void*);  // __array_priority__ getter
PyObject* array_nb_matmul(PyObject* left, PyObject* right);  // linalg.cpp

// Module-level asarray (shared with the static method).
PyObject* asarray_fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace lumipy
