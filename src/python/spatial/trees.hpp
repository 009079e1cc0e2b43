// The spatial classes (KDTree, BallTree, VPTree) and the spatial submodule.
//
// Each class wraps one built, immutable tree; instances come only from the
// static from_array.  The helpers below (option strings, query vectors,
// reusable per-thread scratch) are shared by every method of the classes.
#pragma once

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "python/array/array.hpp"
#include "python/runtime/options.hpp"
#include "python/runtime/ref.hpp"
#include "python/runtime/thread_scratch.hpp"
#include "spatial/kinds.hpp"

namespace lumipy {

template <class Tree>
struct TreeObject {
    PyObject_HEAD
    Tree tree;
};

// The type object of each class (made on first use).
template <class Tree>
PyTypeObject& tree_type();
inline PyTypeObject& kd_tree_type() { return tree_type<lumi::KDTree>(); }
inline PyTypeObject& ball_tree_type() { return tree_type<lumi::BallTree>(); }
inline PyTypeObject& vp_tree_type() { return tree_type<lumi::VPTree>(); }

// What the bindings need to know of each tree class: its name, the name of
// its pickle reconstruction function, the display names of its callables,
// and whether from_array takes a vantage point selection.
template <class Tree>
struct TreeTraits;

#define LUMI_TREE_TRAITS(A, KIND, CLS, RESTORE, EXTRA_DOC)                                   \
    template <>                                                                              \
    struct TreeTraits<lumi::SpatialTree<lumi::KIND>> {                                       \
        static constexpr const char* cls = CLS;                                              \
        static constexpr const char* restore = RESTORE;                                      \
        static constexpr bool has_selection = sizeof(EXTRA_DOC) > 1;                         \
        static constexpr const char* from_array = CLS ".from_array";                         \
        static constexpr const char* from_array_doc =                                        \
            "from_array(array, leaf_size=20, metric=\"euclidean\"" EXTRA_DOC ")\n--\n\n";     \
        static constexpr const char* query_knn = CLS ".query_knn";                           \
        static constexpr const char* query_radius = CLS ".query_radius";                     \
        static constexpr const char* query_knn_batch = CLS ".query_knn_batch";               \
        static constexpr const char* query_radius_batch = CLS ".query_radius_batch";         \
        static constexpr const char* kernel_density = CLS ".kernel_density";                 \
        static constexpr const char* kernel_density_approx = CLS ".kernel_density_approx";   \
        static constexpr const char* log_density = CLS ".log_density";                       \
        static PyTypeObject& type() { return tree_type<lumi::SpatialTree<lumi::KIND>>(); }   \
    };
LUMI_SPATIAL_KINDS(LUMI_TREE_TRAITS, )
#undef LUMI_TREE_TRAITS

// X(Tree) for each tree class: the explicit instantiations of the method
// templates shared by the classes.
#define LUMI_TREE_OF_KIND(X, KIND, ...) X(lumi::SpatialTree<lumi::KIND>)
#define LUMI_FOR_EACH_TREE(X) LUMI_SPATIAL_KINDS(LUMI_TREE_OF_KIND, X)

// The explicit instantiations, for each tree class, of the method template F,
// a noexcept METH_FASTCALL | METH_KEYWORDS entry point.
#define LUMI_TREE_METHOD_OF_KIND(F, KIND, ...) \
    template PyObject* F<lumi::SpatialTree<lumi::KIND>>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
#define LUMI_INSTANTIATE_TREE_METHOD(F) LUMI_SPATIAL_KINDS(LUMI_TREE_METHOD_OF_KIND, F)

template <class Tree>
const Tree& tree_of(PyObject* self) noexcept {
    return reinterpret_cast<TreeObject<Tree>*>(self)->tree;
}


// Whether a buffer format names native float64 ("d", "@d", "=d", or the
// machine's own byte order).
bool is_float64_format(const char* f) noexcept;

// A buffer view held until destruction (view is filled by PyObject_GetBuffer).
struct BufferView {
    Py_buffer view;
    bool held = false;
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held) PyBuffer_Release(&view);
    }
};

// The values of a one-dimensional float64 vector that a point or query
// argument exposes, read in place: what converting it item by item through
// the sequence protocol would give (the same values, so the same bits and
// the same length), without making an object per item.  It takes an exact
// numpy.ndarray of native float64 and one dimension, unless it has one
// element (such an array converts as a number first), and a buffer of
// format "d" and one dimension from a sequence without a number conversion
// (memoryview, array.array('d')); anything else is left to the general
// conversion (read() returns false).
class F64Vector {
public:
    bool read(PyObject* obj);
    std::size_t size() const noexcept { return v_.len; }
    // The first n <= size() values into out.
    void copy(double* out, std::size_t n) const noexcept;

private:
    StridedF64 v_;
    BufferView buffer_;
};

// Fills `out` with a query vector: a number (one coordinate), an Array (all
// its values, row-major) or a sequence of numbers; anything else raises
// ValueError "query must be a scalar, list, or Array".  Reads at most
// `max_len` values: a tree refuses any query longer than its dimension, so
// dim + 1 values are enough to refuse one, however long the input is.
void to_query(PyObject* obj, std::vector<double>& out, std::size_t max_len);


// A new list of Python ints.
Ref new_row_list(const std::size_t* rows, std::size_t n);

}  // namespace lumipy
