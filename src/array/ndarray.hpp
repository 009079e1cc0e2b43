// NdArray<T>: an owned, dense, row-major n-dimensional array.
//
// Invariants kept by every operation: data.size() equals the element count of
// shape, and strides are always Shape::strides_row_major(shape).  No views, no
// sharing; copying an NdArray copies its storage.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "array/buffer.hpp"
#include "base/error.hpp"
#include "array/shape.hpp"
#include "base/messages.hpp"

namespace lumi {

template <class T>
class NdArray {
public:
    Shape shape;
    Strides strides;
    Buffer<T> data;

    NdArray() : data(Buffer<T>::zeroed(1)) {}  // 0-d, holding zero

    // Takes ownership of shape and data; refuses a length mismatch.
    static NdArray make(Shape shape, Buffer<T> data) {
        const std::size_t count = Shape::element_count(shape);
        if (data.size() != count) {
            throw Error(msg::storage_length(data.size(), count));
        }
        return NdArray(std::move(shape), std::move(data));
    }

    // All elements zero, allocated zero-filled in one piece.
    static NdArray zeros(Shape shape) {
        const std::size_t count = Shape::element_count(shape);
        return NdArray(std::move(shape), Buffer<T>::zeroed(count));
    }

    // Storage for shape with unspecified contents; the caller fills it.
    static NdArray uninit(Shape shape) {
        const std::size_t count = Shape::element_count(shape);
        return NdArray(std::move(shape), Buffer<T>::uninit(count));
    }

    std::size_t ndim() const noexcept { return shape.size(); }
    std::size_t size() const noexcept { return data.size(); }

    // Element lookup by a full list of unsigned indices; nullptr when absent
    // (wrong index count, an index past its dimension, or past the data).
    const T* get(const std::size_t* idx, std::size_t n) const noexcept { return lookup(idx, n); }
    T* get_mut(const std::size_t* idx, std::size_t n) noexcept { return const_cast<T*>(lookup(idx, n)); }
    const T* get(const std::vector<std::size_t>& idx) const noexcept { return lookup(idx.data(), idx.size()); }
    T* get_mut(const std::vector<std::size_t>& idx) noexcept {
        return const_cast<T*>(lookup(idx.data(), idx.size()));
    }

    // Gathers flat (row-major) positions into a new 1-D array.
    NdArray take(const std::vector<std::size_t>& flat) const {
        for (std::size_t i : flat) {
            if (i >= data.size()) {
                throw Error(msg::index_out_of_bounds(data.size(), i));
            }
        }
        auto out = Buffer<T>::uninit(flat.size());
        for (std::size_t k = 0; k < flat.size(); ++k) out[k] = data[flat[k]];
        return NdArray(Shape::d1(flat.size()), std::move(out));
    }

    // New array of the same shape with f applied to every element in order.
    template <class F>
    NdArray map(F f) const {
        auto out = Buffer<T>::uninit(data.size());
        const T* src = data.data();
        T* dst = out.data();
        const std::size_t n = data.size();
        for (std::size_t i = 0; i < n; ++i) dst[i] = f(src[i]);
        return NdArray(shape, strides, std::move(out));
    }

    NdArray clone() const { return *this; }

private:
    NdArray(Shape s, Buffer<T> d) : shape(std::move(s)), strides(Shape::strides_row_major(shape)), data(std::move(d)) {}
    NdArray(Shape s, Strides st, Buffer<T> d) : shape(std::move(s)), strides(std::move(st)), data(std::move(d)) {}

    const T* lookup(const std::size_t* idx, std::size_t n) const noexcept {
        if (n != shape.size()) return nullptr;
        std::size_t pos = 0;
        for (std::size_t d = 0; d < n; ++d) {
            if (idx[d] >= shape[d]) return nullptr;
            pos += idx[d] * strides[d];
        }
        if (pos >= data.size()) return nullptr;
        return data.data() + pos;
    }
};

using ArrayF64 = NdArray<double>;

}  // namespace lumi
