// Module assembly: registration helpers that keep __all__ in step with the
// attributes, the static type builder, and the per-submodule registration
// routines.
#pragma once

#include "python/runtime/ref.hpp"

namespace lumipy {

// Adds obj as attribute `name` and appends the name to __all__.
void add_member(PyObject* module, const char* name, PyObject* obj);

// Adds each function of a NULL-terminated table, in order.
void add_functions(PyObject* module, PyMethodDef* defs);

// Fills the traits every class shares: dotless name (so __module__ is
// "builtins"), final (no BASETYPE flag), no __dict__, no weak references.
void init_type(PyTypeObject& type, const char* name, Py_ssize_t basicsize, const char* doc);
void ready_type(PyTypeObject& type);

// A static type object, filled by `fill` and readied on first use.
template <class Fill>
PyTypeObject& lazy_type(PyTypeObject& type, Fill&& fill) {
    if (!(type.tp_flags & Py_TPFLAGS_READY)) {
        fill(type);
        ready_type(type);
    }
    return type;
}

// Submodule registration, called on the freshly created submodule.
void register_linalg(PyObject* module);
void register_stats(PyObject* module);
void register_random(PyObject* module);
void register_spatial(PyObject* module);

// Top-level members defined outside the module root, in registration order.
void register_top_level_functions(PyObject* module);

// Enters the private reconstruction module of pickled objects in sys.modules
// (pickle.hpp).
void register_pickle_module();

}  // namespace lumipy
