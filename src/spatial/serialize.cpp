// Saving and loading built trees (format and checks: serialize.hpp).
#include "spatial/serialize.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace lumi {

namespace {

constexpr std::uint64_t kFormatVersion = 1;
constexpr std::size_t kHeaderBytes = 56;
// A tree built here halves its ranges, so its depth stays near log2(n); a
// deeper "tree" is a tampered one, and would recurse without bound.
constexpr std::size_t kMaxDepth = 200;

constexpr char kKdTag[8] = {'L', 'V', 'K', 'D', 'T', 'R', 'E', 'E'};
constexpr char kBallTag[8] = {'L', 'V', 'B', 'A', 'L', 'L', 'T', 'R'};
constexpr char kVpTag[8] = {'L', 'V', 'V', 'P', 'T', 'R', 'E', 'E'};

constexpr std::size_t kKdNodeBytes = 5 * 8 + 8 + 1;
constexpr std::size_t kBallNodeBytes = 4 * 8 + 8;
constexpr std::size_t kVpNodeBytes = 5 * 8 + 3 * 8 + 1;

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
    void bytes(const void* src, std::size_t n) noexcept {
        if (n) std::memcpy(p_, src, n);
        p_ += n;
    }
    void f64s(const double* v, std::size_t n) noexcept {
        if constexpr (std::endian::native == std::endian::little) {
            bytes(v, n * 8);
        } else {
            for (std::size_t i = 0; i < n; ++i) f64(v[i]);
        }
    }
    void u64s(const std::size_t* v, std::size_t n) noexcept {
        for (std::size_t i = 0; i < n; ++i) u64(v[i]);
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
    void f64s(double* out, std::size_t n) noexcept {
        if constexpr (std::endian::native == std::endian::little) {
            if (n) std::memcpy(out, take(n * 8), n * 8);
        } else {
            for (std::size_t i = 0; i < n; ++i) out[i] = f64();
        }
    }

private:
    const unsigned char* p_;
};

// ---------------------------------------------------------------------------
// Header.

struct Header {
    std::size_t n_points;
    std::size_t dim;
    std::size_t leaf_size;
    DistanceMetric metric;
    std::uint8_t selection;
    std::size_t n_nodes;
};

void write_header(Writer& w, const char (&tag)[8], std::size_t n_points, std::size_t dim, std::size_t leaf_size,
                  DistanceMetric metric, std::uint8_t selection, std::size_t n_nodes) noexcept {
    w.bytes(tag, 8);
    w.u64(kFormatVersion);
    w.u64(n_points);
    w.u64(dim);
    w.u64(leaf_size);
    w.u8(static_cast<std::uint8_t>(metric));
    w.u8(selection);
    for (int i = 0; i < 6; ++i) w.u8(0);
    w.u64(n_nodes);
}

// a * b + c without wrapping; false on overflow.
bool mul_add(std::size_t a, std::size_t b, std::size_t c, std::size_t& out) noexcept {
    std::size_t m;
    if (__builtin_mul_overflow(a, b, &m)) return false;
    return !__builtin_add_overflow(m, c, &out);
}

// Reads and checks the header and the total length: `per_node` bytes of
// node record plus `per_node_dims` doubles per dimension for every node.
Header read_header(Reader& r, std::size_t size, const char (&tag)[8], const char* kind, std::size_t per_node,
                   std::size_t per_node_dims, std::uint8_t max_selection) {
    if (size < kHeaderBytes) fail("the saved " + std::string(kind) + " is truncated");
    if (std::memcmp(r.take(8), tag, 8) != 0) fail(std::string("the bytes do not hold a saved ") + kind);
    const std::uint64_t version = r.u64();
    if (version != kFormatVersion) {
        fail("unsupported format version " + std::to_string(version) + " (this version reads " +
             std::to_string(kFormatVersion) + ")");
    }
    Header h;
    h.n_points = r.u64();
    h.dim = r.u64();
    h.leaf_size = r.u64();
    const std::uint8_t metric = r.u8();
    h.selection = r.u8();
    bool pad_zero = true;
    for (int i = 0; i < 6; ++i) pad_zero &= r.u8() == 0;
    h.n_nodes = r.u64();
    if (metric > 2) fail("unknown metric code " + std::to_string(metric));
    h.metric = static_cast<DistanceMetric>(metric);
    if (h.selection > max_selection) fail("unknown vantage selection code " + std::to_string(h.selection));
    if (!pad_zero) fail("the header's padding is not zero");

    // order (n), points (n * dim), nodes (n_nodes * (per_node + 8 * dims)).
    std::size_t node_bytes = 0, values = 0, expected = 0;
    const bool ok = mul_add(per_node_dims * 8, h.dim, per_node, node_bytes) &&
                    mul_add(h.n_points, h.dim, h.n_points, values) && mul_add(values, 8, kHeaderBytes, expected) &&
                    mul_add(h.n_nodes, node_bytes, expected, expected);
    if (!ok || expected != size) {
        fail("the saved " + std::string(kind) + " has " + str(size) + " bytes" +
             (ok ? ", its header describes " + str(expected) : std::string(", its header describes more")));
    }
    return h;
}

// `order` must be a permutation of 0..n-1.
std::vector<std::size_t> read_order(Reader& r, std::size_t n) {
    std::vector<std::size_t> order(n);
    std::vector<bool> seen(n, false);
    for (std::size_t p = 0; p < n; ++p) {
        const std::uint64_t row = r.u64();
        if (row >= n || seen[row]) fail("the point order is not a permutation of the " + str(n) + " rows");
        seen[row] = true;
        order[p] = row;
    }
    return order;
}

std::vector<double> read_points(Reader& r, std::size_t n_values) {
    std::vector<double> points(n_values);
    r.f64s(points.data(), n_values);
    return points;
}

bool read_flag(Reader& r, std::size_t node) {
    const std::uint8_t v = r.u8();
    if (v > 1) fail("node " + str(node) + " has a flag that is neither 0 nor 1");
    return v == 1;
}

std::size_t read_child(Reader& r) {
    const std::uint64_t v = r.u64();
    return v == UINT64_MAX ? kNoNode : static_cast<std::size_t>(v);
}

void write_child(Writer& w, std::size_t c) noexcept { w.u64(c == kNoNode ? UINT64_MAX : c); }

// The structural checks shared by the three trees.
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
        if ((nd.left == kNoNode) != (nd.right == kNoNode)) fail("node " + str(i) + " has only one child");
        if (nd.left == kNoNode) continue;
        for (std::size_t c : {nd.left, nd.right}) {
            if (c <= i || c >= n) fail("node " + str(i) + " has child " + str(c) + ", which does not follow it");
            if (has_parent[c]) fail("node " + str(c) + " has two parents");
            has_parent[c] = 1;
            depth[c] = depth[i] + 1;
            if (depth[c] > kMaxDepth) fail("the tree is deeper than " + str(kMaxDepth) + " levels");
        }
        const Node& l = nodes[nd.left];
        const Node& r = nodes[nd.right];
        if (l.start != nd.start || r.end != nd.end || l.end != r.start) {
            fail("the children of node " + str(i) + " do not split its range");
        }
    }
    for (std::size_t i = 1; i < n; ++i) {
        if (!has_parent[i]) fail("node " + str(i) + " is not part of the tree");
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// KD-tree.

std::size_t TreeCodec::saved_size(const KDTree& t) noexcept {
    return kHeaderBytes + t.n_points_ * 8 + t.points_.size() * 8 + t.nodes_.size() * kKdNodeBytes +
           t.bounds_.size() * 8;
}

void TreeCodec::save(const KDTree& t, unsigned char* out) noexcept {
    Writer w(out);
    write_header(w, kKdTag, t.n_points_, t.dim_, t.leaf_size_, t.metric_, 0, t.nodes_.size());
    w.u64s(t.order_.data(), t.order_.size());
    w.f64s(t.points_.data(), t.points_.size());
    for (const KDNode& nd : t.nodes_) {
        w.u64(nd.start);
        w.u64(nd.end);
        write_child(w, nd.left);
        write_child(w, nd.right);
        w.u64(nd.split_dim);
        w.f64(nd.split_value);
        w.u8(nd.has_nan ? 1 : 0);
    }
    w.f64s(t.bounds_.data(), t.bounds_.size());
}

KDTree TreeCodec::load_kd(const unsigned char* data, std::size_t size) {
    Reader r(data);
    const Header h = read_header(r, size, kKdTag, "KDTree", kKdNodeBytes, 2, 0);
    KDTree t;
    t.n_points_ = h.n_points;
    t.dim_ = h.dim;
    t.leaf_size_ = h.leaf_size;
    t.metric_ = h.metric;
    t.order_ = read_order(r, h.n_points);
    t.points_ = read_points(r, h.n_points * h.dim);
    t.nodes_.resize(h.n_nodes);
    for (std::size_t i = 0; i < h.n_nodes; ++i) {
        KDNode& nd = t.nodes_[i];
        nd.start = r.u64();
        nd.end = r.u64();
        nd.left = read_child(r);
        nd.right = read_child(r);
        nd.split_dim = r.u64();
        nd.split_value = r.f64();
        nd.has_nan = read_flag(r, i);
        if (nd.left != kNoNode && nd.split_dim >= h.dim) {
            fail("node " + str(i) + " splits on coordinate " + str(nd.split_dim) + " of " + str(h.dim));
        }
    }
    check_structure(t.nodes_, h.n_points, false);
    t.bounds_ = read_points(r, h.n_nodes * 2 * h.dim);
    return t;
}

// ---------------------------------------------------------------------------
// Ball tree.

std::size_t TreeCodec::saved_size(const BallTree& t) noexcept {
    return kHeaderBytes + t.n_points_ * 8 + t.points_.size() * 8 + t.nodes_.size() * kBallNodeBytes +
           t.centroids_.size() * 8;
}

void TreeCodec::save(const BallTree& t, unsigned char* out) noexcept {
    Writer w(out);
    write_header(w, kBallTag, t.n_points_, t.dim_, t.leaf_size_, t.metric_, 0, t.nodes_.size());
    w.u64s(t.order_.data(), t.order_.size());
    w.f64s(t.points_.data(), t.points_.size());
    for (const BallNode& nd : t.nodes_) {
        w.u64(nd.start);
        w.u64(nd.end);
        write_child(w, nd.left);
        write_child(w, nd.right);
        w.f64(nd.radius);
    }
    w.f64s(t.centroids_.data(), t.centroids_.size());
}

BallTree TreeCodec::load_ball(const unsigned char* data, std::size_t size) {
    Reader r(data);
    const Header h = read_header(r, size, kBallTag, "BallTree", kBallNodeBytes, 1, 0);
    BallTree t;
    t.n_points_ = h.n_points;
    t.dim_ = h.dim;
    t.leaf_size_ = h.leaf_size;
    t.metric_ = h.metric;
    t.slack_ = triangle_slack(h.dim);
    t.order_ = read_order(r, h.n_points);
    t.points_ = read_points(r, h.n_points * h.dim);
    t.nodes_.resize(h.n_nodes);
    for (BallNode& nd : t.nodes_) {
        nd.start = r.u64();
        nd.end = r.u64();
        nd.left = read_child(r);
        nd.right = read_child(r);
        nd.radius = r.f64();
    }
    check_structure(t.nodes_, h.n_points, false);
    t.centroids_ = read_points(r, h.n_nodes * h.dim);
    return t;
}

// ---------------------------------------------------------------------------
// VP-tree.

std::size_t TreeCodec::saved_size(const VPTree& t) noexcept {
    return kHeaderBytes + t.n_points_ * 8 + t.points_.size() * 8 + t.nodes_.size() * kVpNodeBytes;
}

void TreeCodec::save(const VPTree& t, unsigned char* out) noexcept {
    Writer w(out);
    write_header(w, kVpTag, t.n_points_, t.dim_, t.leaf_size_, t.metric_, static_cast<std::uint8_t>(t.selection_),
                 t.nodes_.size());
    w.u64s(t.order_.data(), t.order_.size());
    w.f64s(t.points_.data(), t.points_.size());
    for (const VPNode& nd : t.nodes_) {
        w.u64(nd.start);
        w.u64(nd.end);
        write_child(w, nd.left);
        write_child(w, nd.right);
        w.u64(nd.vantage);
        w.f64(nd.threshold);
        w.f64(nd.min_dist);
        w.f64(nd.max_dist);
        w.u8(nd.no_bound ? 1 : 0);
    }
}

VPTree TreeCodec::load_vp(const unsigned char* data, std::size_t size) {
    Reader r(data);
    const Header h = read_header(r, size, kVpTag, "VPTree", kVpNodeBytes, 0, 1);
    if (h.n_points == 0) fail("a VPTree holds at least one point");
    VPTree t;
    t.n_points_ = h.n_points;
    t.dim_ = h.dim;
    t.leaf_size_ = h.leaf_size;
    t.metric_ = h.metric;
    t.selection_ = static_cast<VantageSelection>(h.selection);
    t.slack_ = triangle_slack(h.dim);
    t.order_ = read_order(r, h.n_points);
    t.points_ = read_points(r, h.n_points * h.dim);
    t.nodes_.resize(h.n_nodes);
    for (std::size_t i = 0; i < h.n_nodes; ++i) {
        VPNode& nd = t.nodes_[i];
        nd.start = r.u64();
        nd.end = r.u64();
        nd.left = read_child(r);
        nd.right = read_child(r);
        nd.vantage = r.u64();
        nd.threshold = r.f64();
        nd.min_dist = r.f64();
        nd.max_dist = r.f64();
        nd.no_bound = read_flag(r, i);
    }
    check_structure(t.nodes_, h.n_points, true);
    for (std::size_t i = 0; i < h.n_nodes; ++i) {
        const VPNode& nd = t.nodes_[i];
        if (nd.vantage < nd.start || nd.vantage >= nd.end) {
            fail("the vantage point of node " + str(i) + " lies outside its range");
        }
    }
    return t;
}

}  // namespace lumi
