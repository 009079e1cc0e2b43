"""The cost of going through Dask: batch kNN (k=10) of 1e6 query rows over
1e6 uniform 3-D points, once as one query_knn_batch call in this process and
once through lumivander_dask on a LocalCluster of two worker processes (one
Dask thread each, every task using the worker's thread pool).  Prints both
times (best of --repeat) and their ratio.

    PYTHONPATH=build python benchmarks/dask_overhead.py [--queries N] [--points N] [--chunk N]

The cluster time includes scattering the tree, running the tasks and
gathering the (n, k) results into this process; the cluster is started and
the query rows are persisted on the workers (as data loaded there would be)
before the clock starts.
"""
from __future__ import annotations

import argparse
import os
import sys
import time


def main() -> None:
    p = argparse.ArgumentParser()
    p.add_argument("--points", type=int, default=1_000_000)
    p.add_argument("--queries", type=int, default=1_000_000)
    p.add_argument("--chunk", type=int, default=250_000, help="query rows per Dask chunk")
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--workers", type=int, default=2, help="worker processes of the local cluster")
    p.add_argument("--task-workers", type=int, default=None,
                   help="threads of each task's batch call (default: the worker's whole pool)")
    args = p.parse_args()

    import dask.array as da
    import numpy as np
    from distributed import Client, LocalCluster

    import lumivander as lv

    try:
        import lumivander_dask as lvd
    except ImportError:  # running from a build directory: the module's source
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
        import lumivander_dask as lvd

    rng = np.random.default_rng(7)
    X = rng.random((args.points, 3))
    Q = rng.random((args.queries, 3))
    tree = lv.spatial.KDTree.from_array(lv.Array.from_numpy(X), 20)

    single = []
    for _ in range(args.repeat):
        t0 = time.perf_counter()
        d, r = tree.query_knn_batch(Q, args.k)
        single.append(time.perf_counter() - t0)
    want = np.asarray(r)

    with LocalCluster(n_workers=args.workers, processes=True, threads_per_worker=1,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.run(lambda: __import__("lumivander"))  # workers import the library before timing
        # The query rows live on the workers already, as data loaded there
        # would (not embedded in the task graph).
        dq = da.from_array(Q, chunks=(args.chunk, 3)).persist()
        dist = []
        for _ in range(args.repeat):
            t0 = time.perf_counter()
            dd, dr = lvd.knn(client, tree, dq, args.k, workers=args.task_workers)
            _, got = client.compute([dd, dr], sync=True)
            dist.append(time.perf_counter() - t0)
        assert got.tobytes() == want.tobytes(), "cluster results differ from the single-process call"

    s, c = min(single), min(dist)
    print(f"batch kNN k={args.k}, {args.queries:.0e} queries over {args.points:.0e}x3 points, "
          f"{os.cpu_count()} cores")
    print(f"single process query_knn_batch: {s:.3f} s")
    print(f"LocalCluster({args.workers} processes), chunks of {args.chunk}, task workers "
          f"{args.task_workers or 'all'}: {c:.3f} s")
    print(f"ratio cluster/single: {c / s:.2f}")


if __name__ == "__main__":
    main()
