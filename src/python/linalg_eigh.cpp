// The symmetric eigensolver of the linalg submodule: eigh and eigvalsh.
// Attributes of the submodule, not listed in its __all__.
#include "linalg/eigh.hpp"
#include "python/array/array.hpp"
#include "python/array/array_args.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/entry.hpp"
#include "python/runtime/errors.hpp"
#include "python/linalg_call.hpp"
#include "python/runtime/gil.hpp"
#include "python/runtime/module.hpp"

namespace lumipy {

namespace {

double eigh_work(const lumi::ArrayF64& a) {
    if (a.ndim() != 2) return 0.0;
    const double n = static_cast<double>(a.shape[0]);
    return 10.0 * n * n * n;
}

template <class F>
decltype(auto) run_eigh(const lumi::ArrayF64& a, F&& f) {
    return run_core(eigh_work(a), std::forward<F>(f));
}

PyObject* fn_eigh(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<1> sig{"eigh", {"a"}};
    return entry([&] {
        auto p = sig.parse(args, nargs, kwnames);
        ArrayObject* obj = arg_array("a", p[0]);
        SharedBorrow guard(obj->borrow);
        auto result = run_eigh(obj->arr, [&] { return lumi::eigh(obj->arr); });
        Ref values = Ref::steal(wrap_array(std::move(result.first)));
        Ref vectors = Ref::steal(wrap_array(std::move(result.second)));
        return check(PyTuple_Pack(2, values.get(), vectors.get())).release();
    });
}

PyObject* fn_eigvalsh(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<1> sig{"eigvalsh", {"a"}};
    return entry([&] {
        auto p = sig.parse(args, nargs, kwnames);
        ArrayObject* obj = arg_array("a", p[0]);
        SharedBorrow guard(obj->borrow);
        return wrap_array(run_eigh(obj->arr, [&] { return lumi::eigvalsh(obj->arr); }));
    });
}

PyMethodDef eigh_functions[] = {
    {"eigh", LUMI_FN(fn_eigh), LUMI_FASTCALL_KW, "eigh(a)\n--\n\n"},
    {"eigvalsh", LUMI_FN(fn_eigvalsh), LUMI_FASTCALL_KW, "eigvalsh(a)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_linalg_eigh(PyObject* module) { check_status(PyModule_AddFunctions(module, eigh_functions)); }

}  // namespace lumipy
