"""CPU dispatch: every instruction-set level that LUMIVANDER_ISA can select
(and this CPU supports) gives the same bits on every kernel path: element-wise
functions and arithmetic (flat, with a number, broadcast rows), products of
edge-heavy and skinny shapes, the factorisations and solvers built on them, selection
for median and quantiles, the zero tests, and kernel density sums over several
dimensions and metrics."""

import os
import subprocess
import sys

import pytest

LEVELS = {
    "baseline": set(),
    "avx2": {"avx2", "fma", "bmi1", "bmi2", "popcnt"},
    "avx512": {"avx2", "fma", "bmi1", "bmi2", "popcnt", "avx512f", "avx512dq", "avx512bw", "avx512vl"},
}


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


SCRIPT = r"""
import hashlib, math, random, struct
import numpy as np
import lumivander as lv

out = {}
# Digest of the results' bits.  any_nan: every NaN counts as the same, for
# operations where two NaNs may meet (which one an addition returns depends on
# the operand order the compiler picked, as for NumPy).
def put(name, *results, any_nan=False):
    h = hashlib.sha256()
    for r in results:
        x = r.to_numpy() if isinstance(r, lv.Array) else np.array([r], dtype=float)
        if any_nan:
            x = np.where(np.isnan(x), np.nan, x)
        h.update(x.tobytes())
    out[name] = h.hexdigest()[:16]

rnd = random.Random(18)
SPECIAL = [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, -2.2e-308, 1e308, -1.0, 1.0, 0.5]
def values(n, lo=-3.0, hi=3.0, special=0.1):
    return [rnd.choice(SPECIAL) if rnd.random() < special else rnd.uniform(lo, hi) for _ in range(n)]

# Element-wise: lengths around every vector width, and one long odd length.
lengths = list(range(1, 20)) + [5003]
data = [lv.asarray(values(n)) for n in lengths]
unary = ["abs", "sqrt", "exp", "log", "sin", "cos", "tan", "arcsin", "arccos", "arctan", "sign"]
for f in unary:
    put(f, *[getattr(a, f)() for a in data])
put("neg", *[-a for a in data])
for lo, hi in ((-0.5, 0.5), (0.5, -0.5), (math.nan, 1.0), (-1.0, math.nan)):
    put("clip %r %r" % (lo, hi), *[a.clip(lo, hi) for a in data])
others = [lv.asarray(values(n)) for n in lengths]
for sym in "+-*/":
    op = {"+": lambda x, y: x + y, "-": lambda x, y: x - y, "*": lambda x, y: x * y, "/": lambda x, y: x / y}[sym]
    put("vv" + sym, *[op(a, b) for a, b in zip(data, others)], any_nan=True)
    put("vs" + sym, *[op(a, s) for a in data for s in (2.5, -0.0, 0.0, math.inf)], any_nan=True)
    put("sv" + sym, *[op(s, a) for a in data for s in (2.5, -0.0, math.nan)], any_nan=True)
    for sa, sb in (([37, 1], [1, 41]), ([5, 7, 3], [7, 1]), ([300, 13], [13]), ([13], [300, 13]),
                   ([2, 1, 19], [2, 6, 19]), ([1000, 2], [2]), ([4, 1, 3, 1], [5, 1, 7]),
                   ([3, 1, 67], [1, 5, 67]), ([50, 40], [50, 1])):
        a = lv.Array(sa, values(math.prod(sa)))
        b = lv.Array(sb, values(math.prod(sb)))
        put("bc%s %r %r" % (sym, sa, sb), op(a, b), any_nan=True)

# Products: odd edges on every tile size, blocks past the cache depth and
# width, skinny and vector shapes, and the factorisations.
for m, n, p in ((37, 300, 53), (64, 64, 64), (130, 20, 250), (3, 700, 41), (17, 17, 17), (9, 257, 33),
                (20, 10, 500), (1000, 3, 7), (7, 3, 1000), (1, 500, 300), (300, 500, 1), (25, 1, 25),
                (9, 600, 16), (40, 64, 64), (16, 40, 600), (16, 700, 48)):
    a = lv.Array([m, n], values(m * n, special=0.02))
    b = lv.Array([n, p], values(n * p, special=0.02))
    put("matmul %d %d %d" % (m, n, p), lv.linalg.matmul(a, b), any_nan=True)
    x = lv.asarray(values(n, special=0.0))
    put("matvec %d %d" % (m, n), lv.linalg.matmul(a, x), any_nan=True)
    put("vecmat %d %d" % (n, p), lv.linalg.matmul(x, b), any_nan=True)
for n in (90, 130):  # panels of the blocked factorisation, the last one partial
    g = lv.Array([n, n], values(n * n, special=0.0))
    spd = lv.linalg.matmul(g, g.t()) + lv.eye(n) * float(n)
    put("cholesky %d" % n, lv.linalg.cholesky(spd))
for m, n in ((70, 45), (45, 70), (33, 33), (9, 100)):
    q, r = lv.linalg.qr(lv.Array([m, n], values(m * n, special=0.0)))
    put("qr %d %d" % (m, n), q, r)
e = lv.Array([65, 65], values(65 * 65, special=0.0))
put("eig 65", *lv.linalg.eig_with_params(e + e.t(), 3, 0.0))
# Solvers: recursive halves through the product kernels, big enough to split.
for n, r in ((70, 1), (70, 5), (300, 300)):
    g = lv.Array([n, n], values(n * n, special=0.0))
    b = lv.Array([n, r], values(n * r, special=0.0)) if r > 1 else lv.asarray(values(n, special=0.0))
    spd = lv.linalg.matmul(g, g.t()) + lv.eye(n) * float(n)
    put("solve %d %d" % (n, r), lv.linalg.solve(g, b), lv.linalg.solve_triangular(g, b, lower=True),
        lv.linalg.solve_triangular(g, b), lv.linalg.cho_solve(lv.linalg.cholesky(spd), b), any_nan=True)
    put("inv det %d" % n, lv.linalg.inv(g), lv.linalg.det(g), *lv.linalg.slogdet(g), any_nan=True)
    put("lstsq %d %d" % (n, r), lv.linalg.lstsq(lv.Array([3 * n, n], values(3 * n * n, special=0.0)),
                                                lv.Array([3 * n, r], values(3 * n * r, special=0.0))))
put("qr_reduced", *lv.linalg.qr_reduced(lv.Array([300, 20], values(6000, special=0.0))))
put("lstsq narrow", lv.linalg.lstsq(lv.Array([2000, 19], values(38000, special=0.0)), lv.asarray(values(2000, special=0.0))))
# The symmetric eigensolver: panels of the reduction, the rotations' column
# chunks and the blocks of the back-transformation, each with a partial end.
for n in (3, 45, 70, 163):
    s = lv.Array([n, n], values(n * n, special=0.0))
    put("eigh %d" % n, *lv.linalg.eigh(s), lv.linalg.eigvalsh(s))

# Selection: large arrays (sampled pivots and the filtering pass) with NaN,
# both zeros and heavy duplicates.
for n, special in ((200001, 0.05), (131072, 0.3), (50000, 0.0)):
    a = lv.asarray(values(n, -1.0, 1.0, special))
    put("median %d" % n, a.median())
    put("quantile %d" % n, *[a.quantile(q) for q in (0.0, 0.1, 0.37, 0.5, 0.9, 1.0)])
    put("quantiles %d" % n, a.quantile(lv.asarray([0.01, 0.25, 0.5, 0.75, 0.99])))
    put("any all %d" % n, a.any(), a.all(), lv.zeros([n]).any(), (a * 0.0 + 1.0).all())

# Kernel density sums.
pts = lv.Array([3000, 3], values(9000, special=0.0))
qs = lv.Array([200, 3], values(600, special=0.0))
for cls in (lv.spatial.KDTree, lv.spatial.BallTree, lv.spatial.VPTree):
    tree = cls.from_array(pts, 10, "euclidean")
    for kernel in ("gaussian", "epanechnikov"):
        put("kde %s %s" % (cls.__name__, kernel), tree.kernel_density(qs, 0.4, kernel),
            tree.kernel_density_approx(qs, 0.4, kernel, "max_span", max_span=0.2))

# Other dimensions (coordinates gathered) and metrics, leaves that end inside
# a vector, and queries on the points themselves (distance 0: exp's tiny
# arguments).
for dim in (1, 2, 3, 5):
    coords = values(1500 * dim, special=0.0)
    p = lv.Array([1500, dim], coords)
    q = lv.Array([90, dim], coords[: 40 * dim] + values(50 * dim, special=0.0))
    for metric in ("euclidean", "manhattan", "chebyshev"):
        tree = lv.spatial.KDTree.from_array(p, 7, metric)
        for kernel, h in (("gaussian", 0.05), ("gaussian", 2.0), ("triangular", 0.9)):
            put("kde dim %d %s %s %g" % (dim, metric, kernel, h), tree.kernel_density(q, h, kernel))

for k in sorted(out):
    print(k, out[k])
"""


def run_level(level, threads="2"):
    env = dict(os.environ, LUMIVANDER_ISA=level, LUMIVANDER_NUM_THREADS=threads)
    env.pop("LUMIVANDER_MATMUL_ISA", None)
    res = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, timeout=600)
    assert res.returncode == 0, res.stderr
    return dict(line.rsplit(" ", 1) for line in res.stdout.splitlines())


@pytest.fixture(scope="module")
def baseline():
    digests = run_level("baseline")
    assert len(digests) > 100
    return digests


@pytest.mark.parametrize("level,threads", [("avx2", "2"), ("avx512", "2"), ("avx512", "1")])
def test_level_agrees_with_baseline_bit_for_bit(level, threads, baseline):
    missing = LEVELS[level] - cpu_flags()
    if missing:
        pytest.skip("this CPU lacks " + ", ".join(sorted(missing)))
    got = run_level(level, threads)
    assert got.keys() == baseline.keys()
    differ = sorted(k for k in baseline if got[k] != baseline[k])
    assert not differ, "%s differs from baseline on %s" % (level, differ)
