"""The plotted examples run headless and write PNG files."""
import subprocess
import sys
from pathlib import Path

import pytest

import lumivander as lv

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.mark.parametrize("script,args", [
    ("knn_boundary.py", ["--grid", "40"]),
    ("density_map.py", ["--n", "3000", "--grid", "30"]),
])
def test_plotted_example_writes_a_png(tmp_path, script, args):
    pytest.importorskip("matplotlib")
    if script == "density_map.py" and not hasattr(lv.spatial.KDTree, "kernel_density"):
        pytest.skip("the trees have no density methods in this build")
    out = tmp_path / "plot.png"
    run = subprocess.run([sys.executable, str(EXAMPLES / script), "--out", str(out), *args],
                         capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and out.stat().st_size > 5000
    assert run.stdout.startswith(f"wrote {out}")


@pytest.mark.parametrize("script", ["demo.py", "statistics.py"])
def test_text_examples_run(script):
    if not (EXAMPLES / script).exists():
        pytest.skip(script)
    subprocess.run([sys.executable, str(EXAMPLES / script)], check=True, capture_output=True)
