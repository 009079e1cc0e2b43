// Shape: the list of dimension sizes of an array, outermost first, with the
// row-major stride rule and trailing-dimension broadcasting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "array/small_vec.hpp"

namespace lumi {

// Up to this many dimensions are stored inside the object, so the shape and
// strides of a typical array cost no allocation.
inline constexpr std::size_t kInlineDims = 4;

using Dims = SmallVec<std::size_t, kInlineDims>;
using Strides = Dims;

class Shape : public Dims {
public:
    using Dims::Dims;
    Shape() = default;
    explicit Shape(const Dims& dims) : Dims(dims) {}

    std::size_t ndim() const noexcept { return size(); }

    // The one-dimensional shape [n].
    static Shape d1(std::size_t n) { return Shape{n}; }

    // strides[d] = shape[d+1] * strides[d+1], last stride 1.  Shapes built
    // through element_count() never overflow here.
    static Strides strides_row_major(const Shape& shape);

    // Product of the sizes (1 for the empty shape).  Refuses shapes whose
    // non-zero sizes multiply past what a contiguous buffer of doubles can
    // address, so strides and byte counts can never wrap around.
    static std::size_t element_count(const Shape& shape);

    // Trailing-aligned broadcast of two shapes; nullopt when incompatible.
    static std::optional<Shape> broadcast(const Shape& a, const Shape& b);

    // "[2, 3]", "[]".
    std::string to_string() const;
};

}  // namespace lumi
