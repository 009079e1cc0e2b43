// The two two-alternative argument forms: an Array (copied) or a flat
// sequence of numbers, and an Array (copied) or one number.  The Array
// alternative is always tried first; when both fail, one TypeError lists
// both attempts with their cause chains.
#pragma once

#include "python/array/array.hpp"
#include "array/buffer.hpp"

namespace lumipy {

struct VecOrArray {
    bool is_array = false;
    lumi::ArrayF64 array;      // the Array alternative
    lumi::Buffer<double> vec;  // the Vec alternative

    // A Vec becomes the 1-D array [n].
    lumi::ArrayF64 into_ndarray() &&;
    // The elements in row-major order, whatever the alternative.
    lumi::Buffer<double> into_elements() &&;
};

struct ArrayOrScalar {
    bool is_array = false;
    lumi::ArrayF64 array;
    double scalar = 0.0;
};

VecOrArray to_vec_or_array(PyObject* obj);
ArrayOrScalar to_array_or_scalar(PyObject* obj);

inline VecOrArray arg_vec_or_array(const char* name, PyObject* obj) {
    return with_arg(name, [&] { return to_vec_or_array(obj); });
}
inline ArrayOrScalar arg_array_or_scalar(const char* name, PyObject* obj) {
    return with_arg(name, [&] { return to_array_or_scalar(obj); });
}

// Copy of an Array's value under a shared borrow (cast error otherwise).
lumi::ArrayF64 copy_array(PyObject* obj);

}  // namespace lumipy
