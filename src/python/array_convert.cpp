// VecOrArray / ArrayOrScalar conversion and asarray.
#include "array_convert.hpp"

#include <string>

#include "args.hpp"
#include "convert.hpp"

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
Ref attempt(const char* field, F&& f) {
    try {
        f();
        return Ref();
    } catch (const PyErrAlready&) {
        Ref cause = fetch_exception();
        if (!cause) throw;
        Ref text = check(PyUnicode_FromString(field));
        Ref wrapped = check(PyObject_CallOneArg(PyExc_TypeError, text.get()));
        PyException_SetCause(wrapped.get(), cause.release());
        return wrapped;
    }
}

[[noreturn]] void raise_enum_error(const char* head, const char* first, PyObject* e1, const char* second,
                                   PyObject* e2) {
    std::string msg = head;
    msg += "\n- variant ";
    msg += first;
    msg += " (";
    msg += first;
    msg += "): ";
    msg += render_exception_chain(e1);
    msg += "\n- variant ";
    msg += second;
    msg += " (";
    msg += second;
    msg += "): ";
    msg += render_exception_chain(e2);
    raise_type_error(msg);
}

}  // namespace

VecOrArray to_vec_or_array(PyObject* obj) {
    VecOrArray out;
    Ref e1 = attempt("failed to extract field VecOrArray::Array.0", [&] { out.array = copy_array(obj); });
    if (!e1) {
        out.is_array = true;
        return out;
    }
    Ref e2 = attempt("failed to extract field VecOrArray::Vec.0", [&] { out.vec = to_f64_vec(obj); });
    if (!e2) return out;
    raise_enum_error("failed to extract enum VecOrArray ('Array | Vec')", "Array", e1.get(), "Vec", e2.get());
}

ArrayOrScalar to_array_or_scalar(PyObject* obj) {
    ArrayOrScalar out;
    Ref e1 = attempt("failed to extract field ArrayOrScalar::Array.0", [&] { out.array = copy_array(obj); });
    if (!e1) {
        out.is_array = true;
        return out;
    }
    Ref e2 = attempt("failed to extract field ArrayOrScalar::Scalar.0", [&] { out.scalar = to_f64(obj); });
    if (!e2) return out;
    raise_enum_error("failed to extract enum ArrayOrScalar ('Array | Scalar')", "Array", e1.get(), "Scalar",
                     e2.get());
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
            raise_value_error(data_length_message(n, shape, expected));
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
