// The five argument-count and keyword TypeErrors, worded as the interpreter
// words them for Python functions.
#include "python/runtime/args.hpp"

#include <string>
#include <vector>

#include "python/runtime/errors.hpp"

namespace lumipy {

namespace {

std::string full_name(const char* display) { return std::string(display) + "()"; }

// 'x' / 'x' and 'y' / 'x', 'y', and 'z'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string s;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) {
            if (names.size() > 2) s += ',';
            s += (i == names.size() - 1) ? " and " : " ";
        }
        s += '\'';
        s += names[i];
        s += '\'';
    }
    return s;
}

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
                     PyObject** out) {
    const auto given = static_cast<std::size_t>(nargs);
    if (given > nparams) {
        const char* was = given == 1 ? "was" : "were";
        std::string msg = full_name(display);
        if (nrequired != nparams) {
            msg += " takes from " + std::to_string(nrequired) + " to " + std::to_string(nparams);
        } else {
            msg += " takes " + std::to_string(nparams);
        }
        msg += " positional arguments but " + std::to_string(given) + " " + was + " given";
        raise_type_error(msg);
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
                const std::string fn = full_name(display);
                Ref msg = check(PyUnicode_Check(kw)
                                    ? PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", fn.c_str(), kw)
                                    : PyUnicode_FromFormat("%s got an unexpected keyword argument %R", fn.c_str(), kw));
                PyErr_SetObject(PyExc_TypeError, msg.get());
                throw PyErrAlready{};
            }
            if (out[slot]) {
                raise_type_error(full_name(display) + " got multiple values for argument '" + names[slot] + "'");
            }
            out[slot] = args[nargs + k];
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < nrequired; ++i) {
        if (!out[i]) missing.push_back(names[i]);
    }
    if (!missing.empty()) {
        raise_type_error(full_name(display) + " missing " + std::to_string(missing.size()) + " required positional " +
                         (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
    }
}

}  // namespace lumipy
