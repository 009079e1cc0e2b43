"""k-nearest-neighbour classification of a 2-D sample, drawn as a decision
map with the training points on top (PNG, matplotlib's Agg backend).

    python examples/knn_boundary.py [--out knn_boundary.png] [--k 15]
"""
import argparse
import time

import matplotlib

matplotlib.use("Agg")  # headless: write a file, open no window
import matplotlib.pyplot as plt
from matplotlib.colors import ListedColormap

import lumivander as lv

CENTRES = [(-1.0, -0.5), (1.0, -0.3), (0.0, 1.1)]
COLOURS = ["#1f77b4", "#ff7f0e", "#2ca02c"]


def sample(g, per_class):
    """Three overlapping Gaussian blobs: coordinates (n, 2) and labels."""
    xs, labels = [], []
    for label, (cx, cy) in enumerate(CENTRES):
        x = g.normal(cx, 0.6, [per_class])
        y = g.normal(cy, 0.6, [per_class])
        for px, py in zip(x, y):
            xs += [px, py]
            labels.append(label)
    return lv.asarray(xs, shape=[len(labels), 2]), labels


def classify(tree, labels, grid_x, grid_y, k):
    """Majority label of the k nearest training points at every grid node
    (ties go to the label of the nearest point among the tied ones)."""
    out = []
    for y in grid_y:
        row = []
        for x in grid_x:
            near = tree.query_knn([x, y], k)
            votes = [0] * len(CENTRES)
            for i in near:
                votes[labels[i]] += 1
            best = max(votes)
            row.append(next(labels[i] for i in near if votes[labels[i]] == best))
        out.append(row)
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--out", default="knn_boundary.png")
    p.add_argument("--k", type=int, default=15)
    p.add_argument("--grid", type=int, default=160)
    args = p.parse_args()

    g = lv.random.seed(2024)
    points, labels = sample(g, 150)
    tree = lv.spatial.KDTree.from_array(points, leaf_size=16)

    lo, hi = -3.2, 3.2
    step = (hi - lo) / (args.grid - 1)
    grid = [lo + i * step for i in range(args.grid)]
    t0 = time.perf_counter()
    regions = classify(tree, labels, grid, grid, args.k)
    elapsed = time.perf_counter() - t0

    fig, ax = plt.subplots(figsize=(6, 6))
    ax.imshow(regions, origin="lower", extent=(lo, hi, lo, hi), cmap=ListedColormap(COLOURS), alpha=0.35,
              interpolation="nearest")
    xy = points.tolist()
    for label, colour in enumerate(COLOURS):
        pts = [p for p, l in zip(xy, labels) if l == label]
        ax.scatter([p[0] for p in pts], [p[1] for p in pts], s=10, c=colour, edgecolors="k", linewidths=0.3)
    ax.set_title(f"{args.k}-nearest-neighbour classes ({args.grid ** 2} KDTree queries, {elapsed * 1e3:.0f} ms)")
    ax.set_xlim(lo, hi)
    ax.set_ylim(lo, hi)
    fig.tight_layout()
    fig.savefig(args.out, dpi=100)
    print(f"wrote {args.out}: {args.grid ** 2} queries in {elapsed:.3f} s")


if __name__ == "__main__":
    main()
