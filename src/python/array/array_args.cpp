// VecOrArray / ArrayOrScalar conversion and asarray.
#include "python/array/array_args.hpp"

#include <string>

#include "base/messages.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/convert.hpp"

namespace lumipy {

lumi::ArrayF64 VecOrArray::into_ndarray() && {
    if (is_array) return std::move(array);
    const std::size_t n = vec.size();
    return lumi::ArrayF64::make(lumi::Shape::d1(n), std::move(vec));
}

lumi::Buffer<double> VecOrArray::into_elements() && {
    if (is_array) return std::move(array.data);
    return std::move(vec);
}

lumi::ArrayF64 copy_array(PyObject* obj) {
    ArrayObject* o = cast_array(obj);
    SharedBorrow guard(o->borrow);
    return o->arr.clone();
}

namespace {

// Runs one alternative; on failure returns the TypeError
// "failed to extract field ENUM::VARIANT.0" whose cause is the attempt's error.
template <class F>
Ref attempt(const std::string& field, F&& f) {
    try {
        f();
        return Ref();
    } catch (const PyErrAlready&) {
        Ref cause = fetch_exception();
        if (!cause) throw;
        if (!is_ordinary_error(cause.get())) {
            restore_exception(std::move(cause));
            throw;
        }
        Ref text = check(PyUnicode_FromStringAndSize(field.data(), static_cast<Py_ssize_t>(field.size())));
        Ref wrapped = check(PyObject_CallOneArg(PyExc_TypeError, text.get()));
        PyException_SetCause(wrapped.get(), cause.release());
        return wrapped;
    }
}

// Tries `first`, then `second`; true when the first alternative succeeded.
// When both fail, raises one TypeError naming the enum and rendering each
// attempt's error with its cause chain on its own line.
template <class F1, class F2>
bool either(const char* name, const char* v1, F1&& first, const char* v2, F2&& second) {
    Ref e1 = attempt(lumi::msg::extract_field(name, v1), first);
    if (!e1) return true;
    Ref e2 = attempt(lumi::msg::extract_field(name, v2), second);
    if (!e2) return false;
    std::string msg = lumi::msg::extract_enum(name, v1, v2);
    for (auto [variant, error] : {std::pair{v1, e1.get()}, std::pair{v2, e2.get()}}) {
        msg += lumi::msg::variant_line(variant);
        msg += render_exception_chain(error);
    }
    raise_type_error(msg);
}

}  // namespace

VecOrArray to_vec_or_array(PyObject* obj) {
    VecOrArray out;
    out.is_array = either(
        lumi::msg::kVecOrArray, lumi::msg::kVariantArray, [&] { out.array = copy_array(obj); }, lumi::msg::kVariantVec, [&] { out.vec = to_f64_vec(obj); });
    return out;
}

ArrayOrScalar to_array_or_scalar(PyObject* obj) {
    ArrayOrScalar out;
    out.is_array = either(
        lumi::msg::kArrayOrScalar, lumi::msg::kVariantArray, [&] { out.array = copy_array(obj); }, lumi::msg::kVariantScalar,
        [&] { out.scalar = to_f64(obj); });
    return out;
}

namespace {

PyObject* asarray_impl(const Sig<2>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto a = sig.parse(args, nargs, kwnames);
    lumi::Buffer<double> data = arg_vec_or_array("data", a[0]).into_elements();
    const std::size_t n = data.size();
    lumi::Shape shape;
    if (a[1] && a[1] != Py_None) {
        shape = arg_shape("shape", a[1]);
        const std::size_t expected = lumi::Shape::element_count(shape);
        if (expected != n) {
            raise_value_error(lumi::msg::data_length(n, shape.to_string(), expected));
        }
    } else {
        shape = lumi::Shape::d1(n);
    }
    return wrap_array(lumi::ArrayF64::make(std::move(shape), std::move(data)));
}

}  // namespace

PyObject* asarray_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"asarray", {"data", "shape"}, 1};
        return asarray_impl(sig, args, nargs, kwnames);
    });
}

PyObject* array_static_asarray(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"Array.asarray", {"data", "shape"}, 1};
        return asarray_impl(sig, args, nargs, kwnames);
    });
}

}  // namespace lumipy
