"""Subscript reads and writes, get/take, membership and iteration."""
import math

import pytest

import lumivander as lv
from conftest import err

np = pytest.importorskip("numpy")


@pytest.fixture
def a():
    return lv.Array([2, 3], [0, 1, 2, 3, 4, 5])


def as_list(x):
    return x.tolist() if isinstance(x, lv.Array) else x


@pytest.mark.parametrize("idx,expected", [
    (1, [3.0, 4.0, 5.0]), (-1, [3.0, 4.0, 5.0]), ((1, 2), 5.0), ((-1, -3), 3.0),
    ((1,), [3.0, 4.0, 5.0]), ((), [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]]),
    (slice(0, 4), [0.0, 1.0, 2.0, 3.0]), (slice(None, None, -2), [5.0, 3.0, 1.0]),
    (slice(10, None), []), (slice(-100, 100, 4), [0.0, 4.0]), (True, [3.0, 4.0, 5.0]),
    (np.int64(0), [0.0, 1.0, 2.0]),
])
def test_reads(a, idx, expected):
    out = a[idx]
    assert as_list(out) == expected
    if isinstance(expected, float):
        assert type(out) is float


@pytest.mark.parametrize("idx,exc,message", [
    (2, ValueError, "index 2 is out of bounds for axis 0 with size 2"),
    (-3, ValueError, "index -3 is out of bounds for axis 0 with size 2"),
    ((0, -4), ValueError, "index -4 is out of bounds for axis 1 with size 3"),
    ((0, 0, 0), ValueError, "too many indices for array: array is 2-dimensional, but 3 were indexed"),
    ([0, 1], ValueError, "indices must be integers, slices, or tuples of integers"),
    (None, ValueError, "indices must be integers, slices, or tuples of integers"),
    (1.0, ValueError, "indices must be integers, slices, or tuples of integers"),
    (Ellipsis, ValueError, "indices must be integers, slices, or tuples of integers"),
    (2**70, ValueError, "indices must be integers, slices, or tuples of integers"),
    ((0, slice(None)), TypeError, "'slice' object cannot be interpreted as an integer"),
    (slice(None, None, 0), ValueError, "slice step cannot be zero"),
])
def test_read_errors(a, idx, exc, message):
    with err(exc, message):
        a[idx]


def test_huge_tuple_item_raises_the_interpreters_overflow(a):
    with pytest.raises(OverflowError):
        a[0, 2**70]


def test_slices_match_python_on_flat_data():
    data = [float(i) for i in range(7)]
    x = lv.Array([7], data)
    bounds = [None, -9, -3, -1, 0, 2, 6, 9]
    for start in bounds:
        for stop in bounds:
            for step in [None, -3, -1, 1, 2]:
                s = slice(start, stop, step)
                out = x[s]
                assert out.shape == [len(data[s])] and out.tolist() == data[s]


def test_zero_dimensional():
    z = lv.Array([], [2.5])
    assert z[()] == 2.5
    with err(ValueError, "too many indices for array: array is 0-dimensional, but 1 were indexed"):
        z[0]
    z[()] = 1.0
    assert z.tolist() == 1.0
    with err(ValueError, "single index assignment only supported for 1D arrays; use tuple indexing for nD arrays"):
        z[0] = 1.0
    assert z[:].tolist() == [1.0]


def test_sub_arrays_are_copies(a):
    row = a[1]
    row[0] = 99.0
    assert a[1, 0] == 3.0
    whole = a[()]
    whole[0, 0] = 7.0
    assert a[0, 0] == 0.0


def test_writes():
    b = lv.Array([3], [1, 2, 3])
    b[-1] = 7
    b[True] = -0.0
    assert b.tolist()[2] == 7.0 and math.copysign(1, b.tolist()[1]) == -1
    m = lv.Array([2, 3], [0] * 6)
    m[0, 1] = 9
    m[-1, -1] = float("nan")
    assert m.tolist()[0] == [0.0, 9.0, 0.0] and math.isnan(m.tolist()[1][2])


@pytest.mark.parametrize("shape,idx,value,exc,message", [
    ([3], 3, 0, ValueError, "index 3 is out of bounds for axis 0 with size 3"),
    ([3], slice(0, 2), 1, ValueError, "indices must be integers or tuples of integers for assignment"),
    ([3], None, 1, ValueError, "indices must be integers or tuples of integers for assignment"),
    ([3], 0, "x", TypeError, "argument 'value': must be real number, not str"),
    ([3], 100, "x", TypeError, "argument 'value': must be real number, not str"),
    ([3], 0, lv.Array([1], [1.0]), TypeError, "argument 'value': must be real number, not Array"),
    ([2, 3], 0, 1, ValueError,
     "single index assignment only supported for 1D arrays; use tuple indexing for nD arrays"),
    ([2, 3], (0,), 9, ValueError, "cannot set item: expected 2 indices, got 1"),
    ([2, 3], (0, 3), 9, ValueError, "index 3 is out of bounds for axis 1 with size 3"),
    ([2, 3], (0, "x"), 9, TypeError, "'str' object cannot be interpreted as an integer"),
])
def test_write_errors_leave_array_unchanged(shape, idx, value, exc, message):
    n = math.prod(shape)
    x = lv.Array(shape, range(n))
    with err(exc, message):
        x[idx] = value
    assert x.tolist() == lv.Array(shape, range(n)).tolist()


def test_delete_is_refused(a):
    with err(NotImplementedError, "can't delete item"):
        del a[0]
    with err(NotImplementedError, "can't delete item"):
        del a[0:1]


def test_get_and_take(a):
    assert a.get([1, 2]) == 5.0 and a.get((0, 0)) == 0.0
    for bad in ([1], [2, 0], [0, 3], [0, 0, 0]):
        with err(ValueError, "Index out of bounds"):
            a.get(bad)
    with err(OverflowError, "can't convert negative int to unsigned"):
        a.get([-1, 0])
    with err(TypeError, "argument 'indices': Can't extract `str` to `Vec`"):
        a.get("01")
    assert a.take([5, 0, 5]).tolist() == [5.0, 0.0, 5.0]
    assert a.take([]).shape == [0]
    with err(ValueError, "index out of bounds: the len is 6 but the index is 6"):
        a.take([0, 6, 7])
    with err(TypeError, "argument 'indices': 'int' object cannot be cast as 'Sequence'"):
        a.take(3)
    assert lv.Array([], [4.0]).get([]) == 4.0


def test_membership(a):
    assert 4 in a and 4.0 in a and True in a and 7 not in a
    assert float("nan") not in lv.Array([1], [float("nan")])
    assert 0.0 in lv.Array([1], [-0.0])
    assert 1.0 not in lv.Array([0], [])
    with err(TypeError, "argument 'value': must be real number, not str"):
        "x" in a


def test_iteration_over_a_private_copy(a):
    it = iter(a)
    assert type(it).__name__ == "PyArrayIter" and iter(it) is it
    a[1, 2] = 50.0
    assert list(it) == [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    assert list(lv.Array([], [3.0])) == [3.0]
    assert list(lv.Array([2, 0], [])) == []


def test_index_hooks_that_mutate_or_read_the_array():
    x = lv.Array([3], [1, 2, 3])

    class WritesOnIndex:
        def __index__(self):
            x[0] = 100.0
            return 1

    # Integer conversion failures are reported as an unsupported index.
    with err(ValueError, "indices must be integers, slices, or tuples of integers"):
        x[WritesOnIndex()]

    class ReadsOnIndex:
        def __index__(self):
            return int(x[0])  # 1

    with err(ValueError, "indices must be integers or tuples of integers for assignment"):
        x[ReadsOnIndex()] = 5.0
    assert x.tolist() == [1.0, 2.0, 3.0]
    # Outside a conflicting borrow the same hooks work.
    assert x[ReadsOnIndex()] == 2.0


def test_reads_cross_checked_against_numpy():
    rng = np.random.default_rng(7)
    for shape in [(4,), (3, 5), (2, 3, 4), (1, 6, 1)]:
        ref = rng.standard_normal(shape)
        x = lv.Array(list(shape), ref.ravel().tolist())
        for _ in range(30):
            k = int(rng.integers(1, len(shape) + 1))
            idx = tuple(int(rng.integers(-s, s)) for s in shape[:k])
            got = x[idx]
            want = ref[idx]
            assert as_list(got) == (want.tolist() if isinstance(want, np.ndarray) else float(want))
