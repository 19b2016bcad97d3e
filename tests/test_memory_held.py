"""Memory a store gives back: a store cut down from many keys holds about what
a fresh store of the same content holds, and a build keeps no room for
entries that stored nothing. Read on the C heap (where stores live) in a
fresh interpreter."""

import os
from pathlib import Path

import pytest

from conftest import assert_child_ok

BENCH = str(Path(__file__).resolve().parent.parent / "bench")
pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="the sanitizer's allocator keeps its own books")

HEAP = """
import gc, sys
sys.path.insert(0, {bench!r})
from memory_soak import memory  # the C heap in use, freed pages given back first
from corvane import Corvane
def heap():
    gc.collect()
    return memory()[1]
def held(build):
    before = heap()
    store = build()
    return store, heap() - before
""".format(bench=BENCH)


@pytest.mark.parametrize("cut", ["retain_where", "erase_where", "del"])
def test_store_cut_down_holds_what_a_fresh_one_does(cut):
    # Every key has a tag of its own: the surviving tags sat all over the
    # tag table, which must shrink with them.
    out = assert_child_ok(HEAP + f"""
n, left = 200_000, 1_000
data = {{f"k{{i}}": [f"own{{i}}", "keep" if i < left else "drop"] for i in range(n)}}
def cut_down():
    m = Corvane(data)
    how = {cut!r}
    if how == "retain_where":
        m.retain_where(["keep"])
    elif how == "erase_where":
        m.erase_where(["drop"])
    else:
        for i in range(n - 1, left - 1, -1):
            del m[f"k{{i}}"]
    return m
cut, cut_bytes = held(cut_down)
fresh, fresh_bytes = held(lambda: Corvane({{k: data[k] for k in list(data)[:left]}}))
assert cut.to_dict() == fresh.to_dict() and sorted(cut.tags()) == sorted(fresh.tags())
assert cut_bytes <= 2 * fresh_bytes, (cut_bytes, fresh_bytes)
cut.add_tags("new", ["own5", "brand-new"])
assert cut.find(["own5"]) == {{"k5", "new"}} and cut.count(["brand-new"]) == 1
print("ok")
""")
    assert "ok" in out


def test_builds_keep_no_room_for_what_they_did_not_store():
    out = assert_child_ok(HEAP + """
n = 200_000
empty = {f"k{i}": [] for i in range(n)}
for build in (lambda: Corvane(empty), lambda: Corvane.from_dict(empty),
              lambda: Corvane(list(empty), [[]] * n), lambda: Corvane((k, ()) for k in empty)):
    m, size = held(build)
    assert len(m) == 0 and size < 4096, size
# Mostly empty, a few stored: the room is what those few take.
few = dict(empty, **{f"k{i}": ["t"] for i in range(0, n, 1000)})
m, size = held(lambda: Corvane(few))
assert len(m) == 200 and size < 64 * 1024, size
print("ok")
""")
    assert "ok" in out
