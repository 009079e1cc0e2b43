"""Ecosystem workloads: pickling and the NumPy array protocol."""

from __future__ import annotations

import random

from harness import Workload


def _array_setup(n: int):
    def setup(lv, np):
        rnd = random.Random(n)
        data = [rnd.random() for _ in range(n)]
        x = np.array(data)
        a = lv.asarray(data)
        pickle = __import__("pickle")
        return {"a": a, "np": np, "pickle": pickle}, {"a": x, "np": np, "pickle": pickle}

    return setup


WORKLOADS = [
    Workload(
        name="pickle round trip n=1e6",
        setup=_array_setup(10**6),
        lumi="pickle.loads(pickle.dumps(a))",
        peer="pickle.loads(pickle.dumps(a))",
        note="default protocol",
        target=2.0,
        check=False,
    ),
    Workload(
        name="pickle round trip protocol 5 n=1e6",
        setup=_array_setup(10**6),
        lumi="pickle.loads(pickle.dumps(a, protocol=5))",
        peer="pickle.loads(pickle.dumps(a, protocol=5))",
        check=False,
    ),
    Workload(
        name="pickle round trip n=100",
        setup=_array_setup(100),
        lumi="pickle.loads(pickle.dumps(a))",
        peer="pickle.loads(pickle.dumps(a))",
        check=False,
    ),
    Workload(
        name="numpy.asarray(Array) n=1e6",
        setup=_array_setup(10**6),
        lumi="np.asarray(a)",
        peer="np.array(a)",
        note="peer: copying an ndarray",
        check=False,
    ),
]
