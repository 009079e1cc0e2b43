"""Linear algebra: lumivander's products and factorisations against NumPy.

lumivander's products are bit-identical to the plain loop (every element
summed in increasing k, no fused multiply-add); NumPy calls its BLAS.  Rows
marked "1 thread" pin both sides to one thread: lumivander through
LUMIVANDER_NUM_THREADS (read when its worker pool starts, so the setup sets
it before the first product), NumPy's BLAS through threadpoolctl.
"""

import os
import random

from harness import Workload


def _blas_note() -> str:
    """NumPy's BLAS library and thread count, as threadpoolctl reports them."""
    try:
        import numpy  # noqa: F401  (loads the BLAS library threadpoolctl inspects)
        import threadpoolctl

        infos = [i for i in threadpoolctl.threadpool_info() if i.get("user_api") == "blas"]
    except Exception:  # threadpoolctl missing, or NumPy not importable
        return "numpy BLAS unknown"
    if not infos:
        return "numpy BLAS not found"
    i = infos[0]
    return f"numpy: {i.get('internal_api')} {i.get('version')} ({i.get('architecture')}), {i.get('num_threads')} threads"


_BLAS = _blas_note()


def _values(count: int, seed: int) -> list[float]:
    rnd = random.Random(seed)
    return [rnd.uniform(-1.0, 1.0) for _ in range(count)]


def matrices(one_thread: bool = False, spd: bool = False, symmetric: bool = False, **shapes):
    """A setup giving each name a matrix (or vector) of the given shape on
    both sides; `spd` makes the single square input symmetric positive
    definite, `symmetric` makes it x + x^T; `one_thread` pins both libraries
    to one thread."""

    def setup(lv, np):
        if one_thread:
            os.environ["LUMIVANDER_NUM_THREADS"] = "1"
            import threadpoolctl

            # Kept alive in the namespace for the whole run.
            limiter = threadpoolctl.threadpool_limits(limits=1, user_api="blas")
        lumi, peer = {}, {}
        for seed, (name, shape) in enumerate(shapes.items(), start=1):
            n = 1
            for s in shape:
                n *= s
            x = np.array(_values(n, seed)).reshape(shape)
            if spd:
                x = x @ x.T + shape[0] * np.eye(shape[0])
            if symmetric:
                x = x + x.T
            lumi[name] = lv.Array.from_numpy(np.ascontiguousarray(x))
            peer[name] = np.ascontiguousarray(x)
        if one_thread:
            peer["_limiter"] = limiter
        return lumi, peer

    return setup


def _eig_steps_numpy(ns: dict) -> None:
    """Ten unshifted QR steps with NumPy: the peer of eig_with_params(a, 10, 0.0)."""
    np = ns["np"]
    a = ns["a"]
    v = np.eye(a.shape[0])
    for _ in range(10):
        q, r = np.linalg.qr(a, mode="complete")
        a = r @ q
        v = v @ q


def systems(kind: str, n: int, rhs: int = 0, m: int = 0):
    """Both sides on one thread: a matrix `a` of the kind ("general",
    "lower" triangular, "chol": the lower Cholesky factor of an SPD matrix,
    "tall": m x n) and right-hand sides `b` (a vector when rhs is 0).  The
    peer namespace also holds scipy.linalg as `sl`."""

    def setup(lv, peer):
        import numpy as np
        import scipy.linalg

        os.environ["LUMIVANDER_NUM_THREADS"] = "1"
        import threadpoolctl

        limiter = threadpoolctl.threadpool_limits(limits=1, user_api="blas")
        rows = m if kind == "tall" else n
        a = np.array(_values(rows * n, 1)).reshape(rows, n)
        if kind == "lower":
            a = np.tril(a) + 8.0 * np.eye(n)
        elif kind == "chol":
            a = np.linalg.cholesky(a @ a.T + n * np.eye(n))
        b = np.array(_values(rows * max(rhs, 1), 2)).reshape((rows, rhs) if rhs else (rows,))
        lumi = {"a": lv.Array.from_numpy(a), "b": lv.Array.from_numpy(b)}
        return lumi, {"a": a, "b": b, "np": np, "sl": scipy.linalg, "_limiter": limiter}

    return setup


def _note(extra: str = "") -> str:
    return f"{_BLAS}{'; ' + extra if extra else ''}"


# Pause before each sample of the multi-threaded rows, long enough for
# OpenBLAS's idle threads to stop spinning (see Workload.settle).
_SETTLE = 0.15


WORKLOADS = [
    # Products: bit-exact to the plain loop on lumivander's side.
    Workload("linalg matmul 64x64", matrices(a=(64, 64), b=(64, 64)), "a @ b", "a @ b",
             target=1.0, check=False, note=_note(), settle=_SETTLE),
    Workload("linalg matmul 128x128", matrices(a=(128, 128), b=(128, 128)), "a @ b", "a @ b",
             check=False, note=_note("medium size: should gain from a second thread, or stay on one"), settle=_SETTLE),
    Workload("linalg matmul 256x256", matrices(a=(256, 256), b=(256, 256)), "a @ b", "a @ b",
             check=False, note=_note(), settle=_SETTLE),
    Workload("linalg matmul 512x512", matrices(a=(512, 512), b=(512, 512)), "a @ b", "a @ b",
             check=False, note=_note(), settle=_SETTLE),
    Workload("linalg matmul 1024x1024", matrices(a=(1024, 1024), b=(1024, 1024)), "a @ b", "a @ b",
             check=False, note=_note(), settle=_SETTLE),
    Workload("linalg matmul 64x64  1 thread", matrices(True, a=(64, 64), b=(64, 64)), "a @ b", "a @ b",
             target=1.0, check=False, note=_note("both sides on 1 thread")),
    Workload("linalg matmul 256x256  1 thread", matrices(True, a=(256, 256), b=(256, 256)), "a @ b", "a @ b",
             target=1.0, check=False, note=_note("both sides on 1 thread")),
    Workload("linalg matmul 1024x1024  1 thread", matrices(True, a=(1024, 1024), b=(1024, 1024)), "a @ b",
             "a @ b", target=1.0, check=False, note=_note("both sides on 1 thread")),
    Workload("linalg matmul 2048x2048  1 thread", matrices(True, a=(2048, 2048), b=(2048, 2048)), "a @ b",
             "a @ b", target=1.0, check=False, note=_note("both sides on 1 thread")),
    # Skinny products: a long inner dimension, or a long outer one.
    Workload("linalg matmul 4096x64 @ 64x4096  1 thread", matrices(True, a=(4096, 64), b=(64, 4096)), "a @ b",
             "a @ b", check=False, note=_note("both sides on 1 thread")),
    Workload("linalg matmul 64x4096 @ 4096x64  1 thread", matrices(True, a=(64, 4096), b=(4096, 64)), "a @ b",
             "a @ b", check=False, note=_note("both sides on 1 thread")),
    Workload("linalg matmul 1000x1000 @ 1000x16  1 thread", matrices(True, a=(1000, 1000), b=(1000, 16)),
             "a @ b", "a @ b", check=False, note=_note("both sides on 1 thread")),
    Workload("linalg matrix-vector 1000x1000", matrices(a=(1000, 1000), x=(1000,)), "a @ x", "a @ x",
             check=False, note=_note(), settle=_SETTLE),
    Workload("linalg vector-matrix 1000x1000", matrices(a=(1000, 1000), x=(1000,)), "x @ a", "x @ a",
             check=False, note=_note(), settle=_SETTLE),
    Workload("linalg matrix-vector 1000x1000  1 thread", matrices(True, a=(1000, 1000), x=(1000,)), "a @ x",
             "a @ x", target=1.0, check=False, note=_note("both sides on 1 thread")),
    Workload("linalg vector-matrix 1000x1000  1 thread", matrices(True, a=(1000, 1000), x=(1000,)), "x @ a",
             "x @ a", check=False, note=_note("both sides on 1 thread")),
    Workload("linalg dot n=1e5", matrices(x=(100000,), y=(100000,)), "x @ y", "x @ y", check=False,
             note="a single in-order sum: add-latency bound", settle=_SETTLE),
    # Layout.
    Workload("linalg transpose 2000x2000", matrices(a=(2000, 2000)), "a.t()", "np.ascontiguousarray(a.T)",
             target=1.5),
    # Factorisations.
    Workload("linalg cholesky 500x500", matrices(spd=True, a=(500, 500)), "lv.linalg.cholesky(a)",
             "np.linalg.cholesky(a)", check=False, note=_note("LAPACK potrf: last-bit differences"), settle=_SETTLE),
    Workload("linalg cholesky 500x500  1 thread", matrices(True, spd=True, a=(500, 500)), "lv.linalg.cholesky(a)",
             "np.linalg.cholesky(a)", target=1.0, check=False,
             note=_note("both sides on 1 thread; LAPACK potrf: last-bit differences")),
    Workload("linalg qr 200x200", matrices(a=(200, 200)), "lv.linalg.qr(a)", "np.linalg.qr(a, mode='complete')",
             check=False, note=_note("numpy: LAPACK geqrf + orgqr"), settle=_SETTLE),
    Workload("linalg qr 200x200  1 thread", matrices(True, a=(200, 200)), "lv.linalg.qr(a)",
             "np.linalg.qr(a, mode='complete')", target=1.0, check=False,
             note=_note("both sides on 1 thread; numpy: LAPACK geqrf + orgqr")),
    # One step of the unshifted QR iteration costs about 3.7 n^3 multiply-adds
    # (QR 1.7 n^3, then R Q and V Q); ten steps on each side, the peer doing
    # the same steps with LAPACK's QR and BLAS products.
    Workload("linalg eig 200x200 10 iterations  1 thread", matrices(True, a=(200, 200)),
             "lv.linalg.eig_with_params(a, 10, 0.0)", _eig_steps_numpy, check=False,
             note=_note("both sides on 1 thread; per iteration: time / 10, 3.7 n^3 = 3.0e7 multiply-adds")),
    # Solvers, both sides on one thread.
    Workload("linalg solve 1000x1000 1 rhs  1 thread", systems("general", 1000), "lv.linalg.solve(a, b)",
             "np.linalg.solve(a, b)", target=1.0, check=False, note=_note("numpy: LAPACK gesv")),
    Workload("linalg solve_triangular 1000x1000 1000 rhs  1 thread", systems("lower", 1000, 1000),
             "lv.linalg.solve_triangular(a, b, lower=True)", "sl.solve_triangular(a, b, lower=True, check_finite=False)",
             peer_name="scipy", target=1.0, check=False, note=_note("scipy: LAPACK trtrs")),
    Workload("linalg cho_solve 1000x1000 1000 rhs  1 thread", systems("chol", 1000, 1000),
             "lv.linalg.cho_solve(a, b)", "sl.cho_solve((a, True), b, check_finite=False)",
             peer_name="scipy", target=1.0, check=False, note=_note("scipy: LAPACK potrs")),
    Workload("linalg qr_reduced 10000x20  1 thread", systems("tall", 20, m=10000), "lv.linalg.qr_reduced(a)",
             "np.linalg.qr(a)", target=1.0, check=False,
             note=_note("Q bit-identical to qr's: m^2 n multiply-adds; numpy: geqrf + orgqr, m n^2")),
    Workload("linalg lstsq 10000x20  1 thread", systems("tall", 20, m=10000), "lv.linalg.lstsq(a, b)",
             "np.linalg.lstsq(a, b)", target=1.0, check=False, note=_note("numpy: LAPACK gelsd (SVD)")),
    Workload("linalg inv 500x500  1 thread", systems("general", 500), "lv.linalg.inv(a)", "np.linalg.inv(a)",
             target=1.0, check=False, note=_note("numpy: LAPACK gesv with the identity")),
    Workload("linalg det 500x500  1 thread", systems("general", 500), "lv.linalg.det(a)", "np.linalg.det(a)",
             target=1.0, check=False, note=_note("numpy: LAPACK getrf")),
    Workload("linalg eig 30x30 symmetric", matrices(spd=True, a=(30, 30)), "lv.linalg.eig(a)",
             "np.linalg.eigh(a)", check=False,
             note="unshifted QR iteration (up to 1000 steps) against LAPACK syevd"),
    # The symmetric eigensolver against LAPACK's syevd (divide and conquer)
    # and the values-only driver.
    Workload("linalg eigh n=50  1 thread", matrices(True, symmetric=True, a=(50, 50)), "lv.linalg.eigh(a)",
             "np.linalg.eigh(a)", target=1.0, check=False, note=_note("both sides on 1 thread")),
    Workload("linalg eigh n=300  1 thread", matrices(True, symmetric=True, a=(300, 300)), "lv.linalg.eigh(a)",
             "np.linalg.eigh(a)", target=1.5, check=False, note=_note("both sides on 1 thread")),
    Workload("linalg eigh n=1000  1 thread", matrices(True, symmetric=True, a=(1000, 1000)), "lv.linalg.eigh(a)",
             "np.linalg.eigh(a)", target=1.5, check=False, note=_note("both sides on 1 thread")),
    Workload("linalg eigvalsh n=1000  1 thread", matrices(True, symmetric=True, a=(1000, 1000)),
             "lv.linalg.eigvalsh(a)", "np.linalg.eigvalsh(a)", target=1.5, check=False,
             note=_note("both sides on 1 thread")),
    Workload("linalg eigh n=300", matrices(symmetric=True, a=(300, 300)), "lv.linalg.eigh(a)", "np.linalg.eigh(a)",
             check=False, note=_note(), settle=_SETTLE),
]
