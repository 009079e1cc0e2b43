"""Arrays of more dimensions than are kept inline in the array object: the
same results as with few dimensions."""

import pytest

import lumivander as lv

np = pytest.importorskip("numpy")


@pytest.mark.parametrize("sa, sb", [((2, 1, 3, 1, 2), (4, 1, 1, 2)), ((1, 2, 1, 2, 1, 2, 1, 3), (2, 1, 2, 1, 3)),
                                    ((3, 1, 1, 1, 1, 1), (1, 2)), ((2, 2, 2, 2, 2), (2, 2, 2, 2, 2)),
                                    ((1, 1, 1, 1, 1, 4), ()), ((2, 3), (2, 1, 1, 1, 1, 3))])
def test_broadcasting_beyond_inline_dims_matches_numpy(sa, sb):
    rng = np.random.default_rng(len(sa) * 10 + len(sb))
    x = rng.standard_normal(sa)
    y = rng.standard_normal(sb)
    a, b = lv.Array.from_numpy(x), lv.Array.from_numpy(y)
    for got, want in [(a + b, x + y), (a * b, x * y), (b - a, y - x), (a / 2.0, x / 2.0), (-a, -x)]:
        assert got.shape == list(want.shape)
        assert got.to_numpy().tobytes() == np.asarray(want).tobytes()


def test_indexing_and_conversions_beyond_inline_dims():
    x = np.arange(2 * 3 * 1 * 2 * 2 * 3, dtype=np.float64).reshape(2, 3, 1, 2, 2, 3)
    a = lv.Array.from_numpy(x)
    assert a.shape == [2, 3, 1, 2, 2, 3]
    assert a.tolist() == x.tolist()
    assert a[1, 2, 0, 1, 0, 2] == x[1, 2, 0, 1, 0, 2]
    assert a[1].shape == [3, 1, 2, 2, 3]
    assert a[1].tolist() == x[1].tolist()
    assert a[1, 2].shape == [1, 2, 2, 3]
    b = lv.Array(list(x.shape), x.ravel().tolist())
    assert (b - a).tolist() == np.zeros_like(x).tolist()
    assert repr(lv.zeros([1, 1, 1, 1, 1, 1, 2])).startswith("Array(shape=[1, 1, 1, 1, 1, 1, 2]")
