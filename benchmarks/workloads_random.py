"""Random sampling: lumivander's Generator against NumPy's default_rng().

Rows ending in "1 thread" set LUMIVANDER_NUM_THREADS=1 in their setup (as in
workloads_speed.py: they need the default isolated mode)."""

import os
import sys

from harness import Workload


def generators(lv, np):
    return {"g": lv.random.seed(12345)}, {"g": np.random.default_rng(12345)}


def generators_one_thread(lv, np):
    if "--worker" not in sys.argv:
        raise RuntimeError("needs one process per workload (the thread cap is read once)")
    os.environ["LUMIVANDER_NUM_THREADS"] = "1"
    lv.asarray([0.5] * 300000).exp()  # reads the cap now
    return generators(lv, np)


N = 10**6

WORKLOADS = [
    Workload("random uniform  n=1e6", generators, "g.uniform(0.0, 1.0, [1000000])",
             "g.random(1000000)", target=1 / 1.5, check=False),
    Workload("random uniform(-2, 3)  n=1e6", generators, "g.uniform(-2.0, 3.0, [1000000])",
             "g.uniform(-2.0, 3.0, 1000000)", check=False),
    Workload("random randint(0, 1000)  n=1e6", generators, "g.randint(0, 1000, [1000000])",
             "g.integers(0, 1000, 1000000)", check=False),
    Workload("random standard_normal  n=1e6", generators, "g.standard_normal([1000000])",
             "g.standard_normal(1000000)", target=0.8, check=False),
    Workload("random standard_normal  n=1e6  1 thread", generators_one_thread, "g.standard_normal([1000000])",
             "g.standard_normal(1000000)", target=1.0, check=False),
    Workload("random normal(1, 2)  n=1e6", generators, "g.normal(1.0, 2.0, [1000000])",
             "g.normal(1.0, 2.0, 1000000)", check=False),
    Workload("random lognormal(0, 1)  n=1e6", generators, "g.lognormal(0.0, 1.0, [1000000])",
             "g.lognormal(0.0, 1.0, 1000000)", target=0.8, check=False),
    Workload("random lognormal(0, 1)  n=1e6  1 thread", generators_one_thread, "g.lognormal(0.0, 1.0, [1000000])",
             "g.lognormal(0.0, 1.0, 1000000)", target=1.0, check=False),
    Workload("random gamma(2.0)  n=1e6", generators, "g.gamma(2.0, 1.0, [1000000])",
             "g.gamma(2.0, 1.0, 1000000)", target=1.0, check=False),
    Workload("random gamma(0.5)  n=1e6", generators, "g.gamma(0.5, 1.0, [1000000])",
             "g.gamma(0.5, 1.0, 1000000)", check=False),
    Workload("random beta(2, 3)  n=1e6", generators, "g.beta(2.0, 3.0, [1000000])",
             "g.beta(2.0, 3.0, 1000000)", target=1.0, check=False),
    Workload("random uniform  n=10", generators, "g.uniform(0.0, 1.0, [10])", "g.random(10)", check=False),
]
