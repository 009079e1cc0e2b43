// Array constructors.  Sizes derived from user input (offsets, summed widths)
// are computed in unsigned arithmetic and checked, so absurd requests are
// refused with an Error instead of wrapping around.
#include "array/constructors.hpp"

#include <bit>
#include <cstring>
#include <string>

#include "base/messages.hpp"

namespace lumi {

namespace {

// |k| without overflow for INT64_MIN.
std::uint64_t magnitude(std::int64_t k) {
    return k < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(k) : static_cast<std::uint64_t>(k);
}

[[noreturn]] void too_big(const std::string& what) { throw Error("array is too big: " + what); }

}  // namespace

ArrayF64 full(Shape shape, double value) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    if (bits == 0) return ArrayF64::zeros(std::move(shape));
    ArrayF64 out = ArrayF64::uninit(std::move(shape));
    // Copied as bytes so that no value (signalling NaNs included) passes
    // through a floating-point register on its way.
    double* dst = out.data.data();
    const std::size_t n = out.size();
    for (std::size_t i = 0; i < n; ++i) std::memcpy(dst + i, &bits, sizeof bits);
    return out;
}

ArrayF64 ones(Shape shape) { return full(std::move(shape), 1.0); }

ArrayF64 eye(std::size_t n, std::optional<std::size_t> m, std::int64_t k) {
    const std::size_t w = m.value_or(n);
    ArrayF64 out = ArrayF64::zeros(Shape{n, w});
    const std::uint64_t off = magnitude(k);
    // Starting cell (r, j); the diagonal misses the matrix when the offset
    // reaches past the rows (k < 0) or the columns (k >= 0).
    if (off >= (k < 0 ? std::uint64_t{n} : std::uint64_t{w})) return out;
    std::size_t r = k < 0 ? static_cast<std::size_t>(off) : 0;
    std::size_t j = k < 0 ? 0 : static_cast<std::size_t>(off);
    double* d = out.data.data();
    for (; r < n && j < w; ++r, ++j) d[r * w + j] = 1.0;
    return out;
}

ArrayF64 from_diag(const ArrayF64& v, std::int64_t k) {
    if (v.ndim() != 1) throw Error(msg::kInputNot1D);
    const std::size_t len = v.size();
    const std::uint64_t off = magnitude(k);
    if (off > SIZE_MAX - len) {
        too_big("a diagonal matrix of side " + std::to_string(len) + " + " + std::to_string(off) +
                " has more elements than can be stored");
    }
    const std::size_t side = len + static_cast<std::size_t>(off);
    ArrayF64 out = ArrayF64::zeros(Shape{side, side});
    const std::size_t r0 = k < 0 ? static_cast<std::size_t>(off) : 0;
    const std::size_t c0 = k > 0 ? static_cast<std::size_t>(off) : 0;
    double* d = out.data.data();
    const double* src = v.data.data();
    for (std::size_t i = 0; i < len; ++i) d[(i + r0) * side + (i + c0)] = src[i];
    return out;
}

ArrayF64 column_stack(const std::vector<const ArrayF64*>& arrays) {
    if (arrays.empty()) throw Error(msg::kNoArrays);
    for (const ArrayF64* x : arrays) {
        if (x->ndim() != 1 && x->ndim() != 2) throw Error(msg::kColumnStackRank);
    }
    // A 1-D array of length L is the block [L, 1].
    struct Block {
        const double* src;
        std::size_t cols;
    };
    std::vector<Block> blocks;
    blocks.reserve(arrays.size());
    const std::size_t rows = arrays[0]->shape[0];
    std::size_t width = 0;
    for (const ArrayF64* x : arrays) {
        if (x->shape[0] != rows) throw Error(msg::kColumnStackRows);
        const std::size_t cols = x->ndim() == 2 ? x->shape[1] : 1;
        if (cols > SIZE_MAX - width) too_big("the stacked columns are more than can be stored");
        width += cols;
        if (cols) blocks.push_back({x->data.data(), cols});
    }
    ArrayF64 out = ArrayF64::uninit(Shape{rows, width});
    if (out.size() == 0) return out;

    // Block by block: each block's rows land at its column offset.  Columns
    // of width one are a strided scatter, which streams both sides.
    double* base = out.data.data();
    std::size_t col = 0;
    for (const Block& b : blocks) {
        double* dst = base + col;
        if (b.cols == 1) {
            for (std::size_t r = 0; r < rows; ++r) dst[r * width] = b.src[r];
        } else {
            for (std::size_t r = 0; r < rows; ++r) {
                std::memcpy(dst + r * width, b.src + r * b.cols, b.cols * sizeof(double));
            }
        }
        col += b.cols;
    }
    return out;
}

ArrayF64 column_stack(const std::vector<ArrayF64>& arrays) {
    std::vector<const ArrayF64*> ptrs;
    ptrs.reserve(arrays.size());
    for (const ArrayF64& x : arrays) ptrs.push_back(&x);
    return column_stack(ptrs);
}

}  // namespace lumi
