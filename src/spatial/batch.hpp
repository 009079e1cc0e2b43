// Batch neighbour queries: n query rows answered in one call, split over the
// worker pool.  Every row's answer is exactly that of the tree's single-query
// search on the row, whatever the number of threads: kNN rows are written
// straight to their place, radius rows are collected in fixed blocks of rows
// (independent of the split) and joined in row order afterwards.  Rows are
// searched in an order that keeps nearby queries together (locality_order),
// for the caches' sake; it changes no answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "array/buffer.hpp"

namespace lumi {

// Processing order of n query rows of dim coordinates: along a Z-order curve
// over (up to) their first three coordinates, keys computed on up to
// max_workers threads (0: the whole pool).  Small sets keep their own order
// (an empty result).
std::vector<std::size_t> locality_order(const double* queries, std::size_t n, std::size_t dim,
                                        std::size_t max_workers = 0);

// The k nearest neighbours of each of n rows (queries row-major, the tree's
// dim coordinates each): distances into dist[i * k ..], input rows into
// rows[i * k ..], nearest first; a row with fewer than k neighbours is padded
// with +inf and the row number n_points.  max_workers 0: the whole pool.
// Refuses (std::bad_alloc) an (n, k) kNN answer that cannot be held: its
// distances and rows take 16 bytes a cell, and a count past the address
// space or past the machine's physical memory would only end in the process
// being killed while the padding is written.
void check_knn_batch_size(std::size_t n, std::size_t k);

template <class Tree>
void knn_batch(const Tree& tree, const double* queries, std::size_t n, std::size_t k, std::size_t max_workers,
               double* dist, std::int64_t* rows);

// The number of points within `radius` of each row, into counts[i].
template <class Tree>
void radius_count_batch(const Tree& tree, const double* queries, std::size_t n, double radius,
                        std::size_t max_workers, std::int64_t* counts);

// The rows within `radius` of each query row, concatenated in row order
// (`rows`), with offsets[i] .. offsets[i + 1] the part of row i.  Throws
// std::bad_alloc when the answer holds more than max_total rows.
struct RadiusBatch {
    Buffer<std::int64_t> rows;
    Buffer<std::int64_t> offsets;  // n + 1 entries
};
template <class Tree>
RadiusBatch radius_batch(const Tree& tree, const double* queries, std::size_t n, double radius,
                         std::size_t max_workers, std::size_t max_total);

}  // namespace lumi
