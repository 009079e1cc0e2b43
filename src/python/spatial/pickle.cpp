// Pickling and copying of the spatial classes.  A tree pickles as its built
// structure (serialize.hpp), so loading does not rebuild: a VP-tree with
// random vantage points comes back identical, and every query answers the
// same.  Trees are immutable; a copy is an independent tree object.
#include <type_traits>

#include "python/runtime/args.hpp"
#include "python/array/array.hpp"
#include "python/runtime/pickle.hpp"
#include "python/spatial/trees.hpp"
#include "spatial/serialize.hpp"

namespace lumipy {

namespace {

constexpr long kTreeStateVersion = 1;


template <class Tree>
PyObject* wrap_tree(Tree&& tree) {
    auto* obj = PyObject_New(TreeObject<Tree>, &TreeTraits<Tree>::type());
    if (!obj) throw PyErrAlready{};
    new (&obj->tree) Tree(std::move(tree));
    return reinterpret_cast<PyObject*>(obj);
}

// kdtree(version, data), balltree(...), vptree(...): the tree a state holds.
template <class Tree>
PyObject* restore_tree(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{TreeTraits<Tree>::restore, {"version", "data"}};
        auto a = sig.parse(args, nargs, kwnames);
        check_state_version(TreeTraits<Tree>::cls, a[0], kTreeStateVersion);
        std::optional<Tree> tree;
        {
            StateBytes bytes(TreeTraits<Tree>::cls, "the data", a[1]);
            try {
                tree.emplace(lumi::TreeCodec::load<typename Tree::KindType>(bytes.data(), bytes.size()));
            } catch (const lumi::Error& e) {
                raise_bad_state(TreeTraits<Tree>::cls, e.what());
            }
        }
        return wrap_tree(std::move(*tree));
    });
}

}  // namespace

template <class Tree>
PyObject* tree_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const std::string display = std::string(TreeTraits<Tree>::cls) + ".__reduce__";
        parse_no_args(display.c_str(), args, nargs, kwnames);
        Ref fn = pickle_function(TreeTraits<Tree>::restore);
        const Tree& tree = tree_of<Tree>(self);
        Ref data = new_bytes(lumi::TreeCodec::saved_size(tree),
                             [&](unsigned char* p) { lumi::TreeCodec::save(tree, p); });
        Ref version = check(PyLong_FromLong(kTreeStateVersion));
        Ref state = check(PyTuple_Pack(2, version.get(), data.get()));
        return check(PyTuple_Pack(2, fn.get(), state.get())).release();
    });
}

template <class Tree>
PyObject* tree_copy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const std::string display = std::string(TreeTraits<Tree>::cls) + ".__copy__";
        parse_no_args(display.c_str(), args, nargs, kwnames);
        return wrap_tree(Tree(tree_of<Tree>(self)));
    });
}

template <class Tree>
PyObject* tree_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const std::string display = std::string(TreeTraits<Tree>::cls) + ".__deepcopy__";
        static const Sig<1> sig{display.c_str(), {"memo"}};
        sig.parse(args, nargs, kwnames);
        return wrap_tree(Tree(tree_of<Tree>(self)));
    });
}

#define LUMI_INSTANTIATE(Tree)                                                                      \
    template PyObject* tree_reduce<Tree>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);   \
    template PyObject* tree_copy<Tree>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);     \
    template PyObject* tree_deepcopy<Tree>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
LUMI_FOR_EACH_TREE(LUMI_INSTANTIATE)
#undef LUMI_INSTANTIATE

PyMethodDef pickle_tree_functions[] = {
#define LUMI_RESTORE_ENTRY(A, KIND, CLS, RESTORE, ...) \
    {RESTORE, LUMI_FN(restore_tree<lumi::SpatialTree<lumi::KIND>>), LUMI_FASTCALL_KW, RESTORE "(version, data)\n--\n\n"},
    LUMI_SPATIAL_KINDS(LUMI_RESTORE_ENTRY, )
#undef LUMI_RESTORE_ENTRY
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace lumipy
