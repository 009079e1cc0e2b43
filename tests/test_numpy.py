"""NumPy interchange: Array.from_numpy and Array.to_numpy."""
import gc
import subprocess
import sys

import pytest

import lumivander as lv
from conftest import err, sanitized

np = pytest.importorskip("numpy")

# -0.0, a quiet NaN with payload, a negative signalling NaN, inf, the smallest denormal
EDGE_BITS = np.array([0x8000000000000000, 0x7FF8000000000123, 0xFFF0000000000001, 0x7FF0000000000000, 1],
                     dtype=np.uint64).view(np.float64)
Sub = type("Sub", (np.ndarray,), {})
X = np.arange(24.0).reshape(4, 6)


def bits_source(shape, order):
    # Distinct data per case, so a stale buffer from an earlier case never
    # happens to hold the expected values.
    rng = np.random.default_rng([*shape, len(shape), ord(order)])
    flat = rng.standard_normal(int(np.prod(shape)))
    flat[:len(EDGE_BITS)] = EDGE_BITS[:flat.size]
    src = np.array(flat.reshape(shape), order=order)
    flat[:] = 0.0  # the freed scratch must not hold the expected values
    return src


def same_bits(x, y):
    return x.shape == y.shape and np.array_equal(x.view(np.uint64), y.view(np.uint64))


SHAPES = [(), (7,), (2, 3), (3, 1, 4), (2, 3, 4), (1, 5), (5, 1), (2, 1, 3, 1, 2), (0,), (2, 0), (0, 3),
          (40, 70), (33, 3, 65), (3, 2, 4, 5), (2, 3, 1, 2, 2, 3)]


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("shape", SHAPES)
def test_round_trip_bit_exact(shape, order):
    src = bits_source(shape, order)
    a = lv.Array.from_numpy(src)
    assert a.shape == list(shape)
    # Independent path out of the Array: nested lists, element by element.
    listed = np.array(a.tolist(), dtype=np.float64).reshape(shape)
    assert same_bits(listed, src)
    out = a.to_numpy()
    assert same_bits(out, src)
    assert out.dtype == np.float64 and out.flags.c_contiguous and out.flags.writeable
    assert same_bits(lv.Array.from_numpy(out).to_numpy(), src)


@pytest.mark.parametrize("make", [
    lambda x: x.T,
    lambda x: np.frombuffer(b"\0" + x.tobytes(), offset=1).reshape(4, 6),  # unaligned, read-only
    lambda x: np.frombuffer(b"\0" + x.tobytes(), offset=1).reshape(4, 6).T,
    lambda x: x.view(Sub),
    lambda x: x.T.view(Sub),
])
def test_from_numpy_views_and_subclasses(make):
    src = make(X - 11.5)
    a = lv.Array.from_numpy(arr=src)
    assert a.shape == list(src.shape)
    assert a.tolist() == np.asarray(src).tolist()


@pytest.mark.parametrize("obj, message", [
    (X[:, ::2], "The given array is not contiguous"),
    (X[::2], "The given array is not contiguous"),
    (X.T[::2], "The given array is not contiguous"),
    (X.astype(">f8"), "'ndarray' object cannot be cast as 'ndarray'"),
    (X.astype(np.float32), "'ndarray' object cannot be cast as 'ndarray'"),
    (X.astype(np.int64), "'ndarray' object cannot be cast as 'ndarray'"),
    (X.astype(np.complex128), "'ndarray' object cannot be cast as 'ndarray'"),
    (X.astype(np.int64).view(Sub), "'Sub' object cannot be cast as 'ndarray'"),
    (np.float64(1.0), "'float64' object cannot be cast as 'ndarray'"),
    ([1.0, 2.0], "'list' object cannot be cast as 'ndarray'"),
    (lv.Array([2], [1.0, 2.0]), "'Array' object cannot be cast as 'ndarray'"),
])
def test_from_numpy_refusals(obj, message):
    with err(TypeError, message):
        lv.Array.from_numpy(obj)


def test_to_numpy_is_an_independent_copy_that_owns_its_buffer():
    a = lv.Array([2, 3], [1, 2, 3, 4, 5, 6])
    b = a.to_numpy()
    b[0, 0] = -1.0
    assert a.tolist() == [[1, 2, 3], [4, 5, 6]]
    owner = b
    while isinstance(owner, np.ndarray):
        owner = owner.base
    assert type(owner).__name__ == "PySliceContainer" and not hasattr(lv, "PySliceContainer")
    with pytest.raises(TypeError):
        type(owner)()
    del a, owner
    gc.collect()
    b += 1.0
    assert b.tolist() == [[0, 3, 4], [5, 6, 7]]


# Resident-size growth measures nothing under AddressSanitizer, whose
# allocator holds freed blocks in quarantine.
@pytest.mark.skipif(sanitized, reason="footprint test; meaningless under the sanitizer allocator")
def test_no_memory_kept_across_calls():
    resource = pytest.importorskip("resource")
    a = lv.Array([100, 100], [0.5] * 10_000)
    x = np.ones((100, 100), order="F")
    bad = x[:, ::2]

    def churn(n):
        for _ in range(n):
            a.to_numpy()
            lv.Array.from_numpy(x)
            try:
                lv.Array.from_numpy(bad)
            except TypeError:
                pass

    churn(200)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    churn(10_000)  # 80 KB per copy: a leak would add well over a gigabyte
    grown_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert grown_kb < 64 * 1024


def test_numpy_loaded_on_first_use_only():
    script = """
import sys
import lumivander as lv
assert "numpy" not in sys.modules
sys.modules["numpy"] = None  # NumPy unavailable
a = lv.Array([2], [1.0, 2.0])
for call in (a.to_numpy, lambda: lv.Array.from_numpy([1.0])):
    try:
        call()
    except ImportError:
        pass
    else:
        raise AssertionError("no ImportError")
del sys.modules["numpy"]
assert a.to_numpy().tolist() == [1.0, 2.0]
"""
    subprocess.run([sys.executable, "-c", script], check=True)
