// Ref: the one owning handle for PyObject references.  Ref::steal takes over a
// new reference, Ref::borrow adds one; move-only.  Borrowed arguments stay raw
// PyObject* at call sites.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace lumipy {

// Thrown when a Python exception is already set; the entry wrapper turns it
// into a NULL / -1 return without touching the error indicator.
struct PyErrAlready {};

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference from a C-API call; NULL means an exception is set.
inline Ref check(PyObject* p) {
    if (!p) throw PyErrAlready{};
    return Ref::steal(p);
}

// An int status from a C-API call; -1 means an exception is set.
inline int check_status(int rc) {
    if (rc < 0) throw PyErrAlready{};
    return rc;
}

}  // namespace lumipy
