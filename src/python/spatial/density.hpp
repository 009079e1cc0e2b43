// The kernel density methods shared by the three tree classes:
// kernel_density and kernel_density_approx, for a TreeObject<Tree> `self`
// (KDTree, BallTree, VPTree).
#pragma once

#include "python/runtime/ref.hpp"

namespace lumipy {

template <class Tree>
PyObject* tree_kernel_density(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

template <class Tree>
PyObject* tree_kernel_density_approx(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept;

// log_density: outside the specified surface (NumPy/scikit-learn names).
template <class Tree>
PyObject* tree_log_density(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

inline constexpr char kKernelDensityDoc[] =
    "kernel_density($self, queries=None, bandwidth=1.0, kernel=\"gaussian\")\n--\n\n";
inline constexpr char kKernelDensityApproxDoc[] =
    "kernel_density_approx($self, queries=None, bandwidth=1.0, kernel=\"gaussian\", criterion=\"none\", "
    "min_samples=None, max_span=None)\n--\n\n";

inline constexpr char kLogDensityDoc[] =
    "log_density($self, queries, bandwidth, kernel=\"gaussian\", *, rtol=0.0, normalize=False)\n--\n\n";

}  // namespace lumipy
