// Module assembly helpers: members that keep __all__ in step, and the
// traits every class's type object shares.
#include "python/runtime/module.hpp"

#include "python/runtime/errors.hpp"

namespace lumipy {

void add_member(PyObject* module, const char* name, PyObject* obj) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        PyErr_Clear();
        all = check(PyList_New(0));
        check_status(PyModule_AddObjectRef(module, "__all__", all.get()));
    }
    check_status(PyModule_AddObjectRef(module, name, obj));
    Ref text = check(PyUnicode_FromString(name));
    check_status(PyList_Append(all.get(), text.get()));
}

void add_functions(PyObject* module, PyMethodDef* defs) {
    Ref modname = check(PyObject_GetAttrString(module, "__name__"));
    for (PyMethodDef* d = defs; d->ml_name; ++d) {
        Ref fn = check(PyCFunction_NewEx(d, module, modname.get()));
        add_member(module, d->ml_name, fn.get());
    }
}

void init_type(PyTypeObject& type, const char* name, Py_ssize_t basicsize, const char* doc) {
    type.tp_name = name;
    type.tp_basicsize = basicsize;
    type.tp_itemsize = 0;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = doc;
    type.tp_free = PyObject_Free;
}

void ready_type(PyTypeObject& type) { check_status(PyType_Ready(&type)); }

}  // namespace lumipy
