// Argument parsing for METH_FASTCALL | METH_KEYWORDS and vectorcall entry
// points.  Each callable declares one static Sig with its display name
// ("Array.get", "zeros"), parameter names and required count; parse() fills
// one borrowed PyObject* per parameter (nullptr when an optional one is
// absent) or raises the interpreter-style TypeError.  Parameters from
// `positional` on (N unless given) are keyword-only.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "python/runtime/ref.hpp"

namespace lumipy {

void parse_args_slow(const char* display, const char* const* names, PyObject** interned, std::size_t nparams,
                     std::size_t nrequired, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out, std::size_t npositional = static_cast<std::size_t>(-1));

template <std::size_t N>
struct Sig {
    const char* display;
    std::array<const char*, N> names;
    std::size_t required = N;
    std::size_t positional = N;
    mutable std::array<PyObject*, N> interned{};

    using Out = std::array<PyObject*, N == 0 ? 1 : N>;

    Out parse(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) const {
        Out out{};
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (!kwnames && nargs >= static_cast<Py_ssize_t>(required) && nargs <= static_cast<Py_ssize_t>(positional)) {
            for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
            return out;
        }
        parse_args_slow(display, names.data(), interned.data(), N, required, args, nargs, kwnames, out.data(),
                        positional);
        return out;
    }
};

// Deduction helper: Sig<2>{"Array.__new__", {"shape", "data"}}.
template <std::size_t N>
Sig(const char*, std::array<const char*, N>, std::size_t = N) -> Sig<N>;
template <std::size_t N>
Sig(const char*, std::array<const char*, N>, std::size_t, std::size_t) -> Sig<N>;

// For callables without parameters.
inline void parse_no_args(const char* display, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == 0 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) return;
    parse_args_slow(display, nullptr, nullptr, 0, 0, args, nargs, kwnames, nullptr);
}

// Bridges a (tuple, dict) call to the vectorcall convention: body receives
// (args, nargs, kwnames).
template <class F>
decltype(auto) call_with_tuple(PyObject* tuple, PyObject* kwargs, F&& body) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(tuple);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    std::vector<PyObject*> flat(static_cast<std::size_t>(nargs + nkw) + 1);
    for (Py_ssize_t i = 0; i < nargs; ++i) flat[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(tuple, i);
    Ref kwnames;
    if (nkw) {
        kwnames = check(PyTuple_New(nkw));
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value) && k < nkw) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames.get(), k, key);
            flat[static_cast<std::size_t>(nargs + k)] = value;
            ++k;
        }
    }
    return body(flat.data(), nargs, kwnames.get());
}

}  // namespace lumipy
