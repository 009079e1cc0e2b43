"""The cost of going through Dask: batch kNN (k=10) of 1e6 query rows over
1e6 uniform 3-D points, once as one query_knn_batch call in this process
(all of its pool: --workers threads) and once through lumivander_dask on a
LocalCluster of --workers worker processes with one Dask thread each, every
task using its worker's one thread.  The tree is sent once through a
TreeHandle; the first call (which also starts the workers' copies in use) is
reported apart from the later ones.  Prints the times (best and range over
--repeat), their ratios and the machine's load average before and after.

    PYTHONPATH=build:. python benchmarks/dask_overhead.py [--queries N] [--points N] [--chunk N]

The cluster times include running the tasks and bringing the (n, k) results
into this process (lvd.gather; --compute uses client.compute instead).  The
cluster is started, the tree handle made and the query rows persisted on the
workers (as data loaded there would be) before the clock starts.
"""
from __future__ import annotations

import argparse
import os
import sys
import time


def span(ts: list[float]) -> str:
    return f"best {min(ts):.3f} s (range {min(ts):.3f}-{max(ts):.3f})"


def main() -> None:
    p = argparse.ArgumentParser()
    p.add_argument("--points", type=int, default=1_000_000)
    p.add_argument("--queries", type=int, default=1_000_000)
    p.add_argument("--chunk", type=int, default=125_000, help="query rows per Dask chunk")
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--repeat", type=int, default=4)
    p.add_argument("--workers", type=int, default=2, help="worker processes, and threads of the single process")
    p.add_argument("--compute", action="store_true", help="fetch results with client.compute instead of lvd.gather")
    args = p.parse_args()

    import dask.array as da
    import numpy as np
    from distributed import Client, LocalCluster, wait

    import lumivander as lv

    try:
        import lumivander_dask as lvd
    except ImportError:  # running from a build directory: the package's source
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
        import lumivander_dask as lvd

    load_before = os.getloadavg()
    rng = np.random.default_rng(7)
    X = rng.random((args.points, 3))
    Q = rng.random((args.queries, 3))
    tree = lv.spatial.KDTree.from_array(lv.Array.from_numpy(X), 20)

    single = []
    for _ in range(args.repeat):
        t0 = time.perf_counter()
        d, r = tree.query_knn_batch(Q, args.k, workers=args.workers)
        single.append(time.perf_counter() - t0)
    want = np.asarray(r)

    with LocalCluster(n_workers=args.workers, processes=True, threads_per_worker=1,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.run(lambda: __import__("lumivander"))  # workers import the library before timing
        t0 = time.perf_counter()
        handle = lvd.scatter_tree(client, tree)
        send = time.perf_counter() - t0
        dq = da.from_array(Q, chunks=(args.chunk, 3)).persist()
        wait(dq)
        times = []
        for _ in range(args.repeat + 1):
            t0 = time.perf_counter()
            dd, dr = lvd.knn(client, handle, dq, args.k)
            if args.compute:
                _, got = client.compute([dd, dr], sync=True)
            else:
                _, got = lvd.gather(client, dd, dr)
            times.append(time.perf_counter() - t0)
            assert got.tobytes() == want.tobytes(), "cluster results differ from the single-process call"
        handle.release()

    s = min(single)
    print(f"batch kNN k={args.k}, {args.queries:.0e} queries over {args.points:.0e}x3 points, "
          f"{os.cpu_count()} cores, load average before {load_before[0]:.1f}, after {os.getloadavg()[0]:.1f}")
    print(f"single process, {args.workers} threads: {span(single)}")
    print(f"scatter_tree (tree sent once): {send:.3f} s")
    print(f"LocalCluster({args.workers} processes x 1 thread), chunks of {args.chunk}, "
          f"{'client.compute' if args.compute else 'lvd.gather'}:")
    print(f"  first call: {times[0]:.3f} s   ratio {times[0] / s:.2f}")
    print(f"  later calls: {span(times[1:])}   ratio best {min(times[1:]) / s:.2f}, "
          f"worst {max(times[1:]) / s:.2f}")


if __name__ == "__main__":
    main()
