"""Pickling and copying: bit-exact round trips, loading in a fresh process,
validation of truncated and tampered states."""
import base64
import copy
import math
import pickle
import random
import struct
import subprocess
import sys

import numpy as np
import pytest

import lumivander as lv
from conftest import err
from spatial_oracle import distances, reseal, xxh64

# -0.0, a quiet NaN with payload, a negative signalling NaN, inf, -inf, the
# smallest subnormal, the largest finite value.
EDGE = [struct.unpack("<d", struct.pack("<Q", b))[0] for b in (
    0x8000000000000000, 0x7FF8000000000123, 0xFFF0000000000001, 0x7FF0000000000000,
    0xFFF0000000000000, 1, 0x7FEFFFFFFFFFFFFF)]
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def bits(a):
    """The exact bit patterns of an Array's elements, with its shape."""
    return a.shape, [struct.pack("<d", x) for x in a]


def sample(shape):
    n = 1
    for s in shape:
        n *= s
    rnd = random.Random(n * 31 + len(shape))
    data = [rnd.uniform(-1e3, 1e3) for _ in range(n)]
    data[:len(EDGE)] = EDGE[:n]
    return lv.Array(list(shape), data)


SHAPES = [(), (0,), (2, 0), (0, 3), (1,), (7,), (2, 3), (3, 1, 4), (1, 1, 1, 1, 2)]


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_pickle_round_trip_is_bit_exact(shape, protocol):
    a = sample(shape)
    b = pickle.loads(pickle.dumps(a, protocol=protocol))
    assert type(b) is lv.Array and b is not a
    assert bits(b) == bits(a)


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("how", [copy.copy, copy.deepcopy])
def test_copies_are_bit_exact_and_independent(shape, how):
    a = sample(shape)
    before = bits(a)
    b = how(a)
    assert type(b) is lv.Array and b is not a and bits(b) == before
    if len(b):
        b[(0,) * len(shape)] = 12345.0
        assert bits(a) == before


def test_deepcopy_keeps_sharing_within_a_structure():
    a = lv.Array([2], [1.0, -0.0])
    box = {"x": a, "y": [a, a]}
    out = copy.deepcopy(box)
    assert out["x"] is out["y"][0] is out["y"][1]
    assert out["x"] is not a and bits(out["x"]) == bits(a)


def test_shared_references_survive_pickling():
    a = lv.Array([3], [1.0, 2.0, 3.0])
    x, y = pickle.loads(pickle.dumps((a, a)))
    assert x is y and bits(x) == bits(a)


def test_pickle_refuses_while_the_array_is_being_written():
    class Evil:
        def __float__(self):
            pickle.dumps(a)
            return 1.0

    a = lv.Array([2], [1.0, 2.0])
    with err(RuntimeError, "Already mutably borrowed"):
        a[0] = Evil()
    assert a.tolist() == [1.0, 2.0]


def test_loads_in_a_fresh_process_and_adds_no_public_names():
    a = sample((2, 3))
    payload = pickle.dumps(a)
    script = (
        "import pickle, struct, sys\n"
        "a = pickle.loads(sys.stdin.buffer.read())\n"
        "import lumivander as lv\n"
        "assert type(a) is lv.Array\n"
        "assert not hasattr(lv, '_pickle')\n"
        "print(a.shape, [struct.pack('<d', x).hex() for x in a])\n"
    )
    out = subprocess.run([sys.executable, "-c", script], input=payload, capture_output=True, check=True)
    shape, data = bits(a)
    assert out.stdout.decode().strip() == f"{shape} {[d.hex() for d in data]}"
    assert "_pickle" not in dir(lv) and not any(n.startswith("_") for n in lv.__all__)


def test_loads_after_the_package_was_removed_from_sys_modules():
    payload = pickle.dumps(lv.Array([1], [2.5]))
    saved = {k: sys.modules.pop(k) for k in list(sys.modules) if k.startswith("lumivander")}
    try:
        assert pickle.loads(payload).tolist() == [2.5]
    finally:
        sys.modules.update(saved)


def test_reduce_format():
    fn, args = lv.Array([2, 1], [1.0, -0.0]).__reduce__()
    assert (fn.__module__, fn.__name__) == ("lumivander._pickle", "array")
    assert args == (1, (2, 1), struct.pack("<2d", 1.0, -0.0))


# --------------------------------------------------------------------------
# Validation on load.

RESTORE = lv.Array([1], [0.0]).__reduce__()[0]
GOOD = (1, (2, 3), bytes(48))


@pytest.mark.parametrize("args,exc,message", [
    ((2, (2, 3), bytes(48)), ValueError, "invalid Array state: unsupported version 2 (this version reads 1)"),
    (("1", (2, 3), bytes(48)), ValueError, "invalid Array state: the version tag is not an int"),
    ((1, [2, 3], bytes(48)), ValueError, "invalid Array state: the shape is not a tuple"),
    ((1, (2, -3), bytes(48)), ValueError, "invalid Array state: a dimension is negative"),
    ((1, (2, 3.0), bytes(48)), ValueError, "invalid Array state: a dimension is not an int"),
    ((1, (True, 6), bytes(48)), ValueError, "invalid Array state: a dimension is not an int"),
    ((1, (2**64, 1), bytes(48)), ValueError, "invalid Array state: a dimension is out of range"),
    ((1, (2**40, 2**40), b""), ValueError,
     "invalid Array state: the shape [1099511627776, 1099511627776] is too big"),
    ((1, (2, 3), bytes(47)), ValueError, "invalid Array state: the data has 47 bytes, the shape [2, 3] needs 48"),
    ((1, (2, 3), bytes(56)), ValueError, "invalid Array state: the data has 56 bytes, the shape [2, 3] needs 48"),
    ((1, (), b""), ValueError, "invalid Array state: the data has 0 bytes, the shape [] needs 8"),
    ((1, (2, 3), "x" * 48), ValueError, "invalid Array state: the data is not a bytes-like object"),
    ((1, (2, 3), [0.0] * 6), ValueError, "invalid Array state: the data is not a bytes-like object"),
])
def test_tampered_states_raise_value_error(args, exc, message):
    with err(exc, message):
        RESTORE(*args)


def test_any_bytes_like_object_is_accepted():
    raw = struct.pack("<3d", 1.0, float("-inf"), -0.0)
    for data in (raw, bytearray(raw), memoryview(raw), pickle.PickleBuffer(raw)):
        assert bits(RESTORE(1, (3,), data)) == ([3], [raw[i:i + 8] for i in (0, 8, 16)])


def test_out_of_band_buffers():
    a = sample((4, 5))
    buffers = []
    payload = pickle.dumps(a, protocol=5, buffer_callback=buffers.append)
    assert bits(pickle.loads(payload, buffers=buffers)) == bits(a)


def test_protocol_5_writes_the_array_memory_and_locks_it_while_exported():
    a = sample((3, 2))
    before = bits(a)
    buffers = []
    payload = pickle.dumps(a, protocol=5, buffer_callback=buffers.append)
    view = memoryview(buffers[0])
    assert view.readonly and view.nbytes == 48 and view.tobytes() == b"".join(before[1])
    with err(RuntimeError, "Already borrowed"):
        a[0, 0] = 1.0  # a consumer still reads the elements
    del view
    assert bits(pickle.loads(payload, buffers=buffers)) == before
    buffers[0].release()
    a[0, 0] = 1.0  # released: writable again
    fn, args = a.__reduce_ex__(4)
    assert args[2] == b"".join(bits(a)[1])  # earlier protocols pickle a bytes copy


def test_protocol_5_buffer_is_read_only():
    _, (_, _, buf) = lv.Array([1], [2.0]).__reduce_ex__(5)
    with pytest.raises(TypeError, match="read-only"):
        memoryview(buf).cast("B")[0:1] = b"x"


def test_truncated_pickles_raise():
    payload = pickle.dumps(sample((2, 2)))
    for cut in range(len(payload)):
        with pytest.raises(Exception) as info:
            pickle.loads(payload[:cut])
        assert not isinstance(info.value, SystemError)


def test_fuzzed_states_never_build_a_broken_array():
    rnd = random.Random(13)
    pool = [0, 1, 2, 3, 6, 7, 8, 47, 48, -1, 2**63, 2**64 + 1, True, None, 1.5, "1", b"", (), [], (2,)]

    def mutate(args):
        args = list(args)
        i = rnd.randrange(3)
        kind = rnd.randrange(4)
        if i == 2 and kind < 2:
            data = bytearray(args[2])
            if kind == 0 and data:
                del data[rnd.randrange(len(data)):]
            else:
                data += bytes(rnd.randrange(1, 16))
            args[2] = bytes(data)
        elif i == 1 and kind < 3:
            shape = list(args[1])
            if shape and kind == 0:
                shape[rnd.randrange(len(shape))] = rnd.choice(pool)
            elif kind == 1:
                shape.append(rnd.choice([0, 1, 2, 2**32]))
            elif shape:
                shape.pop()
            args[1] = tuple(shape)
        else:
            args[i] = rnd.choice(pool)
        return args

    built = 0
    for _ in range(3000):
        args = mutate(GOOD)
        try:
            a = RESTORE(*args)
        except ValueError:
            continue
        built += 1
        n = 1
        for s in a.shape:
            n *= s
        assert len(a) == n and len(list(a)) == n
    assert built > 0


# --------------------------------------------------------------------------
# Generator.

SAMPLERS = [
    lambda g: g.uniform(-1.0, 2.0, [5]),
    lambda g: g.randint(-5, 2**40, [2, 3]),
    lambda g: g.standard_normal([7]),
    lambda g: g.gamma(0.5, 2.0, [4]),
    lambda g: g.beta(2.0, 3.0, [3]),
]


def draws(g):
    return [bits(s(g)) for s in SAMPLERS]


@pytest.mark.parametrize("seed", [0, 1, 2**64 - 1])
@pytest.mark.parametrize("how", [
    *(lambda g, p=p: pickle.loads(pickle.dumps(g, protocol=p)) for p in PROTOCOLS),
    copy.copy, copy.deepcopy])
def test_generator_copies_continue_the_same_stream(seed, how):
    g = lv.random.seed(seed)
    g.standard_normal([3])  # an odd count: no state may hide in a cached pair
    twin = how(g)
    assert type(twin) is lv.Generator and twin is not g
    assert draws(twin) == draws(g)
    assert draws(twin) == draws(g)  # and they stay independent afterwards


def test_generator_copy_refused_during_sampling():
    class Evil:
        def __index__(self):
            copy.copy(g)
            return 1

    g = lv.random.seed(3)
    with err(RuntimeError, "Already mutably borrowed"):
        g.uniform(0.0, 1.0, [Evil()])


GEN_RESTORE = lv.random.seed(1).__reduce__()[0]


@pytest.mark.parametrize("args,message", [
    ((1, bytes(32)), "invalid Generator state: a generator state cannot be all zero"),
    ((1, bytes(31)), "invalid Generator state: the state has 31 bytes, expected 32"),
    ((1, bytes(33)), "invalid Generator state: the state has 33 bytes, expected 32"),
    ((0, b"\x01" * 32), "invalid Generator state: unsupported version 0 (this version reads 1)"),
    ((None, b"\x01" * 32), "invalid Generator state: the version tag is not an int"),
    ((1, "x" * 32), "invalid Generator state: the state is not a bytes-like object"),
])
def test_tampered_generator_states(args, message):
    with err(ValueError, message):
        GEN_RESTORE(*args)


def test_generator_state_is_the_four_words_little_endian():
    fn, (version, state) = lv.random.seed(42).__reduce__()
    assert (fn.__module__, fn.__name__, version, len(state)) == ("lumivander._pickle", "generator", 1, 32)
    g = GEN_RESTORE(1, state)
    assert bits(g.uniform(0, 1, [4])) == bits(lv.random.seed(42).uniform(0, 1, [4]))


# --------------------------------------------------------------------------
# Spatial trees.

TREES = {
    "KDTree": (lambda p, **kw: lv.spatial.KDTree.from_array(p, **kw), 41, 2),
    "BallTree": (lambda p, **kw: lv.spatial.BallTree.from_array(p, **kw), 32, 1),
    "VPTree": (lambda p, **kw: lv.spatial.VPTree.from_array(p, selection="random", **kw), 57, 0),
}
# Bytes of one node in memory (KDNode, BallNode, VPNode), for the size bound.
NODE_BYTES = {"KDTree": 48, "BallTree": 32, "VPTree": 64}


def cloud(n, dim, seed=1):
    g = lv.random.seed(seed)
    pts = g.uniform(-1.0, 1.0, [n, dim])
    return lv.asarray([round(v, 1) for v in pts], shape=[n, dim])  # many ties and duplicates


def answers(tree, queries):
    out = [(tree.query_knn(q, 5), tree.query_radius(q, 0.5)) for q in queries]
    if hasattr(tree, "kernel_density"):
        qs = lv.asarray([c for q in queries for c in q], shape=[len(queries), len(queries[0])])
        out.append(bits(tree.kernel_density(qs, 0.5, "epanechnikov")))
        out.append(bits(tree.kernel_density_approx(qs, 0.5, "gaussian", "combined", min_samples=4, max_span=0.5)))
    return out


@pytest.mark.parametrize("kind", TREES)
@pytest.mark.parametrize("metric", ["euclidean", "manhattan", "chebyshev"])
@pytest.mark.parametrize("leaf_size", [0, 1, 20])
def test_trees_round_trip_their_built_structure(kind, metric, leaf_size):
    build = TREES[kind][0]
    pts = cloud(300, 3)
    tree = build(pts, leaf_size=leaf_size, metric=metric)
    queries = cloud(30, 3, seed=2).tolist()
    expected = answers(tree, queries)
    state = tree.__reduce__()[1]
    for twin in (pickle.loads(pickle.dumps(tree)), pickle.loads(pickle.dumps(tree, protocol=2)),
                 copy.copy(tree), copy.deepcopy(tree)):
        assert type(twin) is type(tree) and twin is not tree
        assert twin.__reduce__()[1] == state  # the same structure, not a rebuild
        assert answers(twin, queries) == expected


@pytest.mark.parametrize("kind", TREES)
@pytest.mark.parametrize("n,dim", [(1, 1), (2, 3), (5000, 2), (2000, 8)])
def test_pickled_size_stays_near_the_tree_size(kind, n, dim):
    build, node_bytes, dims_per_node = TREES[kind]
    tree = build(cloud(n, dim), leaf_size=1 if n < 100 else 20)
    data = tree.__reduce__()[1][1]
    n_nodes = struct.unpack_from("<Q", data, 48)[0]
    in_memory = 8 * n * (1 + dim) + n_nodes * (NODE_BYTES[kind] + 8 * dims_per_node * dim)
    assert len(pickle.dumps(tree)) <= 1.5 * in_memory + 200


def test_empty_kd_and_ball_trees_round_trip():
    for build in (lv.spatial.KDTree.from_array, lv.spatial.BallTree.from_array):
        tree = build(lv.zeros([0, 2]))
        twin = pickle.loads(pickle.dumps(tree))
        assert twin.query_knn([0.0, 0.0], 3) == [] and twin.query_radius([0.0, 0.0], 1.0) == []


def tree_state(kind, n=40, dim=2):
    tree = TREES[kind][0](cloud(n, dim), leaf_size=2)
    fn, (version, data) = tree.__reduce__()
    return fn, bytearray(data), n, dim


def node_offset(kind, n, dim, i):
    return 56 + 8 * n + 8 * n * dim + i * TREES[kind][1]


def u64(v):
    return struct.pack("<Q", v)


def test_checksum_is_xxh64_of_the_bytes_before_it():
    for kind in TREES:
        data = bytes(tree_state(kind)[1])
        assert struct.unpack("<Q", data[-8:])[0] == xxh64(data[:-8])


@pytest.mark.parametrize("kind,edit,message", [
    ("KDTree", lambda d, n, dim: d.__setitem__(slice(0, 8), b"LVXXTREE"), "the bytes do not hold a saved KDTree"),
    ("KDTree", lambda d, n, dim: d.__setitem__(slice(8, 16), u64(7)),
     "unsupported format version 7 (this version reads 2)"),
    ("BallTree", lambda d, n, dim: d.__setitem__(slice(8, 16), u64(1)),
     "the saved BallTree is in an older format (version 1), which this version no longer reads; "
     "build the tree again"),
    ("BallTree", lambda d, n, dim: d.__setitem__(40, 9), "unknown metric code 9"),
    ("VPTree", lambda d, n, dim: d.__setitem__(41, 2), "unknown vantage selection code 2"),
    ("KDTree", lambda d, n, dim: d.__setitem__(41, 1), "unknown vantage selection code 1"),
    ("BallTree", lambda d, n, dim: d.__setitem__(45, 1), "the header's padding is not zero"),
    ("KDTree", lambda d, n, dim: d.__setitem__(slice(16, 24), u64(2**62)),
     "the saved KDTree has {size} bytes, its header describes more"),
    ("VPTree", lambda d, n, dim: d.__setitem__(slice(48, 56), u64(1)),
     "the saved VPTree has {size} bytes, its header describes {less}"),
    ("KDTree", lambda d, n, dim: d.__setitem__(slice(56, 64), u64(1)),
     "the point order is not a permutation of the 40 rows"),
    ("BallTree", lambda d, n, dim: d.__setitem__(slice(56, 64), u64(40)),
     "the point order is not a permutation of the 40 rows"),
    ("KDTree", lambda d, n, dim: d.__setitem__(slice(node_offset("KDTree", n, dim, 0) + 8,
                                                     node_offset("KDTree", n, dim, 0) + 16), u64(39)),
     "the root covers [0, 39), not all 40 points"),
    ("BallTree", lambda d, n, dim: d.__setitem__(slice(node_offset("BallTree", n, dim, 0) + 16,
                                                       node_offset("BallTree", n, dim, 0) + 24), u64(0)),
     "node 0 has right child 0, which does not follow its left child"),
    ("VPTree", lambda d, n, dim: d.__setitem__(slice(node_offset("VPTree", n, dim, 0) + 16,
                                                     node_offset("VPTree", n, dim, 0) + 24), u64(2**64 - 1)),
     "node 1 is not part of the tree"),
    ("KDTree", lambda d, n, dim: d.__setitem__(slice(node_offset("KDTree", n, dim, 0) + 24,
                                                     node_offset("KDTree", n, dim, 0) + 32), u64(2)),
     "node 0 splits on coordinate 2 of 2"),
    ("KDTree", lambda d, n, dim: d.__setitem__(node_offset("KDTree", n, dim, 3) + 40, 2),
     "node 3 has a flag that is neither 0 nor 1"),
    ("VPTree", lambda d, n, dim: d.__setitem__(slice(node_offset("VPTree", n, dim, 0) + 24,
                                                     node_offset("VPTree", n, dim, 0) + 32), u64(40)),
     "the vantage point of node 0 lies outside its range"),
])
def test_tampered_tree_states(kind, edit, message):
    # Edits resealed with a matching checksum reach the structural checks.
    fn, data, n, dim = tree_state(kind)
    size = len(data)
    edit(data, n, dim)
    n_nodes = struct.unpack_from("<Q", data, 48)[0]
    less = size - (struct.unpack_from("<Q", tree_state(kind)[1], 48)[0] - n_nodes) * TREES[kind][1]
    with err(ValueError, f"invalid {kind} state: " + message.format(size=size, less=less)):
        fn(1, reseal(data))


@pytest.mark.parametrize("kind", TREES)
def test_tree_children_must_split_the_range_once(kind):
    fn, data, n, dim = tree_state(kind)
    off = node_offset(kind, n, dim, 0)
    bad = bytearray(data)
    bad[off + 16:off + 24] = u64(1)  # the right child is the left one
    with pytest.raises(ValueError, match=f"^invalid {kind} state: "):
        fn(1, reseal(bad))
    bad = bytearray(data)
    end = struct.unpack_from("<Q", data, node_offset(kind, n, dim, 1) + 8)[0]
    bad[node_offset(kind, n, dim, 1) + 8:node_offset(kind, n, dim, 1) + 16] = u64(end - 1)
    with err(ValueError, f"invalid {kind} state: the children of node 0 do not split its range"):
        fn(1, reseal(bad))


def damaged_copies(data, rnd, count, reseal_edits):
    """Truncations, scattered byte changes and 8-byte fields set to
    troublesome values (resealed with a matching checksum on request)."""
    n = 25
    for trial in range(count):
        d = bytearray(data)
        how = trial % 3
        if how == 0:
            del d[rnd.randrange(len(d)):]
        elif how == 1:
            for _ in range(rnd.randint(1, 4)):
                d[rnd.randrange(len(d))] = rnd.randrange(256)
        else:
            pos = rnd.randrange(56, len(d) - 16)
            d[pos:pos + 8] = u64(rnd.choice([0, 1, 2, n - 1, n, n + 1, 2**63, 2**64 - 1]))
        if reseal_edits and how != 0:
            d = bytearray(reseal(d))
        yield how, bytes(d)


@pytest.mark.parametrize("kind", TREES)
def test_damaged_tree_states_are_refused(kind):
    # No damaged copy loads: a changed byte past the version fails the
    # checksum, a short copy the length checks.
    fn, data, n, dim = tree_state(kind, n=25, dim=2)
    damaged = f"invalid {kind} state: the saved {kind} is damaged (its checksum does not match)"
    for how, d in damaged_copies(data, random.Random(kind + "!"), 1500, False):
        if d == bytes(data):
            continue
        with pytest.raises(ValueError) as e:
            fn(1, d)
        msg = str(e.value)
        assert msg.startswith(f"invalid {kind} state: ")
        if len(d) == len(data) and d[:16] == bytes(data[:16]):
            assert msg == damaged


@pytest.mark.parametrize("kind", TREES)
def test_fuzzed_tree_states_never_crash(kind):
    # Edits with a recomputed checksum get past it: the structural checks
    # must still keep every loaded tree safe to query.
    fn, data, n, dim = tree_state(kind, n=25, dim=2)
    queries = [[0.0, 0.0], [0.5, -0.5], [float("nan"), 1.0]]
    loaded = 0
    for how, d in damaged_copies(data, random.Random(kind), 1500, True):
        try:
            tree = fn(1, d)
        except ValueError as e:
            assert str(e).startswith(f"invalid {kind} state: ")
            continue
        loaded += 1
        for q in queries:  # a loaded tree must be safe to query
            assert len(tree.query_knn(q, 3)) <= 3
            assert all(0 <= r < n for r in tree.query_radius(q, 10.0))
            tree.kernel_density(lv.asarray(q, shape=[1, 2]), 0.5, "uniform")
    assert loaded > 0


# Node fields after the links, in saved order: (name, struct code).
KIND_FIELDS = {
    "KDTree": [("split_dim", "<Q"), ("split_value", "<d"), ("has_nan", "<B")],
    "BallTree": [("radius", "<d")],
    "VPTree": [("vantage", "<Q"), ("threshold", "<d"), ("min_dist", "<d"), ("max_dist", "<d"), ("no_bound", "<B")],
}
VALUES_PER_DIM = {"KDTree": 2, "BallTree": 1, "VPTree": 0}


def crafted_edits(kind, data, n, dim, rnd, count):
    """Copies of a saved tree with one field changed (a node field, a box or
    centroid coordinate, a point, two rows of the order, the leaf size) and
    the checksum made again: what someone editing the file would try."""
    n_nodes = struct.unpack_from("<Q", data, 48)[0]
    nodes_at = 56 + 8 * n + 8 * n * dim
    values_at = nodes_at + n_nodes * TREES[kind][1]
    n_values = n_nodes * VALUES_PER_DIM[kind] * dim
    nudges = [lambda v: math.nextafter(v, math.inf), lambda v: math.nextafter(v, -math.inf), lambda v: 0.0,
              lambda v: -0.0, lambda v: v * 2.0, lambda v: v + 0.05, lambda v: -v, lambda v: math.nan,
              lambda v: math.inf, lambda v: -math.inf, lambda v: v - 0.05]
    for _ in range(count):
        d = bytearray(data)
        r = rnd.random()
        if r < 0.45:  # a node field
            i = rnd.randrange(n_nodes)
            at = nodes_at + i * TREES[kind][1] + 24
            for name, code in KIND_FIELDS[kind]:
                if rnd.random() < 1 / len(KIND_FIELDS[kind]):
                    break
                at += struct.calcsize(code)
            if code == "<d":
                struct.pack_into(code, d, at, rnd.choice(nudges)(struct.unpack_from(code, d, at)[0]))
            elif code == "<B":
                d[at] ^= 1
            else:
                struct.pack_into(code, d, at, rnd.randrange(max(n, dim, 1)))
        elif r < 0.75 and n_values:  # a box or centroid coordinate
            at = values_at + 8 * rnd.randrange(n_values)
            struct.pack_into("<d", d, at, rnd.choice(nudges)(struct.unpack_from("<d", d, at)[0]))
        elif r < 0.85:  # a point coordinate
            at = 56 + 8 * n + 8 * rnd.randrange(n * dim)
            struct.pack_into("<d", d, at, rnd.choice(nudges)(struct.unpack_from("<d", d, at)[0]))
        elif r < 0.95:  # two rows of the order swapped
            a, b = 56 + 8 * rnd.randrange(n), 56 + 8 * rnd.randrange(n)
            d[a:a + 8], d[b:b + 8] = d[b:b + 8], d[a:a + 8]
        else:  # the leaf size
            struct.pack_into("<Q", d, 32, rnd.choice([0, 1, 3, 4, 100]))
        yield reseal(d)


def saved_points(data, n, dim):
    """The points of a saved tree, by input row."""
    order = struct.unpack_from(f"<{n}Q", data, 56)
    stored = np.array(struct.unpack_from(f"<{n * dim}d", data, 56 + 8 * n)).reshape(n, dim)
    points = np.empty_like(stored)
    points[list(order)] = stored
    return points


@pytest.mark.parametrize("kind", TREES)
@pytest.mark.parametrize("metric", ["euclidean", "chebyshev"])
def test_crafted_tree_files_load_only_as_their_points_build(kind, metric):
    # A file edited with its checksum made again either is refused, or
    # answers as a tree built from the points it holds: every bound a search
    # prunes with is checked against those points on load.
    tree = TREES[kind][0](cloud(40, 2), leaf_size=3, metric=metric)
    fn, (_, data) = tree.__reduce__()
    n, dim = 40, 2
    queries = cloud(6, 2, seed=3).tolist() + [[0.05, 0.05], [2.0, -2.0]]
    loaded = 0
    for d in crafted_edits(kind, data, n, dim, random.Random(kind + metric), 300):
        try:
            twin = fn(1, d)
        except ValueError as e:
            assert str(e).startswith(f"invalid {kind} state: ")
            continue
        loaded += 1
        points = saved_points(d, n, dim)
        fresh = TREES[kind][0](lv.Array.from_numpy(points), leaf_size=3, metric=metric)
        D = distances(points, queries, metric)
        for q, dq in zip(queries, D):
            got = twin.query_knn(q, 4)
            assert sorted(dq[got]) == sorted(np.sort(dq)[:4])
            assert sorted(twin.query_radius(q, 0.3)) == sorted(fresh.query_radius(q, 0.3))
        qs = lv.asarray([c for q in queries for c in q], shape=[len(queries), dim])
        np.testing.assert_allclose(twin.kernel_density(qs, 0.5, "epanechnikov").tolist(),
                                   fresh.kernel_density(qs, 0.5, "epanechnikov").tolist(), rtol=1e-12, atol=n * 1e-10)
    assert loaded > 0  # order swaps, and edits that change nothing, still load


# Trees pickled in the previous format (no checksum), by the library as it
# was: refused with a message naming the format, never misread.
OLD_PICKLES = {
    'KDTree': (
        'gASVcgIAAAAAAACMEmx1bWl2YW5kZXIuX3BpY2tsZZSMBmtkdHJlZZSTlEsBQkUCAABMVktEVFJFRQEAAAAAAAAABQAAAAAAAAAC'
        'AAAAAAAAAAIAAAAAAAAAAAAAAAAAAAAFAAAAAAAAAAIAAAAAAAAAAAAAAAAAAAAEAAAAAAAAAAEAAAAAAAAAAwAAAAAAAAAAAAAA'
        'AADwvwAAAAAAAABAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAOA/AAAAAAAA4L8AAAAAAADwPwAAAAAAAOA/AAAAAAAACEAAAAAAAADw'
        'PwAAAAAAAAAABQAAAAAAAAABAAAAAAAAAAIAAAAAAAAAAAAAAAAAAAAAAAAAAADgPwAAAAAAAAAAAAIAAAAAAAAA////////////'
        '/////////wEAAAAAAAAAAAAAAAAAAAAAAgAAAAAAAAAFAAAAAAAAAAMAAAAAAAAABAAAAAAAAAAAAAAAAAAAAAAAAAAAAPA/AAIA'
        'AAAAAAAAAwAAAAAAAAD/////////////////////AAAAAAAAAAAAAAAAAAAAAAADAAAAAAAAAAUAAAAAAAAA////////////////'
        '/////wAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA8L8AAAAAAADgvwAAAAAAAAhAAAAAAAAAAEAAAAAAAADwvwAAAAAAAAAAAAAAAAAA'
        'AAAAAAAAAAAAQAAAAAAAAOA/AAAAAAAA4L8AAAAAAAAIQAAAAAAAAPA/AAAAAAAA4D8AAAAAAADgvwAAAAAAAOA/AAAAAAAA4L8A'
        'AAAAAADwPwAAAAAAAOA/AAAAAAAACEAAAAAAAADwP5SGlFKULg=='
    ),
    'BallTree': (
        'gASV9wEAAAAAAACMEmx1bWl2YW5kZXIuX3BpY2tsZZSMCGJhbGx0cmVllJOUSwFCyAEAAExWQkFMTFRSAQAAAAAAAAAFAAAAAAAA'
        'AAIAAAAAAAAAAgAAAAAAAAABAAAAAAAAAAUAAAAAAAAAAgAAAAAAAAAAAAAAAAAAAAQAAAAAAAAAAQAAAAAAAAADAAAAAAAAAAAA'
        'AAAAAPC/AAAAAAAAAEAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA4D8AAAAAAADgvwAAAAAAAPA/AAAAAAAA4D8AAAAAAAAIQAAAAAAA'
        'APA/AAAAAAAAAAAFAAAAAAAAAAEAAAAAAAAAAgAAAAAAAADMzMzMzMwIQAAAAAAAAAAAAgAAAAAAAAD/////////////////////'
        'AAAAAAAA+D8CAAAAAAAAAAUAAAAAAAAAAwAAAAAAAAAEAAAAAAAAAFZVVVVVVQFAAgAAAAAAAAADAAAAAAAAAP//////////////'
        '//////8AAAAAAAAAAAMAAAAAAAAABQAAAAAAAAD/////////////////////AAAAAAAA9D9mZmZmZmbmPzMzMzMzM+M/AAAAAAAA'
        '4L8AAAAAAADwPwAAAAAAAPg/VVVVVVVV1T8AAAAAAADgPwAAAAAAAOC/AAAAAAAAAEAAAAAAAADoP5SGlFKULg=='
    ),
    'VPTree': (
        'gASVIgIAAAAAAACMEmx1bWl2YW5kZXIuX3BpY2tsZZSMBnZwdHJlZZSTlEsBQvUBAABMVlZQVFJFRQEAAAAAAAAABQAAAAAAAAAC'
        'AAAAAAAAAAIAAAAAAAAAAgAAAAAAAAAFAAAAAAAAAAAAAAAAAAAABAAAAAAAAAABAAAAAAAAAAIAAAAAAAAAAwAAAAAAAAAAAAAA'
        'AAAAAAAAAAAAAAAAAAAAAAAA4D8AAAAAAADgvwAAAAAAAPA/AAAAAAAA4D8AAAAAAADwvwAAAAAAAABAAAAAAAAACEAAAAAAAADw'
        'PwAAAAAAAAAABQAAAAAAAAABAAAAAAAAAAQAAAAAAAAAAAAAAAAAAAAAAAAAAAD4PwAAAAAAAOA/AAAAAAAACEAAAAAAAAAAAAAD'
        'AAAAAAAAAAIAAAAAAAAAAwAAAAAAAAAAAAAAAAAAAAAAAAAAAOg/AAAAAAAA4D8AAAAAAADwPwAAAAAAAAAAAAIAAAAAAAAA////'
        '/////////////////wAAAAAAAAAAAAAAAAAA4D8AAAAAAADgPwAAAAAAAOA/AAIAAAAAAAAAAwAAAAAAAAD/////////////////'
        '////AgAAAAAAAAAAAAAAAAAAAAAAAAAAAPB/AAAAAAAA8P8AAwAAAAAAAAAFAAAAAAAAAP////////////////////8DAAAAAAAA'
        'AAAAAAAAABBAAAAAAAAAEEAAAAAAAAAQQACUhpRSlC4='
    ),
}


@pytest.mark.parametrize("kind", TREES)
def test_pickles_of_the_previous_format_are_refused(kind):
    message = (f"invalid {kind} state: the saved {kind} is in an older format (version 1), which this version "
               "no longer reads; build the tree again")
    with err(ValueError, message):
        pickle.loads(base64.b64decode("".join(OLD_PICKLES[kind])))


@pytest.mark.parametrize("args,message", [
    ((2, b""), "invalid KDTree state: unsupported version 2 (this version reads 1)"),
    ((1, b"LVKD"), "invalid KDTree state: the saved KDTree is truncated"),
    ((1, "text"), "invalid KDTree state: the data is not a bytes-like object"),
])
def test_tree_state_wrapper(args, message):
    fn = lv.spatial.KDTree.from_array(lv.zeros([1, 1])).__reduce__()[0]
    with err(ValueError, message):
        fn(*args)


def test_pickling_entry_points_with_garbage_arguments():
    np = pytest.importorskip("numpy")

    class Evil:
        def __index__(self):
            a[0] = 3.0  # writes into the array mid-call
            return 5

        def __bool__(self):
            a[0] = 4.0
            return True

    garbage = [None, -1, 2**70, 1.5, "x", b"", [], (), Evil(), np.float32, "f8", object(), True, 5]
    a = lv.Array([3], [1.0, -0.0, float("nan")])
    tree = lv.spatial.KDTree.from_array(lv.zeros([4, 2]))
    gen = lv.random.seed(1)
    calls = [a.__array__, a.__reduce_ex__, a.__deepcopy__, gen.__deepcopy__, tree.__deepcopy__,
             tree.__reduce__, RESTORE, GEN_RESTORE, lv.spatial.KDTree.from_array(lv.zeros([1, 1])).__reduce__()[0]]
    for fn in calls:
        for args in ([], *([g] for g in garbage), *([g, h] for g in garbage[:6] for h in garbage[6:])):
            try:
                fn(*args)
            except SystemError:
                raise
            except Exception:
                pass
    a[1] = 2.0  # no borrow was left taken
    gen.uniform(0, 1, [1])


def sequential_box(X):
    """Per-coordinate minimum and maximum, NaN left out (inf / -inf when a
    coordinate has nothing else)."""
    lo = [math.inf] * X.shape[1]
    hi = [-math.inf] * X.shape[1]
    for row in X.tolist():
        for i, v in enumerate(row):
            if v < lo[i]:
                lo[i] = v
            if v > hi[i]:
                hi[i] = v
    return lo, hi


@pytest.mark.parametrize("dim", [1, 2, 3, 4, 6])
def test_kd_boxes_are_the_bounds_of_their_points(dim):
    # Zeros of both signs, NaN and infinities: each node's saved box holds the
    # bounds of its points, NaN left out.
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(dim)
    for n in (1, 7, 37, 300):
        X = rng.choice([0.0, -0.0, 1.5, -2.0, np.nan, -0.25, 700.0], size=(n, dim))
        # Splits go along a NaN-free coordinate of larger spread.
        X[:, 0] = rng.permutation(n) * 1e3
        X[n // 2, 0] = np.inf
        tree = lv.spatial.KDTree.from_array(lv.Array.from_numpy(X), 3)
        data = tree.__reduce__()[1][1]
        n_nodes = struct.unpack_from("<Q", data, 48)[0]
        nodes = 56 + 8 * n + 8 * n * dim
        boxes = nodes + n_nodes * 41
        order = struct.unpack_from(f"<{n}Q", data, 56)
        for i in range(n_nodes):
            start, end = struct.unpack_from("<QQ", data, nodes + 41 * i)
            box = struct.unpack_from(f"<{2 * dim}d", data, boxes + 16 * dim * i)
            lo, hi = sequential_box(X[list(order[start:end])])
            assert list(box) == lo + hi
