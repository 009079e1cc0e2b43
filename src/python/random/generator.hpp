// The Generator class and the random submodule.
#pragma once

#include "random/generator.hpp"
#include "python/runtime/ref.hpp"

namespace lumipy {

PyTypeObject& generator_type();

// Pickling and copying (pickle_random.cpp).
PyObject* new_generator_object(const lumi::Generator& g);
// The generator's state, read under a shared borrow.
lumi::Generator read_generator(PyObject* self);
PyObject* generator_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* generator_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* generator_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace lumipy
