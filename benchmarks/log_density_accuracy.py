"""Accuracy of log_density far from the data and on a real data set.

Far points: 1e4 points N(0, I) in 2, 10 and 30 dimensions, queries 10 to
1000 bandwidths from a data point, along random directions; the reference
is the log of the Gaussian sum with distances in long double, scaled by its
largest term and summed with math.fsum.  Printed: the largest error divided
by max(1, |reference|) per tree, and how many values are finite (the
specified kernel_density gives 0.0 there, so its log is -inf).

breast_cancer (bundled with scikit-learn, standardised), h = 1: the last 69
rows scored against the first 500, largest relative error per tree.

    PYTHONPATH=build python benchmarks/log_density_accuracy.py
"""
import math

import numpy as np

import lumivander as lv

TREES = [("KDTree", lv.spatial.KDTree), ("BallTree", lv.spatial.BallTree), ("VPTree", lv.spatial.VPTree)]


def reference(X, Q, h):
    out = []
    Xl = X.astype(np.longdouble)
    for q in Q:
        diff = q.astype(np.longdouble) - Xl
        t = -0.5 * (diff * diff).sum(1) / np.longdouble(h) ** 2
        m = t.max()
        out.append(float(m + np.longdouble(math.log(math.fsum(float(v) for v in np.exp(t - m))))))
    return np.array(out)


def far_points():
    rows = []
    for dim in (2, 10, 30):
        rng = np.random.default_rng(dim)
        X = rng.normal(size=(10**4, dim))
        h = 0.5
        Q = []
        for k in (10.0, 30.0, 100.0, 300.0, 1000.0):
            for _ in range(4):
                v = rng.normal(size=dim)
                Q.append(X[rng.integers(len(X))] + v / np.linalg.norm(v) * h * k)
        Q = np.array(Q)
        ref = reference(X, Q, h)
        for name, cls in TREES:
            tree = cls.from_array(lv.Array.from_numpy(X))
            got = np.array(tree.log_density(lv.Array.from_numpy(Q), h).tolist())
            err = np.max(np.abs(got - ref) / np.maximum(1.0, np.abs(ref)))
            kd = np.array(tree.kernel_density(lv.Array.from_numpy(Q), h).tolist())
            rows.append((dim, name, int(np.isfinite(got).sum()), len(Q), err, int((kd > 0).sum())))
    print("far points: dim  tree      finite/queries  max err/max(1,|ref|)  kernel_density > 0")
    for dim, name, fin, n, err, kd in rows:
        print(f"            {dim:3d}  {name:9s} {fin:3d}/{n:<3d}          {err:.2e}             {kd}/{n}")


def breast_cancer():
    try:
        from sklearn.datasets import load_breast_cancer
    except ImportError:
        print("breast_cancer: scikit-learn not installed")
        return
    X = load_breast_cancer().data
    X = (X - X.mean(0)) / X.std(0)
    train, held = X[:500], X[500:]
    ref = reference(train, held, 1.0)
    for name, cls in TREES:
        tree = cls.from_array(lv.Array.from_numpy(train))
        got = np.array(tree.log_density(lv.Array.from_numpy(held), 1.0).tolist())
        print(f"breast_cancer h=1 {name:9s} max relative error {np.max(np.abs(got - ref) / np.abs(ref)):.2e}")


if __name__ == "__main__":
    far_points()
    breast_cancer()
