"""Module layout, class traits, argument parsing and conversion errors."""
import inspect
import shutil
import subprocess
import sys

import pytest

import lumivander as lv
from conftest import err

TOP_LEVEL = ["Array", "PyArrayIter", "Generator", "BallTree", "KDTree", "zeros", "ones", "full", "asarray",
             "eye", "diag", "column_stack", "linalg", "stats", "random", "spatial"]


def test_layout_and_registration_order():
    assert lv.__all__ == TOP_LEVEL
    for name in lv.__all__:
        assert hasattr(lv, name)
    for sub in ("linalg", "stats", "random", "spatial"):
        mod = getattr(lv, sub)
        assert type(mod) is type(lv) and mod.__name__ == sub
    assert not hasattr(lv, "VPTree")
    assert lv.__doc__ == ""


def test_version_is_the_project_version():
    import re
    from pathlib import Path
    pyproject = Path(__file__).resolve().parent.parent / "pyproject.toml"
    if pyproject.is_file():
        assert lv.__version__ == re.search(r'^version = "([^"]+)"', pyproject.read_text(), re.M).group(1)
    assert re.fullmatch(r"\d+\.\d+\.\d+\S*", lv.__version__)
    # A dunder beside the sixteen public names, not one of them.
    assert "__version__" in dir(lv) and "__version__" not in lv.__all__


def test_reimport_returns_same_module():
    saved = sys.modules.pop("lumivander")
    try:
        import lumivander as again
        assert again is saved
    finally:
        sys.modules["lumivander"] = saved


@pytest.mark.parametrize("cls", [lv.Array, lv.PyArrayIter])
def test_class_traits(cls):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == cls.__name__.split(".")[-1]
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls)


def test_instances_have_no_dict_or_weakref():
    import weakref

    a = lv.Array([1], [1.0])
    with pytest.raises(AttributeError):
        a.foo = 1
    with pytest.raises(TypeError):
        weakref.ref(a)
    with pytest.raises(TypeError):
        lv.PyArrayIter()


def test_identity_equality_and_hash():
    a, b = lv.Array([1], [1.0]), lv.Array([1], [1.0])
    assert a != b and a == a
    assert len({a, b, a}) == 2
    assert str(a) == repr(a)


SIGNATURES = [
    (lv.Array, "(shape, data)"),
    (lv.zeros, "(shape)"), (lv.ones, "(shape)"), (lv.full, "(shape, fill_value)"),
    (lv.asarray, "(data, shape=None)"), (lv.eye, "(n, m=None, k=None)"), (lv.diag, "(v, k=None)"),
    (lv.column_stack, "(arrays)"),
    (lv.Array.zeros, "(shape)"), (lv.Array.asarray, "(data, shape=None)"),
    (lv.Array.eye, "(n, m=None, k=None)"), (lv.Array.diag, "(v, k=None)"),
    (lv.Array.tolist, "(self, /)"), (lv.Array.to_pylist_recursive, "(self, /, dim, offset)"),
    (lv.Array.get, "(self, /, indices)"), (lv.Array.take, "(self, /, indices)"),
    (lv.Array.clip, "(self, /, min, max)"), (lv.Array.sqrt, "(self, /)"),
]


@pytest.mark.parametrize("fn,sig", SIGNATURES, ids=[s[0].__name__ for s in SIGNATURES])
def test_text_signatures(fn, sig):
    assert str(inspect.signature(fn)) == sig


@pytest.mark.parametrize("call,message", [
    (lambda: lv.Array(), "Array.__new__() missing 2 required positional arguments: 'shape' and 'data'"),
    (lambda: lv.Array([1]), "Array.__new__() missing 1 required positional argument: 'data'"),
    (lambda: lv.Array([1], [1], [2]), "Array.__new__() takes 2 positional arguments but 3 were given"),
    (lambda: lv.Array([1], [1], shape=[1]), "Array.__new__() got multiple values for argument 'shape'"),
    (lambda: lv.Array([1], [1], bogus=1), "Array.__new__() got an unexpected keyword argument 'bogus'"),
    (lambda: lv.Array.__new__(lv.Array, [1]), "Array.__new__() missing 1 required positional argument: 'data'"),
    (lambda: lv.eye(), "eye() missing 1 required positional argument: 'n'"),
    (lambda: lv.eye(1, 2, 3, 4), "eye() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: lv.eye(m=2, k=1), "eye() missing 1 required positional argument: 'n'"),
    (lambda: lv.zeros([1], [2]), "zeros() takes 1 positional arguments but 2 were given"),
    (lambda: lv.Array([1], [1]).tolist(1), "Array.tolist() takes 0 positional arguments but 1 was given"),
    (lambda: lv.Array([1], [1]).tolist(x=1), "Array.tolist() got an unexpected keyword argument 'x'"),
    (lambda: lv.Array.zeros(), "Array.zeros() missing 1 required positional argument: 'shape'"),
])
def test_argument_count_messages(call, message):
    with err(TypeError, message):
        call()


def test_argument_count_messages_word_for_word_as_the_interpreter():
    # The interpreter's own wording for a function of the same parameters is
    # the oracle (the list joins "'a' and 'b'", "'a', 'b', and 'c'").
    def uniform(low, high, shape):
        pass

    g = lv.random.seed(1)
    for given in range(3):
        args = [0.0, 1.0, [2]][:given]
        with pytest.raises(TypeError) as ours:
            g.uniform(*args)
        with pytest.raises(TypeError) as python:
            uniform(*args)
        assert str(ours.value) == str(python.value).replace(
            "test_argument_count_messages_word_for_word_as_the_interpreter.<locals>.uniform", "Generator.uniform")
        assert str(ours.value).startswith("Generator.uniform() missing ")


def test_keywords_everywhere():
    a = lv.Array(data=[1, 2], shape=[2])
    assert a.tolist() == [1.0, 2.0]
    assert lv.Array([2, 2], [1, 2, 3, 4]).to_pylist_recursive(offset=2, dim=1) == [3.0, 4.0]


@pytest.mark.parametrize("call,exc,message", [
    (lambda: lv.Array("ab", [1]), TypeError, "argument 'shape': Can't extract `str` to `Vec`"),
    (lambda: lv.Array(3, [1]), TypeError, "argument 'shape': 'int' object cannot be cast as 'Sequence'"),
    (lambda: lv.Array([1.0], [1]), TypeError, "argument 'shape': 'float' object cannot be interpreted as an integer"),
    (lambda: lv.Array([-1], []), OverflowError, "can't convert negative int to unsigned"),
    (lambda: lv.Array([2**64], []), OverflowError, "int too big to convert"),
    (lambda: lv.Array([1], "a"), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (lambda: lv.Array([1], {1.0}), TypeError, "argument 'data': 'set' object cannot be cast as 'Sequence'"),
    (lambda: lv.Array([1], [None]), TypeError, "argument 'data': must be real number, not NoneType"),
    (lambda: lv.Array([1], [1]).to_pylist_recursive(-1, 0), OverflowError, "can't convert negative int to unsigned"),
    (lambda: lv.Array([1], [1]).to_pylist_recursive("0", 0), TypeError,
     "argument 'dim': 'str' object cannot be interpreted as an integer"),
])
def test_conversion_errors(call, exc, message):
    with err(exc, message):
        call()


def test_prefixed_error_keeps_cause():
    class Bad:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("outer") from e

    with pytest.raises(TypeError) as info:
        lv.Array([1], [Bad()])
    assert str(info.value) == "argument 'data': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_user_exceptions_pass_through():
    class Boom:
        def __float__(self):
            raise ZeroDivisionError("boom")

    with err(ZeroDivisionError, "boom"):
        lv.Array([1], [Boom()])


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
def test_only_init_symbol_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", lv.__file__], capture_output=True, text=True, check=True)
    names = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert names == ["PyInit_lumivander"]


def test_import_does_not_load_numpy():
    code = "import sys, lumivander; print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_subinterpreter_import_is_refused():
    si = pytest.importorskip("_xxsubinterpreters")
    interp = si.create()
    try:
        with pytest.raises(Exception, match="ImportError.*subinterpreters"):
            si.run_string(interp, "import lumivander")
    finally:
        si.destroy(interp)


def test_every_callable_has_a_signature_and_no_other_doc():
    members = [getattr(lv, n) for n in lv.__all__ if callable(getattr(lv, n))]
    members += [getattr(lv.Array, n) for n in dir(lv.Array) if not n.startswith("_")]
    for fn in members:
        if isinstance(fn, type) and fn is not lv.Array:
            continue
        if not callable(fn):
            continue  # the shape property
        inspect.signature(fn)  # raises if the text signature is missing or malformed
        assert not fn.__doc__, fn
