// What the linalg bindings share: running a core call with the interpreter
// lock released when it is long enough, and returning a pair of arrays.
#pragma once

#include <utility>

#include "linalg/linalg.hpp"
#include "python/array/array.hpp"
#include "python/runtime/gil.hpp"

namespace lumipy {

// Above about this many floating-point operations a call runs with the
// interpreter lock released (the operands stay pinned by their borrows).
inline constexpr double kNoGilWork = 1 << 18;

template <class F>
decltype(auto) run_core(double work, F&& f) {
    if (work < kNoGilWork) return f();
    GilRelease nogil;
    return f();
}

// A new tuple of the two arrays.
inline PyObject* array_pair(std::pair<lumi::ArrayF64, lumi::ArrayF64>&& p) {
    Ref first = Ref::steal(wrap_array(std::move(p.first)));
    Ref second = Ref::steal(wrap_array(std::move(p.second)));
    return check(PyTuple_Pack(2, first.get(), second.get())).release();
}

}  // namespace lumipy
