// Row-major odometer walk over a broadcast result.
#include "array/broadcast.hpp"

namespace lumi {

std::optional<BroadcastIter> BroadcastIter::make(const Shape& a_shape, const Shape& b_shape) {
    std::optional<Shape> out = Shape::broadcast(a_shape, b_shape);
    if (!out) return std::nullopt;
    BroadcastIter it;
    it.out_shape = std::move(*out);
    it.index.assign(it.out_shape.size(), 0);
    it.a_shape = a_shape;
    it.b_shape = b_shape;
    it.a_strides = Shape::strides_row_major(a_shape);
    it.b_strides = Shape::strides_row_major(b_shape);
    it.done = false;
    for (std::size_t s : it.out_shape) {
        if (s == 0) it.done = true;
    }
    return it;
}

namespace {

// Flat position in an operand for the result multi-index: size-1 axes always
// read position 0 and the operand's missing leading axes do not contribute.
std::size_t operand_position(const std::vector<std::size_t>& index, const Shape& shape,
                             const Strides& strides) {
    const std::size_t lead = index.size() - shape.size();
    std::size_t pos = 0;
    for (std::size_t d = 0; d < shape.size(); ++d) {
        if (shape[d] != 1) pos += index[d + lead] * strides[d];
    }
    return pos;
}

}  // namespace

bool BroadcastIter::next(std::size_t& i, std::size_t& j) {
    if (done) return false;
    i = operand_position(index, a_shape, a_strides);
    j = operand_position(index, b_shape, b_strides);

    // Odometer: bump the last axis, carrying leftwards; running off the
    // first axis (or having no axes at all) ends the walk.
    std::size_t d = index.size();
    for (;;) {
        if (d == 0) {
            done = true;
            break;
        }
        --d;
        if (++index[d] < out_shape[d]) break;
        index[d] = 0;
    }
    return true;
}

}  // namespace lumi
