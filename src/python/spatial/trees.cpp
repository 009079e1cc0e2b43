// The spatial submodule: KDTree, BallTree and VPTree, each built by the static
// from_array and queried with query_knn and query_radius.
#include "python/spatial/trees.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/messages.hpp"
#include "python/runtime/args.hpp"
#include "python/array/array.hpp"
#include "python/runtime/convert.hpp"
#include "python/runtime/gil.hpp"
#include "python/runtime/module.hpp"
#include "python/runtime/pickle.hpp"
#include "python/spatial/batch.hpp"
#include "python/spatial/density.hpp"

namespace lumipy {

// ---------------------------------------------------------------------------
// Shared helpers

namespace {

// A failed alternative of a conversion: ordinary errors are dropped so the
// next alternative can run; MemoryError and non-Exception errors
// (KeyboardInterrupt) propagate.
void drop_conversion_error() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception)) {
        throw PyErrAlready{};
    }
    PyErr_Clear();
}

[[noreturn]] void raise_bad_query() { raise_value_error(lumi::msg::kQueryForm); }

bool has_number_conversion(PyObject* obj) {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    return nb && (nb->nb_float || nb->nb_index);
}

}  // namespace

bool is_float64_format(const char* f) noexcept {
    if (!f) return false;  // unsigned bytes
    if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little) ||
        (*f == '>' && std::endian::native == std::endian::big)) {
        ++f;
    }
    return std::strcmp(f, "d") == 0;
}

bool F64Vector::read(PyObject* obj) {
    if (!PyObject_CheckBuffer(obj)) return false;
    if (numpy_f64_vector(obj, v_)) return v_.len != 1;
    if (has_number_conversion(obj) || !PySequence_Check(obj)) return false;
    Py_buffer& v = buffer_.view;
    if (PyObject_GetBuffer(obj, &v, PyBUF_RECORDS_RO) < 0) {
        clear_ordinary_error();
        return false;
    }
    buffer_.held = true;
    if (v.ndim != 1 || v.itemsize != 8 || !is_float64_format(v.format)) return false;
    v_ = {static_cast<const char*>(v.buf), static_cast<std::size_t>(v.shape[0]), v.strides ? v.strides[0] : 8};
    return true;
}

void F64Vector::copy(double* out, std::size_t n) const noexcept {
    if (v_.stride == sizeof(double)) {
        if (n) std::memcpy(out, v_.data, n * sizeof(double));
        return;
    }
    for (std::size_t i = 0; i < n; ++i) std::memcpy(out + i, v_.data + static_cast<Py_ssize_t>(i) * v_.stride, 8);
}

void to_query(PyObject* obj, std::vector<double>& out, std::size_t max_len) {
    out.clear();
    if (PyFloat_Check(obj)) {
        out.push_back(PyFloat_AS_DOUBLE(obj));
        return;
    }
    if (is_array(obj)) {
        ArrayObject* a = as_array_object(obj);
        SharedBorrow guard(a->borrow);
        out.assign(a->arr.data.begin(), a->arr.data.begin() + std::min(a->arr.size(), max_len));
        return;
    }
    if (F64Vector v; PyObject_CheckBuffer(obj) && v.read(obj)) {
        out.resize(std::min(v.size(), max_len));
        v.copy(out.data(), out.size());
        return;
    }
    if (has_number_conversion(obj)) {
        const double v = PyFloat_AsDouble(obj);
        if (!(v == -1.0 && PyErr_Occurred())) {
            out.push_back(v);
            return;
        }
        drop_conversion_error();
    }
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) raise_bad_query();
    try {
        for_each_item(obj, [&](PyObject* item) { out.push_back(to_f64(item)); }, max_len);
    } catch (const PyErrAlready&) {
        drop_conversion_error();
        raise_bad_query();
    }
}

// A row number as a Python int (PyLong_FromLong has the interpreter's fast
// path for one-digit values).
static PyObject* row_to_int(std::size_t row) {
    if (row <= static_cast<std::size_t>(LONG_MAX)) return PyLong_FromLong(static_cast<long>(row));
    return PyLong_FromSize_t(row);
}

Ref new_row_list(const std::size_t* rows, std::size_t n) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 65536 == 65535) lumi::check_cancel();
        PyObject* item = row_to_int(rows[i]);
        if (!item) throw PyErrAlready{};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

namespace {

// ---------------------------------------------------------------------------
// The three classes


template <class Tree>
void tree_dealloc(PyObject* self) {
    reinterpret_cast<TreeObject<Tree>*>(self)->tree.~Tree();
    Py_TYPE(self)->tp_free(self);
}

// Inputs at least this large are built with the interpreter lock released.
constexpr std::size_t kReleaseGilValues = std::size_t{1} << 14;

// Notes for the build errors whose pinned wording says nothing about the
// cause.
template <class Tree>
std::string build_note(std::string_view msg, const lumi::ArrayF64& points) {
    if (msg == lumi::msg::kUnwrapNone) {
        return "a split coordinate is NaN: the points hold NaN in a coordinate the tree splits on; "
               "remove or replace the NaN values before building";
    }
    if (std::is_same_v<Tree, lumi::VPTree> && points.ndim() == 2 && points.shape[0] == 0) {
        return "a VPTree needs at least one point, and the array has no rows";
    }
    return {};
}

// The note for a query whose length differs from the tree's: the pinned
// message names only the shorter of the two lengths.
std::string query_length_note(std::string_view msg, std::size_t query_len, std::size_t dim) {
    const std::size_t shorter = std::min(query_len, dim);
    if (query_len == dim || msg != lumi::msg::index_out_of_bounds(shorter, shorter)) return {};
    return "the query has " + std::to_string(query_len) + " coordinate" + (query_len == 1 ? "" : "s") +
           " but the tree's points have " + std::to_string(dim);
}

template <class Tree>
PyObject* from_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        constexpr bool is_vp = TreeTraits<Tree>::has_selection;
        PyObject* a[4] = {nullptr, nullptr, nullptr, nullptr};
        if constexpr (is_vp) {
            static const Sig<4> sig{TreeTraits<Tree>::from_array, {"array", "leaf_size", "metric", "selection"}, 1};
            auto p = sig.parse(args, nargs, kwnames);
            std::copy(p.begin(), p.end(), a);
        } else {
            static const Sig<3> sig{TreeTraits<Tree>::from_array, {"array", "leaf_size", "metric"}, 1};
            auto p = sig.parse(args, nargs, kwnames);
            std::copy(p.begin(), p.end(), a);
        }
        static PyObject* const euclidean = PyUnicode_InternFromString("euclidean");
        static PyObject* const first = PyUnicode_InternFromString("first");
        if (!euclidean || !first) throw PyErrAlready{};

        ArrayObject* array = arg_array("array", a[0]);
        const std::uint64_t leaf_size = (a[1] && a[1] != Py_None) ? arg_u64("leaf_size", a[1]) : 20;
        PyObject* metric_text = arg_text("metric", a[2], euclidean);
        PyObject* selection_text = is_vp ? arg_text("selection", a[3], first) : nullptr;

        const auto metric = parse_option(metric_text, lumi::metric_from_name, lumi::msg::kMetricOption);
        lumi::VantageSelection selection = lumi::VantageSelection::First;
        if constexpr (is_vp) {
            selection = parse_option(selection_text, lumi::selection_from_name, lumi::msg::kSelectionOption);
        }

        SharedBorrow guard(array->borrow);
        const lumi::ArrayF64& points = array->arr;
        typename Tree::Options options{};
        if constexpr (is_vp) options.selection = selection;
        auto build = [&] { return Tree::from_ndarray(points, leaf_size, metric, options); };
        std::optional<Tree> tree;
        with_core_note([&](std::string_view msg) { return build_note<Tree>(msg, points); }, [&] {
            if (points.size() >= kReleaseGilValues) {
                GilRelease nogil;
                tree.emplace(build());
            } else {
                tree.emplace(build());
            }
        });

        auto* obj = PyObject_New(TreeObject<Tree>, &TreeTraits<Tree>::type());
        if (!obj) throw PyErrAlready{};
        new (&obj->tree) Tree(std::move(*tree));
        return reinterpret_cast<PyObject*>(obj);
    });
}

template <class Tree>
PyObject* query_knn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{TreeTraits<Tree>::query_knn, {"query", "k"}};
        auto a = sig.parse(args, nargs, kwnames);
        const std::uint64_t k = arg_u64("k", a[1]);
        ThreadScratch<std::vector<double>> query;
        to_query(a[0], query.get(), tree_of<Tree>(self).dim() + 1);
        ThreadScratch<lumi::KnnHeap> heap;
        const Tree& tree = tree_of<Tree>(self);
        const std::vector<double>& q = query.get();
        with_core_note([&](std::string_view msg) { return query_length_note(msg, q.size(), tree.dim()); },
                       [&] { tree.knn_search(q.data(), q.size(), k, heap.get()); });
        const auto& found = heap.get().items();
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(found.size())));
        for (std::size_t i = 0; i < found.size(); ++i) {
            PyObject* item = row_to_int(found[i].row);
            if (!item) throw PyErrAlready{};
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

template <class Tree>
PyObject* query_radius(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return entry([&] {
        static const Sig<2> sig{TreeTraits<Tree>::query_radius, {"query", "radius"}};
        auto a = sig.parse(args, nargs, kwnames);
        const double radius = arg_f64("radius", a[1]);
        ThreadScratch<std::vector<double>> query;
        to_query(a[0], query.get(), tree_of<Tree>(self).dim() + 1);
        ThreadScratch<std::vector<std::size_t>> rows;
        rows.get().clear();
        const Tree& tree = tree_of<Tree>(self);
        const std::vector<double>& q = query.get();
        with_core_note([&](std::string_view msg) { return query_length_note(msg, q.size(), tree.dim()); },
                       [&] { tree.radius_search(q.data(), q.size(), radius, rows.get()); });
        return new_row_list(rows.get().data(), rows.get().size()).release();
    });
}

template <class Tree>
PyMethodDef* tree_methods() {
    static PyMethodDef methods[] = {
        {"from_array", LUMI_FN(from_array<Tree>), LUMI_FASTCALL_KW | METH_STATIC, TreeTraits<Tree>::from_array_doc},
        {"query_knn", LUMI_FN(query_knn<Tree>), LUMI_FASTCALL_KW, "query_knn($self, query, k)\n--\n\n"},
        {"query_radius", LUMI_FN(query_radius<Tree>), LUMI_FASTCALL_KW, "query_radius($self, query, radius)\n--\n\n"},
        {"kernel_density", LUMI_FN(tree_kernel_density<Tree>), LUMI_FASTCALL_KW, kKernelDensityDoc},
        {"kernel_density_approx", LUMI_FN(tree_kernel_density_approx<Tree>), LUMI_FASTCALL_KW,
         kKernelDensityApproxDoc},
        {"log_density", LUMI_FN(tree_log_density<Tree>), LUMI_FASTCALL_KW, kLogDensityDoc},
        {"query_knn_batch", LUMI_FN(tree_query_knn_batch<Tree>), LUMI_FASTCALL_KW, kQueryKnnBatchDoc},
        {"query_radius_batch", LUMI_FN(tree_query_radius_batch<Tree>), LUMI_FASTCALL_KW, kQueryRadiusBatchDoc},
        {"__reduce__", LUMI_FN(tree_reduce<Tree>), LUMI_FASTCALL_KW, "__reduce__($self)\n--\n\n"},
        {"__copy__", LUMI_FN(tree_copy<Tree>), LUMI_FASTCALL_KW, "__copy__($self)\n--\n\n"},
        {"__deepcopy__", LUMI_FN(tree_deepcopy<Tree>), LUMI_FASTCALL_KW, "__deepcopy__($self, memo)\n--\n\n"},
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

// The number of coordinates of the tree's points (read-only).
template <class Tree>
PyObject* tree_dim(PyObject* self, void*) {
    return entry([&] { return check(PyLong_FromSize_t(tree_of<Tree>(self).dim())).release(); });
}

template <class Tree>
PyGetSetDef* tree_getset() {
    static PyGetSetDef getset[] = {
        {"dim", tree_dim<Tree>, nullptr, "Number of coordinates of the tree's points.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return getset;
}

}  // namespace

// The classes have no constructor (no tp_new): calling one raises TypeError.
template <class Tree>
PyTypeObject& tree_type() {
    static PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return lazy_type(type, [](PyTypeObject& t) {
        init_type(t, TreeTraits<Tree>::cls, sizeof(TreeObject<Tree>), nullptr);
        t.tp_dealloc = tree_dealloc<Tree>;
        t.tp_methods = tree_methods<Tree>();
        t.tp_getset = tree_getset<Tree>();
    });
}

#define LUMI_TREE_TYPE(Tree) template PyTypeObject& tree_type<Tree>();
LUMI_FOR_EACH_TREE(LUMI_TREE_TYPE)
#undef LUMI_TREE_TYPE

void register_spatial(PyObject* module) {
#define LUMI_ADD_TREE_CLASS(A, KIND, CLS, ...) \
    add_member(module, CLS, reinterpret_cast<PyObject*>(&tree_type<lumi::SpatialTree<lumi::KIND>>()));
    LUMI_SPATIAL_KINDS(LUMI_ADD_TREE_CLASS, )
#undef LUMI_ADD_TREE_CLASS
}

}  // namespace lumipy
