"""The shipped stubs: strict type checkers accept a typed use of every member, and
stubtest finds every runtime member in them and nothing else."""

import os
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(__file__)
pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="checks the stubs, not the build: the checkers need no sanitizer")
USAGE = os.path.join(HERE, "typing", "usage.py")


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, timeout=600)


def test_the_typed_example_runs():
    result = run(sys.executable, USAGE)
    assert result.returncode == 0, result.stderr


def test_mypy_strict_accepts_the_typed_example():
    pytest.importorskip("mypy")
    result = run(sys.executable, "-m", "mypy", "--strict", "--no-incremental", USAGE)
    assert result.returncode == 0, result.stdout + result.stderr


def test_pyright_strict_accepts_the_typed_example():
    pyright = shutil.which("pyright")
    if pyright is None:
        pytest.skip("pyright is not installed")
    result = run(pyright, USAGE)  # the file asks for strict mode
    assert result.returncode == 0 and "0 errors" in result.stdout, result.stdout + result.stderr


def test_stubs_list_exactly_the_runtime_members():
    pytest.importorskip("mypy")
    allowlist = os.path.join(HERE, "typing", "stubtest-allowlist.txt")
    result = run(sys.executable, "-m", "mypy.stubtest", "corvane", "--allowlist", allowlist)
    assert result.returncode == 0, result.stdout + result.stderr
