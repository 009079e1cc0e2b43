// Saving a built tree as bytes and loading it back without rebuilding.
//
// The format is little-endian and fixed-width: a 56-byte header (kind tag,
// format version, point count, dimension, leaf size, metric, the kind's
// option byte, node count), then the permutation `order`, the points in
// storage order, the nodes in pre-order (start, end, right child, then the
// kind's own fields), the kind's per-node coordinates (k-d boxes, ball
// centroids), and last an 8-byte checksum of every byte before it.  It holds
// exactly what the tree holds, so its size tracks the tree's own.
//
// Loading trusts nothing.  The tag and version come first (bytes of an
// earlier format are refused as such), then the checksum, before any other
// field is read: a damaged copy is refused whole.  Then the byte count must
// equal what the header implies (checked before anything is allocated),
// `order` must be a permutation, the root must cover every point, each
// internal node's children must come after it, split its range exactly and
// have no other parent, the depth is bounded (a genuine tree is balanced),
// and the kind's fields must be in range (split coordinates, vantage points,
// flags).  Last, every node is checked against the points it holds
// (check_node_bounds, load_check.cpp): boxes, centroids, radii, vantage
// distances and flags must be what a build derives from those points, and
// each node must split where a build splits it, so that a file edited with
// its checksum made again cannot make the searches' bounds lie.  A failure
// throws Error with a message saying what is wrong; the loaded tree answers
// exactly as the one that was saved.
#pragma once

#include <cstddef>
#include <cstdint>

#include "spatial/kinds.hpp"

namespace lumi {

// The checksum of the format: a 64-bit hash of `size` bytes.
std::uint64_t bytes_checksum(const unsigned char* data, std::size_t size);

// The checks of a loaded tree's nodes against their points (in
// O(n_points * dim) for k-d trees, O(n_points * dim * depth) for the others).
template <class Kind>
void check_node_bounds(const SpatialTree<Kind>& t);
template <>
void check_node_bounds(const SpatialTree<KDTreeKind>& t);
template <>
void check_node_bounds(const SpatialTree<BallTreeKind>& t);
template <>
void check_node_bounds(const SpatialTree<VPTreeKind>& t);

struct TreeCodec {
    template <class Kind>
    static std::size_t saved_size(const SpatialTree<Kind>& t) noexcept;
    // Writes exactly saved_size(t) bytes.
    template <class Kind>
    static void save(const SpatialTree<Kind>& t, unsigned char* out);
    template <class Kind>
    static SpatialTree<Kind> load(const unsigned char* data, std::size_t size);
};

}  // namespace lumi
