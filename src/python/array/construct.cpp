// Array-creating functions: the module functions zeros, ones, full, asarray,
// eye, diag, column_stack and the static methods of the same names on Array.
#include <deque>
#include <vector>

#include "base/messages.hpp"
#include "python/runtime/args.hpp"
#include "python/array/array.hpp"
#include "array/constructors.hpp"
#include "python/array/array_args.hpp"
#include "python/runtime/convert.hpp"
#include "python/runtime/module.hpp"

namespace lumipy {

PyObject* array_static_asarray(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

namespace {

// One implementation per constructor; the display name differs between the
// module function ("zeros") and the static method ("Array.zeros").
struct DisplayNames {
    const char* zeros;
    const char* ones;
    const char* full;
    const char* eye;
    const char* diag;
};
constexpr DisplayNames module_names{"zeros", "ones", "full", "eye", "diag"};
constexpr DisplayNames static_names{"Array.zeros", "Array.ones", "Array.full", "Array.eye", "Array.diag"};

template <const DisplayNames& N>
PyObject* zeros_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{N.zeros, {"shape"}};
        auto a = sig.parse(args, nargs, kwnames);
        return wrap_array(lumi::ArrayF64::zeros(arg_shape("shape", a[0])));
    });
}

template <const DisplayNames& N>
PyObject* ones_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{N.ones, {"shape"}};
        auto a = sig.parse(args, nargs, kwnames);
        return wrap_array(lumi::ones(arg_shape("shape", a[0])));
    });
}

template <const DisplayNames& N>
PyObject* full_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{N.full, {"shape", "fill_value"}};
        auto a = sig.parse(args, nargs, kwnames);
        lumi::Shape shape = arg_shape("shape", a[0]);
        const double v = arg_f64("fill_value", a[1]);
        return wrap_array(lumi::full(std::move(shape), v));
    });
}

template <const DisplayNames& N>
PyObject* eye_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<3> sig{N.eye, {"n", "m", "k"}, 1};
        auto a = sig.parse(args, nargs, kwnames);
        const std::uint64_t n = arg_u64("n", a[0]);
        const std::optional<std::uint64_t> m = arg_opt_u64("m", a[1]);
        const std::int64_t k = arg_opt_i64("k", a[2]).value_or(0);
        return wrap_array(lumi::eye(n, m, k));
    });
}

template <const DisplayNames& N>
PyObject* diag_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{N.diag, {"v", "k"}, 1};
        auto a = sig.parse(args, nargs, kwnames);
        lumi::ArrayF64 v = arg_vec_or_array("v", a[0]).into_ndarray();
        const std::int64_t k = arg_opt_i64("k", a[1]).value_or(0);
        return wrap_array(lumi::from_diag(v, k));
    });
}

PyObject* column_stack_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{"column_stack", {"arrays"}};
        auto a = sig.parse(args, nargs, kwnames);
        // Collect the Array objects first (iterating may run Python code),
        // then read them all under shared borrows without copying.
        std::vector<Ref> items = with_arg("arrays", [&] {
            std::vector<Ref> out;
            require_sequence(a[0]);
            out.reserve(reserve_hint(a[0]));
            for_each_item(a[0], [&](PyObject* item) {
                cast_array(item);
                out.push_back(Ref::borrow(item));
            });
            return out;
        });
        if (items.empty()) raise_value_error(lumi::msg::kNoArrays);
        std::deque<SharedBorrow> borrows;
        std::vector<const lumi::ArrayF64*> arrays;
        arrays.reserve(items.size());
        for (const Ref& item : items) {
            ArrayObject* o = as_array_object(item.get());
            borrows.emplace_back(o->borrow);
            arrays.push_back(&o->arr);
        }
        return wrap_array(lumi::column_stack(arrays));
    });
}

PyMethodDef module_functions[] = {
    {"zeros", LUMI_FN(zeros_impl<module_names>), LUMI_FASTCALL_KW, "zeros(shape)\n--\n\n"},
    {"ones", LUMI_FN(ones_impl<module_names>), LUMI_FASTCALL_KW, "ones(shape)\n--\n\n"},
    {"full", LUMI_FN(full_impl<module_names>), LUMI_FASTCALL_KW, "full(shape, fill_value)\n--\n\n"},
    {"asarray", LUMI_FN(asarray_fn), LUMI_FASTCALL_KW, "asarray(data, shape=None)\n--\n\n"},
    {"eye", LUMI_FN(eye_impl<module_names>), LUMI_FASTCALL_KW, "eye(n, m=None, k=None)\n--\n\n"},
    {"diag", LUMI_FN(diag_impl<module_names>), LUMI_FASTCALL_KW, "diag(v, k=None)\n--\n\n"},
    {"column_stack", LUMI_FN(column_stack_fn), LUMI_FASTCALL_KW, "column_stack(arrays)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef array_static_ctor_methods[] = {
    {"zeros", LUMI_FN(zeros_impl<static_names>), LUMI_FASTCALL_KW | METH_STATIC, "zeros(shape)\n--\n\n"},
    {"ones", LUMI_FN(ones_impl<static_names>), LUMI_FASTCALL_KW | METH_STATIC, "ones(shape)\n--\n\n"},
    {"full", LUMI_FN(full_impl<static_names>), LUMI_FASTCALL_KW | METH_STATIC, "full(shape, fill_value)\n--\n\n"},
    {"asarray", LUMI_FN(array_static_asarray), LUMI_FASTCALL_KW | METH_STATIC,
     "asarray(data, shape=None)\n--\n\n"},
    {"eye", LUMI_FN(eye_impl<static_names>), LUMI_FASTCALL_KW | METH_STATIC, "eye(n, m=None, k=None)\n--\n\n"},
    {"diag", LUMI_FN(diag_impl<static_names>), LUMI_FASTCALL_KW | METH_STATIC, "diag(v, k=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

void register_top_level_functions(PyObject* module) { add_functions(module, module_functions); }

}  // namespace lumipy
