"""Element-wise work on the worker pool, against NumPy (which runs it on one
core), with the default thread count and on one thread.

    python benchmarks/run.py -k "ew " --quick

Rows ending in "1 thread" set LUMIVANDER_NUM_THREADS=1 in their setup.  The
cap is read once per process, at the first call large enough for the pool,
and the setup runs before any such call in the fresh process each workload
gets; so those rows need the default isolated mode (they report an error
under --no-isolate).  The other rows use whatever the environment says:
`LUMIVANDER_NUM_THREADS=1 python benchmarks/run.py -k "ew "` runs them all
on one thread.  Comparing a row with its "1 thread" twin gives the gain from
the pool; the 1e4 rows stay below every split threshold.
"""

import os
import random
import sys

from harness import Workload


def _values(n, lo, hi, seed):
    rnd = random.Random(seed * 7919 + n).random
    return [lo + (hi - lo) * rnd() for _ in range(n)]


def _pool_threads():
    """Names of the running pool threads (Linux), to check the cap took."""
    try:
        tasks = os.listdir("/proc/self/task")
    except OSError:
        return []
    names = []
    for t in tasks:
        try:
            with open(f"/proc/self/task/{t}/comm") as f:
                names.append(f.read().strip())
        except OSError:
            pass
    return [n for n in names if n == "lumivander"]


def _setup(n, lo, hi, threads, two=False, extra=None):
    def setup(lv, np):
        if threads == 1:
            if "--worker" not in sys.argv:
                raise RuntimeError("needs one process per workload (the thread cap is read once)")
            os.environ["LUMIVANDER_NUM_THREADS"] = "1"
            lv.asarray([0.5] * 300000).exp()  # reads the cap now
            if _pool_threads():
                raise RuntimeError("the worker pool started before the thread cap was set")
        lumi, peer = dict(extra or {}), dict(extra or {})
        names = ("a", "b") if two else ("a",)
        for seed, name in enumerate(names, start=1):
            v = _values(n, lo, hi, seed)
            lumi[name] = lv.asarray(v)
            peer[name] = np.array(v, dtype=np.float64)
        return lumi, peer

    return setup


# (name, lumivander statement, NumPy statement, input range)
METHODS = [
    ("exp", "a.exp()", "np.exp(a)", (-2.0, 2.0)),
    ("log", "a.log()", "np.log(a)", (0.5, 2.0)),
    ("sin", "a.sin()", "np.sin(a)", (-2.0, 2.0)),
    ("cos", "a.cos()", "np.cos(a)", (-2.0, 2.0)),
    ("tan", "a.tan()", "np.tan(a)", (-1.5, 1.5)),
    ("arcsin", "a.arcsin()", "np.arcsin(a)", (-0.95, 0.95)),
    ("arccos", "a.arccos()", "np.arccos(a)", (-0.95, 0.95)),
    ("arctan", "a.arctan()", "np.arctan(a)", (-2.0, 2.0)),
    ("sqrt", "a.sqrt()", "np.sqrt(a)", (0.5, 2.0)),
    ("abs", "a.abs()", "np.abs(a)", (-2.0, 2.0)),
    ("sign", "a.sign()", "np.sign(a)", (-2.0, 2.0)),
    ("clip", "a.clip(-0.5, 0.5)", "np.clip(a, -0.5, 0.5)", (-2.0, 2.0)),
    ("neg", "-a", "np.negative(a)", (-2.0, 2.0)),
    ("a + b", "a + b", "a + b", (0.5, 2.0)),
    ("a * 2.0", "a * 2.0", "a * 2.0", (0.5, 2.0)),
]

SIZES = [(10**4, "1e4"), (10**5, "1e5"), (10**6, "1e6")]

# exp and log run vector kernels with the library's exact bits: within 1.2x
# of NumPy's own SIMD functions on one thread, faster with the pool.
TARGETS = {("exp", "1e6", 1): 1.2, ("log", "1e6", 1): 1.2, ("exp", "1e6", 0): 1.0, ("log", "1e6", 0): 1.0}

WORKLOADS = []
for _name, _lumi, _peer, (_lo, _hi) in METHODS:
    for _n, _label in SIZES:
        for _threads, _suffix in ((0, ""), (1, "  1 thread")):
            WORKLOADS.append(
                Workload(f"ew {_name}  n={_label}{_suffix}", _setup(_n, _lo, _hi, _threads, two="b" in _lumi),
                         _lumi, _peer, target=TARGETS.get((_name, _label, _threads)))
            )

# sin and cos over a full period (the samplers' arguments): vector kernels
# with the library's exact bits, against NumPy's calls of the library.
WORKLOADS += [
    Workload(f"ew {_name} [0, 2pi)  n=1e6  1 thread", _setup(10**6, 0.0, 6.283185307179586, 1), f"a.{_name}()",
             f"np.{_name}(a)", target=0.3)
    for _name in ("sin", "cos")
]

# Per-call overhead of a tiny result: shape and strides live inside the
# array object, so the data is the only allocation.
WORKLOADS += [
    Workload("ew a + b  n=3", _setup(3, 0.5, 2.0, 0, two=True), "a + b", "a + b", target=0.3),
    Workload("ew a * 2.0  n=3", _setup(3, 0.5, 2.0, 0), "a * 2.0", "a * 2.0", target=0.3),
]
