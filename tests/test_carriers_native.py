"""The carrier containers and their kernels, checked in C++ against std::set
(tests/native/carriers_check.cpp), built here with the sanitizers when the
compiler has them: every kernel form the processor runs, the portable ones
included, every pair of block forms, and blocks changing form both ways."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def build(compiler, target, sanitize):
    flags = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined"] if sanitize else []
    return subprocess.run([compiler, "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", "-Wpedantic", "-Werror", *flags,
                           f"-I{ROOT / 'src'}", str(ROOT / "tests" / "native" / "carriers_check.cpp"), "-o",
                           str(target)], capture_output=True, text=True, env=plain_env(), timeout=300)


def plain_env():
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # the sanitizers come with the build


def test_carriers_against_std_set(tmp_path):
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    target = tmp_path / "carriers_check"
    built = build(compiler, target, sanitize=True)
    if built.returncode != 0 and "sanitize" in built.stderr:
        built = build(compiler, target, sanitize=False)
    assert built.returncode == 0, built.stderr[-3000:]
    result = subprocess.run([str(target)], capture_output=True, text=True, env=plain_env(), timeout=300)
    assert result.returncode == 0 and result.stdout.strip().endswith("ok"), result.stdout[-3000:] + result.stderr[-3000:]
