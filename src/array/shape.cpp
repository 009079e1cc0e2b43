// Shape arithmetic: strides, checked element counts, broadcasting, formatting.
#include "array/shape.hpp"

#include "base/error.hpp"

namespace lumi {

Strides Shape::strides_row_major(const Shape& shape) {
    Strides strides(shape.size());
    std::size_t acc = 1;
    for (std::size_t d = shape.size(); d-- > 0;) {
        strides[d] = acc;
        acc *= shape[d];
    }
    return strides;
}

std::size_t Shape::element_count(const Shape& shape) {
    // Largest element count whose byte size still fits a signed pointer
    // difference; checked over the non-zero sizes so that every partial
    // product (and therefore every stride) is representable.
    constexpr std::size_t limit = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double);
    std::size_t nonzero = 1;
    bool has_zero = false;
    for (std::size_t s : shape) {
        if (s == 0) {
            has_zero = true;
            continue;
        }
        if (nonzero > limit / s) {
            throw Error("array is too big: shape " + shape.to_string() +
                        " has more elements than can be stored");
        }
        nonzero *= s;
    }
    return has_zero ? 0 : nonzero;
}

std::optional<Shape> Shape::broadcast(const Shape& a, const Shape& b) {
    const std::size_t n = a.size() > b.size() ? a.size() : b.size();
    Shape out(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t x = i < a.size() ? a[a.size() - 1 - i] : 1;
        std::size_t y = i < b.size() ? b[b.size() - 1 - i] : 1;
        std::size_t r;
        if (x == y) r = x;
        else if (x == 1) r = y;
        else if (y == 1) r = x;
        else return std::nullopt;
        out[n - 1 - i] = r;
    }
    return out;
}

std::string Shape::to_string() const {
    std::string s = "[";
    for (std::size_t i = 0; i < size(); ++i) {
        if (i) s += ", ";
        s += std::to_string((*this)[i]);
    }
    s += ']';
    return s;
}

}  // namespace lumi
