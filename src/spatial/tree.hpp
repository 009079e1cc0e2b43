// SpatialTree<Kind>: the one tree engine behind KDTree, BallTree and VPTree.
//
// The engine owns what every kind shares: the flat pre-order node array (each
// node's range [start, end) of storage positions and its children), the row
// permutation `order`, the points in storage order, the metric and the leaf
// size.  It builds once and searches once:
//
// - build: the same prologue for every kind (a working copy of the rows, node
//   ids assigned in pre-order from the subtree sizes, the top of the tree on
//   the calling thread, the subtrees below on the worker pool); the kind's
//   make_node fills one node and, when it splits, leaves the range reordered
//   so that its first left_count(count) positions form the left child.
// - search: one recursion for every query type.  A result set policy (kNN
//   heap, radius collector, radius counter; see below) says whether a bound
//   prunes and takes the leaf points.  The kind supplies only a per-query
//   Walk: the root's state and bound, and for an internal node the order of
//   its children (kNN visits the nearer first; the other queries go left to
//   right), each child's state (the KD per-axis gaps, the ball's distance to
//   the child's centroid, the VP vantage distance, reused when a child keeps
//   its parent's vantage point) and each child's lower bound.
// - density: kde_recursion.hpp runs the density recursion over the kind's node
//   quantities (density_bounds, interval, span).
//
// The left child of an internal node is always the next node (id + 1); the
// right child's id is stored, kNoNode in a leaf.
//
// Pruning in kNN and radius searches never changes an answer as long as the
// bounds hold (no point of a pruned node could be inserted or collected), so
// the answers depend only on the order in which leaves are met: the order of
// tied neighbours and the row order of radius results follow from the
// children's visit order alone.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "array/ndarray.hpp"
#include "spatial/build_helpers.hpp"
#include "spatial/knn_candidates.hpp"
#include "spatial/leaf_scan.hpp"
#include "spatial/metrics.hpp"

namespace lumi {

template <class Kind>
class SpatialTree;

struct Interval {
    double lo;
    double hi;
};

// Lower and upper bound of the distance from a query to any point of a node.
struct DensityBounds {
    double lower;  // no node point is nearer (the pruning bound)
    double upper;  // no node point is farther, up to rounding; +inf or NaN when unknown
};

// ---------------------------------------------------------------------------
// What a result set supplies: the visit reads nothing else of it.
//
//   kOrdered             true: the children are visited nearer first (kNN);
//                        false: left to right (radius rows, counts, sums)
//   worst<Reduced>()     the bound past which a node is skipped: a node whose
//                        lower bound b (reduced when Reduced, else a
//                        distance: the walk says which) has b > worst() holds
//                        no point the set would take; +inf takes everything
//   prunes<Reduced>(b)   b > worst<Reduced>(), as the visit asks it (a kNN
//                        set tests whether it is full first)
//   add(rd, p, rows)     one point, at storage position p, of reduced
//                        distance rd (rows: the row permutation)
//   scan(q, x, start, end, dim, rows)
//                        the points [start, end) of a leaf in storage order,
//                        as add() would take them one by one (the fast
//                        capability: masks, blocks, prefetches); the
//                        reference route calls add() instead
//
// A new query (a log-density sum, a k-th distance) is a new result set; the
// engine's visit, pruning and both routes come with it.
template <class R>
concept ResultSet = requires(R& r, const R& c, double rd, std::size_t p, const std::size_t* rows, const double* x) {
    { R::kOrdered } -> std::convertible_to<bool>;
    { c.template worst<true>() } -> std::convertible_to<double>;
    { c.template worst<false>() } -> std::convertible_to<double>;
    { c.template prunes<true>(rd) } -> std::convertible_to<bool>;
    r.add(rd, p, rows);
    r.scan(x, x, p, p, p, rows);
};

// What a tree kind supplies (KDTreeKind, BallTreeKind and VPTreeKind are the
// worked examples; PlainKind gives the defaults of a kind without options):
//
//   Node                 a NodeLinks (range and right child) plus the kind's
//                        fields; fields(node, f) lists those fields for saving
//   kValuesPerDim        doubles per node and coordinate kept beside the nodes
//                        (boxes: 2, centroids: 1, none: 0)
//   left_count(n)        how many of a node's n points go to its left child
//   make_node<M>(builder, node, id, start, end, scratch)
//                        fills one node over [start, end); false makes it a
//                        leaf, true leaves the range reordered so that its
//                        first left_count(n) positions are the left child
//   kNoCoordinatesOneLeaf, kNonEmptyNodes, Options, BuildState,
//   check_build, start_build, finish_build, option_code, options_from_code
//                        build options and build-wide state (PlainKind: none)
//   Walk<M>              the per-query descent: root() and bound(id, state)
//                        of a node, split<Ordered>(id, node, state) giving the
//                        children in visit order, enter / leave around each
//                        child, kReducedBound (bounds are reduced distances)
//                        and kNearChildShared (the near child shares its
//                        parent's tested bound)
//   density_lower, density_bounds, interval, span, partial_query
//                        the density recursion's node quantities
//   kTag, kName, check_loaded
//                        the saved tag, the class name, checks after a load
//
// Declared capabilities, each taken only where the kind declares it and
// never on the reference route (reference_route()):
//
//   kSplitNodes          the k-d descent over 16-byte SplitNodes: the Walk
//                        also offers gap_bound, split_at, far_gap_enter and
//                        gap_leave (kd_tree.hpp)
//   CompactNode, fill_compact, CompactWalk<M>
//                        a compact copy of the nodes for trees of 1 to 3
//                        coordinates, searched by the same visit
//   min_bounds, max_bounds (with Node::has_nan)
//                        per-node boxes: the density recursion then prunes
//                        with reduced box distances and decides small
//                        subtrees by their leaves' boxes
template <class Kind>
concept TreeKind = requires(const SpatialTree<Kind>& t, std::size_t n, const double* q,
                            typename Kind::Node& node) {
    typename Kind::Node;
    typename Kind::Options;
    typename Kind::BuildState;
    typename Kind::template Walk<EuclideanMetric>;
    { Kind::kValuesPerDim } -> std::convertible_to<std::size_t>;
    { Kind::kNoCoordinatesOneLeaf } -> std::convertible_to<bool>;
    { Kind::kNonEmptyNodes } -> std::convertible_to<bool>;
    { Kind::left_count(n) } -> std::convertible_to<std::size_t>;
    { node.leaf() } -> std::convertible_to<bool>;
    { Kind::template density_lower<EuclideanMetric>(t, n, q, true) } -> std::convertible_to<double>;
    { Kind::template density_bounds<EuclideanMetric>(t, n, q, true) } -> std::convertible_to<DensityBounds>;
    { Kind::template interval<EuclideanMetric>(t, n, q) } -> std::convertible_to<Interval>;
    { Kind::span(t, n) } -> std::convertible_to<double>;
    { Kind::template partial_query<EuclideanMetric>(t, q) } -> std::convertible_to<bool>;
    { Kind::kName } -> std::convertible_to<const char*>;
    Kind::check_loaded(t);
};

// Whether Kind keeps per-node boxes (min_bounds, max_bounds).
template <class Kind>
constexpr bool kind_has_boxes() {
    return requires(const SpatialTree<Kind>& t) { Kind::min_bounds(t, 0); };
}

struct NodeLinks {
    std::size_t start;
    std::size_t end;
    std::size_t right;  // kNoNode in a leaf; the left child is the next node
    bool leaf() const noexcept { return right == kNoNode; }
};

// What a split descent reads of a node, in 16 bytes (four to a cache line):
// an internal node's split value, coordinate and right child (the left child
// is the next node), or a leaf's range of storage positions.  Kept beside the
// full nodes by kinds that search through it, for trees whose positions and
// node ids fit 32 bits; a larger tree searches the full nodes.
struct SplitNode {
    union {
        double split_value;         // internal node
        std::uint32_t range[2];     // leaf: start, end
    };
    std::uint32_t right;            // 0 in a leaf (no node's right child is the root)
    std::uint32_t dim_and_nan;      // split coordinate; kSplitNan set when a point of the node has a NaN coordinate
    static constexpr std::uint32_t kSplitNan = 0x80000000u;
    bool leaf() const noexcept { return right == 0; }
    std::uint32_t split_dim() const noexcept { return dim_and_nan & ~kSplitNan; }
    bool has_nan() const noexcept { return (dim_and_nan & kSplitNan) != 0; }
};
static_assert(sizeof(SplitNode) == 16);

// Whether Kind keeps SplitNodes for its searches.
template <class Kind>
constexpr bool kind_has_split_nodes() {
    if constexpr (requires { Kind::kSplitNodes; }) {
        return Kind::kSplitNodes;
    } else {
        return false;
    }
}

// Kinds that search trees of 1 to 3 coordinates through a compact copy of
// their nodes declare it as Kind::CompactNode: what a descent reads of a
// node in one record (its bounds, the point it measures from, the child
// link and the range, in 32-bit fields), filled by Kind::fill_compact and
// read by Kind::CompactWalk.  Kept for trees whose positions and node ids
// fit 32 bits; other trees search the full nodes.  A compact node's right
// child is 0 in a leaf (no node's right child is the root).
inline constexpr std::size_t kCompactMaxDim = 3;

struct NoCompactNode {
    std::uint32_t start, end, right;
    bool leaf() const noexcept { return true; }
};

template <class Kind>
constexpr bool kind_has_compact_nodes() {
    return requires { typename Kind::CompactNode; };
}

template <class Kind, bool = kind_has_compact_nodes<Kind>()>
struct CompactNodeOf {
    using type = NoCompactNode;
};
template <class Kind>
struct CompactNodeOf<Kind, true> {
    using type = typename Kind::CompactNode;
};

// ---------------------------------------------------------------------------
// Result sets (see ResultSet above).  scan takes the points [start, end) of a
// leaf (coordinates from x, dim apart; input rows in rows[], read only for a
// point that is kept: the row permutation is a separate array, and most leaf
// points are not kept).

// Leaf points are tested in blocks of up to kMaskBlock, one bit each.
inline constexpr std::size_t kMaskBlock = 64;

template <class M, class Heap = KnnHeap>
struct KnnResults {
    static constexpr bool kOrdered = true;  // nearer child first
    Heap& heap;  // KnnHeap, or SortedKnn for a small k
    template <bool Reduced>
    double worst() const noexcept {
        if (!heap.full()) return std::numeric_limits<double>::infinity();
        return Reduced ? heap.worst() : M::from_rdist(heap.worst());
    }
    template <bool Reduced>
    bool prunes(double b) const noexcept {
        return heap.full() && b > (Reduced ? heap.worst() : M::from_rdist(heap.worst()));
    }
    // One point, at storage position p, of reduced distance rd.
    void add(double rd, std::size_t p, const std::size_t*) { heap.template offer<M>(rd, p); }
    // Once the heap is full, only a point nearer than the worst is offered.
    // The distances of up to 64 points are computed first, with a mask of
    // those nearer than the worst at the start: the worst only shrinks, so
    // the points offered are those of the mask still nearer than the worst
    // when their turn comes, the same ones in the same order as point by
    // point.  The heap holds storage positions (see KnnHeap::finish); the
    // row permutation's entry of each point offered is fetched meanwhile,
    // so that finish finds the rows of the kept ones in the cache.
    void scan(const double* q, const double* x, std::size_t start, std::size_t end, std::size_t dim,
              const std::size_t* rows) {
        dim = fixed_dim<M>(dim);
        std::size_t p = start;
        for (; p < end && !heap.full(); ++p, x += dim) {
            __builtin_prefetch(rows + p);
            heap.template offer<M>(M::rdist(q, x, dim), p);
        }
        double rd[kMaskBlock];
        while (p < end) {
            const std::size_t n = end - p < kMaskBlock ? end - p : kMaskBlock;
            for (std::uint64_t m = below_mask<M>(q, x, n, dim, heap.worst(), rd); m != 0; m &= m - 1) {
                const int i = std::countr_zero(m);
                if (rd[i] < heap.worst()) {
                    __builtin_prefetch(rows + p + static_cast<std::size_t>(i));
                    heap.template offer<M>(rd[i], p + static_cast<std::size_t>(i));
                }
            }
            p += n;
            x += n * dim;
        }
    }
};

// What the radius sets share: the radius, and the largest reduced distance
// within it (M::rdist_within(radius)), their worst() in either unit.
struct RadiusBound {
    static constexpr bool kOrdered = false;
    double radius;
    double rlimit;
    template <bool Reduced>
    double worst() const noexcept {
        return Reduced ? rlimit : radius;
    }
    template <bool Reduced>
    bool prunes(double b) const noexcept {
        return b > worst<Reduced>();
    }
};

// The radius sets read the row permutation only for the points within the
// radius.
template <class M>
struct RadiusRows : RadiusBound {
    std::vector<std::size_t>& out;
    void add(double rd, std::size_t p, const std::size_t* rows) {
        if (rd <= rlimit) out.push_back(rows[p]);
    }
    void scan(const double* q, const double* x, std::size_t start, std::size_t end, std::size_t dim,
              const std::size_t* rows) {
        for (std::size_t base = start; base < end; base += kMaskBlock) {
            const std::size_t n = end - base < kMaskBlock ? end - base : kMaskBlock;
            std::uint64_t hits = within_mask<M>(q, x, n, dim, rlimit);
            x += n * dim;
            for (; hits != 0; hits &= hits - 1) out.push_back(rows[base + std::countr_zero(hits)]);
        }
    }
};

template <class M>
struct RadiusCount : RadiusBound {
    std::size_t count = 0;
    void add(double rd, std::size_t, const std::size_t*) noexcept { count += rd <= rlimit; }
    void scan(const double* q, const double* x, std::size_t start, std::size_t end, std::size_t dim,
              const std::size_t*) noexcept {
        std::size_t n = 0;
        for (std::size_t base = start; base < end; base += kMaskBlock) {
            const std::size_t m = end - base < kMaskBlock ? end - base : kMaskBlock;
            n += static_cast<std::size_t>(std::popcount(within_mask<M>(q, x, m, dim, rlimit)));
            x += m * dim;
        }
        count += n;
    }
};

static_assert(ResultSet<KnnResults<EuclideanMetric>> && ResultSet<KnnResults<EuclideanMetric, SortedKnn>> &&
              ResultSet<RadiusRows<EuclideanMetric>> && ResultSet<RadiusCount<EuclideanMetric>>);

// A leaf's points into the result set.  With the dimension fixed, the query
// is copied to the stack first, so that its coordinates stay in registers
// across the result set's stores.
template <class M, class R>
inline void scan_leaf(R& res, const double* q, const double* x, std::size_t start, std::size_t end,
                      std::size_t dim, const std::size_t* rows) {
    if constexpr (M::kDim != 0) {
        double local[M::kDim];
        for (std::size_t i = 0; i < M::kDim; ++i) local[i] = q[i];
        res.scan(local, x, start, end, dim, rows);
    } else {
        res.scan(q, x, start, end, dim, rows);
    }
}

// ---------------------------------------------------------------------------
// What a kind without build options or build-wide state inherits: no
// options (saved as option byte 0), nothing to prepare or finish, every
// query measured in all its coordinates.

template <class Kind>
struct PlainKind {
    static constexpr bool kNonEmptyNodes = false;  // an empty point set builds one empty leaf
    struct Options {};
    struct BuildState {};
    using Tree = SpatialTree<Kind>;
    static void check_build(std::size_t, const Options&) {}
    static void start_build(BuildState&, std::size_t) {}
    static void finish_build(Tree&, BuildState&) {}
    template <class M>
    static bool partial_query(const Tree&, const double*) noexcept {
        return false;
    }
    static std::uint8_t option_code(const Options&) noexcept { return 0; }
    static std::optional<Options> options_from_code(std::uint8_t code) noexcept {
        if (code != 0) return std::nullopt;
        return Options{};
    }
};

template <class Kind>
class SpatialTree {
public:
    using KindType = Kind;
    using Node = typename Kind::Node;
    using Options = typename Kind::Options;

    // Builds from an (n_points, dim) array.  A one-point range is always a
    // leaf, whatever leaf_size says (leaf_size 0 behaves as 1).
    static SpatialTree from_ndarray(const ArrayF64& points, std::size_t leaf_size, DistanceMetric metric,
                                    Options options = {});
    static SpatialTree build(const double* points, std::size_t n_points, std::size_t dim, std::size_t leaf_size,
                             DistanceMetric metric, Options options = {});

    // k nearest neighbours of q (query_len coordinates) into `heap`, which
    // holds them sorted by distance (distances, not reduced) afterwards.
    void knn_search(const double* q, std::size_t query_len, std::size_t k, KnnHeap& heap) const;
    // Appends the input rows within `radius` of q, in traversal order.
    void radius_search(const double* q, std::size_t query_len, double radius, std::vector<std::size_t>& out) const;
    // How many points lie within `radius` of q (nothing is collected).
    std::size_t radius_count(const double* q, std::size_t query_len, double radius) const;

    // Batch pieces (spatial/batch.hpp): the query rows ids[begin..end) (rows
    // begin..end when ids is null) of a row-major set of dim-wide rows, with
    // the metric and dimension dispatched once for all of them.  kNN writes
    // row i's k distances and input rows at i * k, padded with +inf and
    // n_points; counts go to counts[i]; the radius rows of each query are
    // appended to `found`, with first[i] and count[i] saying where.
    void knn_rows(const double* queries, const std::size_t* ids, std::size_t begin, std::size_t end, std::size_t k,
                  KnnHeap& heap, double* dist, std::int64_t* rows) const;
    void radius_count_rows(const double* queries, const std::size_t* ids, std::size_t begin, std::size_t end,
                           double radius, std::int64_t* counts) const;
    void radius_rows(const double* queries, const std::size_t* ids, std::size_t begin, std::size_t end, double radius,
                     std::vector<std::size_t>& found, std::size_t* first, std::size_t* count) const;

    // The search under metric policy M with result set `res`, for a query of
    // dim coordinates.
    template <class M, class R>
    void search(const double* q, R& res) const;

    std::size_t n_points() const noexcept { return n_points_; }
    std::size_t dim() const noexcept { return dim_; }
    std::size_t leaf_size() const noexcept { return leaf_size_; }
    DistanceMetric metric() const noexcept { return metric_; }
    const Options& options() const noexcept { return options_; }
    const std::vector<Node>& nodes() const noexcept { return nodes_; }
    const Node& node(std::size_t id) const noexcept { return nodes_[id]; }
    const std::vector<std::size_t>& order() const noexcept { return order_; }
    // Coordinates in storage order, n_points * dim.
    const double* points() const noexcept { return points_.data(); }
    const double* row(std::size_t p) const noexcept { return points_.data() + p * dim_; }
    // The kind's per-node coordinates (boxes, centroids): kValuesPerDim * dim each.
    const double* values(std::size_t id) const noexcept { return values_.data() + id * Kind::kValuesPerDim * dim_; }
    double slack() const noexcept { return slack_; }
    std::size_t count(std::size_t id) const noexcept { return nodes_[id].end - nodes_[id].start; }
    // The search copy of the nodes (empty unless the kind keeps one and the tree fits it).
    const std::vector<SplitNode>& split_nodes() const noexcept { return split_nodes_; }
    using CompactNode = typename CompactNodeOf<Kind>::type;
    const std::vector<CompactNode>& compact_nodes() const noexcept { return compact_; }

private:
    friend Kind;
    friend struct TreeCodec;
    struct Builder;

    double* values(std::size_t id) noexcept { return values_.data() + id * Kind::kValuesPerDim * dim_; }
    template <class F>
    void each_row(const double* queries, const std::size_t* ids, std::size_t begin, std::size_t end, F&& f) const;
    template <class M, class Size, class Put>
    bool knn_sorted(const double* q, std::size_t k, SortedKnn& sorted, Size&& size, Put&& put) const;
    template <class M, class W, class R, class N>
    void visit(const N* nodes, W& walk, std::size_t id, typename W::State st, R& res) const;
    template <class M, class W, class R>
    void visit_plain(W& walk, std::size_t id, typename W::State st, R& res) const;
    template <class M, class W, class R>
    void visit_split(W& walk, std::uint32_t id, R& res) const;
    // Fills the search copies of the nodes (split_nodes_, compact_) from the
    // nodes, after a build or a load.
    void prepare_search();

    std::vector<Node> nodes_;
    std::vector<double> values_;
    std::vector<SplitNode> split_nodes_;
    std::vector<CompactNode> compact_;
    std::vector<std::size_t> order_;
    std::vector<double> points_;
    std::size_t n_points_ = 0;
    std::size_t dim_ = 0;
    std::size_t leaf_size_ = 0;
    DistanceMetric metric_ = DistanceMetric::Euclidean;
    Options options_{};
    double slack_ = 0.0;  // triangle_slack(dim)
};

// Whether any of q's dim coordinates is NaN.
inline bool has_nan_coordinate(const double* q, std::size_t dim) noexcept {
    bool nan = false;
    for (std::size_t i = 0; i < dim; ++i) nan |= q[i] != q[i];
    return nan;
}

}  // namespace lumi
