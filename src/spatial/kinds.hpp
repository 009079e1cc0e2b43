// The list of tree kinds.  Every place that instantiates something once per
// kind (the engine's batch queries and saving, the Python classes, their
// pickle functions and registration) expands LUMI_SPATIAL_KINDS, so a new
// kind is its own header and source file plus one line here.
//
// LUMI_SPATIAL_KINDS(X, A) expands X(A, Kind, class name, pickle function
// name, extra from_array parameters) for each kind, in the order the Python
// classes are registered.  A is passed through for callers that forward a
// macro of their own.
#pragma once

#include "spatial/ball_tree.hpp"
#include "spatial/kd_tree.hpp"
#include "spatial/vp_tree.hpp"

#define LUMI_SPATIAL_KINDS(X, A)                          \
    X(A, BallTreeKind, "BallTree", "balltree", "")            \
    X(A, KDTreeKind, "KDTree", "kdtree", "")                 \
    X(A, VPTreeKind, "VPTree", "vptree", ", selection=\"first\"")
