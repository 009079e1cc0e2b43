// Saving a built tree as bytes and loading it back without rebuilding.
//
// The format is little-endian and fixed-width: a header (kind tag, format
// version, point count, dimension, leaf size, metric, selection, node count),
// then the permutation `order`, the points in storage order, the nodes in
// pre-order and the per-node floating data (k-d boxes, ball centroids).  It
// holds exactly what the tree holds, so its size tracks the tree's own.
//
// Loading trusts nothing.  The byte count must equal what the header implies
// (checked before anything is allocated), `order` must be a permutation, the
// root must cover every point, each internal node's two children must come
// after it, split its range exactly and have no other parent, the depth is
// bounded (a genuine tree is balanced), split dimensions and vantage points
// must lie inside their ranges, flags must be 0 or 1.  A failure throws Error
// with a message saying what is wrong; the loaded tree can then be queried
// like the one that was saved and answers identically.
#pragma once

#include <cstddef>

#include "spatial/ball_tree.hpp"
#include "spatial/kd_tree.hpp"
#include "spatial/vp_tree.hpp"

namespace lumi {

struct TreeCodec {
    static std::size_t saved_size(const KDTree& t) noexcept;
    static std::size_t saved_size(const BallTree& t) noexcept;
    static std::size_t saved_size(const VPTree& t) noexcept;

    // Writes exactly saved_size(t) bytes.
    static void save(const KDTree& t, unsigned char* out) noexcept;
    static void save(const BallTree& t, unsigned char* out) noexcept;
    static void save(const VPTree& t, unsigned char* out) noexcept;

    static KDTree load_kd(const unsigned char* data, std::size_t size);
    static BallTree load_ball(const unsigned char* data, std::size_t size);
    static VPTree load_vp(const unsigned char* data, std::size_t size);
};

}  // namespace lumi
