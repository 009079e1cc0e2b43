// The private module `lumivander._pickle` and the state validation helpers
// shared by every pickled class.
#include "python/runtime/pickle.hpp"

#include <bit>
#include <cstring>
#include <vector>

#include "python/runtime/args.hpp"
#include "python/runtime/entry.hpp"
#include "python/runtime/module.hpp"

namespace lumipy {

// ---------------------------------------------------------------------------
// The private module.

namespace {

constexpr const char* kModuleName = "lumivander._pickle";

PyModuleDef pickle_module_def = {
    PyModuleDef_HEAD_INIT, kModuleName, "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* the_pickle_module = nullptr;

PyObject* pickle_module() {
    if (the_pickle_module) return the_pickle_module;
    Ref m = check(PyModule_Create(&pickle_module_def));
    Ref name = check(PyUnicode_FromString(kModuleName));
    for (PyMethodDef* table : {pickle_array_functions, pickle_generator_functions, pickle_tree_functions}) {
        for (PyMethodDef* d = table; d->ml_name; ++d) {
            Ref fn = check(PyCFunction_NewEx(d, m.get(), name.get()));
            check_status(PyModule_AddObjectRef(m.get(), d->ml_name, fn.get()));
        }
    }
    the_pickle_module = m.release();
    return the_pickle_module;
}

}  // namespace

void register_pickle_module() {
    PyObject* m = pickle_module();
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref key = check(PyUnicode_FromString(kModuleName));
    PyObject* cur = PyDict_GetItemWithError(modules, key.get());
    if (cur == m) return;
    if (!cur && PyErr_Occurred()) throw PyErrAlready{};
    check_status(PyDict_SetItem(modules, key.get(), m));
}

Ref pickle_function(const char* name) {
    register_pickle_module();
    return check(PyObject_GetAttrString(pickle_module(), name));
}

// ---------------------------------------------------------------------------
// Validation helpers.

void raise_bad_state(const char* what, const std::string& detail) {
    raise_value_error(std::string("invalid ") + what + " state: " + detail);
}

void check_state_version(const char* what, PyObject* version, long expected) {
    if (!PyLong_CheckExact(version)) raise_bad_state(what, "the version tag is not an int");
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(version, &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrAlready{};
    if (overflow || v != expected) {
        Ref text = check(PyObject_Repr(version));
        const char* s = PyUnicode_AsUTF8(text.get());
        if (!s) throw PyErrAlready{};
        raise_bad_state(what, std::string("unsupported version ") + s + " (this version reads " +
                                  std::to_string(expected) + ")");
    }
}

std::uint64_t state_u64(const char* what, const char* field, PyObject* obj, std::uint64_t max) {
    if (!PyLong_Check(obj) || PyBool_Check(obj)) raise_bad_state(what, std::string(field) + " is not an int");
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyErrAlready{};
    std::uint64_t u = 0;
    if (overflow > 0) {
        u = PyLong_AsUnsignedLongLong(obj);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            raise_bad_state(what, std::string(field) + " is out of range");
        }
    } else if (overflow < 0 || v < 0) {
        raise_bad_state(what, std::string(field) + " is negative");
    } else {
        u = static_cast<std::uint64_t>(v);
    }
    if (u > max) raise_bad_state(what, std::string(field) + " is out of range");
    return u;
}

void check_state_tuple(const char* what, const char* field, PyObject* obj, Py_ssize_t n) {
    if (!PyTuple_Check(obj)) raise_bad_state(what, std::string(field) + " is not a tuple");
    if (n >= 0 && PyTuple_GET_SIZE(obj) != n) {
        raise_bad_state(what, std::string(field) + " has " + std::to_string(PyTuple_GET_SIZE(obj)) +
                                  " items, expected " + std::to_string(n));
    }
}

StateBytes::StateBytes(const char* what, const char* field, PyObject* obj) {
    if (PyUnicode_Check(obj) || PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) {
        PyErr_Clear();
        raise_bad_state(what, std::string(field) + " is not a bytes-like object");
    }
}

void load_le64(void* dst, const unsigned char* src, std::size_t n) noexcept {
    if (n == 0) return;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(dst, src, n * 8);
    } else {
        auto* out = static_cast<unsigned char*>(dst);
        for (std::size_t i = 0; i < n; ++i)
            for (int b = 0; b < 8; ++b) out[i * 8 + b] = src[i * 8 + 7 - b];
    }
}

void store_le64(unsigned char* dst, const void* src, std::size_t n) noexcept {
    load_le64(dst, static_cast<const unsigned char*>(src), n);  // the swap is its own inverse
}

}  // namespace lumipy
