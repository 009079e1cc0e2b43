"""Kernel density sums: lumivander's trees against scikit-learn's
KernelDensity and a chunked NumPy brute force.

Points are uniform in the unit cube (1e5 x 3), queries 1000 more such points,
the bandwidth by Scott's rule (about 0.057) unless stated.  scikit-learn
returns normalised log-densities; the conversion is not timed, and the rows
do not compare values (errors are reported in the notes: maximum relative
error against the exact sum).
"""

from harness import Workload

N, NQ, DIM = 10**5, 1000, 3

# kernel_density_approx: nodes whose box diagonal is at most this are
# estimated.  An estimate uses only the kernel at the node's nearest and
# farthest possible distances, so its error grows quickly with the span: on
# these inputs max_span 0.05 already gives a maximum relative error of about
# 1e-11 (nothing estimated), 0.08 about 1e-2.  To stay at or below
# scikit-learn's error with rtol=1e-6 (about 5e-7), the span must stay below
# every internal node's.
APPROX_MAX_SPAN = 0.05


def scott(x):
    n, d = x.shape
    return float(x.std(axis=0).mean() * n ** (-1.0 / (d + 4)))


def numpy_density(x, q, h, chunk=32):
    """Sum of exp(-0.5 d^2 / h^2) over all points, 32 queries at a time."""
    import numpy as np

    xt = np.ascontiguousarray(x.T)
    out = np.empty(len(q))
    scale = -0.5 / (h * h)
    for i in range(0, len(q), chunk):
        qc = q[i:i + chunk]
        d2 = (qc[:, 0, None] - xt[0]) ** 2
        for k in range(1, xt.shape[0]):
            d2 += (qc[:, k, None] - xt[k]) ** 2
        out[i:i + chunk] = np.exp(d2 * scale).sum(1)
    return out


def _inputs(lv, leaf_size=20):
    import numpy as np

    rng = np.random.default_rng(2024)
    x = rng.random((N, DIM))
    q = rng.random((NQ, DIM))
    tree = lv.spatial.KDTree.from_array(lv.Array.from_numpy(x), leaf_size)
    return x, q, tree, lv.Array.from_numpy(q)


def vs_sklearn(kernel="gaussian", rtol=0.0, bandwidth=None):
    def setup(lv, sklearn):
        from sklearn.neighbors import KernelDensity

        x, q, tree, qa = _inputs(lv)
        h = scott(x) if bandwidth is None else bandwidth
        kde = KernelDensity(kernel=kernel, bandwidth=h, atol=0, rtol=rtol).fit(x)
        return ({"t": tree, "q": qa, "h": h, "kernel": kernel, "span": APPROX_MAX_SPAN},
                {"kde": kde, "q": q})

    return setup


def vs_numpy(bandwidth=None):
    def setup(lv, np):
        x, q, tree, qa = _inputs(lv)
        h = scott(x) if bandwidth is None else bandwidth
        return {"t": tree, "q": qa, "h": h}, {"x": x, "q": q, "h": h, "f": numpy_density}

    return setup


def vs_own_density(bandwidth=None):
    """log_density against this library's own kernel_density on the same
    call (the peer side runs lumivander too; numpy is only its label)."""
    def setup(lv, np):
        x, q, tree, qa = _inputs(lv)
        h = scott(x) if bandwidth is None else bandwidth
        ns = {"t": tree, "q": qa, "h": h}
        return ns, dict(ns)

    return setup


WORKLOADS = [
    Workload("kde gaussian exact 1e3x1e5 scott", vs_sklearn(), "t.kernel_density(q, h)", "kde.score_samples(q)",
             peer_name="scikit-learn", target=0.015, check=False, note="sklearn atol=0 rtol=0"),
    Workload("kde gaussian exact 1e3x1e5 scott brute", vs_numpy(), "t.kernel_density(q, h)", "f(x, q, h)",
             target=0.1, check=False, note="numpy: chunked brute force"),
    Workload("kde gaussian approx 1e3x1e5 scott", vs_sklearn(rtol=1e-6),
             "t.kernel_density_approx(q, h, 'gaussian', 'max_span', max_span=span)", "kde.score_samples(q)",
             peer_name="scikit-learn", target=0.3, check=False,
             note="sklearn rtol=1e-6 (max rel err 5e-7); lumivander max_span=0.05 (6e-11)"),
    Workload("kde gaussian exact 1e3x1e5 h=1", vs_numpy(1.0), "t.kernel_density(q, h)", "f(x, q, h)",
             target=0.45, check=False, note="nothing prunes: one exp per point"),
    Workload("kde epanechnikov exact 1e3x1e5 h=0.01", vs_sklearn("epanechnikov", bandwidth=0.01),
             "t.kernel_density(q, h, kernel)", "kde.score_samples(q)", peer_name="scikit-learn", check=False,
             note="pruning-dominated"),
    # log_density: every point counted (kernel_density cuts off at 1e-10 per
    # point), so it visits more of the tree than the sum it is compared with.
    Workload("log_density gaussian exact 1e3x1e5 scott vs kernel_density", vs_own_density(),
             "t.log_density(q, h)", "t.kernel_density(q, h)", target=1.25, check=False,
             note="peer: lumivander's own kernel_density"),
    Workload("log_density gaussian exact 1e3x1e5 scott", vs_sklearn(), "t.log_density(q, h)",
             "kde.score_samples(q)", peer_name="scikit-learn", target=0.015, check=False,
             note="sklearn atol=0 rtol=0"),
    Workload("log_density gaussian rtol=1e-6 1e3x1e5 scott", vs_sklearn(rtol=1e-6),
             "t.log_density(q, h, rtol=1e-6)", "kde.score_samples(q)", peer_name="scikit-learn", target=0.1,
             check=False, note="both rtol=1e-6"),
    Workload("log_density gaussian rtol=1e-6 1e3x1e5 h=1 vs exact", vs_own_density(1.0),
             "t.log_density(q, h, rtol=1e-6)", "t.log_density(q, h)", target=0.3, check=False,
             note="peer: lumivander's exact log_density"),
]
