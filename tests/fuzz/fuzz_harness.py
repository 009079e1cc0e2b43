"""Garbage-argument fuzzer for every entry point of lumivander.

What is fuzzed is discovered, never listed: every public function of the
module and of its submodules (``linalg``, ``stats``, ``random``,
``spatial``), every class found there with its constructor, static methods,
methods and properties, and the operator and protocol slots in ``SLOTS``
(applied to every class: a class without the slot must simply refuse it).
Arguments come from each callable's text signature (``__text_signature__``):
every parameter name is looked up in ``GENERATORS``.

HOW TO EXTEND
-------------
* A new parameter name: add ONE line to ``GENERATORS`` mapping the name to a
  function ``(rng, ctx) -> value`` producing mostly plausible values (the
  harness mixes in garbage and evil objects by itself).  Reuse the ``gen_*``
  helpers below, e.g. ``"window": gen_size,``.  ``test_every_parameter_has_a_generator``
  names each entry point and parameter that lacks one.
* A new class: add ONE entry to ``FACTORIES`` mapping the class name to
  ``(make, probe)``: ``make(rng, ctx)`` returns a fresh valid instance (its
  methods are called on it), ``probe(obj)`` performs a cheap operation that
  must succeed, or at least not fail with the "Already borrowed" /
  "Already mutably borrowed" RuntimeError, after every call (a borrow flag
  left taken shows up there).  ``test_every_class_has_a_factory`` names each
  class that lacks one.

INVARIANTS checked after every call
-----------------------------------
* the call returned, or raised an ``Exception`` subclass that is not
  ``SystemError``; an interrupt or MemoryError raised by a hook of one of the
  arguments propagated as itself and was not replaced or swallowed;
* every ``Array`` in the result has as many elements as its shape says and
  converts to nested lists;
* no borrow flag is left taken: each ``Array``, generator, tree, ... that
  took part can be read (and an ``Array`` written) afterwards;
* no input ``Array`` changed, except through item assignment or a hook that
  mutates it.

Every call is rebuilt from ``(seed, index)`` alone, with fresh objects, so a
failure reported as "seed S call I" replays with ``replay(S, I)`` or
``python tests/fuzz/fuzz_harness.py --seed S --replay I``.  Long runs:
``LUMIVANDER_FUZZ_SECONDS=3600 python -m pytest tests/fuzz`` or
``python tests/fuzz/fuzz_harness.py --seconds 3600``.
"""
from __future__ import annotations

import array as _array
import copy
import gc
import inspect
import math
import operator
import pickle
import random
import sys
import time
import types
import warnings

import lumivander as lv

try:
    import numpy as np
except ImportError:  # NumPy inputs are then simply not generated
    np = None

SUBMODULES = ("linalg", "stats", "random", "spatial")
BORROW_MESSAGES = ("Already borrowed", "Already mutably borrowed")

# Sizes are either small or far past any allocation (2**41 doubles = 16 TB):
# a size in between would be a real multi-gigabyte allocation.
SMALL_LIMIT = 4096
HUGE_SIZES = [2**41, 2**45, 2**62, 2**63 - 1, 2**63, 2**64 - 1]
BOUNDARY_INTS = [0, 1, -1, 2, -2, 3, 2**31 - 1, 2**31, -2**31, 2**32, 2**53, 2**53 + 1, 2**62, 2**63 - 1,
                 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, 10**30, -10**30]
SPECIAL_FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, math.nan, -math.nan, math.inf, -math.inf, 5e-324, -5e-324,
                  2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308, 1e-300, 1e300,
                  9007199254740993.0, 1e16, 0.1]


# ---------------------------------------------------------------------------
# Hooks that misbehave.  Interrupts are raised as subclasses so the harness
# can tell them from a real Ctrl-C, which must always end the run.

class FuzzInterrupt(KeyboardInterrupt):
    pass


class FuzzExit(SystemExit):
    pass


class FuzzMemoryError(MemoryError):
    pass


PROPAGATING = (FuzzInterrupt, FuzzExit, FuzzMemoryError)


class Context:
    """The objects taking part in one call, for hooks to act on and for the
    invariants to inspect afterwards."""

    def __init__(self, rng):
        self.rng = rng
        self.objects = []       # instances of the library's classes used in the call
        self.containers = []    # Python lists passed (hooks may mutate them)
        self.fired = None       # the propagating exception a hook raised, if any
        self.mutating = False   # some hook may have changed an input
        self.reentrant = None   # callable re-entering the entry point under test
        self.has_big = False    # a large input is already part of the call
        self.planted = False    # garbage with a re-entering finaliser was made

    def note(self, obj):
        if type(obj).__name__ in FACTORIES:
            self.objects.append(obj)
        return obj

    def note_result(self, obj):
        """A restored object: its probe runs after the call, and it is put
        to work (a loader that accepts a bad state shows it there)."""
        self.note(obj)
        work = EXERCISE.get(type(obj).__name__)
        if work is not None:
            work(obj, self.rng)
        return obj

    def arrays(self):
        return [o for o in self.objects if isinstance(o, lv.Array)]


class Hook:
    """Behaviour of an evil object's hook: return a value, raise, or mutate
    something taking part in the call and then return."""

    def __init__(self, ctx, kind, value=1.0):
        self.ctx, self.kind, self.value = ctx, kind, value
        ctx.mutating = ctx.mutating or kind == "mutate"

    def __call__(self, convert):
        ctx, kind = self.ctx, self.kind
        if kind == "value":
            return convert(self.value)
        if kind == "raise_plain":
            raise ctx.rng.choice([ValueError, TypeError, OverflowError, RuntimeError, ZeroDivisionError])("hook")
        if kind in ("interrupt", "exit", "memory"):
            exc = {"interrupt": FuzzInterrupt, "exit": FuzzExit, "memory": FuzzMemoryError}[kind]("hook")
            if ctx.fired is None:
                ctx.fired = exc
            try:
                raise exc
            finally:
                del exc  # no frame -> exception -> traceback -> frame cycle
        if kind == "wrong_type":
            return ctx.rng.choice(["1.5", None, [1], 2**70, 1.5, 3])
        if kind == "mutate":
            mutate(ctx)
            return convert(self.value)
        if kind == "reenter_later":
            # Garbage whose finaliser re-enters, collected at the call's next
            # allocation of a tracked object (its answer, say) - where a
            # conversion hook never runs.
            if ctx.reentrant is not None:
                again, ctx.reentrant = ctx.reentrant, None
                Finalised(ctx, again).cycle_to_self()
                ctx.planted = True
                collect_at_next_allocation()
            return convert(self.value)
        if kind == "reenter":
            if ctx.reentrant is not None:
                again, ctx.reentrant = ctx.reentrant, None  # once
                try:
                    again()
                except PROPAGATING:
                    raise  # (FuzzMemoryError is an Exception too)
                except Exception:
                    pass
            return convert(self.value)
        raise AssertionError(kind)


class Finalised:
    """Cyclic garbage whose finaliser makes one call (errors swallowed: a
    finaliser's exception would only be printed, so what its hooks raise is
    not the outer call's business either)."""

    def __init__(self, ctx, call):
        self.ctx, self.call = ctx, call

    def cycle_to_self(self):
        self.me = self

    def __del__(self):
        call, self.call = self.call, None
        fired = self.ctx.fired
        try:
            call()
        except BaseException:  # noqa: BLE001 - nothing may escape a finaliser
            pass
        finally:
            self.ctx.fired = fired


_default_threshold = gc.get_threshold()


def collect_at_next_allocation():
    """Makes the collector run at the next allocation of a tracked object
    (on interpreters that collect at allocations); run_one restores it."""
    gc.set_threshold(gc.get_count()[0] or 1)


def mutate(ctx):
    """Changes something the running call may be reading."""
    rng = ctx.rng
    for _ in range(rng.randint(1, 3)):
        targets = ctx.objects + ctx.containers
        if not targets:
            return
        t = rng.choice(targets)
        try:
            if isinstance(t, list):
                rng.choice([t.clear, lambda: t.append(1.0), lambda: t.extend([2.0] * 50), t.reverse,
                            lambda: t.__delitem__(slice(None, None, 2))])()
            elif isinstance(t, lv.Array):
                n = len(t)
                if n and t.shape:
                    t[tuple(rng.randrange(s) for s in t.shape)] = rng.choice(SPECIAL_FLOATS)
                rng.choice([t.tolist, lambda: t.shape, lambda: t + 1.0, lambda: list(t), lambda: repr(t)])()
            else:
                probe = FACTORIES[type(t).__name__][1]
                probe(t)
        except Exception:
            pass  # a borrow conflict here is the expected outcome


class EvilNumber:
    """Numeric hooks (__float__, __index__, __int__) driven by a Hook."""

    def __init__(self, hook):
        self.hook = hook

    def __float__(self):
        return self.hook(float)

    def __index__(self):
        return self.hook(lambda v: int(v) if isinstance(v, (int, float)) and math.isfinite(v) else v)

    def __int__(self):
        return self.__index__()

    def __repr__(self):
        return f"EvilNumber({self.hook.kind})"


class EvilSequence:
    """A sequence whose __len__ lies and whose items, iteration or length
    misbehave."""

    def __init__(self, ctx, items, claimed, hook=None, where="item"):
        self.ctx, self.items, self.claimed, self.hook, self.where = ctx, items, claimed, hook, where

    def __len__(self):
        if self.hook is not None and self.where == "len":
            self.hook(int)
        return self.claimed

    def __getitem__(self, i):
        if self.hook is not None and self.where == "item":
            self.hook(float)
        return self.items[i]

    def __iter__(self):
        for i, x in enumerate(self.items):
            if self.hook is not None and self.where == "iter" and i == len(self.items) // 2:
                self.hook(float)
            yield x

    def __repr__(self):
        return f"EvilSequence(claimed={self.claimed!r}, n={len(self.items)}, where={self.where})"


class FloatSub(float):
    pass


class IntSub(int):
    pass


class ListSub(list):
    """A list whose iteration and length disagree with its contents."""

    def __iter__(self):
        return iter(list(super().__iter__())[::-1] + [4.0])

    def __len__(self):
        return 10**6


def gen_hook(rng, ctx, value=1.0):
    kind = rng.choice(["value", "raise_plain", "interrupt", "exit", "memory", "wrong_type", "mutate", "mutate",
                       "reenter", "reenter_later"])
    return Hook(ctx, kind, value)


def gen_evil(rng, ctx):
    """An object whose hooks raise, lie about lengths, return the wrong type,
    or mutate the objects taking part in the call."""
    r = rng.random()
    if r < 0.45:
        return EvilNumber(gen_hook(rng, ctx, rng.choice([1.0, 0.0, -1.0, 2.0, math.nan, 2**70])))
    items = [gen_float(rng) for _ in range(rng.randint(0, 4))]
    if r < 0.6:
        items = [EvilNumber(gen_hook(rng, ctx)) if rng.random() < 0.5 else x for x in items] or [1.0]
        ctx.containers.append(items)
        return items
    claimed = rng.choice([0, 1, len(items), 10**7, 2**62, -1, 2**100])
    hook = gen_hook(rng, ctx) if rng.random() < 0.7 else None
    return EvilSequence(ctx, items, claimed, hook, rng.choice(["len", "item", "iter"]))


# ---------------------------------------------------------------------------
# Value generators.  Each takes (rng, ctx) and returns one argument value.

def gen_float(rng, ctx=None):
    r = rng.random()
    if r < 0.7:
        return rng.uniform(-10, 10)
    if r < 0.9:
        return rng.choice(SPECIAL_FLOATS)
    return float(rng.randint(-5, 5))


def gen_number(rng, ctx=None):
    """A float-convertible number of some Python or NumPy type."""
    r = rng.random()
    if r < 0.55:
        return gen_float(rng)
    if r < 0.75:
        return rng.randint(-10, 10)
    if r < 0.82:
        return rng.choice(BOUNDARY_INTS)
    if r < 0.88:
        return rng.choice([True, False, FloatSub(gen_float(rng)), IntSub(rng.randint(-3, 3))])
    if np is not None and r < 0.96:
        return rng.choice([np.float64, np.float32, np.int64, np.int8, np.uint64, np.bool_])(rng.randint(0, 3))
    return rng.choice([1.0, 0.0, -1.0])


def gen_positive(rng, ctx=None):
    return rng.choice([0.5, 1.0, 2.0, 1e-3, 1e3, rng.uniform(0.01, 5)]) if rng.random() < 0.7 else gen_number(rng)


def gen_size(rng, ctx=None):
    """A non-negative size: small, or far too large to allocate."""
    r = rng.random()
    if r < 0.8:
        return rng.randint(0, 6)
    if r < 0.9:
        return rng.choice(HUGE_SIZES)
    return rng.choice([-1, -2**63, 2**64, 2**100, 1.0, True])


def gen_int(rng, ctx=None):
    """A signed integer: small, boundary, or past 64 bits."""
    r = rng.random()
    if r < 0.75:
        return rng.randint(-8, 8)
    return rng.choice(BOUNDARY_INTS + [-(2**41), 2**41])


def gen_k(rng, ctx=None):
    """A neighbour count: small, or so large that no rows x k answer fits.
    Sizes in between would make a batch query allocate (and fill) gigabytes."""
    r = rng.random()
    if r < 0.75:
        return rng.randint(-8, 8)
    return rng.choice([k for k in BOUNDARY_INTS if k < 64 or k >= 2**62] + [2**41, 2**45])


def gen_seed(rng, ctx=None):
    return rng.choice([0, 1, 42, 2**64 - 1, 2**63, rng.getrandbits(64), -1, 2**64]) if rng.random() < 0.5 \
        else rng.getrandbits(64)


def gen_shape(rng, ctx=None):
    """A sequence of sizes whose element count is small, zero, or absurd."""
    r = rng.random()
    if r < 0.75:
        dims = [rng.randint(0, 5) for _ in range(rng.choice([0, 1, 1, 2, 2, 3, 4]))]
    elif r < 0.9:
        dims = [rng.randint(0, 3) for _ in range(rng.randint(0, 3))]
        dims.insert(rng.randint(0, len(dims)), rng.choice(HUGE_SIZES))
        if rng.random() < 0.3:
            dims.append(0)
    else:
        dims = [rng.choice([-1, 2**64, 2**100, 1.5, "2", None])] + [rng.randint(0, 3)]
    count = 1
    for d in dims:
        count *= d if isinstance(d, int) and d >= 0 else 1
    if SMALL_LIMIT < count < 2**41:
        dims = [2, 3]
    return rng.choice([list, tuple, list, lambda d: ListSub(d), lambda d: EvilSequence(None, d, 10**7)])(dims)


def small_shape(rng, max_ndim=3):
    ndim = rng.choice([0, 1, 1, 2, 2, 2, 3][: max_ndim + 4])
    return [rng.randint(0, 4) for _ in range(ndim)]


_big = {}


def big(kind):
    """Large inputs (past the sizes where operations sample, split across
    threads or release the interpreter lock), built once per process; callers
    get fresh copies."""
    if kind not in _big:
        r = random.Random(kind)
        shape = {"vector": [20_011], "matrix": [150, 140], "points": [3000, 3]}[kind]
        n = math.prod(shape)
        _big[kind] = lv.Array(shape, [r.uniform(-3, 3) if r.random() < 0.999 else math.nan for _ in range(n)])
    return _big[kind] * 1.0


def maybe_big(rng, ctx, kinds):
    """Now and then one large input per call (two would make products such
    as outer(v, v) gigabytes), never handed out again as an existing array."""
    if ctx.has_big or rng.random() >= 0.01:
        return None
    ctx.has_big = True
    return big(rng.choice(kinds))


def new_array(rng, ctx, shape=None):
    shape = small_shape(rng) if shape is None else shape
    n = math.prod(shape)
    values = [gen_float(rng) for _ in range(n)]
    if n and rng.random() < 0.2:
        values = [rng.choice(SPECIAL_FLOATS)] * n
    if rng.random() < 0.03:
        shape = rng.choice([[0, 2**59], [2**58, 0], [0] * 40, [1] * 32])
        values = [1.0] * math.prod(shape)
    return ctx.note(lv.Array(shape, values))


def shared(rng, cname):
    """In a threaded run, now and then an object that every thread uses."""
    pool = SHARED.get(cname)
    if pool and rng.random() < 0.3:
        return rng.choice(pool)
    return None


def gen_array(rng, ctx, allow_big=True):
    """An Array (often one already taking part in the call), else an
    array-like of another kind."""
    s = shared(rng, "Array")
    if s is not None:
        return s
    b = maybe_big(rng, ctx, ["vector", "vector", "matrix"]) if allow_big else None
    if b is not None:
        return b  # not noted: the probes would copy it at every call
    r = rng.random()
    if r < 0.12 and ctx.arrays():
        return rng.choice(ctx.arrays())
    if r < 0.75:
        return new_array(rng, ctx)
    if r < 0.85:
        return gen_float_list(rng, ctx)
    if r < 0.93 and np is not None:
        return gen_numpy(rng, ctx)
    return gen_number(rng)


def gen_matrix(rng, ctx):
    """Square, symmetric positive definite, rectangular or odd-shaped."""
    r = rng.random()
    if r < 0.15 and ctx.arrays():
        return rng.choice(ctx.arrays())
    if r < 0.55:
        n = rng.randint(0, 5)
        m = [[gen_float(rng) for _ in range(n)] for _ in range(n)]
        if rng.random() < 0.5:  # M Mt + n I is positive definite
            m = [[sum(m[i][k] * m[j][k] for k in range(n)) + (n if i == j else 0) for j in range(n)]
                 for i in range(n)]
        return ctx.note(lv.Array([n, n], [x for row in m for x in row]))
    if r < 0.8:
        return new_array(rng, ctx, [rng.randint(0, 5), rng.randint(0, 5)])
    return gen_array(rng, ctx)


def gen_points(rng, ctx):
    """A point set for a spatial index: n x d, often with duplicates."""
    s = shared(rng, "points")
    if s is not None:
        return s
    b = maybe_big(rng, ctx, ["points"])
    if b is not None:
        return b
    r = rng.random()
    if r < 0.85:
        n, d = rng.choice([0, 1, 2, 3, 5, 8, 20, 40]), rng.choice([0, 1, 1, 2, 2, 3, 4])
        if rng.random() < 0.2:  # every point identical
            row = [gen_float(rng) for _ in range(d)]
            values = row * n
        elif rng.random() < 0.3:  # few distinct values
            values = [float(rng.randint(0, 2)) for _ in range(n * d)]
        else:
            values = [rng.uniform(-5, 5) if rng.random() < 0.95 else rng.choice(SPECIAL_FLOATS)
                      for _ in range(n * d)]
        return ctx.note(lv.Array([n, d], values))
    return gen_array(rng, ctx)


def gen_float_list(rng, ctx):
    items = [gen_number(rng) for _ in range(rng.randint(0, 6))]
    kind = rng.random()
    if kind < 0.7:
        ctx.containers.append(items)
        return items
    if kind < 0.85:
        return tuple(items)
    return rng.choice([ListSub(items), _array.array("d", [float(x) for x in items]),
                       bytes(rng.randint(0, 255) for _ in items)])


def gen_vec_or_array(rng, ctx):
    # Never a large vector: diag(v) is len(v)**2 elements.
    return gen_float_list(rng, ctx) if rng.random() < 0.4 else gen_array(rng, ctx, allow_big=False)


def gen_array_or_scalar(rng, ctx):
    r = rng.random()
    if r < 0.45:
        return rng.choice([0.0, 0.25, 0.5, 1.0, -0.0, 1.5, -0.5, math.nan, rng.random()])
    if r < 0.8:
        arr = new_array(rng, ctx, small_shape(rng))
        return arr
    return gen_array(rng, ctx)


def gen_index_list(rng, ctx):
    items = [rng.choice([0, 1, 2, 3, 5, 100]) if rng.random() < 0.85 else rng.choice(BOUNDARY_INTS)
             for _ in range(rng.randint(0, 5))]
    return rng.choice([list, tuple, list])(items)


def gen_array_list(rng, ctx):
    rows = rng.choice([0, 1, 2, 3])
    items = [new_array(rng, ctx, rng.choice([[rows], [rows, rng.randint(0, 3)], small_shape(rng)]))
             for _ in range(rng.randint(0, 4))]
    if rng.random() < 0.2:
        items.insert(rng.randint(0, len(items)), rng.choice([[1.0], 1.0, None, "a"]))
    ctx.containers.append(items)
    return items


def gen_query(rng, ctx):
    r = rng.random()
    if r < 0.3:
        return [gen_float(rng) for _ in range(rng.randint(0, 4))]
    if r < 0.5:
        return gen_number(rng)
    if r < 0.75:
        return new_array(rng, ctx, rng.choice([[rng.randint(0, 4)], [1, rng.randint(0, 4)], small_shape(rng)]))
    if r < 0.85 and np is not None:
        return np.array([gen_float(rng) for _ in range(rng.randint(0, 4))])
    return rng.choice(["abc", None, [[1.0]], {1: 2}])


def gen_queries(rng, ctx):
    r = rng.random()
    if r < 0.2:
        return None
    if r < 0.35 and np is not None:  # query rows of the batch methods
        return gen_numpy(rng, ctx) if rng.random() < 0.5 else np.random.default_rng(rng.randrange(99)).random(
            (rng.randint(0, 40), rng.randint(0, 4)))
    return gen_query(rng, ctx)


def gen_name(*valid):
    def gen(rng, ctx=None):
        r = rng.random()
        if r < 0.7:
            name = rng.choice(valid)
            return rng.choice([name, name, name.upper(), name.title()])
        return rng.choice(["", "nope", "\ud800", valid[0] + "\x00", "\u0130" + valid[0], valid[0] * 1000,
                           None, 1, b"euclidean"])
    return gen


def gen_numpy(rng, ctx=None):
    """NumPy arrays of odd dtypes, orders, strides and sizes."""
    shape = tuple(rng.randint(0, 4) for _ in range(rng.choice([0, 1, 2, 2, 3])))
    base = np.array(np.arange(math.prod(shape), dtype=np.float64).reshape(shape) * rng.choice([1.0, -0.5, np.nan]))
    r = rng.random()
    if r < 0.3:
        return base
    if r < 0.45:
        return np.asfortranarray(base)
    if r < 0.6 and base.ndim:
        return base[..., ::2] if rng.random() < 0.5 else base[::-1]
    if r < 0.7:
        return base.T
    if r < 0.85:
        return base.astype(rng.choice([np.float32, np.int64, np.bool_, np.complex128, object, ">f8", np.uint8]))
    if r < 0.92:
        arr = base.copy()
        arr.flags.writeable = False
        return arr
    return rng.choice([np.float64(1.5), np.int64(3), np.zeros((0, 3)), np.zeros((2,) * 8),
                       np.zeros(3, dtype=[("x", "f8")]), np.broadcast_to(np.ones(1), (4,))])


def gen_bool(rng, ctx=None):
    return rng.choice([True, False, 0, 1, None])


# One line per parameter name.  Kept sorted; see the module docstring.
# NumPy functions for Array.__array_function__ (NumPy passes one of its own).
NUMPY_FUNCS = [] if np is None else [np.sum, np.mean, np.std, np.any, np.concatenate, np.stack, np.where,
                                     np.linalg.norm, np.shape]
NUMPY_TYPES = () if np is None else (np.ndarray,)

GENERATORS = {
    "a": gen_matrix,
    "alpha": gen_positive,
    "arr": lambda rng, ctx: gen_numpy(rng, ctx) if np is not None else gen_array(rng, ctx),
    "array": gen_points,
    "arrays": gen_array_list,
    "b": gen_matrix,
    "bandwidth": gen_positive,
    "beta_param": gen_positive,
    "criterion": gen_name("none", "min_samples", "max_span", "combined"),
    "data": gen_vec_or_array,
    "dim": gen_size,
    "fill_value": gen_number,
    "func": lambda rng, ctx: rng.choice(NUMPY_FUNCS + [len, None, "sum", gen_garbage(rng, ctx)]),
    "types": lambda rng, ctx: rng.choice([(lv.Array,), (lv.Array,) + NUMPY_TYPES, (), (int,), [lv.Array], None,
                                          gen_garbage(rng, ctx)]),
    "args": lambda rng, ctx: rng.choice([(gen_array(rng, ctx),), ([gen_array(rng, ctx), gen_array(rng, ctx)],),
                                         (gen_array(rng, ctx), 0), (), [gen_array(rng, ctx)], gen_garbage(rng, ctx)]),
    "kwargs": lambda rng, ctx: rng.choice([{}, {"axis": 0}, {"axis": -1, "keepdims": True}, {"out": None}, None,
                                           {1: 2}, {"axis": gen_garbage(rng, ctx)}]),
    "copy": lambda rng, ctx: rng.choice([None, True, False, 0, "yes"]),
    "count_only": gen_bool,
    "dtype": lambda rng, ctx: rng.choice([None, "float64", "f4", "i8", object, "complex128", "S3", "nope"]),
    "high": lambda rng, ctx: rng.choice([gen_int, gen_number, gen_int])(rng),
    "indices": gen_index_list,
    "k": gen_k,
    "kernel": gen_name("gaussian", "epanechnikov", "uniform", "triangular"),
    "l": gen_matrix,
    "leaf_size": gen_size,
    "low": lambda rng, ctx: rng.choice([gen_int, gen_number, gen_int])(rng),
    "lower": gen_bool,
    "m": gen_size,
    "max": gen_number,
    "max_iter": lambda rng, ctx: rng.choice([0, 1, 2, 10, 100, 1000, -1, 2**64, 1.0]),
    "max_span": gen_positive,
    "memo": lambda rng, ctx: rng.choice([{}, None, {1: 2}, []]),
    "metric": gen_name("euclidean", "manhattan", "chebyshev"),
    "min": gen_number,
    "min_samples": gen_size,
    "normalize": gen_bool,
    "mu": gen_number,
    "n": gen_size,
    "offset": gen_size,
    "other": gen_array,
    "protocol": lambda rng, ctx: rng.choice([0, 1, 2, 3, 4, 5, -1, 6, 2**64, None, 2.0]),
    "q": gen_array_or_scalar,
    "queries": gen_queries,
    "query": gen_query,
    "radius": gen_positive,
    "rtol": lambda rng, ctx: rng.choice([0.0, 0.0, 1e-12, 1e-6, 1e-2, 0.5, 10.0, -1e-3, math.nan, math.inf]),
    "scale": gen_positive,
    "seed": gen_seed,
    "selection": gen_name("first", "random"),
    "shape": gen_shape,
    "shape_param": gen_positive,
    "sigma": gen_positive,
    "tol": lambda rng, ctx: rng.choice([1e-10, 1e-3, 0.0, -1.0, math.nan, math.inf, 1, 1e-300]),
    "unit_diagonal": gen_bool,
    "v": gen_vec_or_array,
    "workers": lambda rng, ctx: rng.choice([None, None, 1, 2, -1, 0, -2, 2**64, 1.5, "all"]),
}


def gen_garbage(rng, ctx):
    """Anything at all."""
    r = rng.random()
    if r < 0.15:
        return gen_evil(rng, ctx)
    if r < 0.25 and np is not None:
        return gen_numpy(rng, ctx)
    if r < 0.35:
        return new_array(rng, ctx)
    pool = [None, True, False, 0, -1, 1, 2**63, -2**63 - 1, 2**64, 10**100, 0.0, -0.0, math.nan, math.inf,
            -math.inf, "", "abc", "\ud800", "1.5", b"", b"ab", bytearray(b"\x00\x01"), [], [[]], [1, [2]],
            [1.0, "a"], ["x"], [None], (), (1.0,), ((1, 2), (3, 4)), {}, {1: 2}, {"a": 1}, set(), frozenset([1]),
            object(), lambda: 0, int, lv.Array, range(3), range(0), slice(1, 2), Ellipsis, NotImplemented,
            # small byte values: as a shape, b"abcd" would be 94 million elements
            memoryview(b"\x01\x02\x03\x04"), 1j, complex(math.nan, 1), FloatSub(2.5), IntSub(7), ListSub([1.0, 2.0]),
            [math.nan] * 3, [[1.0, 2.0], [3.0, 4.0]], [2**70], [-1], [1e308, -1e308]]
    return rng.choice(pool)


# ---------------------------------------------------------------------------
# Classes: how to make an instance, and a cheap operation that must not find
# a borrow flag taken.

# Past the sizes at which a thread keeps its query scratch (kNN candidates,
# answer rows) for the next call; the single-query methods run on such trees
# now and then (the others would answer 70,000 rows per query).
BIG_TREE_ROWS = 70_000
BIG_TREE_METHODS = ("query_knn", "query_radius")
_big_trees = {}


def big_tree(cls, rng):
    """A tree of BIG_TREE_ROWS points with many ties, built once per process
    and metric (trees never change, so calls may share one)."""
    metric = rng.choice(["euclidean", "manhattan", "chebyshev"])
    key = (cls.__name__, metric)
    if key not in _big_trees:
        values = [float(i * 2654435761 % 4093 % 50) for i in range(BIG_TREE_ROWS * 2)]
        _big_trees[key] = cls.from_array(lv.Array([BIG_TREE_ROWS, 2], values), 20, metric)
    return _big_trees[key]


def make_tree(cls):
    def make(rng, ctx):
        for _ in range(4):
            points = gen_points(rng, ctx) if rng.random() < 0.7 else None
            if not isinstance(points, lv.Array):
                n, d = rng.choice([(5, 2), (12, 3), (30, 1)])
                points = lv.Array([n, d], [rng.uniform(-3, 3) for _ in range(n * d)])
            kwargs = {"leaf_size": rng.choice([1, 2, 3, 5, 20]),
                      "metric": rng.choice(["euclidean", "manhattan", "chebyshev"])}
            if "selection" in signature_names(cls.from_array):
                kwargs["selection"] = rng.choice(["first", "random"])
            try:
                return ctx.note(cls.from_array(points, **kwargs))
            except Exception:  # points this tree refuses (or a [0, 2**59] array): try others
                continue
        return ctx.note(cls.from_array(lv.Array([4, 2], [0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 1.0, 1.0])))
    return make


def probe_array(x):
    x.shape  # shared borrow
    if x.shape:
        try:
            x[()] = 0.0  # exclusive borrow; fails on the index count, never writes
        except ValueError:
            pass
    else:
        x[()] = x[()]


def probe_tree(t):
    try:
        t.query_knn(0.0, 0)
    except ValueError:
        pass


def make_iter(rng, ctx):
    it = iter(new_array(rng, ctx))
    for _ in range(rng.randint(0, 2)):
        next(it, None)
    return ctx.note(it)


def exercise_tree(t, rng):
    dim = None
    for q in ([0.0], [0.0, 0.0], [0.0, 0.0, 0.0], [0.0] * 4, 0.0, []):
        try:
            t.query_knn(q, 1)
            dim = len(q) if isinstance(q, list) else 1
            break
        except ValueError:
            continue
    if dim is None:
        return
    def batch(q):
        # A few rows, or enough to be searched in locality order, some of them
        # NaN, infinite or huge.
        rows = np.array([q] * rng.choice([rng.randint(0, 70), 600])).reshape(-1, dim)
        for _ in range(rng.randint(0, 4)):
            if len(rows):
                rows[rng.randrange(len(rows)), rng.randrange(dim) if dim else 0:] = rng.choice(
                    [math.nan, math.inf, -1e308, rng.uniform(-5, 5)])
        return rows

    for _ in range(3):
        q = [rng.uniform(-5, 5) for _ in range(dim)]
        for call in (lambda: t.query_knn(q, rng.choice([0, 1, 3, 50])), lambda: t.query_radius(q, rng.uniform(0, 3)),
                     lambda: getattr(t, "kernel_density", lambda *a: None)(None),
                     lambda: np is not None and t.query_knn_batch(batch(q), rng.choice([0, 1, 3, 50])),
                     lambda: np is not None and t.query_radius_batch(batch(q), rng.uniform(0, 3), rng.random() < 0.5),
                     lambda: t.__reduce__()):
            try:
                call()
            except ValueError:
                pass


def exercise_array(a, rng):
    a.tolist()
    a + 1.0


# Optional: operations run on an object a loader accepted.
EXERCISE = {
    "Array": exercise_array,
    "Generator": lambda g, rng: g.uniform(0.0, 1.0, [8]),
    "KDTree": exercise_tree,
    "BallTree": exercise_tree,
    "VPTree": exercise_tree,
}

FACTORIES = {
    "Array": (lambda rng, ctx: ctx.note(maybe_big(rng, ctx, ["vector", "matrix"]) or new_array(rng, ctx)),
              probe_array),
    "PyArrayIter": (make_iter, lambda it: next(it, None)),
    "Generator": (lambda rng, ctx: ctx.note(lv.random.Generator.from_seed(rng.getrandbits(64))),
                  lambda g: g.uniform(0.0, 1.0, [])),
    "KDTree": (lambda rng, ctx: make_tree(lv.spatial.KDTree)(rng, ctx), probe_tree),
    "BallTree": (lambda rng, ctx: make_tree(lv.spatial.BallTree)(rng, ctx), probe_tree),
    "VPTree": (lambda rng, ctx: make_tree(lv.spatial.VPTree)(rng, ctx), probe_tree),
}


# ---------------------------------------------------------------------------
# Operator and protocol slots, applied to an instance of every class.

def gen_operand(rng, ctx):
    r = rng.random()
    if r < 0.4:
        return gen_array(rng, ctx)
    if r < 0.7:
        return gen_number(rng)
    return gen_garbage(rng, ctx)


def gen_subscript(rng, ctx):
    r = rng.random()
    if r < 0.35:
        return gen_int(rng)
    if r < 0.55:
        return tuple(gen_int(rng) for _ in range(rng.randint(0, 4)))
    if r < 0.75:
        parts = [None, 0, 1, -1, 2, 3, -2**63, 2**63 - 1, 2**63, -2**64, 2**80, -2**80]
        return slice(rng.choice(parts), rng.choice(parts), rng.choice(parts + [0, -1, 2**63 - 1, -(2**63)]))
    if r < 0.85:
        return gen_evil(rng, ctx)
    return gen_garbage(rng, ctx)


def _setitem(x, i, v):
    x[i] = v


def _delitem(x, i):
    del x[i]


def _setattr_shape(x, v):
    x.shape = v


# name -> (operation, generators for the operands after the instance)
SLOTS = {
    "+": (operator.add, [gen_operand]), "-": (operator.sub, [gen_operand]),
    "*": (operator.mul, [gen_operand]), "/": (operator.truediv, [gen_operand]),
    "@": (operator.matmul, [gen_operand]), "**": (operator.pow, [gen_operand]),
    "//": (operator.floordiv, [gen_operand]), "%": (operator.mod, [gen_operand]),
    "r+": (lambda x, y: y + x, [gen_operand]), "r-": (lambda x, y: y - x, [gen_operand]),
    "r*": (lambda x, y: y * x, [gen_operand]), "r/": (lambda x, y: y / x, [gen_operand]),
    "r@": (lambda x, y: y @ x, [gen_operand]),
    "+=": (lambda x, y: operator.iadd(x, y), [gen_operand]),
    "neg": (operator.neg, []), "pos": (operator.pos, []), "abs": (abs, []), "~": (operator.invert, []),
    "<": (operator.lt, [gen_operand]), "==": (operator.eq, [gen_operand]), "!=": (operator.ne, [gen_operand]),
    ">=": (operator.ge, [gen_operand]),
    "[]": (operator.getitem, [gen_subscript]), "[]=": (_setitem, [gen_subscript, gen_operand]),
    "del[]": (_delitem, [gen_subscript]), "in": (lambda x, y: y in x, [gen_operand]),
    "len": (len, []), "iter": (lambda x: list(iter(x))[:100], []), "next": (next, []),
    "repr": (repr, []), "str": (str, []), "hash": (hash, []), "bool": (bool, []),
    "float": (float, []), "int": (int, []), "index": (operator.index, []),
    "copy": (copy.copy, []), "pickle": (pickle.dumps, []), "format": (format, [lambda r, c: r.choice(["", "x"])]),
    "shape=": (_setattr_shape, [gen_shape]),
}


# ---------------------------------------------------------------------------
# Discovery

def signature_names(fn):
    return [p.name for p in parameters(fn)]


def parameters(fn):
    """Parameters from the text signature, without self; None if there is
    no text signature."""
    text = getattr(fn, "__text_signature__", None)
    if text is None:
        return None
    params = list(inspect.signature(fn).parameters.values())
    if params and text.startswith(("($self", "($type", "($cls", "($module")):
        params = params[1:]
    return params


class EntryPoint:
    """One fuzzed callable: a function, a constructor, a static or instance
    method, a property, or an operator slot of a class."""

    def __init__(self, name, kind, target, attr=None, params=None):
        self.name, self.kind, self.target, self.attr, self.params = name, kind, target, attr, params

    def __repr__(self):
        return f"<{self.kind} {self.name}>"


def discover():
    """All entry points and classes, in a stable order."""
    modules = [("", lv)] + [(s + ".", getattr(lv, s)) for s in SUBMODULES if hasattr(lv, s)]
    entries, classes = [], {}
    for prefix, mod in modules:
        for attr in sorted(dir(mod)):
            if attr.startswith("_"):
                continue
            obj = getattr(mod, attr)
            if isinstance(obj, type):
                classes.setdefault(obj.__name__, obj)
            elif isinstance(obj, types.ModuleType):
                continue
            elif callable(obj):
                entries.append(EntryPoint(prefix + attr, "function", obj, params=parameters(obj)))
    # Classes reached only through results (the array iterator) are found as
    # the type of what iterating an Array returns.
    it_type = type(iter(lv.Array([1], [0.0])))
    classes.setdefault(it_type.__name__, it_type)
    for cname in sorted(classes):
        cls = classes[cname]
        entries.append(EntryPoint(cname, "constructor", cls, params=parameters(cls)))
        for attr in sorted(cls.__dict__):
            raw = cls.__dict__[attr]
            # Dunder methods written as methods (__reduce_ex__, __array__)
            # are fuzzed like any method; slot wrappers go through SLOTS.
            if attr.startswith("_") and not (attr.startswith("__") and type(raw).__name__ == "method_descriptor"):
                continue
            qual = f"{cname}.{attr}"
            if isinstance(raw, (staticmethod, classmethod)) or type(raw).__name__ == "classmethod_descriptor":
                fn = getattr(cls, attr)
                entries.append(EntryPoint(qual, "static", fn, params=parameters(fn)))
            elif callable(raw):
                entries.append(EntryPoint(qual, "method", cls, attr, params=parameters(raw)))
            else:
                entries.append(EntryPoint(qual, "property", cls, attr, params=[]))
        for slot in SLOTS:
            entries.append(EntryPoint(f"{cname} {slot}", "slot", cls, slot, params=[]))
        restore = restorer(cname)
        if restore is not None and all(e.target is not restore for e in entries):
            entries.append(EntryPoint(f"{restore.__name__} (restores {cname})", "restore", restore, cname,
                                      params=parameters(restore)))
    return entries, classes


def reduced(obj):
    """(callable, args) by which pickle would rebuild obj, or None."""
    try:
        r = obj.__reduce_ex__(2)
    except Exception:
        return None
    if isinstance(r, tuple) and len(r) >= 2 and callable(r[0]) and isinstance(r[1], tuple):
        return r[0], r[1]
    return None


def restorer(cname):
    """The library function that unpickles instances of a class, found by
    pickling one; loaders of untrusted bytes are prime fuzz targets."""
    if cname not in FACTORIES:
        return None
    rng = random.Random(cname)
    r = reduced(FACTORIES[cname][0](rng, Context(rng)))
    if r is None or not isinstance(r[0], types.BuiltinFunctionType) or r[0].__self__ is not None and \
            not isinstance(r[0].__self__, types.ModuleType):
        return None
    return r[0] if getattr(r[0], "__text_signature__", None) else None


def perturb(rng, value, depth=0):
    """A saved state with something wrong in it: bytes flipped, cut,
    extended, 8-byte words overwritten with boundary values; numbers and
    containers altered."""
    if isinstance(value, pickle.PickleBuffer):
        value = bytes(value.raw())
    if isinstance(value, (bytes, bytearray)):
        b = bytearray(value)
        for _ in range(rng.choice([1, 1, 1, 2, 3])):
            r = rng.random()
            if r < 0.35 and len(b) >= 8:  # one aligned word: counts, indices, flags, doubles
                i = rng.randrange(len(b) // 8) * 8
                word = rng.choice([0, 1, 2, 3, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64 - 2,
                                   int.from_bytes(b[i:i + 8], "little") + rng.choice([-1, 1, 2, -2])]) % 2**64
                if rng.random() < 0.2:
                    word = int.from_bytes(_array.array("d", [rng.choice(SPECIAL_FLOATS)]).tobytes(), "little")
                b[i:i + 8] = word.to_bytes(8, "little")
            elif r < 0.6 and b:
                i = rng.randrange(len(b))
                b[i] = rng.choice([0, 1, 0xFF, 0x80, b[i] ^ (1 << rng.randrange(8))])
            elif r < 0.75:
                del b[rng.randrange(len(b) + 1):]
            elif r < 0.85:
                b += bytes(rng.choice([1, 7, 8, 16, 64]))
            elif r < 0.92 and b:
                i, j = sorted(rng.randrange(len(b) + 1) for _ in range(2))
                b[i:i] = b[i:j]
            else:
                b = bytearray()
        return rng.choice([bytes, bytes, bytes, bytearray, memoryview])(b)
    if isinstance(value, bool) or value is None:
        return rng.choice([None, 0, 1, True])
    if isinstance(value, int):
        return rng.choice([value, value + 1, value - 1, 0, -1, 2**63, 2**64, 1.0, "1"])
    if isinstance(value, (tuple, list)) and depth < 3:
        items = list(value)
        r = rng.random()
        if r < 0.7 and items:
            i = rng.randrange(len(items))
            items[i] = perturb(rng, items[i], depth + 1)
        elif r < 0.8 and items:
            items.pop(rng.randrange(len(items)))
        elif r < 0.9:
            items.append(rng.choice([0, b"", None]))
        else:
            return list(items) if isinstance(value, tuple) else tuple(items)
        return type(value)(items)
    return gen_garbage(rng, None)


def missing_generators(entries):
    """(entry point, parameter) pairs whose parameter name has no generator."""
    out = []
    for e in entries:
        if e.kind in ("function", "static", "method") and e.params is None:
            out.append((e.name, "<no text signature>"))
        if e.kind == "restore":
            continue  # its arguments are saved states, perturbed
        for p in e.params or []:
            if p.name not in GENERATORS:
                out.append((e.name, p.name))
    return out


# ---------------------------------------------------------------------------
# One call

class Violation(AssertionError):
    pass


# Parameters that are an amount of work: a valid huge value (2**63 from the
# garbage pool) would only make the call run for ages, so it is capped.
WORK_LIMITS = {"max_iter": 5000}


def build_args(rng, ctx, params):
    """Positional and keyword arguments for the parameters; now and then the
    wrong number of them or an unknown keyword."""
    args, kwargs = [], {}
    by_keyword = False
    for p in params:
        optional = p.default is not inspect.Parameter.empty
        by_keyword = by_keyword or p.kind == inspect.Parameter.KEYWORD_ONLY
        if optional and rng.random() < 0.3:
            by_keyword = True  # later ones must be passed by name
            continue
        r = rng.random()
        if r < 0.8:
            value = GENERATORS[p.name](rng, ctx)
        elif r < 0.85 and optional:
            value = None
        elif r < 0.94:
            value = gen_garbage(rng, ctx)
        else:
            value = gen_evil(rng, ctx)
        limit = WORK_LIMITS.get(p.name)
        if limit is not None and isinstance(value, int) and limit < value < 2**64:
            value = limit
        if by_keyword or rng.random() < 0.25:
            by_keyword = True
            kwargs[p.name] = value
        else:
            args.append(value)
    r = rng.random()
    if r < 0.02:
        value = gen_garbage(rng, ctx)
        # It may land on a parameter passed by name or left out, a work amount among them.
        limits = [WORK_LIMITS[p.name] for p in params if p.name in WORK_LIMITS]
        if limits and isinstance(value, int) and min(limits) < value < 2**64:
            value = min(limits)
        args.append(value)
    elif r < 0.04:
        kwargs[rng.choice(["bogus", "\ud800", "self", "shape", "a"])] = 1
    elif r < 0.06 and args:
        args.pop()
    return args, kwargs


def snapshot(ctx):
    """The bytes of every Array taking part, to detect changes."""
    out = []
    for a in ctx.arrays():
        try:
            out.append((a, tuple(a.shape), _array.array("d", list(a)).tobytes()))
        except RuntimeError:
            out.append((a, None, None))
    return out


def check_result(value, depth=0):
    if isinstance(value, lv.Array):
        shape = value.shape
        if not all(isinstance(s, int) and s >= 0 for s in shape):
            raise Violation(f"bad shape {shape!r}")
        if len(value) != math.prod(shape):
            raise Violation(f"element count {len(value)} != product of shape {shape}")
        if len(value) <= SMALL_LIMIT:
            try:
                value.tolist()
            except MemoryError:
                pass  # shape [2**62, 0]: that many empty lists cannot exist
    elif isinstance(value, (tuple, list)) and depth < 2:
        for v in value[:50]:
            check_result(v, depth + 1)


_schedules = {}


def schedule(entries):
    """Entry points weighted for random picking: an operator slot (most of
    which a class simply refuses) a quarter as often as a named callable."""
    key = id(entries)
    if key not in _schedules:
        _schedules[key] = (entries, [e for e in entries for _ in range(1 if e.kind == "slot" else 4)])
    return _schedules[key][1]


def make_call(seed, index, entries):
    """The entry point and a zero-argument function performing call `index`
    of run `seed`, with the context describing it."""
    rng = random.Random(f"{seed}:{index}")
    ctx = Context(rng)
    entry = entries[index] if index < len(entries) else rng.choice(schedule(entries))
    cls = entry.target if entry.kind in ("method", "property", "slot") else None
    receiver = None
    if cls is not None:
        receiver = shared(rng, cls.__name__)
        if entry.attr in BIG_TREE_METHODS and rng.random() < 0.05:
            receiver = ctx.note(big_tree(cls, rng))
        if receiver is None:
            receiver = FACTORIES[cls.__name__][0](rng, ctx)
    if entry.kind == "property":
        if rng.random() < 0.8:
            return entry, ctx, (lambda: getattr(receiver, entry.attr)), f"{entry.name} read"
        value = gen_garbage(rng, ctx)
        return entry, ctx, (lambda: setattr(receiver, entry.attr, value)), f"{entry.name} = {value!r}"
    if entry.kind == "slot":
        op, gens = SLOTS[entry.attr]
        operands = [g(rng, ctx) for g in gens]
        return entry, ctx, (lambda: op(receiver, *operands)), f"{entry.name} {operands!r}"
    if entry.kind == "restore":
        state = reduced(FACTORIES[entry.attr][0](rng, ctx))
        args = list(state[1]) if state else []
        r = rng.random()
        blobs = [i for i, a in enumerate(args) if isinstance(a, (bytes, bytearray, pickle.PickleBuffer))]
        if r < 0.75 and blobs:  # mostly the saved bytes themselves
            i = rng.choice(blobs)
            args[i] = perturb(rng, args[i])
        elif r < 0.9:
            args = list(perturb(rng, tuple(args)))
        fn = entry.target
        return entry, ctx, (lambda: ctx.note_result(fn(*args))), f"{entry.name}(*{args!r})"
    if entry.params is None:  # a class without constructor, say
        args, kwargs = [gen_garbage(rng, ctx) for _ in range(rng.randint(0, 2))], {}
    else:
        args, kwargs = build_args(rng, ctx, entry.params)
    fn = getattr(receiver, entry.attr) if entry.kind == "method" else entry.target
    ctx.reentrant = lambda: fn(*args, **kwargs)
    if entry.kind == "method" and hasattr(receiver, "query_knn") and rng.random() < 0.5:
        # Re-entry asking a large tree of the same class for every point,
        # then for one.
        def ctx_reentrant(tree=big_tree(type(receiver), rng)):
            q = [0.5] * tree.dim
            tree.query_knn(q, 2**62)
            tree.query_radius(q, 1e300)
            tree.query_knn(q, 1)
        ctx.reentrant = ctx_reentrant
    return entry, ctx, (lambda: fn(*args, **kwargs)), f"{entry.name}(*{args!r}, **{kwargs!r})"


def describe(text, limit=600):
    return text if len(text) <= limit else text[:limit] + "..."


def caused_by(exc, cause):
    """Whether exc was raised `from` cause, directly or through a chain.
    NumPy functions reached through __array_function__ turn some errors of
    the arguments' own methods into their own (`raise TypeError(...) from e`);
    library code never chains like that."""
    seen = 0
    while exc.__cause__ is not None and seen < 16:
        exc = exc.__cause__
        if exc is cause:
            return True
        seen += 1
    return False


def run_one(seed, index, entries):
    """Performs one call and checks the invariants; raises Violation."""
    entry, ctx, call, _ = make_call(seed, index, entries)
    before = None if ctx.mutating else snapshot(ctx)
    raised = None
    try:
        result = call()
    except PROPAGATING as e:
        raised = e
    except Exception as e:  # noqa: BLE001 - any Exception is an allowed outcome
        raised = e
    finally:
        gc.set_threshold(*_default_threshold)
        if ctx.planted:  # its finaliser runs now if it has not yet, not in a later call
            gc.collect()
    # Anything else (a real KeyboardInterrupt, SystemExit) ends the run.
    if raised is not None:
        if isinstance(raised, SystemError):
            raise Violation(f"SystemError: {raised}")
        if ctx.fired is not None and raised is not ctx.fired and not caused_by(raised, ctx.fired):
            raise Violation(f"hook raised {type(ctx.fired).__name__}, call raised {type(raised).__name__}: "
                            f"{raised}")
        if isinstance(raised, PROPAGATING) and ctx.fired is None:
            raise Violation(f"{type(raised).__name__} raised with no hook firing")
        str(raised)
        result = None
    elif ctx.fired is not None:
        raise Violation(f"hook raised {type(ctx.fired).__name__} but the call returned {type(result).__name__}")
    check_result(result)
    # A result may legitimately hold a borrow (a buffer export over an
    # Array's memory): the flags are checked once it is gone.
    result = raised = None
    for obj in ctx.objects:
        try:
            FACTORIES[type(obj).__name__][1](obj)
        except RuntimeError as e:
            if str(e) in BORROW_MESSAGES:
                raise Violation(f"borrow flag left taken on {type(obj).__name__}: {e}") from None
            raise
    if before is not None and not (entry.kind == "slot" and entry.attr in ("[]=", "+=")):
        for a, shape, data in before:
            if shape is not None and (tuple(a.shape), _array.array("d", list(a)).tobytes()) != (shape, data):
                raise Violation(f"an input Array changed: {shape} -> {a.shape}")
    return entry


def replay(seed, index, entries=None):
    """Runs one call again, printing it."""
    entries = entries or discover()[0]
    _, _, _, text = make_call(seed, index, entries)
    print(describe(text, 4000))
    return run_one(seed, index, entries)


# Calls taking longer than this many seconds are reported (long runs).
SLOW_CALL = None

# Objects shared by the threads of a threaded run, by class name ("points":
# point sets for trees).  Empty otherwise.
SHARED = {}


def make_shared(rng):
    ctx = Context(rng)
    big = [lv.Array([200_003], [rng.uniform(-3, 3) for _ in range(200_003)]),
           lv.Array([300, 700], [rng.uniform(-3, 3) for _ in range(210_000)])]
    points = lv.Array([3000, 3], [rng.uniform(-3, 3) for _ in range(9000)])
    SHARED["Array"] = big + [new_array(rng, ctx) for _ in range(6)] + [gen_matrix(rng, ctx) for _ in range(3)]
    SHARED["points"] = [points]
    SHARED["Generator"] = [lv.random.Generator.from_seed(rng.getrandbits(64)) for _ in range(3)]
    for name in ("KDTree", "BallTree", "VPTree"):
        cls = getattr(lv.spatial, name, None)
        if cls is not None:
            SHARED[name] = [cls.from_array(points, leaf_size=16)]
    return [o for pool in SHARED.values() for o in pool]


def run_threads(seed, threads, calls=None, seconds=None, entries=None):
    """Several threads fuzzing at once, partly on shared objects (large
    arrays, generators and trees, whose operations may run without the
    interpreter lock).  Afterwards no shared object may be left borrowed."""
    import threading

    entries = entries or discover()[0]
    objects = make_shared(random.Random(seed))
    results = [None] * threads
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    filters = warnings.filters[:]
    warnings.simplefilter("ignore")  # once for all threads: catch_warnings is not thread-safe

    def work(t):
        results[t] = run(seed * 1000 + t, calls, seconds, entries, stop_on_failure=False)

    try:
        pool = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
        for th in pool:
            th.start()
        for th in pool:
            th.join()
    finally:
        sys.setswitchinterval(old)
        warnings.filters[:] = filters
        SHARED.clear()
    n = sum(r[0] for r in results if r)
    failures = [f for r in results if r for f in r[1]]
    for obj in objects:
        try:
            FACTORIES[type(obj).__name__][1](obj)
        except RuntimeError as e:
            failures.append(f"shared {type(obj).__name__} left borrowed after the threads finished: {e}")
    return n, failures


def run(seed, calls=None, seconds=None, entries=None, stop_on_failure=True, report=None):
    """Runs calls 0, 1, 2, ... of a seed until `calls` calls or `seconds`
    seconds.  Returns (number of calls, list of failure descriptions)."""
    entries = entries or discover()[0]
    failures = []
    start = time.monotonic()
    last_report = start
    i = 0
    import contextlib
    import threading

    in_thread = threading.current_thread() is not threading.main_thread()
    with contextlib.nullcontext() if in_thread else warnings.catch_warnings():
        if not in_thread:
            warnings.simplefilter("ignore")
        while (calls is None or i < calls) and (seconds is None or time.monotonic() - start < seconds):
            t0 = time.monotonic()
            try:
                run_one(seed, i, entries)
            except Violation as v:
                _, _, _, text = make_call(seed, i, entries)
                failures.append(f"seed {seed} call {i}: {v}\n    {describe(text)}")
                if stop_on_failure:
                    break
                if report:
                    print("FAILURE", failures[-1], flush=True)
            if SLOW_CALL and time.monotonic() - t0 > SLOW_CALL:
                _, _, _, text = make_call(seed, i, entries)
                print(f"slow: seed {seed} call {i} took {time.monotonic() - t0:.1f} s: {describe(text, 300)}",
                      flush=True)
            i += 1
            if report and time.monotonic() - last_report > 60:
                last_report = time.monotonic()
                report(i, failures)
    return i, failures


def main(argv=None):
    import argparse

    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--seconds", type=float, default=None)
    ap.add_argument("--calls", type=int, default=None)
    ap.add_argument("--replay", type=int, nargs="*", help="replay these call indices of --seed")
    ap.add_argument("--keep-going", action="store_true", help="record failures and continue")
    ap.add_argument("--only", default=None, help="fuzz only entry points whose name contains this")
    ap.add_argument("--threads", type=int, default=1, help="threads racing on shared objects")
    ap.add_argument("--slow", type=float, default=5.0, help="report calls slower than this (seconds)")
    opts = ap.parse_args(argv)
    global SLOW_CALL
    SLOW_CALL = opts.slow
    seed = opts.seed if opts.seed is not None else random.SystemRandom().getrandbits(32)
    entries = discover()[0]
    if opts.only:
        entries = [e for e in entries if opts.only in e.name]
    if opts.replay:
        for i in opts.replay:
            replay(seed, i, entries)
        return 0
    print(f"lumivander fuzz: seed {seed}, {len(entries)} entry points", flush=True)

    def report(n, failures):
        print(f"  {n} calls, {len(failures)} failures", flush=True)

    if opts.threads > 1:
        n, failures = run_threads(seed, opts.threads, opts.calls, opts.seconds, entries)
    else:
        n, failures = run(seed, opts.calls, opts.seconds, entries, not opts.keep_going, report)
    print(f"done: {n} calls, {len(failures)} failures", flush=True)
    for f in failures:
        print(f, flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
