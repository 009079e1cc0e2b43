// BroadcastIter: walks the result of broadcasting two shapes in row-major
// order and yields, for each result element, the flat positions of the two
// operand elements that produce it.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "array/shape.hpp"

namespace lumi {

struct BroadcastIter {
    Shape out_shape;                 // broadcast result shape
    std::vector<std::size_t> index;  // multi-index of the next result element
    Shape a_shape;                   // left operand's shape
    Shape b_shape;                   // right operand's shape
    Strides a_strides;               // row-major strides of a_shape
    Strides b_strides;               // row-major strides of b_shape
    bool done = false;               // every result element has been produced

    // nullopt exactly when the shapes do not broadcast.  An empty result
    // (some size 0) starts out done; a 0-d result yields one pair.
    static std::optional<BroadcastIter> make(const Shape& a_shape, const Shape& b_shape);

    // Stores the next pair of flat positions (left, right) and returns true,
    // or returns false once the result has been walked.
    bool next(std::size_t& i, std::size_t& j);
};

}  // namespace lumi
