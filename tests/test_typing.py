"""The shipped stubs: strict type checkers accept a typed use of every member and
report a plain str given as tags; stubtest finds every runtime member in them
and nothing else; and their docstrings open with the lines help() shows."""

import ast
import importlib.metadata
import inspect
import json
import os
import re
import shutil
import subprocess
import sys

import corvane
import pytest

HERE = os.path.dirname(__file__)
pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="checks the stubs, not the build: the checkers need no sanitizer")
USAGE = os.path.join(HERE, "typing", "usage.py")
STR_TAGS = os.path.join(HERE, "typing", "str_tags.py")
STUBS = os.path.join(HERE, "..", "stubs", "corvane-stubs", "__init__.pyi")


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, timeout=600)


def marked_lines(path, mypy_only=False):
    """The lines of a typing script marked as a str given as tags."""
    with open(path) as f:
        return {n for n, line in enumerate(f, 1)
                if "# str-as-tags" in line and (mypy_only or "(mypy only)" not in line)}


def test_the_typed_example_runs():
    result = run(sys.executable, USAGE)
    assert result.returncode == 0, result.stderr


def mypy(*paths):
    pytest.importorskip("mypy")
    return run(sys.executable, "-m", "mypy", "--strict", "--enable-error-code", "deprecated", "--no-incremental", *paths)


def pyright(path):
    command = shutil.which("pyright")
    if command is None:
        pytest.skip("pyright is not installed")
    return run(command, "--outputjson", path)  # each file sets its own rules


SHARDED_USAGE = os.path.join(HERE, "typing", "sharded_usage.py")
SHARDED_PACKAGE = os.path.join(HERE, "..", "corvane_ray")


def test_mypy_strict_accepts_the_sharded_package_and_its_typed_use():
    pytest.importorskip("ray")
    result = mypy(SHARDED_PACKAGE, SHARDED_USAGE)
    assert result.returncode == 0, result.stdout + result.stderr


def test_pyright_strict_accepts_the_sharded_package_and_its_typed_use(tmp_path):
    pytest.importorskip("ray")
    config = tmp_path / "pyrightconfig.json"
    config.write_text(json.dumps({"typeCheckingMode": "strict",
                                  "include": [os.path.abspath(SHARDED_PACKAGE), SHARDED_USAGE]}))
    result = run(shutil.which("pyright") or pytest.skip("pyright is not installed"), "--outputjson", "-p", str(config))
    summary = json.loads(result.stdout)["summary"]
    assert result.returncode == 0 and summary["errorCount"] == 0, result.stdout


def test_mypy_strict_accepts_the_typed_example():
    result = mypy(USAGE)
    assert result.returncode == 0, result.stdout + result.stderr


def test_pyright_strict_accepts_the_typed_example():
    result = pyright(USAGE)
    summary = json.loads(result.stdout)["summary"]
    assert result.returncode == 0 and summary["errorCount"] == 0, result.stdout


def test_mypy_reports_every_str_given_as_tags():
    result = mypy(STR_TAGS)
    errors = re.findall(r"str_tags\.py:(\d+): error: (.*)", result.stdout)
    assert all(text.endswith("[deprecated]") for _, text in errors), result.stdout
    assert {int(line) for line, _ in errors} == marked_lines(STR_TAGS, mypy_only=True), result.stdout


def test_pyright_reports_every_str_given_as_tags():
    diagnostics = json.loads(pyright(STR_TAGS).stdout)["generalDiagnostics"]
    reported = {d["range"]["start"]["line"] + 1 for d in diagnostics if d.get("rule") == "reportDeprecated"}
    assert reported == marked_lines(STR_TAGS), diagnostics
    assert all(d.get("rule") == "reportDeprecated" for d in diagnostics), diagnostics


def test_stubs_list_exactly_the_runtime_members():
    pytest.importorskip("mypy")
    allowlist = os.path.join(HERE, "typing", "stubtest-allowlist.txt")
    result = run(sys.executable, "-m", "mypy.stubtest", "corvane", "--allowlist", allowlist)
    assert result.returncode == 0, result.stdout + result.stderr


def first_paragraph(doc):
    return " ".join(doc.split("\n\n")[0].split())


def stub_docs():
    """(class, member, docstring) for each documented definition of the stubs,
    deprecated overloads left out."""
    with open(STUBS) as f:
        tree = ast.parse(f.read())
    for cls in (node for node in tree.body if isinstance(node, ast.ClassDef)):
        yield cls.name, None, ast.get_docstring(cls)
        for fn in (node for node in cls.body if isinstance(node, ast.FunctionDef)):
            deprecated = any(isinstance(d, ast.Call) and getattr(d.func, "id", "") == "deprecated"
                             for d in fn.decorator_list)
            if ast.get_docstring(fn) is not None and not deprecated:
                yield cls.name, fn.name, ast.get_docstring(fn)


def test_stub_docstrings_open_with_the_lines_help_shows():
    checked = 0
    for cls, member, doc in stub_docs():
        owner = getattr(corvane, cls)
        runtime = inspect.getdoc(owner) if member is None else getattr(owner, member).__doc__
        assert runtime, (cls, member)
        runtime = " ".join(runtime.split())
        assert first_paragraph(doc) in runtime, (cls, member, first_paragraph(doc), runtime)
        checked += 1
    assert checked >= 45  # every class, member and overload that has a docstring


def test_version_is_the_package_version():
    assert corvane.__version__ == importlib.metadata.version("corvane")
    assert re.fullmatch(r"\d+\.\d+\.\d+.*", corvane.__version__)
