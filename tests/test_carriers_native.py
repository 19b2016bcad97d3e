"""The carrier containers and their kernels, and an entry's tag ids, checked in
C++ against std::set (tests/native/carriers_check.cpp, tag_ids_check.cpp),
built here with the sanitizers when the compiler has them: every kernel form
the processor runs, the portable ones included, every pair of block forms,
blocks changing form both ways, and tag ids through every form they take."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def build(compiler, source, target, sanitize):
    flags = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined"] if sanitize else []
    return subprocess.run([compiler, "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", "-Wpedantic", "-Werror", *flags,
                           f"-I{ROOT / 'src'}", str(ROOT / "tests" / "native" / source), "-o",
                           str(target)], capture_output=True, text=True, env=plain_env(), timeout=300)


def plain_env():
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # the sanitizers come with the build


@pytest.mark.parametrize("source", ["carriers_check.cpp", "tag_ids_check.cpp"])
def test_containers_against_std_set(tmp_path, source):
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    target = tmp_path / "check"
    built = build(compiler, source, target, sanitize=True)
    if built.returncode != 0 and "sanitize" in built.stderr:
        built = build(compiler, source, target, sanitize=False)
    assert built.returncode == 0, built.stderr[-3000:]
    result = subprocess.run([str(target)], capture_output=True, text=True, env=plain_env(), timeout=300)
    assert result.returncode == 0 and result.stdout.strip().endswith("ok"), result.stdout[-3000:] + result.stderr[-3000:]
