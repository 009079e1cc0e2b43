// A read-only buffer of 64-bit signed integers with a shape of one or two
// dimensions: the row numbers, offsets and counts of the batch neighbour
// queries.  It exports the buffer protocol (format "q", C-contiguous), so
// numpy.asarray(buf) views it as an int64 array of that shape without a copy,
// and offers shape, len(), tolist() and to_numpy() (a copy).
//
// The class is not a module attribute: instances come only from the methods
// that return them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "array/buffer.hpp"

#include "python/runtime/ref.hpp"

namespace lumipy {

// A new buffer owning `values`, of shape (n0,) when ndim is 1 and (n0, n1)
// when ndim is 2; values.size() must equal the product.
Ref new_row_buffer(lumi::Buffer<std::int64_t>&& values, int ndim, std::size_t n0, std::size_t n1 = 0);

}  // namespace lumipy
