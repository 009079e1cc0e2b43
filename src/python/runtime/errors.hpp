// Error handling of the binding: raising Python exceptions from C++ and the
// single noexcept wrapper every CPython entry point runs its body through.
#pragma once

#include <string>
#include <string_view>

#include "base/cancel.hpp"
#include "base/error.hpp"
#include "base/parallel.hpp"
#include "python/runtime/ref.hpp"

namespace lumipy {

// Sets the Python exception and unwinds to the entry wrapper.
[[noreturn]] void raise(PyObject* type, std::string_view msg);
[[noreturn]] inline void raise_type_error(std::string_view msg) { raise(PyExc_TypeError, msg); }
[[noreturn]] inline void raise_value_error(std::string_view msg) { raise(PyExc_ValueError, msg); }

// Translates the in-flight C++ exception into a Python one (a cancelled call
// has its error set already): core errors become
// ValueError with their exact message, allocation failures MemoryError,
// anything unexpected SystemError.  Must be called from a catch block.
void set_error_from_current_exception() noexcept;

// Cancellation poll of a call holding the interpreter lock: runs the
// interpreter's signal handlers; true when one raised (KeyboardInterrupt,
// or whatever a handler raises), which is then the pending error.
bool poll_signals(void*) noexcept;

// Runs body(); any C++ exception becomes a Python error and `failed` is
// returned.  Nothing ever unwinds into the interpreter.  The core may stop
// the call at its cancellation points when a signal handler raises.
template <class R, class F>
inline R guarded(R failed, F&& body) noexcept {
    lumi::prepare_thread();
    lumi::CancelScope cancel(&poll_signals, nullptr);
    try {
        return body();
    } catch (const PyErrAlready&) {
        return failed;
    } catch (const lumi::Cancelled&) {
        return failed;
    } catch (...) {
        set_error_from_current_exception();
        return failed;
    }
}

template <class F>
inline PyObject* entry(F&& body) noexcept {
    return guarded<PyObject*>(nullptr, std::forward<F>(body));
}

// Conversions that try alternatives, or treat a failed conversion as "not
// this kind of value", may drop ordinary errors only: subclasses of Exception
// other than MemoryError.  KeyboardInterrupt, SystemExit and other
// BaseException subclasses, and MemoryError, always propagate unchanged.
bool is_ordinary_error(PyObject* exc) noexcept;

// Clears the pending exception when it is ordinary; otherwise leaves it set
// and throws PyErrAlready.  Call with an exception set.
void clear_ordinary_error();

// The qualified name of an object's type ("str", "ndarray").
std::string type_qualname(PyObject* obj);

// "'T' object cannot be cast as 'TARGET'"
std::string cast_error_message(PyObject* obj, const char* target);
[[noreturn]] void raise_cast_error(PyObject* obj, const char* target);

// str(exc), or "<exception str() failed>".
std::string exception_message(PyObject* exc);

// Renders "Type: message, caused by Type: message, ..." along __cause__.
std::string render_exception_chain(PyObject* exc);

// Takes the currently set exception (normalised) out of the indicator.
Ref fetch_exception();

// Puts a fetched exception back as the current one.
void restore_exception(Ref exc) noexcept;

// Re-raises a TypeError with "argument 'NAME': " in front of its message;
// every other exception class passes through unchanged.  Call with an
// exception set; always throws PyErrAlready.
[[noreturn]] void reraise_with_argument_prefix(const char* name);

// Attaches a note to the exception currently set, as BaseException.add_note
// does (on 3.10, which has no add_note, by appending to __notes__).  Notes
// explain a pinned message in the caller's terms without changing its text.
void add_note_to_current(std::string_view note);

// Sets `type` with `msg` plus `note`, and unwinds to the entry wrapper.
[[noreturn]] void raise_with_note(PyObject* type, std::string_view msg, std::string_view note);

// Runs body(); when it fails with a core error, note(message) may name a note
// (an empty string: none) for the ValueError, whose text stays the core's.
template <class N, class F>
inline decltype(auto) with_core_note(N&& note, F&& body) {
    try {
        return body();
    } catch (const lumi::Error& e) {
        const std::string text = note(std::string_view(e.what()));
        if (text.empty()) throw;
        raise_with_note(PyExc_ValueError, e.what(), text);
    }
}

// Runs conv(); a TypeError it raises gets the argument prefix.
template <class F>
inline decltype(auto) with_arg(const char* name, F&& conv) {
    try {
        return conv();
    } catch (const PyErrAlready&) {
        reraise_with_argument_prefix(name);
    }
}

}  // namespace lumipy
