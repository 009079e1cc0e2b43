"""Timing machinery for the side-by-side benchmarks in run.py.

A workload is one operation done two ways: by lumivander and by a peer
library (NumPy, SciPy, scikit-learn).  Both sides run in this process and are
sampled in alternation (lumivander first on even repetitions, the peer first
on odd ones), so clock-frequency drift, cache state and noisy neighbours hit
both sides alike.  Each side's inner loop count is calibrated separately so
that one sample lasts a few milliseconds; the reported figure is the median
time per call over all samples, minus the cost of an empty loop iteration.

Statements are given as source text (for example "a + b") and compiled into
a function whose loop body is that statement, with the names from the
workload's setup bound as local variables, in the manner of `timeit`.  That
keeps the per-call overhead of the harness to one loop iteration, which
matters for operations that take well under a microsecond.
"""

from __future__ import annotations

import gc
import importlib
import importlib.util
import itertools
import json
import keyword
import math
import signal
import statistics
import subprocess
import textwrap
import time
from dataclasses import dataclass
from typing import Any, Callable, Union

try:
    import resource  # page-fault counts; not available on Windows
except ImportError:
    resource = None

# Import name and conventional alias of each peer library.
PEER_MODULES = {
    "numpy": ("numpy", "np"),
    "scipy": ("scipy", "scipy"),
    "scikit-learn": ("sklearn", "sklearn"),
}

Body = Union[str, Callable[[dict], Any]]


@dataclass
class Workload:
    """One benchmarked operation.

    setup(lv, peer) builds the inputs once and returns two namespaces
    (lumivander's, the peer's), usually holding the same values under the same
    names, so `lumi` and `peer` can often be the same text.  `lv` and the peer
    module's usual alias (`np` for NumPy) are added to the namespaces unless
    setup put something there under that name.

    `lumi` and `peer` are statements (source text run with the namespace's
    names as locals) or callables taking the namespace dict.

    `target` is the ratio lumivander/peer this workload should stay at or
    below (None: informative only).  `check` compares the two sides' results
    once before timing (expressions only).

    `settle` (seconds) is slept before every sample, which then starts with
    one untimed call.  Rows where both sides run worker threads need it:
    OpenBLAS's idle threads busy-wait (yielding) for about 2^28 cycles after
    each call, so a sample taken right after a BLAS sample shares the second
    core with that spinner and measures the interleaving rather than the
    library; the untimed call then wakes the sampled side's own threads, so
    the sample measures calls in a loop, as without the other library.
    """

    name: str
    setup: Callable[[Any, Any], tuple[dict, dict]]
    lumi: Body
    peer: Body
    peer_name: str = "numpy"
    note: str = ""
    target: float | None = None
    check: bool = True
    settle: float = 0.0


@dataclass
class Settings:
    samples: int = 15
    target_ns: float = 5e6  # aim for samples of about this length
    min_ns: float = 2e6  # calibration accepts a loop count once a run takes this long
    max_ns: float = 2e7  # and keeps samples below this when one call allows it
    check: bool = True


@dataclass
class Result:
    workload: Workload
    status: str = "ok"  # ok | skipped | error
    reason: str = ""
    lumi_ns: float = math.nan
    peer_ns: float = math.nan
    lumi_spread: float = math.nan  # interquartile range / median
    peer_spread: float = math.nan
    lumi_loops: int = 0
    peer_loops: int = 0
    lumi_faults: float = math.nan  # minor page faults per call while timed
    peer_faults: float = math.nan

    @property
    def ratio(self) -> float:
        if self.peer_ns > 0 and not math.isnan(self.lumi_ns):
            return self.lumi_ns / self.peer_ns
        return math.nan

    @property
    def missed(self) -> bool:
        t = self.workload.target
        return t is not None and self.status == "ok" and not self.ratio <= t


# --------------------------------------------------------------------------
# Compiling a statement into a timed loop


def _loop_function(body: Body, ns: dict) -> Callable[[int], int]:
    """Returns f(n): runs body n times, returns elapsed nanoseconds."""
    if callable(body):
        ns = {"_bench_fn": body, "_bench_ns": ns}
        body = "_bench_fn(_bench_ns)"
    names = [k for k in ns if k.isidentifier() and not keyword.iskeyword(k)]
    binds = "".join(f"    {k} = _bench_env[{k!r}]\n" for k in names)
    src = (
        "def _bench_inner(_bench_it, _bench_timer):\n"
        f"{binds}"
        "    _bench_t0 = _bench_timer()\n"
        "    for _ in _bench_it:\n"
        f"{textwrap.indent(textwrap.dedent(body).strip(), ' ' * 8)}\n"
        "    return _bench_timer() - _bench_t0\n"
    )
    env = {"_bench_env": ns}
    exec(compile(src, "<benchmark>", "exec"), env)
    inner = env["_bench_inner"]
    timer = time.perf_counter_ns
    repeat = itertools.repeat

    def run(n: int) -> int:
        gc_was_enabled = gc.isenabled()
        gc.disable()
        try:
            return inner(repeat(None, n), timer)
        finally:
            if gc_was_enabled:
                gc.enable()

    return run


def _run_once(body: Body, ns: dict) -> tuple[bool, Any]:
    """Runs body once outside the timing loop; returns (is_expression, value)."""
    if callable(body):
        return True, body(ns)
    text = textwrap.dedent(body).strip()
    local = dict(ns)
    try:
        code = compile(text, "<benchmark>", "eval")
    except SyntaxError:
        exec(compile(text, "<benchmark>", "exec"), {}, local)
        return False, None
    return True, eval(code, {}, local)


def _calibrate(run: Callable[[int], int], s: Settings) -> int:
    """A loop count whose run lasts about s.target_ns (at least one call)."""
    run(1)  # first-call costs (caches, allocator growth) are not the steady state
    n = 1
    t = run(n)
    while t < s.min_ns:
        grow = s.target_ns / max(t, 1)
        n = int(n * min(100.0, max(2.0, grow)))
        t = run(n)
    per_call = t / n
    n = max(1, round(s.target_ns / per_call))
    if n > 1 and n * per_call > s.max_ns:
        n = max(1, int(s.max_ns / per_call))
    return n


_LOOP_OVERHEAD_NS: float | None = None


def loop_overhead_ns() -> float:
    """Cost of one iteration of an empty timing loop (the best of several runs)."""
    global _LOOP_OVERHEAD_NS
    if _LOOP_OVERHEAD_NS is None:
        run = _loop_function("pass", {})
        n = 200_000
        _LOOP_OVERHEAD_NS = min(run(n) for _ in range(7)) / n
    return _LOOP_OVERHEAD_NS


def _minor_faults() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt if resource is not None else 0


def _spread(values: list[float]) -> float:
    med = statistics.median(values)
    if len(values) < 4 or med <= 0:
        return math.nan
    q = statistics.quantiles(values, n=4)
    return (q[2] - q[0]) / med


# --------------------------------------------------------------------------
# Result checking


def _flatten(value: Any, lv: Any) -> tuple[Any, list[float]] | None:
    """(shape, flat float list) of an array-like result, or None."""
    if isinstance(value, lv.Array):
        return tuple(value.shape), [float(x) for x in value]
    if hasattr(value, "shape") and hasattr(value, "ravel"):  # NumPy arrays and scalars
        return tuple(value.shape), [float(x) for x in value.ravel().tolist()]
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return (), [float(value)]
    return None


def _same_values(a: list[float], b: list[float]) -> bool:
    for x, y in zip(a, b):
        if x == y or (math.isnan(x) and math.isnan(y)):
            continue
        if not math.isclose(x, y, rel_tol=1e-12, abs_tol=1e-300):
            return False
    return len(a) == len(b)


def _check(lumi_value: Any, peer_value: Any, lv: Any) -> str | None:
    """None when the two results agree (or cannot be compared), else why not."""
    fl = _flatten(lumi_value, lv)
    fp = _flatten(peer_value, lv)
    if fl is None or fp is None:
        if isinstance(lumi_value, (list, tuple)) and isinstance(peer_value, (list, tuple)):
            if list(lumi_value) != list(peer_value):
                return f"results differ: {lumi_value!r} vs {peer_value!r}"
        return None
    if fl[0] != fp[0]:
        return f"result shapes differ: {list(fl[0])} vs {list(fp[0])}"
    if not _same_values(fl[1], fp[1]):
        return "result values differ"
    return None


# --------------------------------------------------------------------------
# Running workloads


def _describe(exc: BaseException) -> str:
    text = str(exc).splitlines()[0] if str(exc) else ""
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def peer_installed(peer_name: str) -> bool:
    return importlib.util.find_spec(PEER_MODULES.get(peer_name, (peer_name, peer_name))[0]) is not None


def import_peer(peer_name: str) -> Any | None:
    if not peer_installed(peer_name):
        return None
    return importlib.import_module(PEER_MODULES.get(peer_name, (peer_name, peer_name))[0])


def skipped_for_missing_peer(w: Workload) -> Result | None:
    """The "skipped" result when w's peer library is not installed, else None."""
    if peer_installed(w.peer_name):
        return None
    return Result(w, status="skipped", reason=f"{w.peer_name} not installed")


def run_workload(w: Workload, lv: Any, s: Settings) -> Result:
    missing = skipped_for_missing_peer(w)
    if missing is not None:
        return missing
    r = Result(w)
    peer = import_peer(w.peer_name)

    # Failures are reported in the row and the run goes on.
    try:
        lumi_env, peer_env = (dict(env) for env in w.setup(lv, peer))
    except (AttributeError, NotImplementedError) as exc:
        r.status, r.reason = "skipped", f"setup: {_describe(exc)}"
        return r
    except Exception as exc:
        r.status, r.reason = "error", f"setup: {_describe(exc)}"
        return r
    lumi_env.setdefault("lv", lv)
    peer_env.setdefault(PEER_MODULES.get(w.peer_name, (None, w.peer_name))[1], peer)

    # One untimed call per side: catches operations lumivander does not have
    # yet and gives the values for the sanity check.
    try:
        lumi_is_expr, lumi_value = _run_once(w.lumi, lumi_env)
    except (AttributeError, NotImplementedError) as exc:
        r.status, r.reason = "skipped", f"lumivander: {_describe(exc)}"
        return r
    except Exception as exc:
        r.status, r.reason = "error", f"lumivander: {_describe(exc)}"
        return r
    try:
        peer_is_expr, peer_value = _run_once(w.peer, peer_env)
    except Exception as exc:
        r.status, r.reason = "error", f"{w.peer_name}: {_describe(exc)}"
        return r
    if s.check and w.check and lumi_is_expr and peer_is_expr:
        why = _check(lumi_value, peer_value, lv)
        if why is not None:
            r.status, r.reason = "error", why
            return r
    del lumi_value, peer_value

    try:
        lumi_run = _loop_function(w.lumi, lumi_env)
        peer_run = _loop_function(w.peer, peer_env)
        r.lumi_loops = _calibrate(lumi_run, s)
        r.peer_loops = _calibrate(peer_run, s)
        overhead = loop_overhead_ns()
        lumi_t: list[float] = []
        peer_t: list[float] = []
        faults = {id(lumi_t): 0, id(peer_t): 0}
        for rep in range(s.samples):
            order = ((lumi_run, r.lumi_loops, lumi_t), (peer_run, r.peer_loops, peer_t))
            if rep % 2:
                order = order[::-1]
            for run, n, out in order:
                if w.settle:
                    time.sleep(w.settle)
                    run(1)
                f0 = _minor_faults()
                out.append(run(n) / n - overhead)
                faults[id(out)] += _minor_faults() - f0
        r.lumi_faults = faults[id(lumi_t)] / (s.samples * r.lumi_loops)
        r.peer_faults = faults[id(peer_t)] / (s.samples * r.peer_loops)
    except Exception as exc:
        r.status, r.reason = "error", f"timing: {_describe(exc)}"
        return r

    r.lumi_ns = statistics.median(lumi_t)
    r.peer_ns = statistics.median(peer_t)
    r.lumi_spread = _spread(lumi_t)
    r.peer_spread = _spread(peer_t)
    return r


# --------------------------------------------------------------------------
# Running a workload in a fresh interpreter
#
# Multi-megabyte workloads are sensitive to the state of the C allocator that
# earlier workloads leave behind (whether freed blocks are kept or returned to
# the system and faulted in again on the next call), so by default each
# workload runs in its own process.  That also makes a filtered run (-k)
# measure what the full run measures, and a crash is reported as one failed
# row instead of ending the run.

_RESULT_FIELDS = (
    "status",
    "reason",
    "lumi_ns",
    "peer_ns",
    "lumi_spread",
    "peer_spread",
    "lumi_loops",
    "peer_loops",
    "lumi_faults",
    "peer_faults",
)
_RESULT_TAG = "@@benchmark-result "


def emit_result(r: Result) -> None:
    """Worker side: print the result as one tagged JSON line."""
    data = {k: getattr(r, k) for k in _RESULT_FIELDS}
    for k, v in data.items():
        if isinstance(v, float) and math.isnan(v):
            data[k] = None
    print(_RESULT_TAG + json.dumps(data), flush=True)


def run_isolated(w: Workload, argv: list[str], timeout: float = 600.0) -> Result:
    """Runs `argv` (a worker command for w) and reads its result back."""
    r = Result(w)
    try:
        proc = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        r.status, r.reason = "error", f"worker timed out after {timeout:g} s"
        return r
    for line in reversed(proc.stdout.splitlines()):
        if line.startswith(_RESULT_TAG):
            data = json.loads(line[len(_RESULT_TAG):])
            for k in _RESULT_FIELDS:
                v = data.get(k)
                setattr(r, k, math.nan if v is None and k.endswith(("_ns", "_spread", "_faults")) else v)
            return r
    if proc.returncode < 0:
        why = f"worker killed by signal {-proc.returncode}"
        try:
            why += f" ({signal.Signals(-proc.returncode).name})"
        except ValueError:
            pass
    else:
        why = f"worker exited with status {proc.returncode}"
    tail = [x for x in proc.stderr.strip().splitlines() if x.strip()][-1:]
    r.status, r.reason = "error", why + (f": {tail[0].strip()}" if tail else "")
    return r


# --------------------------------------------------------------------------
# Output


def format_time(ns: float) -> str:
    if math.isnan(ns):
        return "-"
    if ns < 1e3:
        return f"{ns:.1f} ns" if ns < 100 else f"{ns:.0f} ns"
    if ns < 1e6:
        v = ns / 1e3
        return f"{v:.2f} us" if v < 10 else f"{v:.1f} us" if v < 100 else f"{v:.0f} us"
    if ns < 1e9:
        v = ns / 1e6
        return f"{v:.2f} ms" if v < 10 else f"{v:.1f} ms" if v < 100 else f"{v:.0f} ms"
    return f"{ns / 1e9:.2f} s"


class Table:
    """Prints one row per workload as soon as it is measured."""

    def __init__(self, workloads: list[Workload], out=print):
        self.name_w = max([len("workload")] + [len(w.name) for w in workloads])
        self.peer_w = max([len("peer")] + [len(w.peer_name) for w in workloads])
        self.out = out

    def header(self) -> None:
        line = (
            f"{'workload':<{self.name_w}}  {'peer':<{self.peer_w}}  {'lumivander':>10}  {'peer':>10}"
            f"  {'ratio':>7}  {'target':>7}  {'':4}  {'noise':>5}  note"
        )
        self.out(line)
        self.out("-" * len(line))

    def row(self, r: Result) -> None:
        w = r.workload
        lead = f"{w.name:<{self.name_w}}  {w.peer_name:<{self.peer_w}}  "
        if r.status != "ok":
            self.out(f"{lead}{r.status}: {r.reason}")
            return
        target = f"<={w.target:g}" if w.target is not None else ""
        flag = "MISS" if r.missed else ("ok" if w.target is not None else "")
        spreads = [x for x in (r.lumi_spread, r.peer_spread) if not math.isnan(x)]
        noise = f"{100 * max(spreads):.0f}%" if spreads else "-"
        ratio = "-" if math.isnan(r.ratio) else f"{r.ratio:.3f}" if r.ratio < 10 else f"{r.ratio:.1f}"
        notes = [w.note] if w.note else []
        # Page faults inside the timed loop usually mean the allocator hands
        # memory back to the system and faults it in again on every call.
        if any(f >= 1 for f in (r.lumi_faults, r.peer_faults)):
            notes.append(f"page faults/call: lumivander {r.lumi_faults:.0f}, {w.peer_name} {r.peer_faults:.0f}")
        self.out(
            f"{lead}{format_time(r.lumi_ns):>10}  {format_time(r.peer_ns):>10}  {ratio:>7}"
            f"  {target:>7}  {flag:4}  {noise:>5}  {'; '.join(notes)}".rstrip()
        )


def select(workloads: list[Workload], patterns: list[str] | None) -> list[Workload]:
    if not patterns:
        return list(workloads)
    pats = [p.lower() for p in patterns]
    return [w for w in workloads if any(p in w.name.lower() or p == w.peer_name.lower() for p in pats)]
