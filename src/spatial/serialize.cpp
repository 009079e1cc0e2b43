// Saving and loading built trees (format and checks: serialize.hpp).
#include "spatial/serialize.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "base/cancel.hpp"

namespace lumi {

namespace {

// Version 1 had explicit left children and no checksum.
constexpr std::uint64_t kFormatVersion = 2;
constexpr std::size_t kHeaderBytes = 56;
// Values between two cancellation checks of the bulk loops, and bytes per
// copied piece.
constexpr std::size_t kCheckEvery = std::size_t{1} << 16;
constexpr std::size_t kPiece = std::size_t{1} << 24;
constexpr std::size_t kChecksumBytes = 8;
constexpr std::size_t kLinkBytes = 3 * 8;
// A tree built here halves its ranges, so its depth stays near log2(n); a
// deeper "tree" is a tampered one, and would recurse without bound.
constexpr std::size_t kMaxDepth = 200;

[[noreturn]] void fail(const std::string& what) { throw Error(what); }

std::string str(std::size_t v) { return std::to_string(v); }

// ---------------------------------------------------------------------------
// Little-endian fixed-width fields.

class Writer {
public:
    explicit Writer(unsigned char* p) noexcept : p_(p) {}
    void u64(std::uint64_t v) noexcept {
        for (int i = 0; i < 8; ++i) *p_++ = static_cast<unsigned char>(v >> (8 * i));
    }
    void f64(double v) noexcept { u64(std::bit_cast<std::uint64_t>(v)); }
    void u8(std::uint8_t v) noexcept { *p_++ = v; }
    void bytes(const void* src, std::size_t n) {
        // In pieces, with a cancellation check before each.
        const auto* from = static_cast<const unsigned char*>(src);
        for (std::size_t done = 0; done < n; done += kPiece) {
            check_cancel();
            std::memcpy(p_ + done, from + done, std::min(kPiece, n - done));
        }
        p_ += n;
    }
    void f64s(const double* v, std::size_t n) {
        if constexpr (std::endian::native == std::endian::little) {
            bytes(v, n * 8);
        } else {
            for (std::size_t i = 0; i < n; ++i) f64(v[i]);
        }
    }
    void u64s(const std::size_t* v, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (i % kCheckEvery == 0) check_cancel();
            u64(v[i]);
        }
    }
    // A node field: sizes as 8 bytes, doubles as their bits, flags as one byte.
    template <class T>
    void field(const T& v) noexcept {
        if constexpr (std::is_same_v<T, bool>) {
            u8(v ? 1 : 0);
        } else if constexpr (std::is_same_v<T, double>) {
            f64(v);
        } else {
            u64(v);
        }
    }

private:
    unsigned char* p_;
};

// Reads fields from a block whose total length was checked up front.
class Reader {
public:
    explicit Reader(const unsigned char* p) noexcept : p_(p) {}
    std::uint64_t u64() noexcept {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(p_[i]) << (8 * i);
        p_ += 8;
        return v;
    }
    double f64() noexcept { return std::bit_cast<double>(u64()); }
    std::uint8_t u8() noexcept { return *p_++; }
    const unsigned char* take(std::size_t n) noexcept {
        const unsigned char* at = p_;
        p_ += n;
        return at;
    }
    void f64s(double* out, std::size_t n) {
        if constexpr (std::endian::native == std::endian::little) {
            for (std::size_t i = 0; i < n; i += kCheckEvery) {
                check_cancel();
                const std::size_t m = std::min(kCheckEvery, n - i);
                std::memcpy(out + i, take(m * 8), m * 8);
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) out[i] = f64();
        }
    }

private:
    const unsigned char* p_;
};

template <class T>
constexpr std::size_t field_bytes() {
    return std::is_same_v<T, bool> ? 1 : 8;
}

// Bytes of the kind's own node fields.
template <class Kind>
std::size_t kind_field_bytes() {
    typename Kind::Node nd{};
    std::size_t n = 0;
    Kind::fields(nd, [&](auto& v) { n += field_bytes<std::remove_cvref_t<decltype(v)>>(); });
    return n;
}

// a * b + c without wrapping; false on overflow.
bool mul_add(std::size_t a, std::size_t b, std::size_t c, std::size_t& out) noexcept {
    std::size_t m;
    if (__builtin_mul_overflow(a, b, &m)) return false;
    return !__builtin_add_overflow(m, c, &out);
}

struct Header {
    std::size_t n_points;
    std::size_t dim;
    std::size_t leaf_size;
    DistanceMetric metric;
    std::uint8_t option;
    std::size_t n_nodes;
};

// Checks tag, version and checksum, then reads the header and checks the
// total length.
template <class Kind>
Header read_header(Reader& r, const unsigned char* data, std::size_t size) {
    const std::string kind = Kind::kName;
    if (size < 16) fail("the saved " + kind + " is truncated");
    if (std::memcmp(r.take(8), Kind::kTag, 8) != 0) fail("the bytes do not hold a saved " + kind);
    const std::uint64_t version = r.u64();
    if (version != kFormatVersion) {
        if (version < kFormatVersion) {
            fail("the saved " + kind + " is in an older format (version " + std::to_string(version) +
                 "), which this version no longer reads; build the tree again");
        }
        fail("unsupported format version " + std::to_string(version) + " (this version reads " +
             std::to_string(kFormatVersion) + ")");
    }
    if (size < kHeaderBytes + kChecksumBytes) fail("the saved " + kind + " is truncated");
    Reader tail(data + size - kChecksumBytes);
    if (tail.u64() != bytes_checksum(data, size - kChecksumBytes)) {
        fail("the saved " + kind + " is damaged (its checksum does not match)");
    }
    Header h;
    h.n_points = r.u64();
    h.dim = r.u64();
    h.leaf_size = r.u64();
    const std::uint8_t metric = r.u8();
    h.option = r.u8();
    bool pad_zero = true;
    for (int i = 0; i < 6; ++i) pad_zero &= r.u8() == 0;
    h.n_nodes = r.u64();
    if (metric > 2) fail("unknown metric code " + std::to_string(metric));
    h.metric = static_cast<DistanceMetric>(metric);
    if (!pad_zero) fail("the header's padding is not zero");

    // order (n), points (n * dim), nodes (n_nodes * (links + fields + 8 * values)).
    std::size_t node_bytes = 0, values = 0, expected = 0;
    const bool ok = mul_add(Kind::kValuesPerDim * 8, h.dim, kLinkBytes + kind_field_bytes<Kind>(), node_bytes) &&
                    mul_add(h.n_points, h.dim, h.n_points, values) &&
                    mul_add(values, 8, kHeaderBytes + kChecksumBytes, expected) &&
                    mul_add(h.n_nodes, node_bytes, expected, expected);
    if (!ok || expected != size) {
        fail("the saved " + kind + " has " + str(size) + " bytes" +
             (ok ? ", its header describes " + str(expected) : std::string(", its header describes more")));
    }
    return h;
}

// `order` must be a permutation of 0..n-1.
std::vector<std::size_t> read_order(Reader& r, std::size_t n) {
    std::vector<std::size_t> order(n);
    std::vector<bool> seen(n, false);
    for (std::size_t p = 0; p < n; ++p) {
        if (p % kCheckEvery == 0) check_cancel();
        const std::uint64_t row = r.u64();
        if (row >= n || seen[row]) fail("the point order is not a permutation of the " + str(n) + " rows");
        seen[row] = true;
        order[p] = row;
    }
    return order;
}

std::vector<double> read_doubles(Reader& r, std::size_t n_values) {
    std::vector<double> v(n_values);
    r.f64s(v.data(), n_values);
    return v;
}

template <class T>
void read_field(Reader& r, T& v, std::size_t node) {
    if constexpr (std::is_same_v<T, bool>) {
        const std::uint8_t b = r.u8();
        if (b > 1) fail("node " + str(node) + " has a flag that is neither 0 nor 1");
        v = b == 1;
    } else if constexpr (std::is_same_v<T, double>) {
        v = r.f64();
    } else {
        v = static_cast<T>(r.u64());
    }
}

// The left child of an internal node is the next node; the right child
// must follow the left one, the two must split the parent's range, and
// every node but the root must have exactly one parent.
template <class Node>
void check_structure(const std::vector<Node>& nodes, std::size_t n_points, bool nonempty_nodes) {
    const std::size_t n = nodes.size();
    if (n == 0) fail("the tree has no nodes");
    if (nodes[0].start != 0 || nodes[0].end != n_points) {
        fail("the root covers [" + str(nodes[0].start) + ", " + str(nodes[0].end) + "), not all " + str(n_points) +
             " points");
    }
    std::vector<unsigned char> has_parent(n, 0);
    std::vector<std::size_t> depth(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const Node& nd = nodes[i];
        if (nd.start > nd.end || nd.end > n_points) {
            fail("node " + str(i) + " covers [" + str(nd.start) + ", " + str(nd.end) + "), outside the " +
                 str(n_points) + " points");
        }
        if (nonempty_nodes && nd.start == nd.end) fail("node " + str(i) + " is empty");
        if (nd.leaf()) continue;
        const std::size_t left = i + 1;
        if (left >= n || nd.right <= left || nd.right >= n) {
            fail("node " + str(i) + " has right child " + str(nd.right) + ", which does not follow its left child");
        }
        for (std::size_t c : {left, nd.right}) {
            if (has_parent[c]) fail("node " + str(c) + " has two parents");
            has_parent[c] = 1;
            depth[c] = depth[i] + 1;
            if (depth[c] > kMaxDepth) fail("the tree is deeper than " + str(kMaxDepth) + " levels");
        }
        const Node& l = nodes[left];
        const Node& r = nodes[nd.right];
        if (l.start != nd.start || r.end != nd.end || l.end != r.start) {
            fail("the children of node " + str(i) + " do not split its range");
        }
    }
    for (std::size_t i = 1; i < n; ++i) {
        if (!has_parent[i]) fail("node " + str(i) + " is not part of the tree");
    }
}

// ---------------------------------------------------------------------------
// The checksum: 64-bit multiply-rotate lanes over 32-byte stripes, then the
// tail, then a final avalanche (the construction of XXH64).

constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kP2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kP3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t kP4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t kP5 = 0x27D4EB2F165667C5ULL;

inline std::uint64_t load64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

inline std::uint32_t load32(const unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

inline std::uint64_t lane(std::uint64_t acc, std::uint64_t input) noexcept {
    acc += input * kP2;
    acc = std::rotl(acc, 31);
    return acc * kP1;
}

inline std::uint64_t merge(std::uint64_t acc, std::uint64_t v) noexcept {
    acc ^= lane(0, v);
    return acc * kP1 + kP4;
}

}  // namespace

std::uint64_t bytes_checksum(const unsigned char* p, std::size_t size) {
    const unsigned char* const end = p + size;
    std::uint64_t h;
    if (size >= 32) {
        std::uint64_t v1 = kP1 + kP2, v2 = kP2, v3 = 0, v4 = 0 - kP1;
        const unsigned char* const limit = end - 32;
        // Stripes between two stop checks (1 MiB).
        constexpr unsigned kCheckStripes = 1u << 15;
        unsigned stripes = 0;
        do {
            if (stripes++ % kCheckStripes == 0) check_cancel();
            v1 = lane(v1, load64(p));
            v2 = lane(v2, load64(p + 8));
            v3 = lane(v3, load64(p + 16));
            v4 = lane(v4, load64(p + 24));
            p += 32;
        } while (p <= limit);
        h = std::rotl(v1, 1) + std::rotl(v2, 7) + std::rotl(v3, 12) + std::rotl(v4, 18);
        h = merge(h, v1);
        h = merge(h, v2);
        h = merge(h, v3);
        h = merge(h, v4);
    } else {
        h = kP5;
    }
    h += static_cast<std::uint64_t>(size);
    for (; p + 8 <= end; p += 8) {
        h ^= lane(0, load64(p));
        h = std::rotl(h, 27) * kP1 + kP4;
    }
    if (p + 4 <= end) {
        h ^= static_cast<std::uint64_t>(load32(p)) * kP1;
        h = std::rotl(h, 23) * kP2 + kP3;
        p += 4;
    }
    for (; p < end; ++p) {
        h ^= static_cast<std::uint64_t>(*p) * kP5;
        h = std::rotl(h, 11) * kP1;
    }
    h ^= h >> 33;
    h *= kP2;
    h ^= h >> 29;
    h *= kP3;
    h ^= h >> 32;
    return h;
}

template <class Kind>
std::size_t TreeCodec::saved_size(const SpatialTree<Kind>& t) noexcept {
    return kHeaderBytes + t.n_points_ * 8 + t.points_.size() * 8 +
           t.nodes_.size() * (kLinkBytes + kind_field_bytes<Kind>()) + t.values_.size() * 8 + kChecksumBytes;
}

template <class Kind>
void TreeCodec::save(const SpatialTree<Kind>& t, unsigned char* out) {
    Writer w(out);
    w.bytes(Kind::kTag, 8);
    w.u64(kFormatVersion);
    w.u64(t.n_points_);
    w.u64(t.dim_);
    w.u64(t.leaf_size_);
    w.u8(static_cast<std::uint8_t>(t.metric_));
    w.u8(Kind::option_code(t.options_));
    for (int i = 0; i < 6; ++i) w.u8(0);
    w.u64(t.nodes_.size());
    w.u64s(t.order_.data(), t.order_.size());
    w.f64s(t.points_.data(), t.points_.size());
    for (const auto& nd : t.nodes_) {
        cancel_tick();
        w.u64(nd.start);
        w.u64(nd.end);
        w.u64(nd.right == kNoNode ? UINT64_MAX : nd.right);
        Kind::fields(nd, [&](const auto& v) { w.field(v); });
    }
    w.f64s(t.values_.data(), t.values_.size());
    const std::size_t body = saved_size(t) - kChecksumBytes;
    Writer(out + body).u64(bytes_checksum(out, body));
}

template <class Kind>
SpatialTree<Kind> TreeCodec::load(const unsigned char* data, std::size_t size) {
    Reader r(data);
    const Header h = read_header<Kind>(r, data, size);
    const auto options = Kind::options_from_code(h.option);
    if (!options) fail("unknown vantage selection code " + std::to_string(h.option));
    SpatialTree<Kind> t;
    t.n_points_ = h.n_points;
    t.dim_ = h.dim;
    t.leaf_size_ = h.leaf_size;
    t.metric_ = h.metric;
    t.options_ = *options;
    t.slack_ = triangle_slack(h.dim);
    t.order_ = read_order(r, h.n_points);
    t.points_ = read_doubles(r, h.n_points * h.dim);
    t.nodes_.resize(h.n_nodes);
    for (std::size_t i = 0; i < h.n_nodes; ++i) {
        cancel_tick();
        auto& nd = t.nodes_[i];
        nd.start = r.u64();
        nd.end = r.u64();
        const std::uint64_t right = r.u64();
        nd.right = right == UINT64_MAX ? kNoNode : static_cast<std::size_t>(right);
        Kind::fields(nd, [&](auto& v) { read_field(r, v, i); });
    }
    check_structure(t.nodes_, h.n_points, Kind::kNonEmptyNodes);
    t.values_ = read_doubles(r, h.n_nodes * Kind::kValuesPerDim * h.dim);
    Kind::check_loaded(t);
    check_node_bounds(t);
    t.prepare_search();
    return t;
}

#define LUMI_CODEC(A, Kind, ...)                                                                    \
    template std::size_t TreeCodec::saved_size(const SpatialTree<Kind>&) noexcept;                 \
    template void TreeCodec::save(const SpatialTree<Kind>&, unsigned char*);                       \
    template SpatialTree<Kind> TreeCodec::load(const unsigned char*, std::size_t);
LUMI_SPATIAL_KINDS(LUMI_CODEC, )
#undef LUMI_CODEC

}  // namespace lumi
