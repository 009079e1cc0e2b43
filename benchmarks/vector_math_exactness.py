"""Long exactness check of the element-wise exp, log, sin and cos against the
platform library (math.exp / math.log / math.sin / math.cos, ctypes where
those raise), over the input classes of the test suite's differential test:
every binade, NaNs, infinities, subnormals, the edges of the vector kernels'
fast ranges and paths, the values near 0 (exp) and 1 (log), the quadrant and
table boundaries (sin, cos), uniform draws and the samplers' angles.

    python benchmarks/vector_math_exactness.py             # 1e9 inputs per function
    python benchmarks/vector_math_exactness.py 1e7 --isa avx2
    python benchmarks/vector_math_exactness.py 1e9 sin cos

Prints the mismatch count per block and in total; exits 1 on any mismatch.
"""

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("count", nargs="?", default="1e9", help="inputs per function")
    ap.add_argument("functions", nargs="*", default=["exp", "log", "sin", "cos"])
    ap.add_argument("--block", type=int, default=10_000_000)
    ap.add_argument("--isa", help="run with LUMIVANDER_ISA set to this (in a fresh process)")
    args = ap.parse_args()
    if args.isa and os.environ.get("LUMIVANDER_ISA") != args.isa:
        env = dict(os.environ, LUMIVANDER_ISA=args.isa)
        sys.exit(subprocess.call([sys.executable, *sys.argv], env=env))

    import numpy as np

    import lumivander as lv
    from test_ops import libm_reference, vmath_inputs

    total = int(float(args.count))
    bad_all = 0
    for name in args.functions:
        done, bad, t0 = 0, 0, time.time()
        seed = 1000
        while done < total:
            n = min(args.block, total - done)
            x = vmath_inputs(name, n, seed)
            got = getattr(lv.Array.from_numpy(x), name)().to_numpy()
            want = libm_reference(name, x)
            miss = np.flatnonzero(got.view(np.uint64) != want.view(np.uint64))
            for i in miss[:3]:
                print(f"  {name}({x[i].hex()}) = {want[i].hex()}, got {got[i].hex()}")
            bad += miss.size
            done += len(x)
            seed += 1
            print(f"{name}: {done:>13,} inputs, {bad} mismatches  ({time.time() - t0:.0f} s)", flush=True)
        bad_all += bad
    print("total mismatches:", bad_all)
    sys.exit(1 if bad_all else 0)


if __name__ == "__main__":
    main()
