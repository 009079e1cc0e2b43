// Pickling support shared by the classes of the library.
//
// The classes report "builtins" as their module, so pickle cannot find them
// by name.  Their __reduce__ methods therefore name a reconstruction function
// of the private module `lumivander._pickle`, which is entered in
// sys.modules (not as an attribute of the package) whenever the package is
// initialised, so a pickle loads in a fresh process.  Every state starts with
// a version tag, and every reconstruction function validates all it reads:
// a truncated or tampered state raises ValueError (TypeError for an object of
// the wrong kind), never reads out of bounds and never builds a broken object.
#pragma once

#include <cstdint>
#include <string>

#include "python/runtime/errors.hpp"

namespace lumipy {

// Creates the private module on first use and (re-)enters it in sys.modules.
void register_pickle_module();

// A new reference to a reconstruction function of the private module.
Ref pickle_function(const char* name);

// Functions of the private module, contributed by the files that define the
// pickled classes (NULL-terminated).
extern PyMethodDef pickle_array_functions[];
extern PyMethodDef pickle_generator_functions[];
extern PyMethodDef pickle_tree_functions[];

// __reduce__, __copy__ and __deepcopy__ of the spatial classes
// (pickle_spatial.cpp; instantiated for KDTree, BallTree and VPTree).
template <class Tree>
PyObject* tree_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <class Tree>
PyObject* tree_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <class Tree>
PyObject* tree_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ---------------------------------------------------------------------------
// Validation helpers for reconstruction functions.  `what` names the class
// ("Array"); every failure is ValueError "invalid WHAT state: DETAIL".

[[noreturn]] void raise_bad_state(const char* what, const std::string& detail);

// The version tag must be the int `expected`.
void check_state_version(const char* what, PyObject* version, long expected);

// A non-negative int no larger than `max`.
std::uint64_t state_u64(const char* what, const char* field, PyObject* obj,
                        std::uint64_t max = UINT64_MAX);

// A tuple of exactly n items (n < 0: any length).
void check_state_tuple(const char* what, const char* field, PyObject* obj, Py_ssize_t n);

// A read-only view of a contiguous bytes-like object (bytes, bytearray,
// memoryview, PickleBuffer, ...), released on scope exit.
class StateBytes {
public:
    StateBytes(const char* what, const char* field, PyObject* obj);
    ~StateBytes() { PyBuffer_Release(&view_); }
    StateBytes(const StateBytes&) = delete;
    StateBytes& operator=(const StateBytes&) = delete;
    const unsigned char* data() const noexcept { return static_cast<const unsigned char*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

// Copies n little-endian 8-byte words into dst in native order.
void load_le64(void* dst, const unsigned char* src, std::size_t n) noexcept;
// Copies n native 8-byte words into dst as little-endian bytes.
void store_le64(unsigned char* dst, const void* src, std::size_t n) noexcept;

// A new bytes object of n bytes filled by fill(char*).
template <class Fill>
Ref new_bytes(std::size_t n, Fill&& fill) {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    Ref b = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    fill(reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(b.get())));
    return b;
}

}  // namespace lumipy
