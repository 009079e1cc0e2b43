"""Typed use of the library: must pass `mypy --strict` against the stubs."""
import copy
import pickle

import numpy as np
import numpy.typing as npt

import lumivander as lv
from lumivander import random as lvr


def scaled(a: lv.Array, factor: float) -> lv.Array:
    return 2 * a * factor - 1.0 / (a + 1) + (-a)


def main() -> None:
    a = lv.Array([2, 3], [1, 2, 3, 4, 5, 6])
    b: lv.Array = lv.asarray([1.0, 2.0, 3.0], shape=(3,))
    c = scaled(a + b, 0.5).clip(0, 10).sqrt().abs()
    shape: list[int] = c.shape
    n: int = len(c)
    first: float = c.get([0, 0])
    part: lv.Array = c[1:4]
    total = 0.0
    for x in c:
        total += x
    present: bool = 3.0 in c
    c[0, 1] = 7
    col = lv.column_stack([lv.zeros([3]), lv.ones((3,)), lv.full([3], 2.5)])
    eye: lv.Array = lv.eye(3, k=1) + lv.diag([1, 2, 3]) + lv.Array.eye(3, m=3)
    rows: lv.Array = col.take([0, 2])
    nested = a.tolist()
    m: float = a.mean() + a.var() + a.std() + a.median() + a.sum() + a.quantile(0.5)
    qs: lv.Array = a.quantile(lv.asarray([0.25, 0.75])) + lv.stats.quantile(a, lv.asarray([0.1]))
    flags: bool = a.any() and lv.stats.all(a)
    rho: float = lv.stats.pearson(b, b) + lv.stats.spearman(b, b) + lv.stats.quantile(b, 1)
    prod: lv.Array = (a @ a.t()).dot(lv.asarray([1, 2])) + a.matmul(a.transpose()).diagonal(k=1)
    q, rr = lv.linalg.qr(lv.linalg.outer([1, 2], lv.Array.outer([3], [4, 5]).diagonal()))
    vals, vecs = lv.linalg.eig_with_params(lv.linalg.cholesky(lv.eye(2)), max_iter=10, tol=0)
    ev: lv.Array = lv.linalg.eigvals(lv.linalg.eig(q)[1]) + lv.linalg.matmul(rr.t(), lv.linalg.dot(vals, vecs))

    g: lv.Generator = lvr.Generator.from_seed(42)
    u: lv.Array = g.uniform(0.0, 1.0, [4]) + lv.random.seed(1).normal(0, 1, [4])
    r: lv.Array = g.randint(0, 10, (2, 2))
    g2: lvr.Generator = lv.random.new()
    s: lv.Array = g2.gamma(2.0, 1.0, [3]) * g2.beta(2, 3, [3]) * g2.lognormal(0, 1, [3])

    pts = g.uniform(0.0, 1.0, [50, 2])
    kd = lv.KDTree.from_array(pts, leaf_size=8)
    near: list[int] = kd.query_knn([0.5, 0.5], 3) + lv.BallTree.from_array(pts).query_radius(pts[0], 0.2)
    vp = lv.spatial.VPTree.from_array(pts, metric="manhattan", selection="random")
    near += vp.query_knn(np.array([0.1, 0.2]), k=2)
    dist, idx = kd.query_knn_batch(pts, 3, workers=-1)
    idx_np: npt.NDArray[np.int64] = idx.to_numpy()
    hits, offsets = vp.query_radius_batch(np.zeros((2, 2)), 0.3)
    counts: list[int] = vp.query_radius_batch(pts, 0.3, count_only=True).tolist()
    batch = (dist.shape, idx_np.shape, len(hits), offsets.shape, counts)
    dens: float = kd.kernel_density([0.5, 0.5], 0.2)
    dens += vp.kernel_density_approx(np.zeros(2), 0.2, criterion="max_span", max_span=0.1)
    many = kd.kernel_density(pts, 0.2)
    dens_all: lv.Array = many if isinstance(many, lv.Array) else lv.asarray([many])

    x_np: npt.NDArray[np.float64] = np.asarray(a)
    back: lv.Array = lv.Array.from_numpy(a.to_numpy())
    again: lv.Array = pickle.loads(pickle.dumps(a))
    dup: lv.Array = copy.deepcopy(copy.copy(a))
    print(prod, ev, m, qs, flags, rho, near, shape, n, first, part, total, present, eye, rows, nested, u, r, s, x_np, back, again, dup, batch, dens, dens_all)


if __name__ == "__main__":
    main()
