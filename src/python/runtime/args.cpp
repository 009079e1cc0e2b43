// The five argument-count and keyword TypeErrors, worded as the interpreter
// words them for Python functions.
#include "python/runtime/args.hpp"

#include <string>
#include <vector>

#include "base/messages.hpp"
#include "python/runtime/errors.hpp"

namespace lumipy {

namespace {

bool keyword_matches(PyObject* kw, const char* name, PyObject*& interned) {
    if (!interned) {
        interned = PyUnicode_InternFromString(name);
        if (!interned) throw PyErrAlready{};
    }
    if (kw == interned) return true;
    if (!PyUnicode_Check(kw)) return false;
    return PyUnicode_Compare(kw, interned) == 0;
}

}  // namespace

void parse_args_slow(const char* display, const char* const* names, PyObject** interned, std::size_t nparams,
                     std::size_t nrequired, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out, std::size_t npositional) {
    const auto given = static_cast<std::size_t>(nargs);
    if (npositional > nparams) npositional = nparams;
    if (given > npositional) {
        raise_type_error(lumi::msg::too_many_positional(display, nrequired, npositional, given));
    }
    for (std::size_t i = 0; i < nparams; ++i) out[i] = i < given ? args[i] : nullptr;

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
            std::size_t slot = nparams;
            for (std::size_t i = 0; i < nparams; ++i) {
                if (keyword_matches(kw, names[i], interned[i])) {
                    slot = i;
                    break;
                }
            }
            if (slot == nparams) {
                // Formatted from the name object itself: a keyword need not
                // be encodable as UTF-8 ("\ud800").
                Ref msg = check(PyUnicode_Check(kw)
                                    ? PyUnicode_FromFormat(lumi::msg::kUnexpectedKeywordFormat, display, kw)
                                    : PyUnicode_FromFormat(lumi::msg::kUnexpectedKeywordReprFormat, display, kw));
                PyErr_SetObject(PyExc_TypeError, msg.get());
                throw PyErrAlready{};
            }
            if (out[slot]) {
                raise_type_error(lumi::msg::multiple_values(display, names[slot]));
            }
            out[slot] = args[nargs + k];
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < nrequired; ++i) {
        if (!out[i]) missing.push_back(names[i]);
    }
    if (!missing.empty()) {
        raise_type_error(lumi::msg::missing_positional(display, missing));
    }
}

}  // namespace lumipy
