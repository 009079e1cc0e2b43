"""Array construction, shape/len, repr formatting and list conversion."""
import math
import random
import struct

import pytest

import lumivander as lv
from conftest import err


def data_repr(x):
    r = repr(lv.Array([], [x]))
    return r[len("Array(shape=[], data=["):-2]


def python_style(x):
    # Python's repr uses the same thresholds, but writes exponents as e+16 / e-05.
    r = repr(x)
    if "e" in r:
        mantissa, exponent = r.split("e")
        return f"{mantissa}e{int(exponent)}"
    return r


@pytest.mark.parametrize("x,text", [
    (1e16, "1e16"), (1.5e-5, "1.5e-5"), (-2.5e20, "-2.5e20"), (1e-5, "1e-5"),
    (0.0001, "0.0001"), (9999999999999998.0, "9999999999999998.0"), (123.0, "123.0"),
    (0.1, "0.1"), (-3.0, "-3.0"), (250.125, "250.125"), (0.0, "0.0"), (-0.0, "-0.0"),
    (math.nan, "NaN"), (-math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"),
    (5e-324, "5e-324"), (1.7976931348623157e308, "1.7976931348623157e308"), (1e100, "1e100"),
])
def test_float_formatting(x, text):
    assert data_repr(x) == text


def test_float_formatting_matches_python_shortest_digits():
    rng = random.Random(1234)
    for _ in range(20000):
        x = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isnan(x):
            continue
        assert data_repr(x) == python_style(x)
    for _ in range(5000):  # values near the plain/exponent thresholds
        x = rng.choice([1e-4, 1e16]) * rng.uniform(0.5, 2.0)
        assert data_repr(x) == python_style(x)


def test_repr_whole_array():
    a = lv.Array([2, 2], [1.0, 0.5, -0.0, 1e-5])
    assert repr(a) == "Array(shape=[2, 2], data=[1.0, 0.5, -0.0, 1e-5])"
    assert repr(lv.Array([0], [])) == "Array(shape=[0], data=[])"
    assert repr(lv.Array([], [7])) == "Array(shape=[], data=[7.0])"
    big = lv.zeros([3000])
    assert repr(big).count("0.0") == 3000  # never truncated


@pytest.mark.parametrize("shape,data,listed,length", [
    ([], [7.0], 7.0, 1),
    ([0], [], [], 0),
    ([2, 0], [], [[], []], 0),
    ([0, 3], [], [], 0),
    ([2, 3], [1, 2, 3, 4, 5, 6], [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], 6),
    ((2,), [1.5, 2], [1.5, 2.0], 2),
    ([1, 1, 1], [True], [[[1.0]]], 1),
])
def test_construction_and_tolist(shape, data, listed, length):
    a = lv.Array(shape, data)
    assert a.shape == list(shape)
    assert len(a) == length
    assert bool(a) == (length > 0)
    out = a.tolist()
    assert out == listed
    assert all(type(x) is float for x in lv.Array(shape, data)) if length else True


def test_shape_property_is_a_fresh_list():
    a = lv.Array([2, 3], [0] * 6)
    s = a.shape
    s.append(9)
    assert a.shape == [2, 3]
    with pytest.raises(AttributeError):
        a.shape = [6]


def test_accepts_any_sequence_and_number_protocols():
    class Idx:
        def __index__(self):
            return 2

    class Num:
        def __float__(self):
            return 2.5

    a = lv.Array(range(2, 4), (Num(), 1, True, -0.0, 4, 5))
    assert a.shape == [2, 3]
    b = lv.Array([Idx()], b"\x01\x02")
    assert b.tolist() == [1.0, 2.0]
    assert math.copysign(1, a.tolist()[1][0]) == -1


def test_data_length_mismatch():
    with err(ValueError, "Data length 5 doesn't match shape [2, 3] (expected 6)"):
        lv.Array([2, 3], [1, 2, 3, 4, 5])
    with err(ValueError, "Data length 0 doesn't match shape [] (expected 1)"):
        lv.Array([], [])


@pytest.mark.parametrize("make", [
    lambda: lv.Array([2**40, 2**40], []),
    lambda: lv.Array([2**62], []),
    lambda: lv.zeros([2**40, 2**40]),
    lambda: lv.zeros([2**63, 2, 0, 2**63]),
    lambda: lv.ones([2**31, 2**31]),
])
def test_absurd_shapes_are_refused(make):
    with pytest.raises((ValueError, MemoryError)):
        make()


def test_zero_sized_shapes_with_large_extents():
    a = lv.zeros([0, 2**40])
    assert a.shape == [0, 2**40] and len(a) == 0 and a.tolist() == []


def test_to_pylist_recursive():
    a = lv.Array([2, 3], [0, 1, 2, 3, 4, 5])
    assert a.to_pylist_recursive(1, 3) == [3.0, 4.0, 5.0]
    assert a.to_pylist_recursive(0, 0) == a.tolist()
    assert a.to_pylist_recursive(1, 1) == [1.0, 2.0, 3.0]
    with err(ValueError, "index out of bounds: the len is 6 but the index is 6"):
        a.to_pylist_recursive(1, 4)
    with err(ValueError, "index out of bounds: the len is 6 but the index is 18446744073709551615"):
        a.to_pylist_recursive(1, 2**64 - 1)
    with pytest.raises(ValueError):
        a.to_pylist_recursive(2, 0)
    with pytest.raises(ValueError):
        lv.Array([], [1]).to_pylist_recursive(0, 0)
    # Nothing is read for an empty last dimension, so any offset is fine.
    assert lv.Array([0], []).to_pylist_recursive(0, 10**6) == []


def test_many_dimensions_do_not_exhaust_the_stack():
    a = lv.Array([1] * 100000, [3.0])
    out = a.tolist()
    depth = 0
    while isinstance(out, list):
        out = out[0]
        depth += 1
    assert depth == 100000 and out == 3.0


def test_borrow_conflicts_raise_runtime_error():
    a = lv.Array([3], [1, 2, 3])

    class ReadsDuringWrite:
        def __float__(self):
            a.tolist()
            return 1.0

    with err(RuntimeError, "Already mutably borrowed"):
        a[0] = ReadsDuringWrite()

    class WritesDuringRead:
        def __index__(self):
            a[0] = 5.0
            return 0

    with err(RuntimeError, "Already borrowed"):
        a[(WritesDuringRead(),)]
    assert a.tolist() == [1.0, 2.0, 3.0]

    class ReadsIndexDuringWrite:
        def __index__(self):
            return int(a[1])

    with err(RuntimeError, "Already mutably borrowed"):
        a[(ReadsIndexDuringWrite(),)] = 9.0
    # The flag is released on every exit path.
    a[0] = 4.0
    assert a.tolist() == [4.0, 2.0, 3.0]


def test_conversion_hook_mutating_the_source_list():
    victim = [1.0] * 10

    class Shrinks:
        def __float__(self):
            victim.clear()
            return 2.0

    victim[3] = Shrinks()
    out = lv.asarray(victim)
    assert out.tolist() == [1.0, 1.0, 1.0, 2.0]
