"""Kernel density: what the approximation criteria cost in accuracy and save
in time, and how the exact sum's cost grows with the bandwidth.  Prints the
two tables of the guide's kernel density section (docs/spatial.md).

    python benchmarks/density_tradeoffs.py [--points 100000] [--queries 1000]

Points are uniform in the unit cube (3-D), queries more such points; every
timing is the best of --repeat runs of one batch call over all queries.
"""
import argparse
import os
import time

import numpy as np

import lumivander as lv


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t)
    return min(times), out


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--points", type=int, default=100_000)
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--repeat", type=int, default=3)
    args = p.parse_args()

    rng = np.random.default_rng(2024)
    x = rng.random((args.points, 3))
    q = lv.Array.from_numpy(rng.random((args.queries, 3)))
    tree = lv.spatial.KDTree.from_array(lv.Array.from_numpy(x), leaf_size=20)
    print(f"{args.points} points, {args.queries} queries, 3-D uniform; load {os.getloadavg()[0]:.1f}")

    h = 0.1
    t_exact, exact = best(lambda: tree.kernel_density(q, h), args.repeat)
    exact = np.asarray(exact)
    print(f"\napproximation at bandwidth {h} (gaussian); exact: {t_exact * 1e3:.0f} ms")
    print(f"{'criterion':<34}{'time':>10}{'speed-up':>10}{'max rel. err':>14}{'median':>10}")
    cases = [
        ("min_samples=20", dict(criterion="min_samples", min_samples=20)),
        ("min_samples=1000", dict(criterion="min_samples", min_samples=1000)),
        ("max_span=0.05", dict(criterion="max_span", max_span=0.05)),
        ("max_span=0.08", dict(criterion="max_span", max_span=0.08)),
        ("max_span=0.12", dict(criterion="max_span", max_span=0.12)),
        ("max_span=0.2", dict(criterion="max_span", max_span=0.2)),
        ("combined, 20 and 0.08", dict(criterion="combined", min_samples=20, max_span=0.08)),
        ("combined, 200 and 0.12", dict(criterion="combined", min_samples=200, max_span=0.12)),
    ]
    for name, kw in cases:
        t, got = best(lambda: tree.kernel_density_approx(q, h, "gaussian", **kw), args.repeat)
        rel = np.abs(np.asarray(got) - exact) / exact
        print(f"{name:<34}{t * 1e3:>8.0f}ms{t_exact / t:>9.1f}x{rel.max():>14.2g}{np.median(rel):>10.2g}")

    print("\nexact density (gaussian) against the bandwidth")
    print(f"{'bandwidth':<12}{'time':>10}{'per query':>12}")
    for bw in (0.01, 0.02, 0.05, 0.1, 0.2, 0.4):
        t, _ = best(lambda: tree.kernel_density(q, bw), args.repeat)
        print(f"{bw:<12}{t * 1e3:>8.0f}ms{t / args.queries * 1e6:>10.0f}us")


if __name__ == "__main__":
    main()
