"""The user guide cannot rot: every ```python block of each page runs, the
blocks of a page in order in one namespace."""
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = sorted((ROOT / "docs").glob("*.md")) + [ROOT / "README.md"]
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def test_guide_pages_are_linked_from_the_index_and_the_readme():
    index = (ROOT / "docs" / "index.md").read_text()
    for page in PAGES:
        if page.parent.name == "docs" and page.name != "index.md":
            assert f"({page.name})" in index, page.name
    assert "docs/index.md" in (ROOT / "README.md").read_text()


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_code_blocks_run(page, capsys):
    blocks = BLOCK.findall(page.read_text())
    if page.name not in ("README.md", "index.md"):
        assert blocks, f"{page.name} has no examples"
    if any("import numpy" in b for b in blocks):
        pytest.importorskip("numpy")
    namespace = {"__name__": "__guide__"}
    for i, code in enumerate(blocks):
        exec(compile(code, f"{page.name}[block {i + 1}]", "exec"), namespace)
