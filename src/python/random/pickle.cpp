// Pickling and copying of Generator: the state is the version tag and the
// four xoshiro256** words as 32 little-endian bytes, so a copy or a loaded
// pickle continues the same stream.
#include "python/runtime/args.hpp"
#include "python/array/array.hpp"
#include "python/runtime/pickle.hpp"
#include "python/random/generator.hpp"

namespace lumipy {

namespace {

constexpr long kGeneratorStateVersion = 1;

// generator(version, state): the Generator a state describes.
PyObject* restore_generator(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{"generator", {"version", "state"}};
        auto a = sig.parse(args, nargs, kwnames);
        check_state_version("Generator", a[0], kGeneratorStateVersion);
        StateBytes bytes("Generator", "the state", a[1]);
        if (bytes.size() != 32) {
            raise_bad_state("Generator", "the state has " + std::to_string(bytes.size()) + " bytes, expected 32");
        }
        std::uint64_t words[4];
        load_le64(words, bytes.data(), 4);
        try {
            return new_generator_object(lumi::Generator::from_state(words));
        } catch (const lumi::Error& e) {
            raise_bad_state("Generator", e.what());
        }
    });
}

}  // namespace

PyObject* generator_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        parse_no_args("Generator.__reduce__", args, nargs, kwnames);
        Ref fn = pickle_function("generator");
        std::uint64_t words[4];
        read_generator(self).save_state(words);
        Ref state = new_bytes(32, [&](unsigned char* p) { store_le64(p, words, 4); });
        Ref version = check(PyLong_FromLong(kGeneratorStateVersion));
        Ref rargs = check(PyTuple_Pack(2, version.get(), state.get()));
        return check(PyTuple_Pack(2, fn.get(), rargs.get())).release();
    });
}

PyObject* generator_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        parse_no_args("Generator.__copy__", args, nargs, kwnames);
        return new_generator_object(read_generator(self));
    });
}

PyObject* generator_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<1> sig{"Generator.__deepcopy__", {"memo"}};
        sig.parse(args, nargs, kwnames);
        return new_generator_object(read_generator(self));
    });
}

PyMethodDef pickle_generator_functions[] = {
    {"generator", LUMI_FN(restore_generator), LUMI_FASTCALL_KW, "generator(version, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace lumipy
