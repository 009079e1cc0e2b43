"""Kernel density of a 2-D sample drawn from Generator: the exact sum beside
the per-node approximation, with the time each took (PNG, Agg backend).

    python examples/density_map.py [--out density_map.png] [--n 20000]
"""
import argparse
import time

import matplotlib

matplotlib.use("Agg")  # headless: write a file, open no window
import matplotlib.pyplot as plt

import lumivander as lv


def sample(g, n):
    """A mixture of three Gaussian clusters, as an (n, 2) Array."""
    parts = [(0.45, -1.0, -0.5, 0.5), (0.35, 1.2, 0.4, 0.35), (0.20, 0.0, 1.6, 0.25)]
    xs = []
    for share, cx, cy, s in parts:
        m = int(n * share)
        for x, y in zip(g.normal(cx, s, [m]), g.normal(cy, s, [m])):
            xs += [x, y]
    return lv.asarray(xs, shape=[len(xs) // 2, 2])


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--out", default="density_map.png")
    p.add_argument("--n", type=int, default=20000)
    p.add_argument("--grid", type=int, default=120)
    p.add_argument("--bandwidth", type=float, default=0.15)
    p.add_argument("--min-samples", type=int, default=32, help="estimate nodes of at least this many points ...")
    p.add_argument("--max-span", type=float, default=0.2, help="... whose box diagonal is at most this")
    args = p.parse_args()

    points = sample(lv.random.seed(7), args.n)
    tree = lv.spatial.KDTree.from_array(points, leaf_size=32)

    lo, hi = -3.0, 3.0
    step = (hi - lo) / (args.grid - 1)
    axis = [lo + i * step for i in range(args.grid)]
    grid = lv.asarray([c for y in axis for x in axis for c in (x, y)], shape=[args.grid ** 2, 2])

    t0 = time.perf_counter()
    exact = tree.kernel_density(grid, args.bandwidth, "gaussian")
    t_exact = time.perf_counter() - t0
    t0 = time.perf_counter()
    approx = tree.kernel_density_approx(grid, args.bandwidth, "gaussian", "combined", min_samples=args.min_samples,
                                        max_span=args.max_span)
    t_approx = time.perf_counter() - t0

    exact_rows = lv.asarray(exact, shape=[args.grid, args.grid])
    approx_rows = lv.asarray(approx, shape=[args.grid, args.grid])
    worst = max(abs(a - e) for a, e in zip(approx, exact)) / max(exact)

    fig, axes = plt.subplots(1, 2, figsize=(11, 5.2), sharey=True)
    top = max(exact)
    for ax, rows, title in ((axes[0], exact_rows, f"exact: {t_exact * 1e3:.0f} ms"),
                            (axes[1], approx_rows, f"approximate (combined): {t_approx * 1e3:.0f} ms")):
        im = ax.imshow(rows.tolist(), origin="lower", extent=(lo, hi, lo, hi), cmap="viridis", vmin=0.0, vmax=top)
        ax.set_title(title)
    fig.suptitle(f"Gaussian kernel density of {len(points) // 2} points, bandwidth {args.bandwidth}, "
                 f"{args.grid ** 2} queries; largest difference {worst:.2%} of the peak")
    fig.colorbar(im, ax=axes, shrink=0.85)
    fig.savefig(args.out, dpi=90)
    print(f"wrote {args.out}: exact {t_exact:.3f} s, approximate {t_approx:.3f} s, "
          f"largest difference {worst:.2%} of the peak")


if __name__ == "__main__":
    main()
