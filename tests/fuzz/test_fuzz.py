"""The fuzz harness (fuzz_harness.py) run as part of the suite: coverage of
the discovered surface, and a short seeded run.  LUMIVANDER_FUZZ_SECONDS=N
turns the short run into an N-second one (LUMIVANDER_FUZZ_SEED picks the
seed)."""
import os

import pytest

import fuzz_harness as fh
import lumivander as lv

ENTRIES, CLASSES = fh.discover()
SEED = int(os.environ.get("LUMIVANDER_FUZZ_SEED", "20261207"))
SECONDS = float(os.environ.get("LUMIVANDER_FUZZ_SECONDS", "0"))
SHORT_CALLS = 20_000


def test_every_parameter_has_a_generator():
    missing = fh.missing_generators(ENTRIES)
    assert not missing, "add a line to GENERATORS in tests/fuzz/fuzz_harness.py for " + "; ".join(
        f"{name}: parameter '{param}'" for name, param in missing)


def test_every_class_has_a_factory():
    missing = sorted(set(CLASSES) - set(fh.FACTORIES))
    assert not missing, "add an entry to FACTORIES in tests/fuzz/fuzz_harness.py for class " + ", ".join(missing)


def test_discovery_reaches_functions_methods_properties_and_slots():
    names = {e.name for e in ENTRIES}
    assert {"zeros", "column_stack", "Array", "Array.zeros", "Array.take", "Array.shape", "Array +",
            "Array []=", "PyArrayIter next"} <= names
    # Public functions outside __all__ too.
    assert {"linalg.eigh", "linalg.eigvalsh"} <= names
    for sub in fh.SUBMODULES:
        for attr in getattr(getattr(lv, sub), "__all__", []):
            obj = getattr(getattr(lv, sub), attr)
            assert (f"{sub}.{attr}" in names) or (isinstance(obj, type) and obj.__name__ in names)


@pytest.mark.parametrize("kind", ["interrupt", "exit", "memory"])
def test_hooks_raising_interrupts_propagate_from_every_parameter(kind):
    # Every parameter of every callable in turn gets a number whose hooks
    # raise; whenever the hook ran, the call must raise that very exception.
    import random

    for entry in ENTRIES:
        for pos, param in enumerate(entry.params or []):
            rng = random.Random(f"{entry.name}:{param.name}")
            ctx = fh.Context(rng)
            receiver = fh.FACTORIES[entry.target.__name__][0](rng, ctx) if entry.kind == "method" else None
            fn = getattr(receiver, entry.attr) if entry.kind == "method" else entry.target
            if entry.kind == "restore":  # a saved state of a fresh instance
                args = list(fh.reduced(fh.FACTORIES[entry.attr][0](rng, ctx))[1])
            else:
                args = [fh.GENERATORS[p.name](rng, ctx) for p in entry.params]
            args[pos] = fh.EvilNumber(fh.Hook(ctx, kind))
            try:
                fn(*args)
            except fh.PROPAGATING as e:
                assert e is ctx.fired, f"{entry.name}: parameter '{param.name}'"
            except Exception as e:
                assert ctx.fired is None, f"{entry.name}: parameter '{param.name}' turned {kind} into {e!r}"
            else:
                assert ctx.fired is None, f"{entry.name}: parameter '{param.name}' swallowed {kind}"


def test_fuzz():
    if SECONDS:
        calls, failures = fh.run(SEED, seconds=SECONDS, entries=ENTRIES, stop_on_failure=False)
        print(f"fuzz: seed {SEED}, {calls} calls, {len(failures)} failures")
    else:
        calls, failures = fh.run(SEED, calls=SHORT_CALLS, entries=ENTRIES)
    assert not failures, "\n".join(failures[:20])
