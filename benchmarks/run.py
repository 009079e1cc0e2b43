"""Side-by-side benchmarks: lumivander against NumPy (and, as workloads are
added, SciPy and scikit-learn) on the same inputs.

    python benchmarks/run.py            # every workload, 15 samples per side
    python benchmarks/run.py --quick    # 5 shorter samples per side
    python benchmarks/run.py -k sqrt -k "n=3"   # workloads whose name contains any of these
    python benchmarks/run.py -k scipy          # ... or whose peer is scipy
    python benchmarks/run.py --list
    python benchmarks/run.py --contend -k "ew exp"   # another process keeps a core busy

With --contend a child process spins on one core for the whole run, and each
chosen workload runs with all threads and with LUMIVANDER_NUM_THREADS=1, the
two alternating for --rounds rounds (default 3); the row shows the median of
each of lumivander's times and their ratio (all / one, which should stay at
or below 1: a pooled call never loses to one thread).

Each row shows the median time per call of lumivander and of the peer, and
their ratio (below 1: lumivander is faster).  Rows with a target show "ok" or
"MISS" against it; "noise" is the larger of the two sides' interquartile
range relative to its median; page faults inside the timed loop are noted.
Each workload runs in a fresh process (--no-isolate: all in this one).  How
the timing works is described in harness.py.

To add a workload, append a Workload to WORKLOADS: a unique name, a setup
function building the inputs once for both sides, and the two statements.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import platform
import random
import statistics
import subprocess
import sys
from functools import lru_cache
from math import prod

from harness import (
    Settings,
    Table,
    Workload,
    emit_result,
    loop_overhead_ns,
    run_isolated,
    run_workload,
    select,
    skipped_for_missing_peer,
)


# --------------------------------------------------------------------------
# Inputs: the same Python floats feed both sides.


@lru_cache(maxsize=None)
def values(n: int, seed: int = 1, lo: float = 0.5, hi: float = 2.0) -> tuple[float, ...]:
    rnd = random.Random(seed * 1_000_003 + n).random
    span = hi - lo
    return tuple(lo + span * rnd() for _ in range(n))


def arrays(lo: float = 0.5, hi: float = 2.0, extra: dict | None = None, **shapes):
    """A setup giving each name an array of the given shape on both sides,
    plus the plain Python values in `extra`."""

    def setup(lv, np):
        lumi, peer = dict(extra or {}), dict(extra or {})
        for seed, (name, shape) in enumerate(shapes.items(), start=1):
            flat = list(values(prod(shape), seed, lo, hi))
            lumi[name] = lv.asarray(flat, shape=list(shape))
            peer[name] = np.array(flat, dtype=np.float64).reshape(shape)
        return lumi, peer

    return setup


def pylist(n: int):
    def setup(lv, np):
        data = list(values(n))
        return {"data": data}, {"data": data}

    return setup


def numpy_input(n: int):
    """Both sides get the same NumPy array `x` (NumPy interchange workloads)."""

    def setup(lv, np):
        x = np.array(values(n), dtype=np.float64)
        return {"x": x}, {"x": x}

    return setup


def lumi_and_numpy_input(n: int):
    """lumivander gets an Array `a`, NumPy an ndarray `a` with the same values."""
    return arrays(a=(n,))


def nothing(lv, np):
    return {}, {}


def same(name, setup, stmt, **kw):
    """A workload whose statement reads the same on both sides."""
    return Workload(name, setup, stmt, stmt, **kw)


# --------------------------------------------------------------------------
# Workloads

WORKLOADS: list[Workload] = [
    # Binary arithmetic, same shapes.
    same("a + b  n=3", arrays(a=(3,), b=(3,)), "a + b", target=0.4),
    same("a + b  n=1e3", arrays(a=(1000,), b=(1000,)), "a + b"),
    same("a + b  n=1e6", arrays(a=(10**6,), b=(10**6,)), "a + b", target=1.2),
    # Broadcasting.
    same("[1000,1000] + [1000]", arrays(a=(1000, 1000), b=(1000,)), "a + b", target=1.5),
    same("[1000,1] * [1,1000]", arrays(a=(1000, 1), b=(1, 1000)), "a * b"),
    # Array with a number.
    same("a * 2.0  n=3", arrays(a=(3,)), "a * 2.0", target=0.4),
    same("a * 2.0  n=1e6", arrays(a=(10**6,)), "a * 2.0", target=1.2),
    same("2.0 - a  n=1e6", arrays(a=(10**6,)), "2.0 - a", target=1.2),
    # Element-wise functions.
    Workload("a.sqrt()  n=1e6", arrays(a=(10**6,)), "a.sqrt()", "np.sqrt(a)", target=1.2),
    Workload("a.abs()  n=1e6", arrays(a=(10**6,), lo=-2.0), "a.abs()", "np.abs(a)", target=1.2),
    Workload("-a  n=1e6", arrays(a=(10**6,), lo=-2.0), "-a", "np.negative(a)", target=1.2),
    Workload("a.exp()  n=1e6", arrays(a=(10**6,), lo=-2.0), "a.exp()", "np.exp(a)"),
    Workload("a.sin()  n=1e6", arrays(a=(10**6,), lo=-2.0), "a.sin()", "np.sin(a)"),
    # Conversions.
    Workload("asarray(list)  n=1e5", pylist(10**5), "lv.asarray(data)", "np.asarray(data)"),
    Workload(
        "to_numpy  n=1e6",
        lumi_and_numpy_input(10**6),
        "a.to_numpy()",
        "np.array(a)",
        note="peer: np.array copy of an ndarray",
    ),
    Workload(
        "from_numpy  n=1e6",
        numpy_input(10**6),
        "lv.Array.from_numpy(x)",
        "np.array(x)",
        note="peer: np.array copy of an ndarray",
    ),
    # Attributes.
    same("a.shape", arrays(a=(3, 4)), "a.shape"),
    same("len(a)", arrays(a=(12,)), "len(a)"),
    # Subscripting.
    same("a[i] read 1-D", arrays(a=(1000,), extra={"i": 500}), "a[i]", target=1.0),
    same("a[i, j] read 2-D", arrays(a=(100, 100), extra={"i": 50, "j": 70}), "a[i, j]", target=1.0),
    same("a[i] = v write 1-D", arrays(a=(1000,), extra={"i": 500, "v": 1.5}), "a[i] = v", target=1.0),
    # Iteration.
    same("for x in a  n=1e5", arrays(a=(10**5,)), "for x in a: pass", note="numpy yields np.float64"),
    same("list(a)  n=1e5", arrays(a=(10**5,)), "list(a)", note="numpy yields np.float64"),
    # Construction.
    Workload("zeros([1000,1000])", nothing, "lv.zeros([1000, 1000])", "np.zeros((1000, 1000))"),
    Workload("eye(1000)", nothing, "lv.eye(1000)", "np.eye(1000)"),
    Workload(
        "column_stack 3 x 1e5",
        arrays(a=(10**5,), b=(10**5,), c=(10**5,)),
        "lv.column_stack([a, b, c])",
        "np.column_stack([a, b, c])",
    ),
    # Display (informative: NumPy abbreviates arrays over 1000 elements).
    same("repr  n=1e4", arrays(a=(10**4,)), "repr(a)", check=False, note="numpy abbreviates"),
]



def _subsystem_workloads() -> list[Workload]:
    """Workloads of the other subsystems: each benchmarks/workloads_*.py
    module contributes its own WORKLOADS list, built from `harness` alone
    (importing this script from there would be circular)."""
    import glob

    here = os.path.dirname(os.path.abspath(__file__))
    if here not in sys.path:
        sys.path.insert(0, here)
    found: list[Workload] = []
    for path in sorted(glob.glob(os.path.join(here, "workloads_*.py"))):
        module = importlib.import_module(os.path.splitext(os.path.basename(path))[0])
        found.extend(module.WORKLOADS)
    return found


WORKLOADS.extend(_subsystem_workloads())

assert len({w.name for w in WORKLOADS}) == len(WORKLOADS), "workload names must be unique"


# --------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description="Time lumivander against NumPy side by side.")
    p.add_argument("--quick", action="store_true", help="fewer, shorter samples")
    p.add_argument("-k", action="append", metavar="TEXT", help="run workloads whose name contains TEXT (repeatable)")
    p.add_argument("--samples", type=int, help="samples per side (default 15, 5 with --quick)")
    p.add_argument("--sample-ms", type=float, help="target length of one sample (default 5, 3 with --quick)")
    p.add_argument("--no-check", action="store_true", help="skip comparing the two sides' results")
    p.add_argument(
        "--no-isolate", action="store_true", help="run all workloads in this process instead of one process each"
    )
    p.add_argument("--strict", action="store_true", help="exit with status 1 when a target is missed")
    p.add_argument("--list", action="store_true", help="list workload names and exit")
    p.add_argument(
        "--contend", action="store_true",
        help="keep one core busy with another process; time each workload with all threads and with one",
    )
    p.add_argument("--rounds", type=int, default=3, help="with --contend: alternating runs of each setting (default 3)")
    p.add_argument("--worker", metavar="NAME", help=argparse.SUPPRESS)  # internal: run one workload
    p.add_argument("--worker-settings", help=argparse.SUPPRESS)
    args = p.parse_args(argv)

    if args.worker is not None:
        return worker(args.worker, Settings(**json.loads(args.worker_settings)))

    chosen = select(WORKLOADS, args.k)
    if args.list:
        for w in chosen:
            print(f"{w.name}  [{w.peer_name}]")
        return 0
    if not chosen:
        print(f"no workload matches {args.k}")
        return 1

    try:
        import lumivander as lv
    except ImportError as exc:
        print(f"cannot import lumivander ({exc}); install it with pip install . or put a build on PYTHONPATH")
        return 1

    s = Settings(check=not args.no_check)
    if args.quick:
        s.samples, s.target_ns, s.min_ns = 5, 3e6, 2e6
    if args.samples:
        s.samples = max(1, args.samples)
    if args.sample_ms:
        s.target_ns = args.sample_ms * 1e6
        s.min_ns = min(s.min_ns, s.target_ns / 2)

    versions = [f"python {platform.python_version()}"]
    for peer, module in (("numpy", "numpy"), ("scipy", "scipy"), ("scikit-learn", "sklearn")):
        try:
            versions.append(f"{peer} {importlib.import_module(module).__version__}")
        except ImportError:
            versions.append(f"{peer} missing")
    print(", ".join(versions))
    print(f"lumivander from {lv.__file__}")
    print(
        f"{s.samples} samples per side, ~{s.target_ns / 1e6:g} ms each, interleaved; median time per call "
        f"(empty-loop cost, here {loop_overhead_ns():.1f} ns, subtracted); "
        + ("all workloads in one process" if args.no_isolate else "one process per workload")
    )
    print()

    if args.contend:
        if args.no_isolate:
            print("--contend needs one process per workload")
            return 1
        return contend(chosen, s, args.rounds)

    table = Table(chosen)
    table.header()
    results = []
    for w in chosen:
        r = skipped_for_missing_peer(w)
        if r is not None:
            pass
        elif args.no_isolate:
            r = run_workload(w, lv, s)
        else:
            cmd = [sys.executable, os.path.abspath(__file__), "--worker", w.name]
            r = run_isolated(w, cmd + ["--worker-settings", json.dumps(vars(s))])
        results.append(r)
        table.row(r)
        sys.stdout.flush()

    errors = [r for r in results if r.status == "error"]
    missed = [r for r in results if r.missed]
    print()
    print(
        f"{sum(r.status == 'ok' for r in results)} measured, "
        f"{sum(r.status == 'skipped' for r in results)} skipped, {len(errors)} errors; "
        f"{len(missed)} of {sum(r.workload.target is not None and r.status == 'ok' for r in results)} "
        f"targets missed" + (": " + ", ".join(r.workload.name for r in missed) if missed else "")
    )
    return 1 if errors or (args.strict and missed) else 0


def contend(chosen, s: Settings, rounds: int = 3) -> int:
    """Each workload with all threads and with one, while a busy loop in a
    child process keeps one core occupied."""
    chosen = [w for w in chosen if not w.name.endswith("1 thread")]  # those set the cap themselves
    # The competitor spins until this process goes away, however it ends.
    busy = subprocess.Popen([sys.executable, "-c", f"import os\nwhile os.getppid() == {os.getpid()}: pass"])
    width = max(len(w.name) for w in chosen)
    print(f"competitor: busy loop in process {busy.pid}; os.getloadavg() = {os.getloadavg()}")
    print(f"{rounds} rounds, alternating; medians; spread = slowest / fastest round of either setting")
    print(f"{'workload':<{width}}  {'all threads':>12}  {'1 thread':>12}  {'all/1':>6}  {'spread':>6}")
    slower = []
    try:
        for w in chosen:
            # The two settings alternate over several rounds and each keeps
            # its median: the load other processes put on the machine drifts,
            # and two runs one after the other would compare different loads.
            runs = {None: [], "1": []}
            for _ in range(max(1, rounds)):
                for threads in (None, "1"):
                    env = dict(os.environ)
                    env.pop("LUMIVANDER_NUM_THREADS", None)
                    if threads:
                        env["LUMIVANDER_NUM_THREADS"] = threads
                    cmd = [sys.executable, os.path.abspath(__file__), "--worker", w.name,
                           "--worker-settings", json.dumps(vars(s))]
                    old = dict(os.environ)
                    os.environ.clear()
                    os.environ.update(env)
                    try:
                        r = run_isolated(w, cmd)
                    finally:
                        os.environ.clear()
                        os.environ.update(old)
                    runs[threads].append(r.lumi_ns if r.status == "ok" else float("nan"))
            times = {k: statistics.median(v) for k, v in runs.items()}
            ratio = times[None] / times["1"]
            flag = "  SLOWER" if ratio > 1.05 else ""
            if ratio > 1.05:
                slower.append(w.name)
            spread = max(v[-1] / v[0] if v[0] > 0 else float("nan") for v in (sorted(runs[None]), sorted(runs["1"])))
            print(f"{w.name:<{width}}  {times[None] / 1e6:>10.3f}ms  {times['1'] / 1e6:>10.3f}ms  {ratio:>6.2f}"
                  f"  {spread:>6.2f}{flag}")
            sys.stdout.flush()
    finally:
        busy.kill()
        busy.wait()
    print()
    print(f"{len(chosen)} workloads, {len(slower)} slower with all threads" + (": " + ", ".join(slower) if slower else ""))
    return 0


def worker(name: str, s: Settings) -> int:
    """Runs one workload and prints its result for the parent process."""
    import lumivander as lv

    (w,) = [w for w in WORKLOADS if w.name == name]
    emit_result(run_workload(w, lv, s))
    return 0


if __name__ == "__main__":
    sys.exit(main())
