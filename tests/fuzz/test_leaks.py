"""Leak check: every discovered entry point, on success and error paths, is
called a few thousand times; the interpreter's allocated block count, the
heap in use and the reference counts of the inputs must come back to where
they started."""
import ctypes
import ctypes.util
import gc
import random
import sys
import warnings

import pytest

import fuzz_harness as fh
from conftest import sanitized

# Operator slots a class implements itself (the rest are the interpreter's
# own refusals, nothing of the library runs).
SLOT_DUNDERS = {
    "+": "__add__", "-": "__sub__", "*": "__mul__", "/": "__truediv__", "@": "__matmul__", "**": "__pow__",
    "//": "__floordiv__", "%": "__mod__", "r+": "__radd__", "r-": "__rsub__", "r*": "__rmul__",
    "r/": "__rtruediv__", "r@": "__rmatmul__", "+=": "__iadd__", "neg": "__neg__", "pos": "__pos__",
    "abs": "__abs__", "~": "__invert__", "<": "__lt__", "==": "__eq__", "!=": "__ne__", ">=": "__ge__",
    "[]": "__getitem__", "[]=": "__setitem__", "del[]": "__delitem__", "in": "__contains__", "len": "__len__",
    "iter": "__iter__", "next": "__next__", "repr": "__repr__", "str": "__str__", "hash": "__hash__",
    "bool": "__bool__", "float": "__float__", "int": "__int__", "index": "__index__", "copy": "__copy__",
    "pickle": "__reduce__", "format": "__format__", "shape=": "shape",
}


def own_slot(entry):
    return entry.kind != "slot" or SLOT_DUNDERS.get(entry.attr, "?") in entry.target.__dict__


ENTRIES = [e for e in fh.discover()[0] if own_slot(e)]
ARG_SETS = 6      # per entry point: half plausible arguments, half with garbage or raising hooks
WARMUP = 50       # calls per argument set before measuring
REPEATS = 200     # calls per argument set in a measured round
# Slack for one measured round of one entry point (1200 calls).  After the
# warm-up, interned strings, type attribute caches, lazily created types and
# NumPy's API table already exist; what can still move are the interpreter's
# free lists (floats, tuples, frames) filling up to their fixed caps and a
# dict or list of the interpreter resizing once; rounds of an entry point
# that leaks nothing were seen to vary by up to ~50 blocks.  A leak of one
# object per call (1200 blocks), or one per twenty calls, is beyond it.
BLOCK_SLACK = 64
HEAP_SLACK = 4096  # bytes in use by malloc (element storage, core objects); a leak per call is far more

UNTRACKED = (int, float, bool, type(None), str, bytes, complex, type, range, slice, type(Ellipsis),
             type(NotImplemented))


def heap_in_use():
    """Bytes malloc reports in use (glibc), or None."""
    if sanitized:
        return None  # the sanitizer's allocator does not report through mallinfo
    libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
    if not hasattr(libc, "mallinfo2"):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                     "fordblks", "keepcost")]

    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def argument_sets(entry):
    """Calls (fn, args, kwargs) whose repetition is harmless: no hook that
    mutates or re-enters."""
    out = []
    for j in range(ARG_SETS * 4):
        if len(out) == ARG_SETS:
            break
        rng = random.Random(f"leak:{entry.name}:{j}")
        ctx = fh.Context(rng)
        cls = entry.target if entry.kind in ("method", "property", "slot") else None
        receiver = fh.FACTORIES[cls.__name__][0](rng, ctx) if cls is not None else None
        if entry.kind == "property":
            call = (getattr, [receiver, entry.attr], {})
        elif entry.kind == "restore":  # a saved state, corrupted on the error paths
            args = list(fh.reduced(fh.FACTORIES[entry.attr][0](rng, ctx))[1])
            if j % 2:
                args = list(fh.perturb(rng, tuple(args)))
            call = (entry.target, args, {})
        elif entry.kind == "slot":
            op, gens = fh.SLOTS[entry.attr]
            call = (op, [receiver] + [g(rng, ctx) for g in gens], {})
        else:
            fn = getattr(receiver, entry.attr) if entry.kind == "method" else entry.target
            params = entry.params or []
            args = [fh.GENERATORS[p.name](rng, ctx) for p in params]
            if j % 2 and params:  # an error path: garbage or a raising hook in one place
                k = rng.randrange(len(params))
                args[k] = fh.gen_garbage(rng, ctx) if rng.random() < 0.6 else \
                    fh.EvilNumber(fh.Hook(ctx, rng.choice(["raise_plain", "interrupt", "memory", "wrong_type"])))
            call = (fn, args, {})
        if ctx.mutating or any(isinstance(a, fh.EvilNumber) and a.hook.kind in ("reenter", "reenter_later") for a in call[1]):
            continue
        out.append(call)
    return out


def invoke(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except fh.PROPAGATING:
        pass
    except Exception:
        pass


def receiver_of(fn):
    owner = getattr(fn, "__self__", None)
    return [owner] if type(owner).__name__ in fh.FACTORIES else []


def tracked(objs):
    return [o for o in objs if not isinstance(o, UNTRACKED)]


def measure(calls):
    """(allocated blocks gained, heap bytes gained) over one round of calls."""
    gc.collect()
    blocks, heap = sys.getallocatedblocks(), heap_in_use()
    for call in calls:
        for _ in range(REPEATS):
            invoke(*call)
    gc.collect()
    return sys.getallocatedblocks() - blocks, None if heap is None else heap_in_use() - heap


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda e: e.name)
def test_no_leak(entry):
    calls = argument_sets(entry)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        # Warm-up: lazily created types and tables, interned names, caches.
        for call in calls:
            for _ in range(WARMUP):
                invoke(*call)
        watched = [o for fn, args, kwargs in calls
                   for o in tracked(list(args) + list(kwargs.values()) + receiver_of(fn))]
        gc.collect()
        refs = [sys.getrefcount(o) for o in watched]
        # The interpreter's free lists (up to 2000 tuples of each size, for
        # one) fill only when a burst of objects is freed at once, so they can
        # still grow for a few thousand calls; a leak grows in every round.
        for _ in range(4):
            grown, heap_grown = measure(calls)
            if grown <= BLOCK_SLACK and (heap_grown is None or heap_grown <= HEAP_SLACK):
                break
        after = [sys.getrefcount(o) for o in watched]
    total = len(calls) * REPEATS
    assert grown <= BLOCK_SLACK, f"{entry.name}: {grown} more allocated blocks after {total} calls"
    assert heap_grown is None or heap_grown <= HEAP_SLACK, f"{entry.name}: heap grew by {heap_grown} bytes"
    changed = [(type(o).__name__, r0, r1) for o, r0, r1 in zip(watched, refs, after) if r0 != r1]
    assert not changed, f"{entry.name}: input reference counts changed: {changed}"
