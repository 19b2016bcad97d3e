"""Running out of memory at every allocation an operation makes, one at a time:
the operation raises MemoryError (never aborts), the store stays consistent,
and a failed operation leaves it as it was (update applies a prefix). Likewise
for every allocation of the import: it raises ImportError or MemoryError.

C++ allocations fail through a malloc shim preloaded into a child interpreter;
Python's own allocations through _testcapi.set_nomemory."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

SHIM = r"""
#include <errno.h>
#include <stddef.h>
extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);
static long countdown = -1; /* allocations left before all fail; -1: none fail */
static long single = -1;    /* allocations left before one fails; -1: none */
void corvane_test_fail_after(long n) { countdown = n; }
long corvane_test_fail_once(long n) { long was = single; single = n; return was; }
static int out(void) {
    if (single >= 0 && single-- == 0) return 1;
    return countdown == 0 || (countdown > 0 && --countdown < 0);
}
void *malloc(size_t n) { if (out()) { errno = ENOMEM; return NULL; } return __libc_malloc(n); }
void *calloc(size_t a, size_t b) { if (out()) { errno = ENOMEM; return NULL; } return __libc_calloc(a, b); }
void *realloc(void *p, size_t n) { if (out()) { errno = ENOMEM; return NULL; } return __libc_realloc(p, n); }
void *memalign(size_t a, size_t n) { if (out()) { errno = ENOMEM; return NULL; } return __libc_memalign(a, n); }
void *aligned_alloc(size_t a, size_t n) { return memalign(a, n); }
int posix_memalign(void **p, size_t a, size_t n) { void *m = memalign(a, n); if (!m) return ENOMEM; *p = m; return 0; }
/* pybind11 3.1 uses strdup's copy of a name unchecked while it makes a class:
   that failure is pybind11's own, so the copy never fails here. */
char *strdup(const char *s) {
    size_t n = 0;
    while (s[n]) ++n;
    char *copy = __libc_malloc(n + 1);
    for (size_t i = 0; i <= n; ++i) copy[i] = s[i];
    return copy;
}
"""

HARNESS = """
import gc, sys
sys.path.insert(0, {tests!r})
from conftest import check_index
from corvane import Corvane, Object

if {mode!r} == "malloc":
    import ctypes
    _arm = ctypes.CDLL(None).corvane_test_fail_after
    _arm.argtypes = [ctypes.c_long]
    def arm(n): _arm(n)
    def disarm(): _arm(-1)
else:
    import _testcapi
    def arm(n): _testcapi.set_nomemory(n)
    def disarm(): _testcapi.remove_mem_hooks()

def make():
    m = Corvane({{f"k{{i}}": [f"t{{i % 7}}", f"u{{i % 61}}", "all"] for i in range(300)}})
    m["solo"] = ["only"]
    m["mid"] = [f"w{{i}}" for i in range(64)]  # the most tags a sorted list holds
    m["wide"] = [f"w{{i}}" for i in range(100)]  # tags in a table
    return m

def make_blocks():
    # "big" as a bitmap block (600 carriers), "edge" as an array at its limit.
    return Corvane({{f"b{{i}}": ["big", "odd" if i % 2 else "even"] + (["edge"] if i < 512 else [])
                    for i in range(1200)}})

def attempts():
    # Every allocation among the first few hundred, then a sample of the rest.
    yield from range(300)
    yield from range(300, 50_000, 37)

def hammer(op, strong=True, make=make):
    for n in attempts():
        m = make()
        before = m.to_dict()
        it = iter(m)
        first = next(it)
        gc.collect()
        arm(n)
        try:
            op(m)
            failed = False
        except MemoryError:
            failed = True
        finally:
            disarm()
        check_index(m)
        assert [first] + list(it) == list(before), "the iteration's snapshot changed"
        if failed and strong:
            assert m.to_dict() == before, (n, {{k: v for k, v in m.to_dict().items() if before.get(k) != v}})
        if not failed:
            return n
    raise AssertionError("never completed")

OPS = {{
    "setitem new": lambda m: m.__setitem__("new", ["t0", "fresh1", "fresh2"]),
    "setitem replace": lambda m: m.__setitem__("k1", ["t2", "x", "all"]),
    "add_tag": lambda m: m.add_tag("k2", "brand-new"),
    "add_tags new key": lambda m: m.add_tags("n", [f"v{{i}}" for i in range(40)]),
    "remove_tag": lambda m: m.remove_tag("k3", "t3"),
    "remove_tag last": lambda m: m.remove_tag("solo", "only"),
    "discard_tag": lambda m: m.discard_tag("k4", "all"),
    "delitem": lambda m: m.__delitem__("k5"),
    "pop": lambda m: m.pop("k6"),
    "popitem": lambda m: m.popitem(),
    "erase": lambda m: m.erase("k7"),
    "setdefault": lambda m: m.setdefault("sd", ["a", "b"]),
    "queries": lambda m: (m.find(["t1"]), m.find(["t1", "all"]), m.find_any(["u1", "u2", "t3"]), m.count(["t0", "u0"]),
                          m.count_any(["t0", "t1"]), m.query("all"), m.query_any("u5", "u6"), m.find([])),
    "listings": lambda m: (m.keys(), m.values(), m.items(), m.to_dict(), repr(m), m.tags(), list(m), m["k8"],
                           m.get("k9")),
    "retain_where": lambda m: m.retain_where(["t1"]),
    "retain_where_any": lambda m: m.retain_where_any(["u1", "u2"]),
    "erase_where": lambda m: m.erase_where(["t2", "all"]),
    "clear": lambda m: m.clear(),
    "builders": lambda m: (Corvane({{"a": ["x", "y"]}}), Corvane([("a", "x")]), Corvane(["a"], ["x"]),
                           Corvane.from_dict({{"b": "z"}}), Corvane.from_keys_values(["c"], ["q"])),
    "object": lambda m: (Object("d", {{"a", "b"}}), Object()),
    "object tags": lambda m: setattr(Object(), "tags", {{"p", "q"}}),
    "mismatch": lambda m: m.find(None),
    "add_tag past a list": lambda m: m.add_tag("mid", "w100"),
    "setitem wide to few": lambda m: m.__setitem__("wide", ["w1", "w2"]),
    "remove_tag wide": lambda m: m.remove_tag("wide", "w3"),
    "erase wide": lambda m: m.erase("wide"),
}}
BLOCK_OPS = {{
    "array to bitmap": lambda m: m.add_tag("b1000", "edge"),
    "bitmaps to arrays": lambda m: m.erase_where(["odd"]),
    "retain into arrays": lambda m: m.retain_where(["even", "big"]),
    "bitmap queries": lambda m: (m.find(["big", "edge"]), m.find_any(["odd", "edge"]), m.count_any(["odd", "even", "edge"])),
    "build with bitmaps": lambda m: Corvane({{f"n{{i}}": ["big"] for i in range(700)}}),
}}
for name, op in OPS.items():
    try:
        hammer(op)
    except TypeError:
        assert name == "mismatch"
    except AssertionError as e:
        raise AssertionError(name, *e.args) from None
for name, op in BLOCK_OPS.items():
    try:
        hammer(op, make=make_blocks)
    except AssertionError as e:
        raise AssertionError(name, *e.args) from None
hammer(lambda m: m.update({{"k1": ["p"], "new": ["q"]}}), strong=False)

# A fresh instance whose construction ran out of memory is left uninitialised.
for n in range(200):
    obj = Corvane.__new__(Corvane)
    arm(n)
    try:
        obj.__init__({{"a": ["x"]}})
    except MemoryError:
        pass
    finally:
        disarm()
    try:
        ok = obj.to_dict() == {{"a": {{"x"}}}}
    except TypeError as e:
        assert "not initialized" in str(e)
    else:
        assert ok
        break
print("survived")
"""


def run_hammer(mode, env):
    code = HARNESS.format(tests=os.path.dirname(__file__), mode=mode)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=600, env=env)


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the malloc shim")
    folder = tmp_path_factory.mktemp("shim")
    (folder / "shim.c").write_text(SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(folder / "shim.so"), str(folder / "shim.c")],
                   check=True)
    return folder / "shim.so"


def test_cpp_allocations_failing_one_by_one(shim):
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer owns malloc")
    result = run_hammer("malloc", dict(os.environ, LD_PRELOAD=str(shim)))
    assert result.returncode == 0 and "survived" in result.stdout, result.stderr[-3000:]


SWITCH_HARNESS = """
import ctypes, sys
sys.path.insert(0, {tests!r})
from conftest import check_index
from corvane import Corvane

fail_after = ctypes.CDLL(None).corvane_test_fail_after
fail_after.argtypes = [ctypes.c_long]

# Tag "big" fills the first block of entry ids (a bitmap of 600) and the
# second; "low" marks entries that a batch removal will take out of the first.
model = {{}}
for i in range(70_000):
    tags = {{"x"}} | ({{"big"}} if i < 600 or i >= 65_536 else set()) | ({{"low"}} if 300 <= i < 3_600 else set())
    tags |= {{"y"}} if i % 3 == 0 else set()
    tags |= {{"z"}} if i % 5 == 0 else set()
    model[f"k{{i}}"] = tags
m = Corvane(model)
for i in range(599, 256, -1):
    m.remove_tag(f"k{{i}}", "big")
    model[f"k{{i}}"].discard("big")
fail_after(0)  # the block falls to the array limit with no memory for an array
try:
    m.remove_tag("k256", "big")
finally:
    fail_after(-1)
model["k256"].discard("big")
# Entries from the end (carrying "big") move into the freed places below.
assert sorted(m.erase_where(["low"])) == sorted(k for k, v in model.items() if "low" in v)
model = {{k: v for k, v in model.items() if "low" not in v}}
for i in range(600, 900):  # and single inserts into the same block
    if f"k{{i}}" not in m:
        continue
    m.add_tag(f"k{{i}}", "big")
    model[f"k{{i}}"].add("big")
for tags in (["big", "y", "z"], ["y", "big", "x"], ["z", "y", "big"], ["big", "y"]):
    want_all = {{k for k, v in model.items() if set(tags) <= v}}
    want_any = {{k for k, v in model.items() if set(tags) & v}}
    assert m.find(tags) == want_all and m.count(tags) == len(want_all), tags
    assert m.find_any(tags) == want_any and m.count_any(tags) == len(want_any), tags
assert m.to_dict() == model
check_index(m)
print("survived")
"""


def test_failed_switch_from_bitmap_to_array(shim):
    """A bitmap block that falls to the array limit when no memory is left
    for the array keeps working as a block of the right form: batch moves and
    single inserts into it later, and the kernels reading it, stay in bounds."""
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer owns malloc")
    code = SWITCH_HARNESS.format(tests=os.path.dirname(__file__))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600,
                            env=dict(os.environ, LD_PRELOAD=str(shim)))
    assert result.returncode == 0 and "survived" in result.stdout, result.stderr[-3000:]


def test_python_allocations_failing_one_by_one():
    pytest.importorskip("_testcapi")
    result = run_hammer("pymem", dict(os.environ))
    assert result.returncode == 0 and "survived" in result.stdout, result.stderr[-3000:]


IMPORT_HARNESS = """
import ctypes, importlib.util, os, sys
if {mode!r} == "malloc":
    _fail_once = ctypes.CDLL(None).corvane_test_fail_once
    _fail_once.argtypes, _fail_once.restype = [ctypes.c_long], ctypes.c_long
    def arm(n): _fail_once(n)
    def disarm():
        # Whether the failure was still to come: then it fell after the import.
        try:
            return _fail_once(-1) >= 0
        except (MemoryError, ctypes.ArgumentError):  # it came in this very call
            _fail_once(-1)
            return True
else:
    import _testcapi
    def arm(n): _testcapi.set_nomemory(n, n + 1)
    def disarm():
        _testcapi.remove_mem_hooks()
        return False  # not known: stop after many clean imports in a row
# The loader's own work is done first: mapping and relocating the module and
# libstdc++, and the per-thread exception state that glibc allocates on
# libstdc++'s first throw (aborting if it cannot).
ctypes.CDLL(importlib.util.find_spec("corvane").origin)
ctypes.CDLL("libstdc++.so.6").__cxa_get_globals()
FAILED, IMPORTED, PAST = 3, 4, 5
n, imported_in_a_row = 0, 0
while True:
    pid = os.fork()
    if pid == 0:
        arm(n)
        try:
            import corvane
            code = IMPORTED
        except (ImportError, MemoryError):
            code = FAILED
        except RuntimeError as e:
            code = FAILED if "allocate lock" in str(e) else 1  # importlib's own module lock
        if disarm():
            code = PAST
        if code != FAILED and len(corvane.Corvane({{"k": ["t"]}})) != 1:
            code = 1
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) in (FAILED, IMPORTED, PAST), (n, status)
    if os.WEXITSTATUS(status) == PAST:
        break
    imported_in_a_row = imported_in_a_row + 1 if os.WEXITSTATUS(status) == IMPORTED else 0
    if imported_in_a_row == 50:
        break
    n += 1
print("imports tried:", n)
"""


@pytest.mark.parametrize("mode", ["malloc", "pymem"])
def test_import_when_each_allocation_fails(mode, shim):
    env = dict(os.environ)
    if mode == "malloc":
        if "asan" in env.get("LD_PRELOAD", ""):
            pytest.skip("the sanitizer owns malloc")
        env.update(LD_PRELOAD=str(shim), PYTHONMALLOC="malloc")  # Python's allocations through the shim too
    else:
        pytest.importorskip("_testcapi")
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(IMPORT_HARNESS.format(mode=mode))],
                            capture_output=True, text=True, timeout=600, env=env)
    assert result.returncode == 0 and "imports tried" in result.stdout, result.stderr[-3000:]
