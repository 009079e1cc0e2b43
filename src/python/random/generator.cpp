// The random submodule: the Generator class, a Python object owning one core
// generator, and the factory functions seed and new.
//
// Every sampling method takes an exclusive borrow of the object before it
// converts its arguments, so a conversion hook that samples from the same
// generator is refused instead of interleaving draws; arguments are all
// converted and checked before the first word is drawn, so a failed call
// leaves the stream where it was.
#include "python/random/generator.hpp"

#include <new>

#include "python/runtime/args.hpp"
#include "python/array/array.hpp"
#include "python/runtime/borrow.hpp"
#include "python/runtime/convert.hpp"
#include "python/runtime/gil.hpp"
#include "python/runtime/module.hpp"
#include "random/generator.hpp"

namespace lumipy {

namespace {

struct GeneratorObject {
    PyObject_HEAD
    BorrowFlag borrow;
    lumi::Generator gen;
};

GeneratorObject* as_gen(PyObject* obj) noexcept { return reinterpret_cast<GeneratorObject*>(obj); }

PyObject* wrap_generator(const lumi::Generator& g) {
    GeneratorObject* obj = PyObject_New(GeneratorObject, &generator_type());
    if (!obj) throw PyErrAlready{};
    new (&obj->borrow) BorrowFlag();
    new (&obj->gen) lumi::Generator(g);
    return reinterpret_cast<PyObject*>(obj);
}

void generator_dealloc(PyObject* self) {
    as_gen(self)->gen.~Generator();
    Py_TYPE(self)->tp_free(self);
}

PyObject* generator_vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return entry([&] {
        parse_no_args("Generator", args, static_cast<Py_ssize_t>(nargsf), kwnames);
        return wrap_generator(lumi::Generator::from_clock());
    });
}

PyObject* generator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        return call_with_tuple(args, kwargs, [&](PyObject* const* a, Py_ssize_t n, PyObject* kw) {
            PyObject* r =
                generator_vectorcall(reinterpret_cast<PyObject*>(type), a, static_cast<std::size_t>(n), kw);
            if (!r) throw PyErrAlready{};
            return r;
        });
    });
}

template <const char* Display>
PyObject* from_seed_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{Display, {"seed"}};
        auto a = sig.parse(args, nargs, kwnames);
        return wrap_generator(lumi::Generator::from_seed(arg_u64("seed", a[0])));
    });
}

constexpr char from_seed_name[] = "Generator.from_seed";
constexpr char seed_name[] = "seed";

PyObject* new_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        parse_no_args("new", args, nargs, kwnames);
        return wrap_generator(lumi::Generator::from_clock());
    });
}

// Runs the core sampler, with the interpreter lock released when the request
// is large.  The object's exclusive borrow is held throughout, so the state
// cannot be touched meanwhile (another thread gets the borrow error), and the
// caller's reference keeps the object alive.  A call stopped part way
// (Ctrl-C) leaves the state as it was, so a repeat draws the same samples.
template <class F>
lumi::ArrayF64 sample(lumi::Generator& gen, const lumi::Shape& shape, F&& f) {
    constexpr std::size_t kReleaseAt = std::size_t{1} << 15;
    if (lumi::Shape::element_count(shape) < kReleaseAt) return f();
    const lumi::Generator saved = gen;
    try {
        GilRelease nogil;
        return f();
    } catch (...) {
        gen = saved;
        throw;
    }
}

// Sampling method with two float parameters and a shape; sample(gen, p, q,
// shape) calls the core sampler.
template <class Draw>
PyObject* two_param_method(const Sig<3>& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, Draw draw) {
    return entry([&] {
        auto a = sig.parse(args, nargs, kwnames);
        GeneratorObject* g = as_gen(self);
        ExclusiveBorrow guard(g->borrow);
        const double p = arg_f64(sig.names[0], a[0]);
        const double q = arg_f64(sig.names[1], a[1]);
        const lumi::Shape shape = arg_shape("shape", a[2]);
        return wrap_array(sample(g->gen, shape, [&] { return draw(g->gen, p, q, shape); }));
    });
}

PyObject* gen_uniform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<3> sig{"Generator.uniform", {"low", "high", "shape"}};
    return two_param_method(sig, self, args, nargs, kwnames,
                            [](lumi::Generator& g, double lo, double hi, const lumi::Shape& s) {
                                return g.uniform(lo, hi, s);
                            });
}

PyObject* gen_normal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<3> sig{"Generator.normal", {"mu", "sigma", "shape"}};
    return two_param_method(sig, self, args, nargs, kwnames,
                            [](lumi::Generator& g, double mu, double sigma, const lumi::Shape& s) {
                                return g.normal(mu, sigma, s);
                            });
}

PyObject* gen_lognormal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<3> sig{"Generator.lognormal", {"mu", "sigma", "shape"}};
    return two_param_method(sig, self, args, nargs, kwnames,
                            [](lumi::Generator& g, double mu, double sigma, const lumi::Shape& s) {
                                return g.lognormal(mu, sigma, s);
                            });
}

PyObject* gen_gamma(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<3> sig{"Generator.gamma", {"shape_param", "scale", "shape"}};
    return two_param_method(sig, self, args, nargs, kwnames,
                            [](lumi::Generator& g, double k, double scale, const lumi::Shape& s) {
                                return g.gamma(k, scale, s);
                            });
}

PyObject* gen_beta(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Sig<3> sig{"Generator.beta", {"alpha", "beta_param", "shape"}};
    return two_param_method(sig, self, args, nargs, kwnames,
                            [](lumi::Generator& g, double a, double b, const lumi::Shape& s) {
                                return g.beta(a, b, s);
                            });
}

PyObject* gen_standard_normal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{"Generator.standard_normal", {"shape"}};
        auto a = sig.parse(args, nargs, kwnames);
        GeneratorObject* g = as_gen(self);
        ExclusiveBorrow guard(g->borrow);
        const lumi::Shape shape = arg_shape("shape", a[0]);
        return wrap_array(sample(g->gen, shape, [&] { return g->gen.standard_normal(shape); }));
    });
}

PyObject* gen_randint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<3> sig{"Generator.randint", {"low", "high", "shape"}};
        auto a = sig.parse(args, nargs, kwnames);
        GeneratorObject* g = as_gen(self);
        ExclusiveBorrow guard(g->borrow);
        const std::int64_t low = arg_i64("low", a[0]);
        const std::int64_t high = arg_i64("high", a[1]);
        const lumi::Shape shape = arg_shape("shape", a[2]);
        return wrap_array(sample(g->gen, shape, [&] { return g->gen.randint_f64(low, high, shape); }));
    });
}

PyMethodDef generator_methods[] = {
    {"from_seed", LUMI_FN(from_seed_impl<from_seed_name>), LUMI_FASTCALL_KW | METH_STATIC,
     "from_seed(seed)\n--\n\n"},
    {"uniform", LUMI_FN(gen_uniform), LUMI_FASTCALL_KW, "uniform($self, low, high, shape)\n--\n\n"},
    {"standard_normal", LUMI_FN(gen_standard_normal), LUMI_FASTCALL_KW, "standard_normal($self, shape)\n--\n\n"},
    {"normal", LUMI_FN(gen_normal), LUMI_FASTCALL_KW, "normal($self, mu, sigma, shape)\n--\n\n"},
    {"randint", LUMI_FN(gen_randint), LUMI_FASTCALL_KW, "randint($self, low, high, shape)\n--\n\n"},
    {"gamma", LUMI_FN(gen_gamma), LUMI_FASTCALL_KW, "gamma($self, shape_param, scale, shape)\n--\n\n"},
    {"beta", LUMI_FN(gen_beta), LUMI_FASTCALL_KW, "beta($self, alpha, beta_param, shape)\n--\n\n"},
    {"lognormal", LUMI_FN(gen_lognormal), LUMI_FASTCALL_KW, "lognormal($self, mu, sigma, shape)\n--\n\n"},
    {"__reduce__", LUMI_FN(generator_reduce), LUMI_FASTCALL_KW, "__reduce__($self)\n--\n\n"},
    {"__copy__", LUMI_FN(generator_copy), LUMI_FASTCALL_KW, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", LUMI_FN(generator_deepcopy), LUMI_FASTCALL_KW, "__deepcopy__($self, memo)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_functions[] = {
    {"seed", LUMI_FN(from_seed_impl<seed_name>), LUMI_FASTCALL_KW, "seed(seed)\n--\n\n"},
    {"new", LUMI_FN(new_fn), LUMI_FASTCALL_KW, "new()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* new_generator_object(const lumi::Generator& g) { return wrap_generator(g); }

lumi::Generator read_generator(PyObject* self) {
    SharedBorrow guard(as_gen(self)->borrow);
    return as_gen(self)->gen;
}

PyTypeObject& generator_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return lazy_type(type, [](PyTypeObject& t) {
        init_type(t, "Generator", sizeof(GeneratorObject), "Generator()\n--\n\n");
        t.tp_dealloc = generator_dealloc;
        t.tp_new = generator_new;
        t.tp_vectorcall = generator_vectorcall;
        t.tp_methods = generator_methods;
    });
}

void register_random(PyObject* module) {
    add_member(module, "Generator", reinterpret_cast<PyObject*>(&generator_type()));
    add_functions(module, module_functions);
}

}  // namespace lumipy
