"""Hostile input to the array core: huge slice steps, interrupts raised from
conversion hooks, sequences that lie about their length, keyword names that
are not valid UTF-8."""
import os
import sys

import pytest

import lumivander as lv
from conftest import err, sanitized

BIG = sys.maxsize  # 2**63 - 1 on 64-bit builds


# ---- stepped reads near the ends of the index range -------------------------

@pytest.mark.parametrize("n", [1, 2, 3, 7])
@pytest.mark.parametrize("sl", [
    slice(1, None, BIG), slice(None, None, BIG), slice(None, None, -BIG), slice(-1, None, -BIG),
    slice(None, None, -BIG - 1), slice(-BIG - 1, BIG, BIG), slice(BIG, -BIG - 1, -BIG),
    slice(0, None, BIG // 2 + 1), slice(None, None, -(BIG // 2) - 1), slice(2**80, -2**80, -2**80),
])
def test_huge_slice_steps_match_python(n, sl):
    data = [float(i) for i in range(n)]
    assert lv.Array([n], data)[sl].tolist() == data[sl]


# ---- interrupts and MemoryError propagate from every conversion ------------

class Raiser:
    """Raises `exc` from every numeric hook."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc


class RaisingSeq:
    """A sequence whose __len__ / __iter__ / __getitem__ raise."""

    def __init__(self, exc, where):
        self.exc, self.where = exc, where

    def __len__(self):
        if self.where == "len":
            raise self.exc
        return 2

    def __iter__(self):
        if self.where == "iter":
            raise self.exc
        yield 1.0
        raise self.exc

    def __getitem__(self, i):
        raise self.exc


def conversions(make):
    """Calls that convert the object `make()` somewhere in their arguments."""
    return {
        "asarray": lambda a: lv.asarray([1.0, make()]),
        "asarray_shape": lambda a: lv.asarray([1.0], shape=[make()]),
        "Array": lambda a: lv.Array([2], [make(), 1.0]),
        "Array_shape": lambda a: lv.Array([make()], [1.0]),
        "add": lambda a: a + make(),
        "radd": lambda a: make() + a,
        "mul": lambda a: a * make(),
        "rtruediv": lambda a: make() / a,
        "getitem": lambda a: a[make()],
        "getitem_tuple": lambda a: a[(make(),)],
        "setitem_index": lambda a: a.__setitem__(make(), 1.0),
        "setitem_value": lambda a: a.__setitem__(0, make()),
        "contains": lambda a: make() in a,
        "zeros": lambda a: lv.zeros([make()]),
        "full": lambda a: lv.full([1], make()),
        "eye": lambda a: lv.eye(make()),
        "eye_k": lambda a: lv.eye(2, k=make()),
        "diag": lambda a: lv.diag([make()]),
        "clip": lambda a: a.clip(make(), 1.0),
        "get": lambda a: a.get([make()]),
        "take": lambda a: a.take([make()]),
        "to_pylist_recursive": lambda a: a.to_pylist_recursive(make(), 0),
    }


EXCEPTIONS = [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError]


@pytest.mark.parametrize("exc", EXCEPTIONS)
@pytest.mark.parametrize("call", sorted(conversions(None)))
def test_interrupts_from_number_hooks_propagate(exc, call):
    a = lv.Array([3], [1.0, 2.0, 3.0])
    with pytest.raises(exc):
        conversions(lambda: Raiser(exc("hook")))[call](a)
    a[0] = 5.0  # not left borrowed
    assert a.tolist() == [5.0, 2.0, 3.0]


@pytest.mark.parametrize("exc", EXCEPTIONS)
@pytest.mark.parametrize("where", ["len", "iter"])
@pytest.mark.parametrize("call", [
    lambda s: lv.asarray(s), lambda s: lv.Array([2], s), lambda s: lv.zeros(s), lambda s: lv.diag(s),
    lambda s: lv.column_stack(s), lambda s: lv.Array([3], [1, 2, 3]).take(s), lambda s: lv.asarray([1.0], shape=s),
])
def test_interrupts_from_sequence_hooks_propagate(exc, where, call):
    with pytest.raises(exc):
        call(RaisingSeq(exc("hook"), where))


def test_interrupt_from_an_error_message_propagates():
    class Nasty(TypeError):
        def __str__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        lv.asarray([Raiser(Nasty())])


def test_ordinary_errors_still_become_conversion_errors():
    a = lv.Array([1], [1.0])
    with pytest.raises(TypeError, match="^argument 'data': failed to extract enum VecOrArray"):
        lv.asarray([Raiser(ValueError("no"))])
    with pytest.raises(TypeError):
        a + Raiser(ValueError("no"))  # NotImplemented both ways
    with err(ValueError, "indices must be integers, slices, or tuples of integers"):
        a[Raiser(ValueError("no"))]

    class BadLen(list):
        def __len__(self):
            raise ValueError("no length")

    assert lv.asarray(BadLen([1.0, 2.0])).tolist() == [1.0, 2.0]  # the length is only a hint


# ---- sequences whose __len__ lies -------------------------------------------

class Liar:
    """Claims `claimed` items and yields `items`."""

    def __init__(self, claimed, items):
        self.claimed, self.items = claimed, items

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("claimed", [0, 1, 10**7, 2**62])
def test_lying_lengths_give_what_was_yielded(claimed):
    items = [1.0, 2.0, 3.0]
    assert lv.asarray(Liar(claimed, items)).tolist() == items
    assert lv.zeros(Liar(claimed, [2, 1])).shape == [2, 1]
    assert lv.Array([3], Liar(claimed, items)).tolist() == items


def test_long_untrusted_sequence_grows_past_the_reservation():
    n = 200_003
    assert lv.asarray(Liar(5, range(n))).tolist() == [float(i) for i in range(n)]


def vm_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(sanitized, reason="the sanitizer allocator quarantines freed blocks; footprint is meaningless")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_lying_length_does_not_pin_address_space():
    # 200 arrays of three elements whose source claims 10**7 each: reserving
    # the claimed length would hold 16 GB of address space.
    before = vm_bytes()
    keep = [lv.asarray(Liar(10**7, [1.0, 2.0, 3.0])) for _ in range(200)]
    assert vm_bytes() - before < 64 << 20
    assert all(len(x) == 3 for x in keep)


# ---- keyword names that are not UTF-8 encodable -----------------------------

@pytest.mark.parametrize("call,name", [
    (lambda kw: lv.zeros([1], **kw), "zeros"),
    (lambda kw: lv.Array([1], [1.0], **kw), "Array.__new__"),
    (lambda kw: lv.Array([1], [1.0]).clip(0, 1, **kw), "Array.clip"),
    (lambda kw: lv.Array([1], [1.0]).tolist(**kw), "Array.tolist"),
])
@pytest.mark.parametrize("key", ["\ud800", "caf\xe9", "x\udcff\x00y"])
def test_unexpected_keyword_names_any_string(call, name, key):
    with err(TypeError, f"{name}() got an unexpected keyword argument '{key}'"):
        call({key: 1})


# ---- found by the fuzz harness ---------------------------------------------

@pytest.mark.parametrize("n", [0, 5, 20_000])
def test_quantiles_at_no_levels(n):
    # Large arrays take a sampled selection path that read the first level's
    # result even when there was none.
    a = lv.Array([n], [float(i) for i in range(n)])
    for out in (a.quantile(lv.Array([0], [])), lv.stats.quantile(a, lv.Array([2, 0], []))):
        assert out.shape == [0] and out.tolist() == []


@pytest.mark.parametrize("shape", [[2**58, 0], [0, 2**58], [0, 0]])
def test_transpose_of_empty_matrix_with_a_huge_side(shape):
    # The element loop once walked the huge side with nothing to copy
    # (a hang wherever the compiler kept the empty loop).
    a = lv.Array(shape, [])
    for t in (a.transpose(), a.t(), lv.linalg.transpose(a)):
        assert t.shape == shape[::-1] and len(t) == 0


# ---- pinned messages that read like internal failures carry a note ---------

def _noted_cases():
    from lumivander import spatial

    nan_points = lv.Array([3, 2], [0.0, 0.0, float("nan"), 1.0, 2.0, 2.0])
    tree3 = spatial.KDTree.from_array(lv.Array([3, 3], [0, 0, 0, 1, 1, 1, 2, 2, 2]), leaf_size=1)
    nan_note = ("a split coordinate is NaN: the points hold NaN in a coordinate the tree splits on; "
                "remove or replace the NaN values before building")
    empty_vp = "a VPTree needs at least one point, and the array has no rows"
    cases = [
        (lambda: spatial.KDTree.from_array(nan_points, leaf_size=1), ValueError,
         "called `Option::unwrap()` on a `None` value", nan_note),
        (lambda: spatial.BallTree.from_array(nan_points, leaf_size=1), ValueError,
         "called `Option::unwrap()` on a `None` value", nan_note),
        (lambda: spatial.VPTree.from_array(lv.zeros([0, 3])), ValueError,
         "index out of bounds: the len is 0 but the index is 0", empty_vp),
        (lambda: spatial.VPTree.from_array(lv.zeros([0, 3]), selection="random"), ValueError,
         "low must be less than high", empty_vp),
        (lambda: tree3.query_knn([1.0, 2.0], 1), ValueError,
         "index out of bounds: the len is 2 but the index is 2", "the query has 2 coordinates but the tree's points have 3"),
        (lambda: tree3.query_radius([1.0, 2.0, 3.0, 4.0], 1.0), ValueError,
         "index out of bounds: the len is 3 but the index is 3", "the query has 4 coordinates but the tree's points have 3"),
        (lambda: spatial.BallTree.from_array(lv.zeros([4, 3])).query_knn(1.0, 1), ValueError,
         "index out of bounds: the len is 1 but the index is 1", "the query has 1 coordinate but the tree's points have 3"),
        (lambda: spatial.VPTree.from_array(lv.zeros([4, 3])).query_radius([1, 2], 1), ValueError,
         "index out of bounds: the len is 2 but the index is 2", "the query has 2 coordinates but the tree's points have 3"),
    ]
    try:
        import numpy as np
    except ImportError:
        return cases
    cases += [
        (lambda: lv.Array.from_numpy(np.arange(3)), TypeError, "'ndarray' object cannot be cast as 'ndarray'",
         "Array.from_numpy copies float64 arrays only, and this one has dtype int64; "
         "convert it first with np.asarray(x, dtype=np.float64)"),
        (lambda: lv.Array.from_numpy(np.zeros(2, dtype=">f8")), TypeError, "'ndarray' object cannot be cast as 'ndarray'",
         "Array.from_numpy copies float64 arrays only, and this one has dtype >f8; "
         "convert it first with np.asarray(x, dtype=np.float64)"),
        (lambda: lv.Array.from_numpy(np.zeros((3, 4))[:, ::2]), TypeError, "The given array is not contiguous",
         "Array.from_numpy copies C- or Fortran-contiguous arrays only; make a contiguous copy of a strided "
         "view first with np.ascontiguousarray(x)"),
    ]
    return cases


def test_pinned_messages_carry_a_note():
    for call, kind, message, note in _noted_cases():
        with pytest.raises(kind) as info:
            call()
        assert str(info.value) == message and info.value.__notes__ == [note], message
    # The same texts from places where they are clear already get no note.
    for call in (lambda: lv.asarray([1.0]).take([1]), lambda: lv.Array.from_numpy([1.0]),
                 lambda: lv.linalg.eig(lv.Array([2, 2], [float("nan"), 0.0, 0.0, 1.0]))):
        try:
            call()
        except (ValueError, TypeError) as e:
            assert not hasattr(e, "__notes__"), str(e)
