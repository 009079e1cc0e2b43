// Releases the interpreter lock for the lifetime of the guard.  Only pure C++
// work on data kept alive by the caller (strong references, borrow guards)
// may run inside; nothing in the scope may touch a Python object.
//
// The work stays interruptible: at the core's cancellation points the guard
// briefly re-takes the lock (at most every few tens of milliseconds) to run
// the interpreter's signal handlers, and a handler that raises stops the
// work with that exception pending.
#pragma once

#include <Python.h>

#include "base/cancel.hpp"

namespace lumipy {

class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()), cancel_(&poll, this, true) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    static bool poll(void* self) noexcept {
        auto* g = static_cast<GilRelease*>(self);
        PyEval_RestoreThread(g->state_);
        const bool stop = PyErr_CheckSignals() != 0;
        g->state_ = PyEval_SaveThread();
        return stop;
    }

    PyThreadState* state_;
    lumi::CancelScope cancel_;
};

}  // namespace lumipy
