// Releases the interpreter lock for the lifetime of the guard.  Only pure C++
// work on data kept alive by the caller (strong references, borrow guards)
// may run inside; nothing in the scope may touch a Python object.
#pragma once

#include <Python.h>

namespace lumipy {

class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace lumipy
