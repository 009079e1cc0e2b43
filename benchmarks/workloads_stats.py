"""Statistics: reductions, median and quantiles against NumPy, correlation
against SciPy, and the strictly ordered sums against a plain serial C loop.

lumivander's sums add one element at a time, left to right (the order is part
of its contract), so NumPy's pairwise summation can be faster; the honest
yardstick for an ordered sum is the serial loop.  The "vs C loop" rows build
that loop at setup time: a few lines of C compiled with the system compiler
(`cc -O2 -fno-fast-math -ffp-contract=off -shared -fPIC`) into a temporary
shared library, called through ctypes on the NumPy copy of the data (a
ctypes call costs well under a microsecond, nothing next to a 1e6 loop).
Without a C compiler those rows are skipped.  Both sides must agree bit for
bit there, which the result check confirms.
"""

from __future__ import annotations

import functools
import os
import random
import shutil
import subprocess
import tempfile

from harness import Workload

C_SOURCE = r"""
#include <math.h>
#include <stddef.h>

double serial_sum(const double* x, size_t n) {
    double s = -0.0;
    for (size_t i = 0; i < n; ++i) s += x[i];
    return s;
}

double serial_mean(const double* x, size_t n) {
    return n ? serial_sum(x, n) / (double)n : NAN;
}

double serial_var(const double* x, size_t n) {
    if (!n) return NAN;
    double m = serial_sum(x, n) / (double)n;
    double acc = -0.0;
    for (size_t i = 0; i < n; ++i) {
        double d = x[i] - m;
        acc += d * d;
    }
    return acc / (double)n;
}
"""


@functools.lru_cache(maxsize=None)
def c_loops():
    """The serial C reductions as ctypes functions (compiled once per process)."""
    import ctypes

    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if not cc:
        raise NotImplementedError("no C compiler for the serial-loop baseline")
    tmp = tempfile.mkdtemp(prefix="lumi-bench-")
    src, lib = os.path.join(tmp, "serial.c"), os.path.join(tmp, "serial.so")
    with open(src, "w") as f:
        f.write(C_SOURCE)
    subprocess.run([cc, "-O2", "-fno-fast-math", "-ffp-contract=off", "-shared", "-fPIC", src, "-o", lib],
                   check=True, capture_output=True)
    dll = ctypes.CDLL(lib)
    out = {}
    for name in ("serial_sum", "serial_mean", "serial_var"):
        fn = getattr(dll, name)
        fn.argtypes = (ctypes.c_void_p, ctypes.c_size_t)
        fn.restype = ctypes.c_double
        out[name] = fn
    return out


def data(n, seed=1):
    rnd = random.Random(seed * 7919 + n)
    return [rnd.gauss(0.0, 1.0) for _ in range(n)]


def one(n):
    def setup(lv, np):
        x = np.array(data(n))
        return {"a": lv.Array.from_numpy(x)}, {"a": x}

    return setup


def two(n):
    def setup(lv, peer):
        import numpy as np

        x = np.array(data(n, 1))
        y = np.array(data(n, 2))
        x[::5] = np.round(x[::5] * 4)  # ties for the ranks
        return ({"a": lv.Array.from_numpy(x), "b": lv.Array.from_numpy(y), "st": lv.stats},
                {"a": x, "b": y, "st": __import__("scipy.stats").stats})

    return setup


def with_c_loop(n):
    def setup(lv, np):
        x = np.array(data(n))
        loops = c_loops()
        peer = dict(loops, p=x.ctypes.data, n=x.size, x=x)
        return {"a": lv.Array.from_numpy(x)}, peer

    return setup


N = 10**6
C_NOTE = "peer: serial C loop (cc -O2) via ctypes"

WORKLOADS = [
    Workload("stats sum  n=1e6", one(N), "a.sum()", "a.sum()", check=False,
             note="numpy sums pairwise (other order)"),
    Workload("stats sum vs C loop  n=1e6", with_c_loop(N), "a.sum()", "serial_sum(p, n)", target=1.1,
             note=C_NOTE),
    Workload("stats mean  n=1e6", one(N), "a.mean()", "a.mean()", check=False,
             note="numpy sums pairwise (other order)"),
    Workload("stats mean vs C loop  n=1e6", with_c_loop(N), "a.mean()", "serial_mean(p, n)", target=1.1,
             note=C_NOTE),
    Workload("stats var  n=1e6", one(N), "a.var()", "a.var()", check=False,
             note="numpy sums pairwise (other order)"),
    Workload("stats var vs C loop  n=1e6", with_c_loop(N), "a.var()", "serial_var(p, n)", target=1.1,
             note=C_NOTE),
    Workload("stats median  n=1e6", one(N), "a.median()", "np.median(a)", target=1.0),
    Workload("stats median  n=1e6+1", one(N + 1), "a.median()", "np.median(a)", target=1.0),
    Workload("stats quantile(0.9)  n=1e6", one(N), "a.quantile(0.9)", "np.quantile(a, 0.9)", target=1.0),
    Workload("stats quantile(5 levels)  n=1e6",
             lambda lv, np: (dict(one(N)(lv, np)[0], q=lv.asarray([0.05, 0.25, 0.5, 0.75, 0.95])),
                             dict(one(N)(lv, np)[1], q=np.array([0.05, 0.25, 0.5, 0.75, 0.95]))),
             "a.quantile(q)", "np.quantile(a, q)"),
    Workload("stats median  n=1e3", one(1000), "a.median()", "np.median(a)"),
    Workload("stats any  n=1e6", lambda lv, np: ({"a": lv.zeros([N])}, {"a": np.zeros(N)}), "a.any()",
             "a.any()"),
    Workload("stats spearman  n=1e5", two(10**5), "st.spearman(a, b)", "st.spearmanr(a, b)[0]",
             peer_name="scipy", target=0.5),
    Workload("stats pearson  n=1e5", two(10**5), "st.pearson(a, b)", "st.pearsonr(a, b)[0]",
             peer_name="scipy", target=0.5),
]
