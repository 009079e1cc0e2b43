"""Reductions, median and quantiles, Pearson and Spearman, the stats submodule
and the reduction methods of Array."""
import inspect
import math
import random
import struct

import pytest

import lumivander as lv
from conftest import err

NAN = float("nan")
INF = float("inf")


def bits(v):
    return struct.pack("<d", v)


def same(x, y):
    """Bit-for-bit equality of two floats (tells -0.0 from 0.0, NaN payloads apart)."""
    return bits(x) == bits(y)


def arr(values, shape=None):
    return lv.asarray(list(values), shape=shape)


def nan_with_payload(payload, negative=False):
    word = 0x7FF8000000000000 | payload | (1 << 63 if negative else 0)
    return struct.unpack("<d", struct.pack("<Q", word))[0]


# --------------------------------------------------------------------------
# Reference definitions, written from the documented behaviour.


def ref_sum(xs):
    s = -0.0
    for v in xs:
        s += v
    return s


def ref_var(xs):
    if not xs:
        return NAN
    m = ref_sum(xs) / len(xs)
    acc = -0.0
    for v in xs:
        acc += (v - m) * (v - m)
    return acc / len(xs)


def ref_sorted(xs):
    """Stable ascending sort by `<`, NaN after every number, in input order."""
    return sorted(xs, key=lambda v: (v != v, 0.0 if v != v else v))


def ref_median(xs):
    if not xs:
        return NAN
    s = ref_sorted(xs)
    n = len(s)
    if n % 2:
        return s[(n - 1) // 2]
    return (s[n // 2 - 1] + s[n // 2]) * 0.5


def agree(got, s, q):
    """got is the quantile q of the sorted list s.  A value taken straight from
    s must match bit for bit; an interpolated NaN only as NaN (which NaN an
    addition of two NaNs returns depends on operand order, which the compiler
    may swap)."""
    want = ref_quantile_sorted(s, q)
    if float((len(s) - 1) * q).is_integer() or want == want:
        return same(got, want)
    return got != got


def agree_median(got, xs):
    want = ref_median(xs)
    return same(got, want) or (len(xs) % 2 == 0 and want != want and got != got)


def ref_quantile_sorted(s, q):
    pos = (len(s) - 1) * q
    lo, hi = math.floor(pos), math.ceil(pos)
    if lo == hi:
        return s[lo]
    f = pos - lo
    return f * s[hi] + (1.0 - f) * s[lo]


def ref_ranks(xs):
    order = sorted(range(len(xs)), key=lambda i: (xs[i] != xs[i], 0.0 if xs[i] != xs[i] else xs[i]))
    out = [0.0] * len(xs)
    i = 0
    while i < len(xs):
        j = i + 1
        while j < len(xs) and xs[order[j]] == xs[order[i]]:
            j += 1
        for t in range(i, j):
            out[order[t]] = (i + 1 + j) * 0.5
        i = j
    return out


def ref_pearson(a, b):
    n = len(a)
    if n == 0:
        return 0.0
    ma, mb = ref_sum(a) / n, ref_sum(b) / n
    sxy = sxx = syy = 0.0
    for x, y in zip(a, b):
        da, db = x - ma, y - mb
        sxy += da * db
        sxx += da * da
        syy += db * db
    ra, rb = math.sqrt(sxx), math.sqrt(syy)
    if ra == 0.0 or rb == 0.0:
        return 0.0
    return sxy / (ra * rb)


def messy(n, seed, pool=None):
    """Values full of signed zeros, duplicates, infinities and NaNs with
    different payloads."""
    rnd = random.Random(seed)
    pool = pool or [0.0, -0.0, 0.0, -0.0, 1.5, -2.0, 1.5, INF, -INF,
                    NAN, nan_with_payload(5), nan_with_payload(7, negative=True)]
    out = []
    for _ in range(n):
        if rnd.random() < 0.5:
            out.append(rnd.choice(pool))
        else:
            out.append(rnd.uniform(-3, 3))
    return out


# --------------------------------------------------------------------------
# Reductions


@pytest.mark.parametrize("values,shape,expected", [
    ([1, 2, 3.5], None, 6.5),
    ([], [0], -0.0),
    ([], [3, 0], -0.0),
    ([1, 2, 3, 4], [2, 2], 10.0),
    ([-0.0], None, -0.0),
    ([0.0], None, 0.0),
    ([-0.0, -0.0], None, -0.0),
    ([-0.0, 0.0], None, 0.0),
    ([7.0], [], 7.0),
    ([1e16, 1.0, -1e16], None, 0.0),
    ([INF, -INF], None, NAN),
])
def test_sum_examples(values, shape, expected):
    a = arr(values, shape)
    assert same(a.sum(), expected) or (expected != expected and a.sum() != a.sum())
    assert same(lv.stats.sum(a), a.sum())


@pytest.mark.parametrize("seed", range(4))
def test_sums_are_strictly_left_to_right(seed):
    rnd = random.Random(seed)
    # Cancellation-heavy data: a pairwise or compensated sum gives other bits.
    xs = []
    for _ in range(3000):
        xs += [1e16, 1.0, -1e16, rnd.uniform(-1, 1) * 10 ** rnd.randint(-5, 16)]
    a = arr(xs)
    assert same(a.sum(), ref_sum(xs))
    assert same(a.mean(), ref_sum(xs) / len(xs))
    assert same(a.var(), ref_var(xs))
    assert same(a.std(), math.sqrt(ref_var(xs)))
    np = pytest.importorskip("numpy")
    assert np.sum(np.array(xs)) != ref_sum(xs)  # the data does tell the orders apart


@pytest.mark.parametrize("values,shape,mean,var", [
    ([1, 2, 3, 4], None, 2.5, 1.25),
    ([1, 2, 3], None, 2.0, 2 / 3),
    ([5.0], None, 5.0, 0.0),
    ([5.0], [], 5.0, 0.0),
    ([], [0], NAN, NAN),
    ([], [3, 0], NAN, NAN),
    ([1, NAN], None, NAN, NAN),
])
def test_mean_var_std(values, shape, mean, var):
    a = arr(values, shape)
    for got, want in ((a.mean(), mean), (a.var(), var), (a.std(), math.sqrt(var))):
        assert same(got, want) or (math.isnan(got) and math.isnan(want))
    assert same(a.std(), math.sqrt(1.25)) if values == [1, 2, 3, 4] else True


@pytest.mark.parametrize("values,shape,all_,any_", [
    ([1, -1, NAN], None, True, True),
    ([1, -0.0], None, False, True),
    ([0, -0.0], None, False, False),
    ([0, NAN], None, False, True),
    ([0.0, NAN], None, False, True),
    ([], [0], True, False),
    ([], [2, 0], True, False),
    ([3.0], [], True, True),
    ([0.0], [], False, False),
])
def test_all_any(values, shape, all_, any_):
    a = arr(values, shape)
    assert a.all() is all_ and lv.stats.all(a) is all_
    assert a.any() is any_ and lv.stats.any(a) is any_


@pytest.mark.parametrize("pos", [0, 255, 256, 257, 9999])
def test_all_any_find_a_single_deciding_element(pos):
    ones = [1.0] * 10000
    ones[pos] = -0.0
    assert arr(ones).all() is False
    zeros = [0.0] * 10000
    zeros[pos] = NAN
    assert arr(zeros).any() is True
    assert arr([1.0] * 10000).all() is True and arr([-0.0] * 10000).any() is False


# --------------------------------------------------------------------------
# Median and quantiles


@pytest.mark.parametrize("values,shape,expected", [
    ([3, 1, 2], None, 2.0),
    ([4, 1, 3, 2], None, 2.5),
    ([4, 1, 3, 2], [2, 2], 2.5),
    ([7.5], None, 7.5),
    ([7.5], [], 7.5),
    ([], [0], NAN),
    ([], [2, 0], NAN),
    ([1e308, 1.5e308], None, INF),
    ([0.0, -0.0], None, 0.0),
    ([-0.0, 0.0], None, 0.0),
    ([-0.0, -0.0], None, -0.0),
    ([-0.0, 5.0, 0.0], None, 0.0),
    ([0.0, 5.0, -0.0], None, -0.0),
])
def test_median_examples(values, shape, expected):
    a = arr(values, shape)
    got = a.median()
    assert same(got, expected) or (math.isnan(expected) and math.isnan(got))
    assert same(lv.stats.median(a), got) or math.isnan(got)


@pytest.mark.parametrize("values,q,expected", [
    ([1, 2, 3, 4], 0.25, 1.75),
    ([1, 2, 3, 4], 0.0, 1.0),
    ([1, 2, 3, 4], 1.0, 4.0),
    ([1, 2, 3, 4], -0.0, 1.0),
    ([5, 5, 5], 0.0, 5.0),
    ([5, 5, 5], 0.3, 5.0),
    ([5, 5, 5], 1.0, 5.0),
    ([1e308, 1.5e308], 0.5, 1.25e308),
    ([0.0, -0.0], 0.0, 0.0),
    ([-0.0, 0.0], 0.0, -0.0),
    ([0.0, -0.0], 1.0, -0.0),
    ([9, 2, 7], 0.5, 7.0),
])
def test_quantile_examples(values, q, expected):
    a = arr(values)
    assert same(a.quantile(q), expected)
    assert same(lv.stats.quantile(a, q), expected)
    assert type(a.quantile(q)) is float


def test_quantile_half_of_odd_length_is_the_median():
    rnd = random.Random(3)
    for n in (1, 3, 5, 101, 20001):
        a = arr(rnd.uniform(-5, 5) for _ in range(n))
        assert same(a.quantile(0.5), a.median())


@pytest.mark.parametrize("q", [-0.1, 1.0000001, NAN, -INF, INF])
@pytest.mark.parametrize("shape", [[3], [0]])
def test_invalid_level(q, shape):
    a = lv.zeros(shape)
    with err(ValueError, "Quantile must be between 0 and 1"):
        a.quantile(q)
    with err(ValueError, "Quantile must be between 0 and 1"):
        lv.stats.quantile(a, q)
    with err(ValueError, "Quantile must be between 0 and 1"):
        a.quantile(arr([0.5, q, 0.5]))


def test_quantiles_with_an_array_of_levels():
    a = arr([1, 2, 3, 4])
    q = arr([0.25, 1.0, 0.0, 0.5], shape=[2, 2])
    r = lv.stats.quantile(a, q)
    assert type(r) is lv.Array and r.shape == [4]
    assert r.tolist() == [1.75, 4.0, 1.0, 2.5]
    assert a.quantile(q).tolist() == r.tolist()
    assert a.quantile(arr([])).shape == [0]
    assert a.quantile(arr([0.3], shape=[])).tolist() == [a.quantile(0.3)]
    empty = lv.zeros([0])
    out = empty.quantile(arr([0.1, 0.9])).tolist()
    assert len(out) == 2 and all(math.isnan(v) for v in out)
    assert lv.zeros([2, 0]).quantile(arr([])).shape == [0]
    with err(ValueError, "Quantile must be between 0 and 1"):
        a.quantile(arr([0.5, 0.1, 2.0]))
    # The levels may be the data itself.
    b = arr([0.0, 0.5, 1.0])
    assert lv.stats.quantile(b, b).tolist() == [0.0, 0.5, 1.0]


LEVELS = [0.0, 1e-9, 0.1, 0.25, 1 / 3, 0.5, 0.6, 0.9, 0.999, 1.0]


@pytest.mark.parametrize("n", [1, 2, 3, 10, 101, 1000, 20000, 50001])
@pytest.mark.parametrize("seed", range(3))
def test_order_statistics_match_the_stable_sort(n, seed):
    """Signed zeros, NaN payloads, infinities and duplicates: selection gives
    the stable sort's bits, on the sampled path and the copying one."""
    xs = messy(n, seed * 1000 + n)
    a = arr(xs)
    s = ref_sorted(xs)
    assert agree_median(a.median(), xs)
    for q in LEVELS:
        assert agree(a.quantile(q), s, q), q
    many = a.quantile(arr(LEVELS)).tolist()
    assert all(agree(v, s, q) for v, q in zip(many, LEVELS))
    few = a.quantile(arr([0.9, 0.1])).tolist()
    assert agree(few[0], s, 0.9) and agree(few[1], s, 0.1)


@pytest.mark.parametrize("pool", [
    [0.0, -0.0],                      # only zeros: every rank needs the input order
    [-0.0, 0.0, 1.0, -1.0],           # few distinct values: pivots with heavy ties
    [NAN, nan_with_payload(9, True), 2.0],  # mostly NaN
    [INF, -INF, 0.0, -0.0],
])
@pytest.mark.parametrize("n", [7, 30000, 30001])
def test_order_statistics_on_few_distinct_values(pool, n):
    rnd = random.Random(n)
    xs = [rnd.choice(pool) for _ in range(n)]
    a = arr(xs)
    s = ref_sorted(xs)
    assert agree_median(a.median(), xs)
    for q in (0.0, 0.2, 0.5, 0.77, 1.0):
        assert agree(a.quantile(q), s, q)
    got = a.quantile(arr(LEVELS)).tolist()
    assert all(agree(v, s, q) for v, q in zip(got, LEVELS))


@pytest.mark.parametrize("layout", ["sorted", "reversed", "sawtooth", "organ"])
def test_order_statistics_on_structured_layouts(layout):
    n = 40000
    base = [float(i % 1000) if layout == "sawtooth" else float(i) for i in range(n)]
    if layout == "reversed":
        base.reverse()
    if layout == "organ":
        base = base[::2] + base[1::2][::-1]
    a = arr(base)
    s = ref_sorted(base)
    assert same(a.median(), ref_median(base))
    for q in (0.0, 0.01, 0.5, 0.99, 1.0):
        assert same(a.quantile(q), ref_quantile_sorted(s, q))


def test_nan_only_input_keeps_nan_payloads_in_input_order():
    xs = [nan_with_payload(p, p % 2 == 0) for p in range(1, 8)]
    a = arr(xs)
    assert same(a.median(), xs[3])
    assert same(a.quantile(0.0), xs[0]) and same(a.quantile(1.0), xs[6])


def test_quantiles_against_numpy():
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(5)
    for n in (1, 2, 9, 1000, 100001):
        x = rng.standard_normal(n)
        x[::7] = np.round(x[::7])  # ties
        a = lv.Array.from_numpy(x)
        qs = np.array([0.0, 0.01, 0.25, 0.5, 0.7, 0.9, 1.0])
        want = np.quantile(x, qs, method="linear")
        got = a.quantile(lv.Array.from_numpy(qs)).tolist()
        assert got == pytest.approx(want.tolist(), rel=1e-14, abs=1e-300)
        assert a.median() == np.median(x)
        assert a.quantile(0.9) == pytest.approx(np.quantile(x, 0.9), rel=1e-14)


def test_reductions_leave_the_input_unchanged():
    xs = messy(25000, 11)
    a = arr(xs)
    before = [bits(v) for v in a.tolist()]
    a.median()
    a.quantile(0.3)
    a.quantile(arr(LEVELS))
    a.var()
    lv.stats.spearman(a, a)
    assert [bits(v) for v in a.tolist()] == before


# --------------------------------------------------------------------------
# Correlation


@pytest.mark.parametrize("a,b,expected", [
    ([1, 2, 3], [2, 4, 6], 1.0),
    ([1, 2, 3], [3, 2, 1], -1.0),
    ([1, 2, 3], [5, 5, 5], 0.0),
    ([5, 5, 5], [1, 2, 3], 0.0),
    ([], [], 0.0),
    ([1, NAN, 3], [1, 2, 3], NAN),
])
def test_pearson_examples(a, b, expected):
    got = lv.stats.pearson(arr(a), arr(b))
    assert type(got) is float
    assert same(got, ref_pearson(a, b)) or (math.isnan(got) and math.isnan(expected))
    assert got == pytest.approx(expected, rel=1e-15) or math.isnan(expected)
    if expected == 0.0:
        assert same(got, 0.0)


@pytest.mark.parametrize("a,b,expected", [
    ([1, 2, 3, 4], [1, 4, 9, 16], 1.0),
    ([1, 2, 2, 3], [1, 2, 3, 4], ref_pearson([1, 2.5, 2.5, 4], [1, 2, 3, 4])),
    ([3, 3, 3], [1, 2, 3], 0.0),
    ([], [], 0.0),
    ([10, 20, 20, 5], [2.0, 3.5, 3.5, 1.0], 1.0),
    ([-0.0, 0.0, 1.0], [1.0, 1.0, 2.0], 1.0),
])
def test_spearman_examples(a, b, expected):
    got = lv.stats.spearman(arr(a), arr(b))
    assert got == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize("n", [0, 1, 2, 17, 511, 512, 513, 5000, 70000])
def test_spearman_is_pearson_of_reference_ranks(n):
    rnd = random.Random(n)
    a = [rnd.choice([rnd.randint(-5, 5), rnd.uniform(-1, 1), 0.0, -0.0, NAN, INF]) for _ in range(n)]
    b = [rnd.randint(0, 40) * 0.5 for _ in range(n)]
    want = ref_pearson(ref_ranks(a), ref_ranks(b))
    assert same(lv.stats.spearman(arr(a), arr(b)), want)
    assert same(lv.stats.pearson(arr(b), arr(a[::-1])), ref_pearson(b, a[::-1])) or n and math.isnan(
        ref_pearson(b, a[::-1]))


def test_correlation_against_scipy():
    np = pytest.importorskip("numpy")
    sp = pytest.importorskip("scipy.stats")
    rng = np.random.default_rng(9)
    for n in (3, 50, 1000, 100000):
        x = rng.integers(0, max(2, n // 10), n).astype(float)  # many ties
        y = x * 0.3 + rng.standard_normal(n)
        a, b = lv.Array.from_numpy(x), lv.Array.from_numpy(y)
        assert lv.stats.pearson(a, b) == pytest.approx(sp.pearsonr(x, y)[0], rel=1e-12)
        assert lv.stats.spearman(a, b) == pytest.approx(sp.spearmanr(x, y)[0], rel=1e-12)


@pytest.mark.parametrize("a,b", [
    ([0.0044, 0.0048, 0.0039, 0.0038, 0.0034], [2.48e-188, 7.41e-181, 4.09e-208, 2.08e-223, 2.66e-245]),
    ([2.3e200, 4.5e200, 6.7e200, 8e200], [1.2e199, 5.5e200, 3.3e201, 1.0e200]),
    ([5e-324, 1e-323, 2e-323, 5e-324], [1e308, -1.7e308, 3e307, 0.0]),
])
def test_pearson_of_tiny_and_huge_values(a, b):
    # Squared deviations under- or overflow unless the inputs are rescaled;
    # the oracle is exact rational arithmetic (SciPy overflows on the last).
    from fractions import Fraction
    fa, fb = [Fraction(x) for x in a], [Fraction(x) for x in b]
    ma, mb = sum(fa) / len(fa), sum(fb) / len(fb)
    sxy = sum((x - ma) * (y - mb) for x, y in zip(fa, fb))
    r2 = sxy * sxy / (sum((x - ma) ** 2 for x in fa) * sum((y - mb) ** 2 for y in fb))
    want = math.sqrt(float(r2)) * (1 if sxy > 0 else -1)
    assert lv.stats.pearson(arr(a), arr(b)) == pytest.approx(want, rel=1e-13)


def test_pearson_ignores_power_of_two_scaling_bit_for_bit():
    rnd = random.Random(4)
    for n in (2, 3, 50, 1000):
        a = [rnd.uniform(-3, 3) for _ in range(n)]
        b = [x * 0.5 + rnd.gauss(0, 1) for x in a]
        want = ref_pearson(a, b)
        for ka, kb in ((0, 0), (-600, 700), (900, -1000), (-1000, -1000), (3, 0)):
            got = lv.stats.pearson(arr([math.ldexp(x, ka) for x in a]), arr([math.ldexp(x, kb) for x in b]))
            assert same(got, want), (n, ka, kb)


def test_correlations_stay_within_one_and_constant_input_is_exactly_zero():
    assert same(lv.stats.spearman(arr([1, 1, 2]), arr([1, 1, 2])), 1.0)   # unclamped: 1.0000000000000002
    assert same(lv.stats.spearman(arr([1, 1, 2]), arr([2, 2, 1])), -1.0)
    rnd = random.Random(8)
    for _ in range(300):
        x = [rnd.choice([0.1, 0.7, 1.3, 2.9]) for _ in range(rnd.randint(2, 9))]
        for fn in (lv.stats.pearson, lv.stats.spearman):
            assert -1.0 <= fn(arr(x), arr(x)) <= 1.0
            assert -1.0 <= fn(arr(x), arr([-v for v in x])) <= 1.0
    # The rounded mean of three 0.667 is not 0.667: the formula alone gives -2e-16.
    assert same(lv.stats.pearson(arr([0.667] * 3), arr([1, 2, 3])), 0.0)
    assert same(lv.stats.pearson(arr([1, 2, 3]), arr([0.1] * 3)), 0.0)
    assert same(lv.stats.pearson(arr([-0.0, 0.0]), arr([1, 2])), 0.0)        # both zeros are equal
    assert math.isnan(lv.stats.pearson(arr([NAN, NAN]), arr([1, 2])))          # NaN is never constant
    assert same(lv.stats.spearman(arr([0.667] * 3), arr([1, 2, 3])), 0.0)


@pytest.mark.parametrize("fn,a,b,message", [
    ("pearson", [3], [4], "Arrays must have same length"),
    ("pearson", [2, 2], [2, 2], "Array must be 1d"),
    ("pearson", [2, 2], [3], "Arrays must have same length"),
    ("pearson", [2, 2], [4], "Array must be 1d"),
    ("pearson", [4], [2, 2], "Array must be 1d"),
    ("pearson", [], [], "Array must be 1d"),
    ("spearman", [2, 2], [3], "Array must be 1d"),
    ("spearman", [3], [2, 2], "Array must be 1d"),
    ("spearman", [3], [4], "Arrays must have same length"),
    ("spearman", [2, 2], [2, 2], "Array must be 1d"),
    ("spearman", [], [1], "Array must be 1d"),
])
def test_correlation_errors(fn, a, b, message):
    with err(ValueError, message):
        getattr(lv.stats, fn)(lv.ones(a), lv.ones(b))


# --------------------------------------------------------------------------
# The submodule and the methods


FUNCTIONS = ["sum", "mean", "var", "std", "median", "quantile", "any", "all", "pearson", "spearman"]


def test_submodule_layout_and_signatures():
    assert lv.stats.__all__ == FUNCTIONS
    for name in FUNCTIONS:
        params = {"quantile": "(a, q)", "pearson": "(a, b)", "spearman": "(a, b)"}.get(name, "(a)")
        assert str(inspect.signature(getattr(lv.stats, name))) == params
    for name in FUNCTIONS[:8]:
        want = "(self, /, q)" if name == "quantile" else "(self, /)"
        assert str(inspect.signature(getattr(lv.Array, name))) == want


@pytest.mark.parametrize("shape", [[0], [], [1], [7], [3, 4], [2, 0, 3]])
def test_methods_equal_functions(shape):
    rnd = random.Random(len(shape))
    n = math.prod(shape)
    a = arr(messy(n, 1), shape) if n else lv.zeros(shape)
    for name in FUNCTIONS[:8]:
        args = (0.3,) if name == "quantile" else ()
        m, f = getattr(a, name)(*args), getattr(lv.stats, name)(a, *args)
        assert type(m) is type(f) and (same(m, f) if type(m) is float else m is f)
    del rnd


@pytest.mark.parametrize("bad,tname", [([1, 2, 3], "list"), (2.0, "float"), ("x", "str"), (None, "NoneType")])
def test_cast_errors(bad, tname):
    a = arr([1, 2, 3])
    for name in FUNCTIONS[:8]:
        args = (0.5,) if name == "quantile" else ()
        with err(TypeError, f"argument 'a': '{tname}' object cannot be cast as 'Array'"):
            getattr(lv.stats, name)(bad, *args)
    for name in ("pearson", "spearman"):
        with err(TypeError, f"argument 'a': '{tname}' object cannot be cast as 'Array'"):
            getattr(lv.stats, name)(bad, a)
        with err(TypeError, f"argument 'b': '{tname}' object cannot be cast as 'Array'"):
            getattr(lv.stats, name)(a, bad)


def test_numpy_arrays_are_refused():
    np = pytest.importorskip("numpy")
    with err(TypeError, "argument 'a': 'ndarray' object cannot be cast as 'Array'"):
        lv.stats.median(np.zeros(3))


@pytest.mark.parametrize("q,tname,why", [
    ([0.25, 0.75], "list", "must be real number, not list"),
    ("0.5", "str", "must be real number, not str"),
    (None, "NoneType", "must be real number, not NoneType"),
])
def test_quantile_level_conversion_errors(q, tname, why):
    a = arr([1, 2, 3])
    message = (
        "argument 'q': failed to extract enum ArrayOrScalar ('Array | Scalar')\n"
        "- variant Array (Array): TypeError: failed to extract field ArrayOrScalar::Array.0, caused by "
        f"TypeError: '{tname}' object cannot be cast as 'Array'\n"
        "- variant Scalar (Scalar): TypeError: failed to extract field ArrayOrScalar::Scalar.0, caused by "
        f"TypeError: {why}"
    )
    with err(TypeError, message):
        lv.stats.quantile(a, q)
    with err(TypeError, message):
        a.quantile(q)


def test_level_conversion_accepts_numbers_and_hooks():
    class Half:
        def __float__(self):
            return 0.5

    class One:
        def __index__(self):
            return 1

    a = arr([1, 2, 3, 4])
    assert a.quantile(Half()) == 2.5 and a.quantile(One()) == 4.0 and a.quantile(True) == 4.0
    assert lv.stats.quantile(a=a, q=0) == 1.0


def test_level_hook_cannot_mutate_the_borrowed_array():
    a = arr([1, 2, 3, 4])

    class Sneaky:
        def __float__(self):
            a[0] = 100.0
            return 0.5

    with pytest.raises((TypeError, RuntimeError)):
        a.quantile(Sneaky())
    with pytest.raises((TypeError, RuntimeError)):
        lv.stats.quantile(a, Sneaky())
    assert a.tolist() == [1, 2, 3, 4]


@pytest.mark.parametrize("call", [
    lambda: lv.stats.sum(),
    lambda: lv.stats.sum(lv.zeros([1]), lv.zeros([1])),
    lambda: lv.stats.quantile(lv.zeros([1])),
    lambda: lv.stats.pearson(lv.zeros([1]), c=1),
    lambda: lv.zeros([1]).sum(1),
    lambda: lv.zeros([1]).quantile(),
    lambda: lv.zeros([1]).median(axis=0),
])
def test_argument_count_errors(call):
    with pytest.raises(TypeError):
        call()


def test_keywords_and_same_array_twice():
    a = arr([1, 2, 3, 5])
    assert lv.stats.pearson(a=a, b=a) == pytest.approx(1.0)
    assert lv.stats.spearman(b=a, a=a) == pytest.approx(1.0)
    assert lv.stats.quantile(q=0.5, a=a) == 2.5
    assert lv.stats.mean(a=a) == 2.75
    assert a.quantile(q=1.0) == 5.0


def _sampled_positions(n):
    """The positions the large-array selection samples first (a SplitMix64
    stream seeded from n), so inputs can be built that mislead it."""
    mask = (1 << 64) - 1
    state = (0x5EED ^ n) & mask
    out = []
    for _ in range(min(1 << 14, n // 16)):
        state = (state + 0x9E3779B97F4A7C15) & mask
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        z ^= z >> 31
        out.append((z * n) >> 64)
    return out


@pytest.mark.parametrize("trap", ["sample_high", "sample_wide"])
def test_order_statistics_when_the_sample_misleads(trap):
    n = 40000
    rnd = random.Random(2)
    xs = [rnd.choice([-0.0, 0.0]) if rnd.random() < 0.3 else rnd.uniform(0.49, 0.51) for _ in range(n)]
    for i, p in enumerate(_sampled_positions(n)):
        xs[p] = 1000.0 + i if trap == "sample_high" else rnd.uniform(-1e6, 1e6)
    a = arr(xs)
    s = ref_sorted(xs)
    assert agree_median(a.median(), xs)
    for q in (0.0, 0.3, 0.5, 0.97, 1.0):
        assert agree(a.quantile(q), s, q)


def test_results_do_not_depend_on_the_thread_count():
    import os
    import subprocess
    import sys

    script = r"""
import random, struct, lumivander as lv
rnd = random.Random(4)
xs = [rnd.choice([0.0, -0.0, float("nan"), rnd.uniform(-1, 1)]) for _ in range(300000)]
ys = [float(rnd.randint(0, 50)) for _ in range(300000)]
a, b = lv.asarray(xs), lv.asarray(ys)
big = lv.asarray(xs * 8)  # large enough for the selection pass to split
out = [a.sum(), a.var(), a.median(), a.quantile(0.37), lv.stats.spearman(a, b), lv.stats.pearson(b, b)]
out += a.quantile(lv.asarray([0.1, 0.5, 0.9])).tolist() + b.quantile(lv.asarray([i / 40 for i in range(41)])).tolist()
out += [big.median(), big.quantile(0.61)] + big.quantile(lv.asarray([0.2, 0.3, 0.8, 0.99])).tolist()
print([struct.pack("<d", v).hex() for v in out])
"""
    runs = []
    for threads in ("1", "2", "3"):
        env = dict(os.environ, LUMIVANDER_NUM_THREADS=threads)
        runs.append(subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                                   check=True).stdout)
    assert runs[0] == runs[1] == runs[2] and runs[0].startswith("[")


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError, ZeroDivisionError])
def test_errors_from_level_hooks_and_the_borrow_is_released(exc):
    class Raiser:
        def __float__(self):
            raise exc("hook")

    a = arr([1, 2, 3])
    for call in (lambda: a.quantile(Raiser()), lambda: lv.stats.quantile(a, Raiser())):
        # Interrupts pass through; an ordinary error becomes the conversion TypeError.
        with pytest.raises(TypeError if exc is ZeroDivisionError else exc):
            call()
    a[0] = 5.0
    assert a.tolist() == [5.0, 2.0, 3.0]
