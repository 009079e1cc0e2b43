"""Time from SIGINT to KeyboardInterrupt for long calls, on one thread and on
all of them.

    python benchmarks/interrupt_latency.py             # every call
    python benchmarks/interrupt_latency.py eig build   # calls whose name contains a word

Each call is started in a fresh process (one per thread setting), a second
thread sends SIGINT to the process 0.3 s later, and the time until the call
raises KeyboardInterrupt is reported ("finished" when the call ended first).
Background load on the machine adds directly to these times.
"""

import os
import subprocess
import sys

CHILD = r"""
import os, pickle, signal, sys, threading, time
import numpy as np
import lumivander as lv
# A parent started in the background passes SIGINT on ignored.
signal.signal(signal.SIGINT, signal.default_int_handler)

rng = np.random.default_rng(1)
def arr(*shape):
    return lv.Array.from_numpy(rng.random(shape))

def setup(name):
    if name == "matmul 3000x3000":
        a, b = arr(3000, 3000), arr(3000, 3000)
        return lambda: lv.linalg.matmul(a, b)
    if name == "eig_with_params 200x200":
        a = arr(200, 200)
        return lambda: lv.linalg.eig_with_params(a, 10**9, 0.0)
    if name == "cholesky 4000x4000":
        m = rng.random((4000, 4000))
        a = lv.Array.from_numpy(m @ m.T + 4000 * np.eye(4000))
        return lambda: lv.linalg.cholesky(a)
    if name == "qr 2000x2000":
        a = arr(2000, 2000)
        return lambda: lv.linalg.qr(a)
    if name == "KDTree build 8e6x3":
        p = arr(8_000_000, 3)
        return lambda: lv.spatial.KDTree.from_array(p, 16)
    if name == "query_knn_batch 2e6 queries":
        t = lv.spatial.KDTree.from_array(arr(100_000, 3), 16)
        q = arr(2_000_000, 3)
        return lambda: t.query_knn_batch(q, 8)
    if name == "query_knn k=n 1e7 points":
        t = lv.spatial.KDTree.from_array(arr(10_000_000, 2), 16)
        return lambda: t.query_knn([0.5, 0.5], 10_000_000)
    if name == "kernel_density 2e5 queries":
        t = lv.spatial.KDTree.from_array(arr(100_000, 3), 16)
        q = arr(200_000, 3)
        return lambda: t.kernel_density(q, 0.5, "gaussian")
    if name == "exp 2e8":
        a = lv.zeros([200_000_000])
        return lambda: a.exp()
    if name == "sum 3e8":
        a = lv.zeros([300_000_000])
        return lambda: lv.stats.sum(a)
    if name == "quantile 100 levels 3e7":
        a = arr(30_000_000)
        q = lv.Array.from_numpy(np.linspace(0, 1, 100))
        return lambda: lv.stats.quantile(a, q)
    if name == "spearman 2e7":
        a, b = arr(20_000_000), arr(20_000_000)
        return lambda: lv.stats.spearman(a, b)
    if name == "beta 5e7":
        g = lv.random.Generator.from_seed(1)
        return lambda: g.beta(2.0, 3.0, [50_000_000])
    if name == "pickle KDTree 2e7":
        t = lv.spatial.KDTree.from_array(arr(20_000_000, 3), 16)
        return lambda: pickle.dumps(t)
    raise KeyError(name)

name = sys.argv[1]
call = setup(name)
sent = []
def fire():
    time.sleep(0.3)
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=fire, daemon=True).start()
try:
    call()
    print("finished")
    time.sleep(1.0)
except KeyboardInterrupt:
    print(f"{(time.perf_counter() - sent[0]) * 1000:.0f} ms")
"""

CALLS = [
    "matmul 3000x3000", "eig_with_params 200x200", "cholesky 4000x4000", "qr 2000x2000",
    "KDTree build 8e6x3", "query_knn_batch 2e6 queries", "query_knn k=n 1e7 points",
    "kernel_density 2e5 queries", "exp 2e8", "sum 3e8", "quantile 100 levels 3e7", "spearman 2e7",
    "beta 5e7", "pickle KDTree 2e7",
]


def measure(name, threads):
    env = dict(os.environ)
    env.pop("LUMIVANDER_NUM_THREADS", None)
    if threads:
        env["LUMIVANDER_NUM_THREADS"] = threads
    try:
        proc = subprocess.run([sys.executable, "-c", CHILD, name], env=env, capture_output=True, text=True,
                              timeout=600)
    except subprocess.TimeoutExpired:
        return "no stop in 600 s"
    out = proc.stdout.strip().splitlines()
    if proc.returncode != 0 or not out:
        tail = proc.stderr.strip().splitlines()[-1:] or [f"exit status {proc.returncode}"]
        return "error: " + tail[0]
    return out[-1]


def main(words):
    chosen = [c for c in CALLS if not words or any(w in c for w in words)]
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cpus")
    width = max(len(c) for c in chosen)
    print(f"{'call':<{width}}  {'1 thread':>10}  {'all threads':>11}")
    for c in chosen:
        print(f"{c:<{width}}  {measure(c, '1'):>10}  {measure(c, None):>11}", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
