// The stats submodule and the reduction methods of Array: the same core
// calls behind two surfaces.  Arrays are read in place under a shared borrow
// held for the whole call.
#include <algorithm>

#include "python/runtime/args.hpp"
#include "python/array/array.hpp"
#include "python/array/array_args.hpp"
#include "python/runtime/convert.hpp"
#include "python/runtime/gil.hpp"
#include "python/runtime/module.hpp"
#include "stats/correlation.hpp"
#include "stats/stats.hpp"

namespace lumipy {

namespace {

namespace st = lumi::stats;

inline PyObject* new_bool(bool v) { return Py_NewRef(v ? Py_True : Py_False); }

// Large inputs are reduced with the interpreter lock released: the arrays
// stay alive and unmodifiable under the caller's borrow guards, and nothing
// in `work` touches a Python object.
constexpr std::size_t kReleaseAt = std::size_t{1} << 15;

template <class F>
auto compute(std::size_t n, F&& work) {
    if (n < kReleaseAt) return work();
    GilRelease unlocked;
    return work();
}

// A number level gives a float, an Array of levels (any shape, row-major)
// a new 1-D Array.
PyObject* quantile_of(const lumi::ArrayF64& a, PyObject* q_obj) {
    ArrayOrScalar q = arg_array_or_scalar("q", q_obj);
    if (!q.is_array) return new_float(compute(a.size(), [&] { return st::quantile(a, q.scalar); })).release();
    return wrap_array(compute(a.size(), [&] { return st::quantiles(a, q.array.data.data(), q.array.size()); }));
}

// One-array reductions: `fn` is the module function, `method` the Array method.
#define LUMI_REDUCTION(name, wrap, expr)                                                                  \
    PyObject* fn_##name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {         \
        return entry([&] {                                                                                \
            static const Sig<1> sig{#name, {"a"}};                                                        \
            auto p = sig.parse(args, nargs, kwnames);                                                     \
            ArrayObject* o = arg_array("a", p[0]);                                                        \
            SharedBorrow guard(o->borrow);                                                                \
            const lumi::ArrayF64& a = o->arr;                                                             \
            return wrap(compute(a.size(), [&] { return expr; }));                                         \
        });                                                                                               \
    }                                                                                                     \
    PyObject* method_##name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        return entry([&] {                                                                                \
            parse_no_args("Array." #name, args, nargs, kwnames);                                          \
            ArrayObject* o = as_array_object(self);                                                       \
            SharedBorrow guard(o->borrow);                                                                \
            const lumi::ArrayF64& a = o->arr;                                                             \
            return wrap(compute(a.size(), [&] { return expr; }));                                         \
        });                                                                                               \
    }

inline PyObject* float_result(double v) { return new_float(v).release(); }

LUMI_REDUCTION(sum, float_result, st::sum(a))
LUMI_REDUCTION(mean, float_result, st::mean(a))
LUMI_REDUCTION(var, float_result, st::var(a))
LUMI_REDUCTION(std, float_result, st::std(a))
LUMI_REDUCTION(median, float_result, st::median(a))
LUMI_REDUCTION(any, new_bool, st::any(a))
LUMI_REDUCTION(all, new_bool, st::all(a))
#undef LUMI_REDUCTION

PyObject* fn_quantile(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"quantile", {"a", "q"}};
        auto p = sig.parse(args, nargs, kwnames);
        ArrayObject* o = arg_array("a", p[0]);
        SharedBorrow guard(o->borrow);
        return quantile_of(o->arr, p[1]);
    });
}

PyObject* method_quantile(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{"Array.quantile", {"q"}};
        auto p = sig.parse(args, nargs, kwnames);
        ArrayObject* o = as_array_object(self);
        SharedBorrow guard(o->borrow);
        return quantile_of(o->arr, p[0]);
    });
}

template <double (*F)(const lumi::ArrayF64&, const lumi::ArrayF64&)>
PyObject* pair_fn(const Sig<2>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto p = sig.parse(args, nargs, kwnames);
    ArrayObject* a = arg_array("a", p[0]);
    ArrayObject* b = arg_array("b", p[1]);
    SharedBorrow ga(a->borrow);
    SharedBorrow gb(b->borrow);
    const std::size_t n = std::max(a->arr.size(), b->arr.size());
    return new_float(compute(n, [&] { return F(a->arr, b->arr); })).release();
}

PyObject* fn_pearson(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"pearson", {"a", "b"}};
        return pair_fn<st::pearson>(sig, args, nargs, kwnames);
    });
}

PyObject* fn_spearman(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"spearman", {"a", "b"}};
        return pair_fn<st::spearman>(sig, args, nargs, kwnames);
    });
}

PyMethodDef stats_functions[] = {
    {"sum", LUMI_FN(fn_sum), LUMI_FASTCALL_KW, "sum(a)\n--\n\n"},
    {"mean", LUMI_FN(fn_mean), LUMI_FASTCALL_KW, "mean(a)\n--\n\n"},
    {"var", LUMI_FN(fn_var), LUMI_FASTCALL_KW, "var(a)\n--\n\n"},
    {"std", LUMI_FN(fn_std), LUMI_FASTCALL_KW, "std(a)\n--\n\n"},
    {"median", LUMI_FN(fn_median), LUMI_FASTCALL_KW, "median(a)\n--\n\n"},
    {"quantile", LUMI_FN(fn_quantile), LUMI_FASTCALL_KW, "quantile(a, q)\n--\n\n"},
    {"any", LUMI_FN(fn_any), LUMI_FASTCALL_KW, "any(a)\n--\n\n"},
    {"all", LUMI_FN(fn_all), LUMI_FASTCALL_KW, "all(a)\n--\n\n"},
    {"pearson", LUMI_FN(fn_pearson), LUMI_FASTCALL_KW, "pearson(a, b)\n--\n\n"},
    {"spearman", LUMI_FN(fn_spearman), LUMI_FASTCALL_KW, "spearman(a, b)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef array_reduction_methods[] = {
    {"sum", LUMI_FN(method_sum), LUMI_FASTCALL_KW, "sum($self)\n--\n\n"},
    {"mean", LUMI_FN(method_mean), LUMI_FASTCALL_KW, "mean($self)\n--\n\n"},
    {"var", LUMI_FN(method_var), LUMI_FASTCALL_KW, "var($self)\n--\n\n"},
    {"std", LUMI_FN(method_std), LUMI_FASTCALL_KW, "std($self)\n--\n\n"},
    {"median", LUMI_FN(method_median), LUMI_FASTCALL_KW, "median($self)\n--\n\n"},
    {"quantile", LUMI_FN(method_quantile), LUMI_FASTCALL_KW, "quantile($self, q)\n--\n\n"},
    {"any", LUMI_FN(method_any), LUMI_FASTCALL_KW, "any($self)\n--\n\n"},
    {"all", LUMI_FN(method_all), LUMI_FASTCALL_KW, "all($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

void register_stats(PyObject* module) { add_functions(module, stats_functions); }

}  // namespace lumipy
