"""Batch neighbour queries: 1e5 query rows over 1e6 uniform 3-D points in
one call, against SciPy's cKDTree (workers=-1: all cores, as the batch
methods use) and scikit-learn's KDTree / BallTree (one thread).

These calls take about a second each: run them with few samples, e.g.
    python benchmarks/run.py -k batch --samples 3
"""
from __future__ import annotations

from harness import Workload

_cache: dict = {}

N_POINTS = 1_000_000
N_QUERIES = 100_000
# About 30 of 1e6 uniform points in the unit cube lie within this radius.
RADIUS = 0.0193


def _data():
    if "data" not in _cache:
        import numpy as np

        rng = np.random.default_rng(2024)
        _cache["data"] = rng.random((N_POINTS, 3)), rng.random((N_QUERIES, 3))
    return _cache["data"]


_LV_TREES = {"kd": "KDTree", "ball": "BallTree", "vp": "VPTree"}


def _setup(tree: str, peer_cls: str):
    def setup(lv, peer):
        X, Q = _data()
        t = getattr(lv.spatial, _LV_TREES[tree]).from_array(lv.Array.from_numpy(X), 20)
        if peer_cls == "cKDTree":
            from scipy.spatial import cKDTree

            p = cKDTree(X, leafsize=20, balanced_tree=True)
        else:
            import sklearn.neighbors as nb

            p = getattr(nb, peer_cls)(X, leaf_size=20)
        return {"t": t, "Q": Q}, {"p": p, "Q": Q}

    return setup


def _rows():
    rows = []
    for tree, peer_cls, peer_name, peer, target in [
        ("kd", "cKDTree", "scipy", "p.query(Q, k=10, workers=-1)", 0.2),
        ("kd", "KDTree", "scikit-learn", "p.query(Q, k=10)", 0.3),
        ("ball", "cKDTree", "scipy", "p.query(Q, k=10, workers=-1)", None),
        ("ball", "BallTree", "scikit-learn", "p.query(Q, k=10)", None),
        ("vp", "cKDTree", "scipy", "p.query(Q, k=10, workers=-1)", None),
    ]:
        rows.append(Workload(
            name=f"batch {tree} query_knn_batch k=10 1e5 queries 1e6x3 vs {peer_cls}",
            setup=_setup(tree, peer_cls),
            lumi="t.query_knn_batch(Q, 10)",
            peer=peer,
            peer_name=peer_name,
            target=target,
            check=False,
        ))
    for tree in ("kd", "ball"):
        rows.append(Workload(
            name=f"batch {tree} query_radius_batch counts ~30 pts 1e5 queries 1e6x3 vs cKDTree",
            setup=_setup(tree, "cKDTree"),
            lumi=f"t.query_radius_batch(Q, {RADIUS}, count_only=True)",
            peer=f"p.query_ball_point(Q, {RADIUS}, return_length=True, workers=-1)",
            peer_name="scipy",
            check=False,
        ))
    rows.append(Workload(
        name="batch kd query_radius_batch rows ~30 pts 1e5 queries 1e6x3 vs cKDTree lists",
        setup=_setup("kd", "cKDTree"),
        lumi=f"t.query_radius_batch(Q, {RADIUS})",
        peer=f"p.query_ball_point(Q, {RADIUS}, workers=-1)",
        peer_name="scipy",
        check=False,
    ))
    return rows


WORKLOADS = _rows()
