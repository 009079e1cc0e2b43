"""Type stubs: they name exactly what the module exposes, a typed example
passes `mypy --strict`, and wrong calls fail it."""
import ast
import os
import re
import runpy
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import lumivander as lv

HERE = Path(__file__).resolve().parent
SOURCE_STUBS = HERE.parent / "stubs" / "lumivander-stubs"
# Dunders the runtime classes define that the stubs leave out on purpose:
# construction is typed through __init__, and item deletion always raises.
UNTYPED_DUNDERS = {"__new__", "__doc__", "__repr__", "__delitem__"}


def installed_stubs():
    for key in ("platlib", "purelib"):
        path = Path(sysconfig.get_paths()[key]) / "lumivander-stubs"
        if (path / "__init__.pyi").is_file():
            return path
    return None


STUBS = installed_stubs() or SOURCE_STUBS
SOURCE_DASK = HERE.parent / "lumivander_dask"


def dask_typing_files():
    """The typed examples of the Dask helper, when dask and its stub are here."""
    try:
        import distributed  # noqa: F401

        import lumivander_dask
    except ImportError:
        return []
    if not (Path(lumivander_dask.__file__).parent / "__init__.pyi").is_file():
        return []
    return [HERE / "typing" / "dask_good.py", HERE / "typing" / "dask_bad.py"]


def stub_path_for_checkers(root):
    """Presents the stubs as plain stub packages under `root`, for a checker
    that finds them neither installed nor on its path: the library's stubs
    as `lumivander`, the Dask helper's stub as `lumivander_dask`."""
    if STUBS == SOURCE_STUBS:
        shutil.copytree(SOURCE_STUBS, root / "lumivander")
    if not installed_dask_helper() and (SOURCE_DASK / "__init__.pyi").is_file():
        (root / "lumivander_dask").mkdir(parents=True)
        for name in ("__init__.pyi", "py.typed"):
            shutil.copy(SOURCE_DASK / name, root / "lumivander_dask" / name)


def installed_dask_helper():
    for key in ("platlib", "purelib"):
        if (Path(sysconfig.get_paths()[key]) / "lumivander_dask" / "py.typed").is_file():
            return True
    return False


def stub_tree(name):
    path = STUBS / ("__init__.pyi" if name is None else f"{name}.pyi")
    return ast.parse(path.read_text(), str(path))


def declared(body):
    """Names a stub body declares: definitions, annotated or assigned names,
    and re-exports (`import x as x`); private aliases (_Float) excluded."""
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.ImportFrom):
            names.update(a.asname for a in node.names if a.asname == a.name)
    return {n for n in names if not (n.startswith("_") and not n.startswith("__"))}


def public(names):
    return {n for n in names if not n.startswith("_")}


MODULES = [None, "linalg", "stats", "random", "spatial"]


@pytest.mark.parametrize("name", MODULES)
def test_stub_names_match_the_module(name):
    mod = lv if name is None else getattr(lv, name)
    tree = stub_tree(name)
    assert public(declared(tree.body)) == public(dir(mod))
    stub_all = [ast.literal_eval(n.value) for n in tree.body
                if isinstance(n, ast.Assign) and any(getattr(t, "id", "") == "__all__" for t in n.targets)]
    assert stub_all == ([list(mod.__all__)] if hasattr(mod, "__all__") else [])
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    for cls in (n for n in tree.body if isinstance(n, ast.ClassDef) and not n.name.startswith("_")):
        runtime = getattr(mod, cls.name)
        members = declared(cls.body)
        # Stub-only private bases (shared method blocks) count as the class's own.
        for base in cls.bases:
            if isinstance(base, ast.Name) and base.id.startswith("_") and base.id in classes:
                members |= declared(classes[base.id].body)
        assert public(members) == public(dir(runtime)), cls.name
        dunders = {m for m in members if m.startswith("__")} - {"__init__"}
        assert dunders <= set(dir(runtime)), cls.name
        assert set(vars(runtime)) - UNTYPED_DUNDERS - public(dir(runtime)) <= dunders, cls.name


def test_installed_stubs_are_the_source_stubs():
    if STUBS == SOURCE_STUBS or not SOURCE_STUBS.is_dir():
        pytest.skip("stubs are not installed, or the source tree is not here")
    for src in SOURCE_STUBS.glob("*.pyi"):
        assert (STUBS / src.name).read_text() == src.read_text(), src.name


def run_mypy(tmp_path, *files):
    pytest.importorskip("mypy")
    pytest.importorskip("numpy")
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    # Not installed (a build directory on PYTHONPATH): mypy reads stub
    # packages only from site-packages, so present the stubs on MYPYPATH.
    stub_path_for_checkers(tmp_path / "stubs")
    if (tmp_path / "stubs").is_dir():
        env["MYPYPATH"] = str(tmp_path / "stubs")
    cmd = [sys.executable, "-m", "mypy", "--strict", "--show-error-codes", "--no-error-summary",
           "--no-incremental", "--cache-dir", str(tmp_path / "cache"), *map(str, files)]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, cwd=tmp_path)
    errors = set()
    for line in out.stdout.splitlines():
        if ": note: " in line:
            continue
        m = re.match(r"(.*?):(\d+): error: .*\[([\w-]+)\]$", line)
        assert m, out.stdout + out.stderr
        errors.add((Path(m.group(1)).name, int(m.group(2)), m.group(3)))
    return errors


def test_typed_example_passes_and_wrong_calls_fail(tmp_path):
    files = [HERE / "typing" / "good.py", HERE / "typing" / "bad.py", *dask_typing_files()]
    expected = {(f.name, i, m.group(1)) for f in files for i, line in enumerate(f.read_text().splitlines(), 1)
                if (m := re.search(r"# E: ([\w-]+)$", line))}
    assert len(expected) >= 5
    assert run_mypy(tmp_path, *files) == expected


def test_typed_example_runs(capsys):
    pytest.importorskip("numpy")
    runpy.run_path(str(HERE / "typing" / "good.py"), run_name="__main__")
    assert capsys.readouterr().out


def test_pyright_strict_agrees(tmp_path):
    pytest.importorskip("basedpyright")
    pytest.importorskip("numpy")
    files = [HERE / "typing" / "good.py", HERE / "typing" / "bad.py", *dask_typing_files()]
    for f in files:
        shutil.copy(f, tmp_path / f.name)
    config = {"typeCheckingMode": "strict", "reportMissingModuleSource": False}
    stub_path_for_checkers(tmp_path / "typings")
    if (tmp_path / "typings").is_dir():
        config["stubPath"] = "typings"
    (tmp_path / "pyrightconfig.json").write_text(repr(config).replace("'", '"').replace("False", "false"))
    out = subprocess.run([sys.executable, "-m", "basedpyright", "--pythonpath", sys.executable,
                          *(f.name for f in files)], cwd=tmp_path, capture_output=True, text=True)
    flagged = {(Path(m.group(1)).name, int(m.group(2)))
               for m in re.finditer(r"^\s*(\S+\.py):(\d+):\d+ - error", out.stdout, re.M)}
    expected = {(f.name, i) for f in files for i, line in enumerate(f.read_text().splitlines(), 1)
                if "# E: " in line}
    assert flagged == expected, out.stdout
