// The batch neighbour queries shared by the three tree classes:
// query_knn_batch and query_radius_batch, for a TreeObject<Tree> `self`
// (KDTree, BallTree, VPTree).  Each answers a whole 2-D set of query rows in
// one call, split over the worker pool with the interpreter lock released;
// every row's answer is exactly that of query_knn / query_radius on the row.
#pragma once

#include "python/runtime/ref.hpp"

namespace lumipy {

template <class Tree>
PyObject* tree_query_knn_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

template <class Tree>
PyObject* tree_query_radius_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

inline constexpr char kQueryKnnBatchDoc[] = "query_knn_batch($self, queries, k, workers=None)\n--\n\n";
inline constexpr char kQueryRadiusBatchDoc[] =
    "query_radius_batch($self, queries, radius, count_only=False, workers=None)\n--\n\n";

}  // namespace lumipy
