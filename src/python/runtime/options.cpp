// Option arguments given as text.
#include "python/runtime/options.hpp"

#include "base/messages.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/errors.hpp"

namespace lumipy {

PyObject* arg_text(const char* name, PyObject* obj, PyObject* fallback) {
    if (!obj || obj == Py_None) return fallback;
    if (!PyUnicode_Check(obj)) with_arg(name, [&] { raise_cast_error(obj, lumi::msg::kCastStr); });
    return obj;
}

std::optional<std::string_view> lowered_utf8(PyObject* text, Ref& keep) {
    // An exact str, so that a subclass cannot override lower().
    Ref exact = check(PyUnicode_FromObject(text));
    keep = check(PyObject_CallMethod(exact.get(), "lower", nullptr));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(keep.get(), &n);
    if (!s) {
        // Lone surrogates: not one of the names.
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(s, static_cast<std::size_t>(n));
}

void raise_unknown_option(const lumi::msg::OptionKind& kind, PyObject* text) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(text, &n)) {
        raise_value_error(lumi::msg::unknown_option(kind, std::string_view(s, static_cast<std::size_t>(n))));
    }
    PyErr_Clear();
    Ref msg = check(PyUnicode_FromFormat(lumi::msg::kUnknownOptionFormat, kind.what, text, kind.choices));
    PyErr_SetObject(PyExc_ValueError, msg.get());
    throw PyErrAlready{};
}

}  // namespace lumipy
