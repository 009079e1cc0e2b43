"""zeros, ones, full, eye, diag and column_stack: module functions and static methods."""
import inspect
import math
import struct

import numpy as np
import pytest

import lumivander as lv
from conftest import err


def f64(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits_of(a):
    return np.array(lv.asarray(a).tolist(), dtype=np.float64).view(np.uint64)


def assert_bits(got, want):
    want = np.asarray(want, dtype=np.float64)
    assert isinstance(got, lv.Array)
    assert got.shape == list(want.shape)
    np.testing.assert_array_equal(bits_of(got), want.ravel().view(np.uint64))


def both(name):
    """The module function and the static method of one name."""
    return pytest.mark.parametrize("fn", [getattr(lv, name), getattr(lv.Array, name)],
                                   ids=["module", "static"])


def test_signatures_and_static_methods():
    sigs = {"zeros": "(shape)", "ones": "(shape)", "full": "(shape, fill_value)",
            "eye": "(n, m=None, k=None)", "diag": "(v, k=None)", "asarray": "(data, shape=None)"}
    for name, sig in sigs.items():
        for fn in (getattr(lv, name), getattr(lv.Array, name)):
            assert fn.__name__ + str(inspect.signature(fn)) == name + sig
    assert str(inspect.signature(lv.column_stack)) == "(arrays)"
    assert not hasattr(lv.Array, "column_stack")


@pytest.mark.parametrize("shape", [[], [0], [3], (2, 3), [2, 0, 3], [1, 1, 1, 2], range(1, 3)])
def test_zeros_ones_full_shapes(shape):
    size = int(np.prod(list(shape)))
    for pair, value in [("zeros", 0.0), ("ones", 1.0)]:
        for fn in (getattr(lv, pair), getattr(lv.Array, pair)):
            assert_bits(fn(shape), np.full(list(shape), value))
    for fn in (lv.full, lv.Array.full):
        assert_bits(fn(shape, 2.5), np.full(list(shape), 2.5))
        assert len(fn(shape, -1)) == size
    assert lv.ones([]).tolist() == 1.0 and lv.ones([]).shape == []


@both("full")
@pytest.mark.parametrize("value", [-0.0, 0.0, math.nan, -math.nan, math.inf, f64(0x7FF8000000000ABC),
                                   f64(0x7FF0000000000001), 5e-324, True, 3, np.float32(0.1)])
def test_full_is_bit_exact(fn, value):
    want = np.full([2, 2], float(value))
    assert_bits(fn([2, 2], value), want)
    assert_bits(fn(shape=[3], fill_value=value), want.ravel()[:1].repeat(3))


@pytest.mark.parametrize("args,kwargs", [
    ((3,), {}), ((2, 3, 1), {}), ((3,), {"k": -2}), ((2,), {"k": 2}), ((2,), {"k": -2}),
    ((0,), {}), ((2, 4), {}), ((4, 2, -1), {}), ((3, 5, 4), {}), ((3, 5, 5), {}),
    ((1, 0), {}), ((0, 3), {}), ((3,), {"k": 1}), ((2,), {"k": 5}), ((5, 3, -4), {}),
    ((), {"n": 3, "m": 2, "k": 1}), ((3, None, None), {}), ((3,), {"m": None, "k": -1}),
])
@both("eye")
def test_eye_matches_numpy(fn, args, kwargs):
    p = {"n": None, "m": None, "k": None, **dict(zip("nmk", args)), **kwargs}
    assert_bits(fn(*args, **kwargs), np.eye(p["n"], p["m"], p["k"] or 0))


@both("eye")
@pytest.mark.parametrize("k", [2**62, -2**62, 2**63 - 1, -2**63, 3, -3])
def test_eye_far_diagonals_are_zero(fn, k):
    assert_bits(fn(3, k=k), np.zeros((3, 3)))
    assert_bits(fn(2, 3, k), np.zeros((2, 3)))


@both("diag")
@pytest.mark.parametrize("v,k", [
    ([1, 2], None), ([1, 2], 1), ([1, 2], -1), ([5], 0), ([5], 2), ([5], -2), ([], 0), ([], 3),
    ([], -2), ([1, 2, 3], -3), ((-0.0, math.nan, math.inf), 1), (range(4), -1),
    (np.array([0.5, -0.0]), 2),
])
def test_diag_matches_numpy(fn, v, k):
    want = np.diag(np.array(list(v), dtype=np.float64), k or 0)
    assert_bits(fn(v, k), want)
    assert_bits(fn(lv.asarray(list(v)), k=k), want)
    assert_bits(fn(v=v, k=k), want)


@both("diag")
def test_diag_errors(fn):
    for v in [lv.eye(2), lv.zeros([]), lv.zeros([1, 1, 1]), lv.zeros([0, 0])]:
        with err(ValueError, "Input must be 1D"):
            fn(v)
    with err(TypeError, "argument 'v': failed to extract enum VecOrArray ('Array | Vec')\n"
             "- variant Array (Array): TypeError: failed to extract field VecOrArray::Array.0, "
             "caused by TypeError: 'str' object cannot be cast as 'Array'\n"
             "- variant Vec (Vec): TypeError: failed to extract field VecOrArray::Vec.0, "
             "caused by TypeError: Can't extract `str` to `Vec`"):
        fn("ab")
    with pytest.raises(TypeError, match="^argument 'k': "):
        fn([1.0], k=1.5)


def arr(x):
    x = np.asarray(x, dtype=np.float64)
    return lv.Array(list(x.shape), x.ravel().tolist())


@pytest.mark.parametrize("inputs", [
    [[1, 2, 3], [4, 5, 6]],
    [np.arange(4.0).reshape(2, 2), [7, 8]],
    [[-0.0, math.nan], np.arange(6.0).reshape(2, 3), [math.inf, 1], np.zeros((2, 0))],
    [[1, 2, 3]],
    [np.zeros((1, 4)), [9]],
    [np.zeros(0), np.zeros((0, 3))],
    [np.zeros((0, 2)), np.zeros((0, 0))],
    [np.zeros((3, 0)), np.zeros((3, 0))],
])
def test_column_stack_matches_numpy(inputs):
    arrays = [arr(x) for x in inputs]
    before = [bits_of(a) for a in arrays]
    want = np.column_stack([np.asarray(x, dtype=np.float64) for x in inputs])
    assert_bits(lv.column_stack(arrays), want)
    assert_bits(lv.column_stack(tuple(arrays)), want)
    assert_bits(lv.column_stack(arrays=arrays), want)
    for a, b in zip(arrays, before):
        np.testing.assert_array_equal(bits_of(a), b)


@pytest.mark.parametrize("arrays,exc,message", [
    ([lv.ones([2]), lv.ones([3])], ValueError, "All arrays must have the same number of rows"),
    ([lv.ones([2, 2]), lv.ones([3, 2])], ValueError, "All arrays must have the same number of rows"),
    ([lv.zeros([0]), lv.zeros([1])], ValueError, "All arrays must have the same number of rows"),
    ([lv.zeros([])], ValueError, "column_stack only supports 1D and 2D arrays"),
    ([lv.ones([2]), lv.zeros([2, 1, 1])], ValueError, "column_stack only supports 1D and 2D arrays"),
    # every input's dimension count is checked before any row count
    ([lv.ones([2]), lv.ones([3]), lv.zeros([])], ValueError,
     "column_stack only supports 1D and 2D arrays"),
    ([], ValueError, "Need at least one array"),
    ((), ValueError, "Need at least one array"),
    ([lv.ones([2]), [1.0, 2.0]], TypeError, "argument 'arrays': 'list' object cannot be cast as 'Array'"),
    ([1.0], TypeError, "argument 'arrays': 'float' object cannot be cast as 'Array'"),
    ("ab", TypeError, "argument 'arrays': Can't extract `str` to `Vec`"),
    (5, TypeError, "argument 'arrays': 'int' object cannot be cast as 'Sequence'"),
])
def test_column_stack_errors(arrays, exc, message):
    with err(exc, message):
        lv.column_stack(arrays)


@pytest.mark.parametrize("call,exc,message", [
    (lambda: lv.zeros(3), TypeError, "argument 'shape': 'int' object cannot be cast as 'Sequence'"),
    (lambda: lv.Array.ones(3), TypeError, "argument 'shape': 'int' object cannot be cast as 'Sequence'"),
    (lambda: lv.zeros("ab"), TypeError, "argument 'shape': Can't extract `str` to `Vec`"),
    (lambda: lv.full("ab", 1.0), TypeError, "argument 'shape': Can't extract `str` to `Vec`"),
    (lambda: lv.zeros(), TypeError, "zeros() missing 1 required positional argument: 'shape'"),
    (lambda: lv.Array.zeros(), TypeError, "Array.zeros() missing 1 required positional argument: 'shape'"),
    (lambda: lv.full(), TypeError,
     "full() missing 2 required positional arguments: 'shape' and 'fill_value'"),
    (lambda: lv.Array.full([1]), TypeError,
     "Array.full() missing 1 required positional argument: 'fill_value'"),
    (lambda: lv.ones([1], [2]), TypeError, "ones() takes 1 positional arguments but 2 were given"),
    (lambda: lv.eye(1, 2, 3, 4), TypeError, "eye() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: lv.Array.eye(3, n=3), TypeError, "Array.eye() got multiple values for argument 'n'"),
    (lambda: lv.diag([1], j=1), TypeError, "diag() got an unexpected keyword argument 'j'"),
    (lambda: lv.column_stack(), TypeError, "column_stack() missing 1 required positional argument: 'arrays'"),
])
def test_argument_errors(call, exc, message):
    with err(exc, message):
        call()


@pytest.mark.parametrize("call,name", [
    (lambda: lv.zeros([1.5]), "shape"), (lambda: lv.ones([None]), "shape"),
    (lambda: lv.full([2], "x"), "fill_value"), (lambda: lv.full([2], None), "fill_value"),
    (lambda: lv.eye(2.0), "n"), (lambda: lv.eye(2, 2.0), "m"), (lambda: lv.eye(2, k=1.0), "k"),
    (lambda: lv.Array.eye("2"), "n"), (lambda: lv.diag([1.0], k="1"), "k"),
])
def test_conversion_errors_are_prefixed(call, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        call()


@pytest.mark.parametrize("call", [
    lambda: lv.zeros([-1]), lambda: lv.ones([2, -3]), lambda: lv.full([2**64], 0.0),
    lambda: lv.eye(-1), lambda: lv.eye(2, -1), lambda: lv.eye(2, k=2**63),
    lambda: lv.diag([1.0], k=-2**63 - 1), lambda: lv.full([1], 10**400),
])
def test_overflow_errors_are_not_prefixed(call):
    with pytest.raises(OverflowError) as info:
        call()
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("call", [
    lambda: lv.zeros([2**40, 2**40]), lambda: lv.ones([2**32, 2**32, 2**32]),
    lambda: lv.zeros([2**63, 3]), lambda: lv.full([2**62], 1.0), lambda: lv.Array.full([2**61], -0.0),
    lambda: lv.eye(2**40), lambda: lv.eye(2**32, 2**32), lambda: lv.eye(2**32 + 1, k=2**62),
    lambda: lv.eye(1, 2**63),
    lambda: lv.diag([1.0], k=2**62), lambda: lv.diag([1.0], k=2**32), lambda: lv.diag([], k=-2**63),
    lambda: lv.ones([2**60, 2**4]),
])
def test_absurd_sizes_are_refused(call):
    with pytest.raises((ValueError, MemoryError)):
        call()
