"""The README's examples run as written: the opening example and every recipe,
in order, in one namespace (so they cannot rot)."""

import re
from pathlib import Path

README = (Path(__file__).resolve().parent.parent / "README.md").read_text()


def python_blocks(text):
    return re.findall(r"```python\n(.*?)```", text, re.S)


def section(title):
    start = README.index(f"## {title}\n")
    end = README.find("\n## ", start + 1)
    return README[start:end if end != -1 else None]


def test_the_opening_example(capsys):
    code = python_blocks(README[:README.index("## ")])[0]
    namespace = {}
    for line in code.splitlines():
        if " # " in line:  # "call  # expected result"
            call, expected = line.split(" # ", 1)
            assert eval(call, namespace) == eval(expected), line
        else:
            exec(line, namespace)


def test_the_recipes(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # a recipe saves a file
    blocks = python_blocks(section("Recipes"))
    assert len(blocks) >= 8
    namespace = {}
    for block in blocks:
        exec(compile(block, "README recipe", "exec"), namespace)


def test_the_sharded_examples(local_ray, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # a store keeps its files there
    blocks = python_blocks(section("Beyond one process: corvane_ray"))
    assert len(blocks) >= 3
    for block in blocks:  # each as its own process would run it
        exec(compile(block, "README sharded example", "exec"), {})
