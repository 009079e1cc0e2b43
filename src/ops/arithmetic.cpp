// Broadcasting array-array arithmetic.
//
// Every result element is a[i] op b[j] for the pair (i, j) that the row-major
// broadcast walk (BroadcastIter) assigns to it; only the way the pairs are
// enumerated differs from that walk.  Equal shapes and single-element operands
// are flat loops.  Everything else is reduced to a few axes: result axes of
// size 1 are dropped and neighbouring axes that step both operands in one
// uniform stride are merged.  The innermost remaining axis then steps each
// operand by 1 (it varies along it) or 0 (it is broadcast along it), so the
// result is a sequence of contiguous rows, each a vector-vector,
// vector-scalar or scalar-vector loop of the element-wise kernels.
#include "ops/arithmetic.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/messages.hpp"
#include "base/parallel.hpp"
#include "ops/kernels.hpp"

namespace lumi {

namespace {

struct Axis {
    std::size_t n;   // result size along this axis
    std::size_t sa;  // step in a's data (0 where a is broadcast)
    std::size_t sb;  // step in b's data (0 where b is broadcast)
};

// Operand step along result axis d of an n-axis result: the operand's own
// stride, or 0 where it has size 1 or lacks the axis.
std::size_t operand_step(const ArrayF64& x, std::size_t n, std::size_t d) {
    const std::size_t lead = n - x.shape.size();
    if (d < lead || x.shape[d - lead] == 1) return 0;
    return x.strides[d - lead];
}

// The result walk as few axes as possible, outermost first.  Requires a
// non-empty result.
std::vector<Axis> coalesce(const Shape& out, const ArrayF64& a, const ArrayF64& b) {
    const std::size_t n = out.size();
    std::vector<Axis> axes;
    axes.reserve(n);
    for (std::size_t d = 0; d < n; ++d) {
        if (out[d] == 1) continue;
        Axis cur{out[d], operand_step(a, n, d), operand_step(b, n, d)};
        if (!axes.empty()) {
            Axis& prev = axes.back();
            if (prev.sa == cur.sa * cur.n && prev.sb == cur.sb * cur.n) {
                prev = Axis{prev.n * cur.n, cur.sa, cur.sb};
                continue;
            }
        }
        axes.push_back(cur);
    }
    return axes;
}

// Calls row(pa, pb, po) for the contiguous result rows [r0, r1) of length m,
// in row-major order, with pa and pb the operands' starting positions.
template <class Row>
void for_each_row(const double* a, const double* b, double* out, const Axis* outer, std::size_t k,
                  std::size_t m, std::size_t r0, std::size_t r1, Row row) {
    if (k == 1) {
        const Axis ax = outer[0];
        for (std::size_t r = r0; r < r1; ++r) row(a + r * ax.sa, b + r * ax.sb, out + r * m);
        return;
    }
    // Multi-index of row r0, outermost axis first.
    Dims idx(k, 0);
    std::size_t oa = 0, ob = 0;
    for (std::size_t d = k, rest = r0; d-- > 0;) {
        idx[d] = rest % outer[d].n;
        rest /= outer[d].n;
        oa += idx[d] * outer[d].sa;
        ob += idx[d] * outer[d].sb;
    }
    out += r0 * m;
    for (std::size_t r = r0; r < r1; ++r, out += m) {
        row(a + oa, b + ob, out);
        for (std::size_t d = k; d-- > 0;) {
            oa += outer[d].sa;
            ob += outer[d].sb;
            if (++idx[d] < outer[d].n) break;
            oa -= outer[d].sa * outer[d].n;
            ob -= outer[d].sb * outer[d].n;
            idx[d] = 0;
        }
    }
}

// The rows are independent, so groups of whole rows go to the worker pool.
// Requires at least two axes (one axis means a flat loop, handled by the
// caller).  vv, vs and sv compute one row: (a, b, out, m), (a, s, out, m) and
// (s, b, out, m).
template <class VV, class VS, class SV>
void broadcast_rows(const double* a, const double* b, double* out, const std::vector<Axis>& axes, VV vv, VS vs,
                    SV sv) {
    const Axis inner = axes.back();
    const std::size_t m = inner.n;
    const Axis* outer = axes.data();
    const std::size_t depth = axes.size() - 1;
    std::size_t rows = 1;
    for (std::size_t d = 0; d < depth; ++d) rows *= outer[d].n;
    const std::size_t grain = std::max<std::size_t>(1, arithmetic_grain() / m);
    parallel_for(rows, grain, [&](std::size_t r0, std::size_t r1) {
        if (inner.sa != 0 && inner.sb != 0) {
            for_each_row(a, b, out, outer, depth, m, r0, r1,
                         [&](const double* pa, const double* pb, double* po) { vv(pa, pb, po, m); });
        } else if (inner.sa != 0) {
            for_each_row(a, b, out, outer, depth, m, r0, r1,
                         [&](const double* pa, const double* pb, double* po) { vs(pa, *pb, po, m); });
        } else {
            for_each_row(a, b, out, outer, depth, m, r0, r1,
                         [&](const double* pa, const double* pb, double* po) { sv(*pa, pb, po, m); });
        }
    });
}

// Rows shorter than this are inline loops here: a call into the kernel set
// per row would cost more than the row itself.
constexpr std::size_t kShortRow = 32;

struct Add {
    static double apply(double x, double y) noexcept { return x + y; }
};
struct Sub {
    static double apply(double x, double y) noexcept { return x - y; }
};
struct Mul {
    static double apply(double x, double y) noexcept { return x * y; }
};
struct Div {
    static double apply(double x, double y) noexcept { return x / y; }
};

template <class Op>
void short_rows(const double* a, const double* b, double* out, const std::vector<Axis>& axes) {
    broadcast_rows(
        a, b, out, axes,
        [](const double* __restrict x, const double* __restrict y, double* __restrict z, std::size_t m) {
            for (std::size_t i = 0; i < m; ++i) z[i] = Op::apply(x[i], y[i]);
        },
        [](const double* __restrict x, double s, double* __restrict z, std::size_t m) {
            for (std::size_t i = 0; i < m; ++i) z[i] = Op::apply(x[i], s);
        },
        [](double s, const double* __restrict y, double* __restrict z, std::size_t m) {
            for (std::size_t i = 0; i < m; ++i) z[i] = Op::apply(s, y[i]);
        });
}

void rows_of(const kern::ElementwiseKernels& k, BinOp bin_op, const double* a, const double* b, double* out,
             const std::vector<Axis>& axes) {
    const auto op = static_cast<std::size_t>(bin_op);
    if (axes.back().n >= kShortRow) return broadcast_rows(a, b, out, axes, k.vv[op], k.vs[op], k.sv[op]);
    switch (bin_op) {
        case BinOp::Add: return short_rows<Add>(a, b, out, axes);
        case BinOp::Sub: return short_rows<Sub>(a, b, out, axes);
        case BinOp::Mul: return short_rows<Mul>(a, b, out, axes);
        case BinOp::Div: break;
    }
    short_rows<Div>(a, b, out, axes);
}

// Whole-array loops, split into chunks over the worker pool.
void flat_vv(const kern::ElementwiseKernels& k, std::size_t op, const double* pa, const double* pb, double* po,
             std::size_t n) {
    const auto f = k.vv[op];
    parallel_for(n, arithmetic_grain(), [&](std::size_t b, std::size_t e) { f(pa + b, pb + b, po + b, e - b); });
}
void flat_vs(const kern::ElementwiseKernels& k, std::size_t op, const double* pa, double s, double* po,
             std::size_t n) {
    const auto f = k.vs[op];
    parallel_for(n, arithmetic_grain(), [&](std::size_t b, std::size_t e) { f(pa + b, s, po + b, e - b); });
}
void flat_sv(const kern::ElementwiseKernels& k, std::size_t op, double s, const double* pb, double* po,
             std::size_t n) {
    const auto f = k.sv[op];
    parallel_for(n, arithmetic_grain(), [&](std::size_t b, std::size_t e) { f(s, pb + b, po + b, e - b); });
}

void compute(const ArrayF64& a, const ArrayF64& b, ArrayF64& out, BinOp bin_op) {
    const kern::ElementwiseKernels& k = kern::elementwise_kernels();
    const auto op = static_cast<std::size_t>(bin_op);
    const std::size_t count = out.size();
    const double* pa = a.data.data();
    const double* pb = b.data.data();
    double* po = out.data.data();
    if (a.shape == b.shape) {
        flat_vv(k, op, pa, pb, po, count);
    } else if (a.size() == 1) {
        // All of a's axes have size 1: b's flat order is the result's.
        flat_sv(k, op, pa[0], pb, po, count);
    } else if (b.size() == 1) {
        flat_vs(k, op, pa, pb[0], po, count);
    } else {
        const std::vector<Axis> axes = coalesce(out.shape, a, b);
        const Axis& inner = axes.back();
        if (axes.size() == 1) {
            // Both operands vary along the only axis (a broadcast one would
            // have made that operand a single element).
            if (inner.sa != 0 && inner.sb != 0) flat_vv(k, op, pa, pb, po, count);
            else if (inner.sa != 0) flat_vs(k, op, pa, pb[0], po, count);
            else flat_sv(k, op, pa[0], pb, po, count);
        } else {
            rows_of(k, bin_op, pa, pb, po, axes);
        }
    }
}

}  // namespace

// One IEEE operation per element: memory-bound, 0.25 ns per element while
// the operands fit the caches, about 0.45 ns at 1e6 (three 8 MB streams and
// first-touch page faults of the result).  Two threads take 0.65x the time
// at 1e6 on an idle machine but up to 4x longer when the cores are shared
// with other processes, so results split only from 2 Mi elements, in chunks
// of a millisecond or more (see the grains in unary.cpp).
std::size_t arithmetic_grain() noexcept { return std::size_t{1} << 20; }

std::size_t binary_result_size(const ArrayF64& a, const ArrayF64& b) noexcept {
    if (a.shape == b.shape) return a.size();
    std::optional<Shape> shape = Shape::broadcast(a.shape, b.shape);
    if (!shape) return 0;
    std::size_t n = 1;
    for (std::size_t s : *shape) {
        if (s == 0) return 0;
        n = n > SIZE_MAX / s ? SIZE_MAX : n * s;  // too big: refused later
    }
    return n;
}

ArrayF64 binary_op_copy(const ArrayF64& a, const ArrayF64& b, BinOp op) {
    std::optional<Shape> shape = Shape::broadcast(a.shape, b.shape);
    if (!shape) throw Error(msg::kShapesNotBroadcast);
    ArrayF64 out = ArrayF64::uninit(std::move(*shape));
    if (out.size() == 0) return out;
    compute(a, b, out, op);
    return out;
}

}  // namespace lumi
