"""Worker pool: results independent of the thread count, the thread cap read
from LUMIVANDER_NUM_THREADS, concurrent callers, and forked children."""

import multiprocessing
import os
import subprocess
import sys
import threading

import pytest

import lumivander as lv

METHODS = ["sin", "cos", "tan", "exp", "log", "arcsin", "arccos", "arctan", "sqrt", "abs", "sign"]

# Every element-wise method and operator over an array mixing ordinary values
# with NaN, signed zeros, infinities and subnormals; prints one digest line
# per result so two runs can be compared bit for bit.
DIGEST_SCRIPT = r"""
import hashlib, math, sys
import numpy as np
import lumivander as lv

n = int(sys.argv[1])
special = np.array([math.nan, -math.nan, 0.0, -0.0, math.inf, -math.inf, 5e-324, -5e-324,
                    2.2250738585072009e-308, -1e-310, 1.0, -1.0, 0.5, 710.0, -745.5, 1e300])
i = np.arange(n)
vals = np.sin(i * 0.61803) * (1 + i % 13)
vals[::7] = special[(i[::7] // 7) % len(special)]
a = lv.Array.from_numpy(vals)
b = lv.Array.from_numpy(vals[::-1].copy())

def digest(x):
    return hashlib.sha256(x.to_numpy().tobytes()).hexdigest()

out = {}
for m in METHODS_HERE:
    out[m] = digest(getattr(a, m)())
out["clip"] = digest(a.clip(-0.5, 0.75))
out["neg"] = digest(-a)
for name, f in [("add", lambda: a + b), ("sub", lambda: a - b), ("mul", lambda: a * b),
                ("div", lambda: a / b), ("adds", lambda: a + 2.5), ("rdiv", lambda: 3.0 / a),
                ("muls", lambda: a * -0.0)]:
    out[name] = digest(f())
# Broadcasting splits whole rows: one and two outer axes.
rows = n // 1000
if rows:
    m = lv.Array.from_numpy(vals[:rows * 1000].reshape(rows, 1000))
    r = lv.Array.from_numpy(vals[-1000:].copy())
    out["rows"] = digest(m * r)
    out["rows_rev"] = digest(r - m)
    t = lv.Array.from_numpy(vals[:rows * 1000].reshape(rows, 1, 1000))
    u = lv.Array.from_numpy(vals[-3000:].reshape(3, 1000))
    out["outer2"] = digest(t / u)
    col = lv.Array.from_numpy(vals[:rows].reshape(rows, 1))
    out["outer"] = digest(col + r)
for k in sorted(out):
    print(k, out[k])
""".replace("METHODS_HERE", repr(METHODS))


def run_digest(threads, n):
    env = dict(os.environ)
    if threads is None:
        env.pop("LUMIVANDER_NUM_THREADS", None)
    else:
        env["LUMIVANDER_NUM_THREADS"] = threads
    proc = subprocess.run([sys.executable, "-c", DIGEST_SCRIPT, str(n)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.mark.parametrize("n", [1, 30001, 2200003])
def test_results_identical_for_any_thread_count(n):
    pytest.importorskip("numpy")
    one = run_digest("1", n)
    assert one.count("\n") == len(METHODS) + 9 + (4 if n >= 1000 else 0)
    for threads in [None, "2", "3", "abc"] if n < 10**6 else [None, "3"]:
        assert run_digest(threads, n) == one, threads


def test_pool_matches_inline_results_in_process():
    # The same digest in this process (default threads) against a one-thread
    # child, for the sizes that split.
    vals = [((i * 7919) % 1000) / 250.0 - 2.0 for i in range(100001)]
    a = lv.Array.asarray(vals)
    import math

    for m in ["exp", "sin", "arctan", "log"]:
        got = getattr(a, m)().tolist()
        fn = {"arctan": math.atan}.get(m, getattr(math, m, None))
        for i in range(0, len(vals), 997):
            x = vals[i]
            if m == "log" and x <= 0:
                continue
            assert got[i] == fn(x), (m, i)


def test_concurrent_callers_from_several_threads():
    a = lv.Array.asarray([i * 1e-4 for i in range(150000)])
    want = {m: getattr(a, m)().tolist() for m in ["exp", "sin", "cos"]}
    errors = []

    def work(m):
        try:
            for _ in range(5):
                if getattr(a, m)().tolist() != want[m]:
                    errors.append(m)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(repr(e))

    threads = [threading.Thread(target=work, args=(m,)) for m in ["exp", "sin", "cos"] * 2]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def _child_exp(n):
    a = lv.Array.asarray([i * 1e-5 for i in range(n)])
    return a.exp().tolist()[-3:]


@pytest.mark.skipif(sys.platform != "linux", reason="fork start method")
def test_forked_child_after_pool_started_does_not_deadlock():
    n = 200000
    want = _child_exp(n)  # starts the pool in this process
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(2) as pool:
        results = [pool.apply_async(_child_exp, (n,)) for _ in range(4)]
        got = [r.get(timeout=120) for r in results]
    assert got == [want] * 4


THREADS_SCRIPT = r"""
import os
import lumivander as lv
before = len(os.listdir("/proc/self/task"))
lv.Array.asarray([i * 1e-5 for i in range(100000)]).exp()
print(before, len(os.listdir("/proc/self/task")), len(os.sched_getaffinity(0)))
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize("value, cap", [("1", 1), ("2", 2), ("abc", None), ("0", None), ("-1", None),
                                        ("1.5", None), ("99999999999999999999999", None)])
def test_thread_cap_from_environment(value, cap):
    env = dict(os.environ, LUMIVANDER_NUM_THREADS=value)
    proc = subprocess.run([sys.executable, "-c", THREADS_SCRIPT], env=env, capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    before, after, cpus = map(int, proc.stdout.split())
    workers = cpus if cap is None else min(cap, cpus)
    assert after - before == workers - 1


# Large enough for every operator to split.
@pytest.mark.parametrize("sa, sb", [((800, 1, 1000), (3, 1000)), ((2200, 1000), (1000,)), ((1000,), (2200, 1000)),
                                    ((2200, 1), (1, 1000)), ((2, 1100, 1, 1000), (1100, 1, 1)),
                                    ((2200000,), (2200000,)), ((1, 2200000), (2200000,)), ((2200000,), ())])
@pytest.mark.parametrize("op", ["+", "-", "*", "/"])
def test_large_broadcasts_match_numpy(sa, sb, op):
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(7)
    x = rng.standard_normal(sa)
    y = rng.standard_normal(sb)
    if y.ndim:
        y.flat[::5] = 0.0
        y.flat[1::7] = -0.0
    f = {"+": lambda p, q: p + q, "-": lambda p, q: p - q, "*": lambda p, q: p * q, "/": lambda p, q: p / q}[op]
    with np.errstate(all="ignore"):
        want = f(x, y)
    got = f(lv.Array.from_numpy(x), lv.Array.from_numpy(y)).to_numpy()
    assert got.shape == want.shape
    assert got.tobytes() == want.tobytes()


# Narrows every thread of the process (pool threads included) to one CPU
# once the pool runs, so that a helper finding itself on its caller's core
# has nowhere to go, then prints digests of pooled calls made that way.
PINNED_SCRIPT = r"""
import hashlib, os, sys, time
import numpy as np
import lumivander as lv

def digest(x):
    return hashlib.sha256(x.to_numpy().tobytes()).hexdigest()

rng = np.random.default_rng(5)
m = lv.Array.from_numpy(rng.standard_normal((1000, 1000)))
x = lv.Array.from_numpy(rng.standard_normal(1000))
a = lv.Array.from_numpy(rng.standard_normal((300, 300)))
e = lv.Array.from_numpy(rng.standard_normal(400000))
lv.linalg.matmul(a, a)  # starts the pool
if sys.argv[1] == "pin":
    cpu = min(os.sched_getaffinity(0))
    for tid in os.listdir("/proc/self/task"):
        os.sched_setaffinity(int(tid), {cpu})
out = []
for i in range(20):
    if i % 5 == 0:
        time.sleep(0.005)  # helpers fall asleep
    out.append(digest(lv.linalg.matmul(x, m)) + digest(lv.linalg.matmul(m, x)) +
               digest(lv.linalg.matmul(a, a)) + digest(e.exp()))
assert len(set(out)) == 1
print(out[0])
"""


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity") or not os.path.isdir("/proc/self/task")
                    or len(os.sched_getaffinity(0)) < 2, reason="needs Linux and two CPUs")
def test_pooled_calls_when_helpers_cannot_leave_the_callers_core():
    pytest.importorskip("numpy")

    def run(mode, threads):
        env = dict(os.environ, LUMIVANDER_NUM_THREADS=threads)
        proc = subprocess.run([sys.executable, "-c", PINNED_SCRIPT, mode], env=env,
                              capture_output=True, text=True, timeout=120)
        assert proc.returncode == 0, proc.stderr
        return proc.stdout

    assert run("pin", "2") == run("free", "1")
