"""Tree builds: the saved KD layout against a reconstruction from the points
alone, the row order the selections leave (fixed by digests), and the same
saved bytes whatever the number of threads."""
import hashlib
import math
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import lumivander as lv

sp = lv.spatial
NO_NODE = 2**64 - 1
# A saved KD node: the links, then split coordinate, split value, NaN flag.
KD_NODE = np.dtype([("start", "<u8"), ("end", "<u8"), ("right", "<u8"), ("split_dim", "<u8"),
                    ("split_value", "<f8"), ("has_nan", "u1")])


def kd_layout(tree):
    """The saved KD tree: row order, stored points, nodes and boxes (lo, hi)."""
    data = tree.__reduce__()[1][1]
    n, dim = struct.unpack_from("<QQ", data, 16)
    n_nodes = struct.unpack_from("<Q", data, 48)[0]
    off = 56
    order = np.frombuffer(data, "<u8", n, off)
    off += 8 * n
    points = np.frombuffer(data, "<f8", n * dim, off).reshape(n, dim)
    off += 8 * n * dim
    nodes = np.frombuffer(data, KD_NODE, n_nodes, off)
    off += KD_NODE.itemsize * n_nodes
    boxes = np.frombuffer(data, "<f8", n_nodes * 2 * dim, off).reshape(n_nodes, 2, dim)
    return order, points, nodes, boxes


def expected_box(P):
    """Per-coordinate minimum and maximum without NaN (+inf / -inf when a
    column has nothing else); a zero bound has the sign of the column's
    first zero in storage order."""
    dim = P.shape[1]
    lo, hi = np.full(dim, math.inf), np.full(dim, -math.inf)
    for c in range(dim):
        v = P[:, c][~np.isnan(P[:, c])]
        if len(v):
            lo[c], hi[c] = v.min(), v.max()
            zeros = v[v == 0.0]
            if lo[c] == 0.0:
                lo[c] = zeros[0]
            if hi[c] == 0.0:
                hi[c] = zeros[0]
    return lo, hi


def check_kd_layout(X, tree, leaf_size):
    n, dim = X.shape
    order, points, nodes, boxes = kd_layout(tree)
    assert sorted(order.tolist()) == list(range(n))
    assert points.tobytes() == np.ascontiguousarray(X[order.astype(np.intp)]).tobytes()
    leaf = max(leaf_size, 1)
    next_id = [0]

    def walk(start, end):
        i = next_id[0]
        next_id[0] += 1
        nd = nodes[i]
        assert (nd["start"], nd["end"]) == (start, end)
        P = points[start:end]
        lo, hi = expected_box(P)
        assert bool(nd["has_nan"]) == bool(np.isnan(P).any())
        if end - start <= leaf or dim == 0:
            assert nd["right"] == NO_NODE
            assert boxes[i, 0].tobytes() == lo.tobytes() and boxes[i, 1].tobytes() == hi.tobytes()
            return
        # An internal node's box was taken before its selection reordered the
        # rows: a zero bound has the sign of one of the column's zeros.
        for c in range(dim):
            for got, want in ((boxes[i, 0, c], lo[c]), (boxes[i, 1, c], hi[c])):
                signs = {math.copysign(1.0, v) for v in P[:, c] if v == 0.0}
                assert got == want and (want != 0.0 or math.copysign(1.0, got) in signs)
        # The coordinate of largest spread (the first of equal spreads), split at the median.
        best, split_dim = 0.0, 0
        with np.errstate(invalid="ignore"):  # inf - inf: NaN, never the largest
            for c in range(dim):
                if hi[c] - lo[c] > best:
                    best, split_dim = hi[c] - lo[c], c
        # The split value is the median point's coordinate: the smallest of
        # the right half (the children reorder their halves afterwards; of
        # equal zeros, which one stood at the median is the selection's).
        h = (end - start) // 2
        sv = nd["split_value"]
        right = P[h:, split_dim]
        assert nd["split_dim"] == split_dim and sv == right.min()
        assert struct.pack("<d", sv) in {struct.pack("<d", v) for v in right[right == sv]}
        assert (P[:h, split_dim] <= sv).all() and (right >= sv).all()
        walk(start, start + h)
        assert nd["right"] == next_id[0]
        walk(start + h, end)

    walk(0, n)
    assert next_id[0] == len(nodes)


def oracle_sets():
    rng = np.random.default_rng(2102)
    zeros = rng.standard_normal((2500, 3))
    zeros[rng.random((2500, 3)) < 0.25] = 0.0
    zeros[rng.random((2500, 3)) < 0.15] = -0.0
    thin = rng.random((3000, 3))
    thin[:, 1] *= 1e-9  # never the split coordinate above the leaves
    thin[rng.random(3000) < 0.02, 1] = np.nan
    wide = rng.random((1500, 3))
    wide[::7, 0] = math.inf
    wide[::11, 2] = -math.inf
    return {
        "uniform1": rng.random((3000, 1)),
        "uniform2": rng.random((3000, 2)),
        "uniform3": rng.random((6000, 3)),
        "uniform4": rng.random((2500, 4)),
        "uniform5": rng.random((2000, 5)),
        "ints": rng.integers(0, 4, (4000, 3)).astype(float),
        "signed-zeros": zeros,
        "nan-thin": thin,
        "infinite": wide,
        "constant": np.full((700, 2), -0.0),
    }


ORACLE = oracle_sets()


@pytest.mark.parametrize("leaf_size", [0, 3, 20])
@pytest.mark.parametrize("name", list(ORACLE))
def test_kd_layout_matches_its_points(name, leaf_size):
    # Node ranges, boxes (signed zeros, NaN and infinities included), NaN
    # flags, split coordinates and values, stored points: all follow from the
    # row order; the selection only has to leave each split at its median.
    X = ORACLE[name]
    tree = sp.KDTree.from_array(lv.Array.from_numpy(X), leaf_size)
    check_kd_layout(X, tree, leaf_size)


def layout_sets():
    rng = np.random.default_rng(2101)
    z = rng.standard_normal((6000, 3))
    z[rng.random((6000, 3)) < 0.2] = 0.0
    z[rng.random((6000, 3)) < 0.1] = -0.0
    s = np.sort(rng.random((5000, 2)), axis=0)
    thin = rng.random((7000, 3))
    thin[:, 1] *= 1e-9
    thin[rng.random(7000) < 0.02, 1] = np.nan
    return {
        "uniform3": rng.random((20000, 3)),
        "uniform1": rng.random((9000, 1)),
        "uniform2": rng.random((9000, 2)),
        "uniform4": rng.random((6000, 4)),
        "uniform6": rng.random((5000, 6)),
        "ints": rng.integers(0, 4, (8000, 3)).astype(float),
        "grid": np.sort(rng.integers(0, 90, 9000)).astype(float)[:, None],
        "signed-zeros": z,
        "sorted": s,
        "reversed": s[::-1].copy(),
        "nan-thin": thin,
    }


# Digests of the row order each build leaves (leaf sizes 1, 5 and 20): the
# order of the points inside a leaf follows from every exchange the
# selections make, and callers see it in tied neighbours and radius rows.
# Any faster selection must leave exactly these.
ROW_ORDER_DIGESTS = {
    ("uniform3", "KDTree"): "1dd3c2faaf501136", ("uniform3", "BallTree"): "1dd3c2faaf501136",
    ("uniform3", "VPTree"): "dc7ffa7d264d3ef9", ("uniform1", "KDTree"): "aba12239fc23c5bd",
    ("uniform1", "BallTree"): "aba12239fc23c5bd", ("uniform1", "VPTree"): "fd45c6f266409698",
    ("uniform2", "KDTree"): "35aa0eb7798899e3", ("uniform2", "BallTree"): "35aa0eb7798899e3",
    ("uniform2", "VPTree"): "b64bdc27c2b7a52f", ("uniform4", "KDTree"): "0a1515b695ca86a7",
    ("uniform4", "BallTree"): "0a1515b695ca86a7", ("uniform4", "VPTree"): "9a38f931338c1db3",
    ("uniform6", "KDTree"): "c30785b3336665af", ("uniform6", "BallTree"): "c30785b3336665af",
    ("uniform6", "VPTree"): "6b53d1328a783e3e", ("ints", "KDTree"): "b1211b9631b87fa4",
    ("ints", "BallTree"): "b1211b9631b87fa4", ("ints", "VPTree"): "33e1ed4e53f7c648",
    ("grid", "KDTree"): "a4e799769268ea4f", ("grid", "BallTree"): "a4e799769268ea4f",
    ("grid", "VPTree"): "39bdfd8bb3c6b482", ("signed-zeros", "KDTree"): "f7f93608ab43dcc4",
    ("signed-zeros", "BallTree"): "f7f93608ab43dcc4", ("signed-zeros", "VPTree"): "334a618b98299330",
    ("sorted", "KDTree"): "f0bdc051a6aecc68", ("sorted", "BallTree"): "f0bdc051a6aecc68",
    ("sorted", "VPTree"): "f0bdc051a6aecc68", ("reversed", "KDTree"): "b3cccde64b581273",
    ("reversed", "BallTree"): "b3cccde64b581273", ("reversed", "VPTree"): "f0bdc051a6aecc68",
    ("nan-thin", "KDTree"): "1c77df4c7f850ec2", ("nan-thin", "BallTree"): "1c77df4c7f850ec2",
    ("nan-thin", "VPTree"): "d155ac2ce916632d",
}
LAYOUT = layout_sets()


@pytest.mark.parametrize("name", list(LAYOUT))
def test_row_order_is_what_it_was(name):
    X = LAYOUT[name]
    a = lv.Array.from_numpy(X)
    q = np.nan_to_num(X[0]).tolist()
    for cls in ("KDTree", "BallTree", "VPTree"):
        h = hashlib.sha256()
        for leaf in (1, 5, 20):
            tree = getattr(sp, cls).from_array(a, leaf)
            # Every row (NaN distances aside) in traversal order: the storage order.
            h.update(np.asarray(tree.query_radius(q, math.inf), dtype=np.int64).tobytes())
        assert h.hexdigest()[:16] == ROW_ORDER_DIGESTS[(name, cls)], cls


SAVED_BYTES = """
import hashlib, numpy as np, lumivander as lv
rng = np.random.default_rng(2103)
sets = [rng.random((40000, 3)), rng.integers(0, 6, (30000, 2)).astype(float),
        np.sort(rng.integers(0, 300, 30000)).astype(float)[:, None], rng.random((20000, 5))]
for X in sets:
    a = lv.Array.from_numpy(X)
    for cls, leaves in (("KDTree", (1, 5, 20, 64)), ("BallTree", (20,)), ("VPTree", (20,))):
        for leaf in leaves:
            data = getattr(lv.spatial, cls).from_array(a, leaf).__reduce__()[1][1]
            print(cls, leaf, hashlib.sha256(data).hexdigest())
"""


def test_saved_bytes_do_not_depend_on_the_thread_count():
    # Large enough for the subtrees to go to the pool as separate tasks.
    outputs = []
    for threads in ("1", "2", "3"):
        env = dict(os.environ, LUMIVANDER_NUM_THREADS=threads)
        proc = subprocess.run([sys.executable, "-c", SAVED_BYTES], env=env, capture_output=True, text=True,
                              timeout=600)
        assert proc.returncode == 0, proc.stderr
        outputs.append(proc.stdout)
    assert len(outputs[0].splitlines()) == 4 * 6
    assert outputs[1] == outputs[0] and outputs[2] == outputs[0]
