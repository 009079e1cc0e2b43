// The module's entry point, above the class families it assembles:
// single-phase initialisation, one module object per process, refusal of
// subinterpreters, registration in a fixed order.
#include <atomic>

#include "python/array/array.hpp"
#include "python/random/generator.hpp"
#include "python/runtime/errors.hpp"
#include "python/runtime/module.hpp"
#include "python/spatial/trees.hpp"

namespace lumipy {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "lumivander",
    "",
    // Non-negative size: a re-import after removal from sys.modules calls the
    // init function again, which hands back the cached module object.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* the_module = nullptr;
std::atomic<std::int64_t> owner_interpreter{-1};

PyObject* init() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "failed to query the interpreter ID");
        throw PyErrAlready{};
    }
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError,
              "lumivander does not support subinterpreters: it can only be imported in the interpreter "
              "that first imported it");
    }
    // Pickles name their reconstruction functions by a module path that must
    // resolve whenever the package is (re-)imported.
    register_pickle_module();
    if (the_module) {
        Py_INCREF(the_module);
        return the_module;
    }

    Ref m = check(PyModule_Create(&module_def));
    add_member(m.get(), "Array", reinterpret_cast<PyObject*>(&array_type()));
    add_member(m.get(), "PyArrayIter", reinterpret_cast<PyObject*>(&array_iter_type()));
    add_member(m.get(), "Generator", reinterpret_cast<PyObject*>(&generator_type()));
    add_member(m.get(), "BallTree", reinterpret_cast<PyObject*>(&ball_tree_type()));
    add_member(m.get(), "KDTree", reinterpret_cast<PyObject*>(&kd_tree_type()));
    register_top_level_functions(m.get());
    // The package version, from pyproject.toml at build time; a dunder, so
    // not part of __all__.
    {
        Ref version = check(PyUnicode_FromString(LUMI_VERSION));
        check_status(PyModule_AddObjectRef(m.get(), "__version__", version.get()));
    }

    struct Sub {
        const char* name;
        void (*fill)(PyObject*);
    };
    static const Sub subs[] = {
        {"linalg", register_linalg},
        {"stats", register_stats},
        {"random", register_random},
        {"spatial", register_spatial},
    };
    for (const Sub& s : subs) {
        Ref sub = check(PyModule_New(s.name));
        s.fill(sub.get());
        add_member(m.get(), s.name, sub.get());
    }

    the_module = m.release();
    Py_INCREF(the_module);
    return the_module;
}

}  // namespace

}  // namespace lumipy

PyMODINIT_FUNC PyInit_lumivander(void) {
    return lumipy::entry([] { return lumipy::init(); });
}
