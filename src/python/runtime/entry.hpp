// Shapes shared by every CPython entry point of the binding: the fast-call
// signature and the casts that put one into a PyMethodDef.
#pragma once

#include "python/runtime/ref.hpp"

namespace lumipy {

// Fast-call signature shared by all methods.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace lumipy

#define LUMI_FASTCALL_KW METH_FASTCALL | METH_KEYWORDS
#define LUMI_FN(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))
