// Error mapping between the core, C++ and the interpreter.
#include "python/runtime/errors.hpp"

#include <new>
#include <stdexcept>

#include "base/error.hpp"
#include "base/messages.hpp"

namespace lumipy {

void raise(PyObject* type, std::string_view msg) {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size())));
    if (text) PyErr_SetObject(type, text.get());
    throw PyErrAlready{};
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrAlready&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const lumi::Cancelled&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const lumi::Error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

bool poll_signals(void*) noexcept { return PyErr_CheckSignals() != 0; }

bool is_ordinary_error(PyObject* exc) noexcept {
    return PyErr_GivenExceptionMatches(exc, PyExc_Exception) && !PyErr_GivenExceptionMatches(exc, PyExc_MemoryError);
}

void clear_ordinary_error() {
    PyObject* type = PyErr_Occurred();
    if (!type || !is_ordinary_error(type)) throw PyErrAlready{};
    PyErr_Clear();
}

std::string type_qualname(PyObject* obj) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
        if (s) return std::string(s, static_cast<std::size_t>(n));
    }
    if (PyErr_Occurred()) clear_ordinary_error();
    return "<failed to extract type name>";
}

std::string cast_error_message(PyObject* obj, const char* target) {
    return lumi::msg::cannot_cast(type_qualname(obj), target);
}

void raise_cast_error(PyObject* obj, const char* target) { raise_type_error(cast_error_message(obj, target)); }

std::string exception_message(PyObject* exc) {
    Ref s = Ref::steal(PyObject_Str(exc));
    if (s) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n);
        if (p) return std::string(p, static_cast<std::size_t>(n));
    }
    clear_ordinary_error();
    return lumi::msg::kStrFailed;
}

std::string render_exception_chain(PyObject* exc) {
    std::string out;
    Ref cur = Ref::borrow(exc);
    // Bounded walk: a cause chain can be made cyclic from Python.
    for (int depth = 0; cur && depth < 64; ++depth) {
        if (depth) out += lumi::msg::kCausedBy;
        out += type_qualname(cur.get());
        out += ": ";
        out += exception_message(cur.get());
        cur = Ref::steal(PyException_GetCause(cur.get()));
    }
    return out;
}

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return Ref();
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
#endif
}

void restore_exception(Ref exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

void add_note_to_current(std::string_view note) {
    Ref exc = fetch_exception();
    if (!exc) throw PyErrAlready{};
    Ref text = check(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
#if PY_VERSION_HEX >= 0x030B0000
    static PyObject* add_note_name = nullptr;
    if (!add_note_name) add_note_name = check(PyUnicode_InternFromString("add_note")).release();
    PyObject* vargs[] = {exc.get(), text.get()};
    check(PyObject_VectorcallMethod(add_note_name, vargs, 2, nullptr));
#else
    Ref notes = Ref::steal(PyObject_GetAttrString(exc.get(), "__notes__"));
    if (!notes) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrAlready{};
        PyErr_Clear();
        notes = check(PyList_New(0));
        check_status(PyObject_SetAttrString(exc.get(), "__notes__", notes.get()));
    }
    if (!PyList_Check(notes.get())) raise_type_error("Cannot add note: __notes__ is not a list");
    check_status(PyList_Append(notes.get(), text.get()));
#endif
    restore_exception(std::move(exc));
}

void raise_with_note(PyObject* type, std::string_view msg, std::string_view note) {
    Ref text = check(PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size())));
    PyErr_SetObject(type, text.get());
    add_note_to_current(note);
    throw PyErrAlready{};
}

void reraise_with_argument_prefix(const char* name) {
    Ref exc = fetch_exception();
    if (!exc) throw PyErrAlready{};
    if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_exception(std::move(exc));
        throw PyErrAlready{};
    }
    std::string msg = lumi::msg::argument_prefix(name) + exception_message(exc.get());
    Ref text = check(PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size())));
    Ref wrapped = check(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    // The new error keeps the original's cause.
    if (PyObject* cause = PyException_GetCause(exc.get())) PyException_SetCause(wrapped.get(), cause);
    restore_exception(std::move(wrapped));
    throw PyErrAlready{};
}

}  // namespace lumipy
