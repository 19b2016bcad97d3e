"""Every Python example of the README and of the documentation site runs as
written: each page's blocks in order, in one namespace (so they cannot rot).
Pages whose examples use corvane_ray run on the tests' local Ray."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]


def python_blocks(text):
    return re.findall(r"^```python\n(.*?)^```", text, re.S | re.M)


@pytest.mark.parametrize("page", PAGES, ids=[str(page.relative_to(ROOT)) for page in PAGES])
def test_the_examples_of_a_page_run(page, tmp_path, monkeypatch, request):
    blocks = python_blocks(page.read_text())
    if not blocks:
        pytest.skip("no Python examples")
    if any("corvane_ray" in block for block in blocks):
        request.getfixturevalue("local_ray")
    monkeypatch.chdir(tmp_path)  # examples save files, and stores keep theirs there
    namespace = {}
    for number, block in enumerate(blocks):
        exec(compile(block, f"{page.name}, example {number + 1}", "exec"), namespace)


def test_the_pages_hold_the_examples_they_had():
    counts = {page.relative_to(ROOT).as_posix(): len(python_blocks(page.read_text())) for page in PAGES}
    assert counts["docs/guide/recipes.md"] >= 8 and counts["docs/guide/sharded-service.md"] >= 3
    assert counts["docs/guide/asyncio.md"] >= 1 and counts["README.md"] >= 2
