"""NumPy's array protocol: numpy.asarray / numpy.array on an Array."""
import subprocess
import sys

import pytest

import lumivander as lv

np = pytest.importorskip("numpy")

EDGE = np.array([0x8000000000000000, 0x7FF8000000000123, 0xFFF0000000000001, 0x7FF0000000000000, 1],
                dtype=np.uint64).view(np.float64)


def make(shape):
    n = int(np.prod(shape))
    flat = np.random.default_rng(n).standard_normal(n)
    flat[:len(EDGE)] = EDGE[:n]
    return lv.Array.from_numpy(flat.reshape(shape)), flat.reshape(shape)


@pytest.mark.parametrize("shape", [(), (0,), (2, 0), (5,), (2, 3), (3, 1, 4)])
@pytest.mark.parametrize("convert", [np.asarray, np.array, lambda a: np.array(a, copy=True),
                                     lambda a: np.asarray(a, dtype=np.float64)])
def test_conversion_is_a_bit_exact_float64_copy(shape, convert):
    a, expected = make(shape)
    x = convert(a)
    assert type(x) is np.ndarray and x.dtype == np.float64 and x.shape == shape
    assert x.flags.c_contiguous and x.flags.writeable
    assert np.array_equal(x.view(np.uint64), expected.view(np.uint64))
    if x.size:
        x.flat[0] = 99.0  # a copy: the Array is unchanged
        assert np.array_equal(np.asarray(a).view(np.uint64), expected.view(np.uint64))


def test_every_conversion_is_a_new_buffer():
    a, _ = make((4,))
    x, y = np.asarray(a), np.asarray(a)
    assert not np.shares_memory(x, y)


def test_copy_false_is_refused():
    a, _ = make((2, 2))
    with pytest.raises(ValueError, match="^Unable to avoid copy while creating an array as requested"):
        np.asarray(a, copy=False)
    with pytest.raises(ValueError, match="^Unable to avoid copy"):
        a.__array__(copy=False)


def test_dtype_is_honoured_with_numpys_casting():
    a = lv.Array([3], [1.5, -2.5, 3.0])
    assert np.asarray(a, dtype=np.float32).dtype == np.float32
    assert np.asarray(a, dtype=np.int64).tolist() == [1, -2, 3]
    assert a.__array__(np.complex128).tolist() == [1.5 + 0j, -2.5 + 0j, 3 + 0j]
    with pytest.raises(TypeError):
        np.asarray(a, dtype="not a dtype")


def test_numpy_functions_accept_arrays():
    a = lv.Array([2, 2], [1.0, 2.0, 3.0, 4.0])
    # np.sum would call Array.sum(axis=..., out=...); the ufunc reduction
    # goes through __array__.
    assert np.add.reduce(a, axis=None) == 10.0
    assert np.matmul(a, a).tolist() == [[7.0, 10.0], [15.0, 22.0]]
    assert (np.ones((2, 2)) + a).tolist() == [[2.0, 3.0], [4.0, 5.0]]


def test_numpy_scalars_on_the_left_keep_array_arithmetic():
    a = lv.Array([2], [1.0, 4.0])
    for r in (np.float64(2.0) * a, np.float32(2.0) * a, np.int64(2) * a):
        assert type(r) is lv.Array and r.tolist() == [2.0, 8.0]
    r = np.float64(1.0) / a
    assert type(r) is lv.Array and r.tolist() == [1.0, 0.25]


def test_importing_does_not_import_numpy():
    code = "import sys, lumivander as lv; lv.Array([1], [1.0]); assert 'numpy' not in sys.modules"
    subprocess.run([sys.executable, "-c", code], check=True)


A23 = lv.Array([2, 3], [1.0, -2.0, 3.5, -0.0, 5.0, float("nan")])
B3 = lv.Array([3], [0.0, 1.0, 2.5])


@pytest.mark.parametrize("name,call", [
    ("sum", lambda f, a, b: np.sum(a)),
    ("sum axis", lambda f, a, b: np.sum(a, axis=0)),
    ("sum out", lambda f, a, b: np.sum(a, axis=1, out=np.empty(2))),
    ("mean", lambda f, a, b: np.mean(a, axis=1, keepdims=True)),
    ("std", lambda f, a, b: np.std(a, axis=-1, ddof=1)),
    ("var", lambda f, a, b: np.var(b)),
    ("any", lambda f, a, b: np.any(a, axis=0)),
    ("all", lambda f, a, b: np.all(b)),
    ("nansum", lambda f, a, b: np.nansum(a, axis=(0, 1))),
    ("concatenate", lambda f, a, b: np.concatenate([a, f(a)], axis=0)),
    ("concatenate nested", lambda f, a, b: np.concatenate(((a,), [a]), axis=None)),
    ("stack", lambda f, a, b: np.stack([b, b, f(b)], axis=1)),
    ("where", lambda f, a, b: np.where(np.array([True, False, True]), b, f(a))),
    ("where 1-arg", lambda f, a, b: np.where(b)),
    ("norm", lambda f, a, b: np.linalg.norm(b)),
    ("norm axis", lambda f, a, b: np.linalg.norm(a, ord=1, axis=1)),
    ("shape", lambda f, a, b: np.shape(a)),
    ("reshape", lambda f, a, b: np.reshape(a, (3, 2), order="F")),
])
def test_numpy_functions_treat_arrays_as_ndarrays(name, call):
    # f is applied to some operands only, so mixed Array / ndarray calls are
    # covered; the reference converts every Array first.
    got = call(lambda x: x, A23, B3)
    want = call(np.asarray, np.asarray(A23), np.asarray(B3))
    assert type(got) is type(want)
    for g, w in zip(got if isinstance(got, tuple) else [got], want if isinstance(want, tuple) else [want]):
        g, w = np.asarray(g), np.asarray(w)
        assert g.dtype == w.dtype and g.shape == w.shape and g.tobytes() == w.tobytes(), name


def test_other_array_types_keep_their_turn():
    class Other:
        def __array_function__(self, func, types, args, kwargs):
            return "other", func.__name__, [type(x).__name__ for x in args[0]]

    # Other sees an ndarray where the Array was, as with np.asarray(a).
    assert np.concatenate([A23, Other()]) == ("other", "concatenate", ["ndarray", "Other"])


def test_arrays_out_of_reach_still_convert():
    from collections import deque
    got = np.concatenate(deque([A23, B3.__array__().reshape(1, 3)]))
    assert got.tobytes() == np.concatenate([np.asarray(A23), np.asarray(B3).reshape(1, 3)]).tobytes()
    deep = [B3]
    for _ in range(40):
        deep = [deep]
    assert np.sum(deep) == np.sum(np.asarray(B3))
    # The Array itself is untouched by the conversion.
    assert np.asarray(A23).tobytes() == lv.Array([2, 3], [1.0, -2.0, 3.5, -0.0, 5.0, float("nan")]).to_numpy().tobytes()


def test_array_function_does_not_import_numpy():
    code = ("import sys, lumivander as lv; a = lv.Array([1], [1.0]); "
            "assert hasattr(a, '__array_function__') and 'numpy' not in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True)
