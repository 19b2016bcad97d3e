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

HEAP = f"""
import gc, sys
sys.path.insert(0, {BENCH!r})
from memory_soak import memory  # the C heap in use, freed pages given back first
from corvane import Corvane
def heap():
    gc.collect()
    return memory()[1]
def held(build):
    before = heap()
    store = build()
    return store, heap() - before
"""


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


def test_kept_key_sets_shrink_with_the_store_and_weigh_at_most_a_quarter_of_it():
    out = assert_child_ok(HEAP + """
import tracemalloc
n, left = 200_000, 1_000
data = {f"k{i}": [f"own{i}", "keep" if i < left else "drop"] for i in range(n)}
m, store_bytes = held(lambda: Corvane(data))
tracemalloc.start()
for i in range(n):  # the second query of a tag keeps its key set
    m.find([f"own{i}"]), m.find([f"own{i}"])
kept_bytes = tracemalloc.get_traced_memory()[0]
tracemalloc.stop()
assert kept_bytes <= store_bytes / 4, (kept_bytes, store_bytes)
assert m.find(["own5"]) == {"k5"} and m.find(["own5"]) == {"k5"}
def cut_down():
    for i in range(n - 1, left - 1, -1):
        del m[f"k{i}"]
    return m
cut, cut_bytes = held(cut_down)
fresh, fresh_bytes = held(lambda: Corvane({k: data[k] for k in list(data)[:left]}))
assert cut_bytes - store_bytes <= 2 * fresh_bytes, (cut_bytes - store_bytes, fresh_bytes)
cleared, cleared_bytes = held(lambda: (m.clear(), m)[1])
assert cut_bytes - store_bytes + cleared_bytes < 4096, cut_bytes - store_bytes + cleared_bytes
print("ok")
""")
    assert "ok" in out


@pytest.mark.parametrize("cut", ["erase_where", "retain_where", "popitem", "del", "discard_tag"])
def test_a_store_halved_holds_about_what_a_fresh_one_does(cut):
    # 100 tags on about 600 keys each, in one block of entry ids: bitmaps,
    # which a fresh store of half as many carriers holds as arrays.
    out = assert_child_ok(HEAP + f"""
import random
rng = random.Random(5)
n = 60_000
data = {{f"k{{i}}": [f"t{{i % 100}}", f"u{{(i // 100) % 100}}", "drop" if i % 2 else "keep"] for i in range(n)}}
def halved():
    m = Corvane(data)
    how = {cut!r}
    if how == "erase_where":
        m.erase_where(["drop"])
    elif how == "retain_where":
        m.retain_where(["keep"])
    elif how == "popitem":
        for _ in range(n // 2):
            m.popitem()
    elif how == "del":
        for key in rng.sample(list(data), n // 2):
            del m[key]
    else:  # every key keeps one of its two tags
        for i, key in enumerate(data):
            m.discard_tag(key, data[key][i % 2])
    return m
cut, cut_bytes = held(halved)
fresh, fresh_bytes = held(lambda: Corvane(cut.to_dict()))
assert cut.to_dict() == fresh.to_dict()
assert cut_bytes <= 1.5 * fresh_bytes, (cut_bytes / fresh_bytes, cut_bytes, fresh_bytes)
print("ok")
""")
    assert "ok" in out


def test_a_store_cut_anywhere_holds_about_what_a_fresh_one_does():
    # 1,000 tags on about 600 of 60,000 keys each, in one block of entry ids:
    # bitmaps that cuts short of half the links bring down to about 300.
    out = assert_child_ok(HEAP + """
import random
rng = random.Random(11)
n = 60_000
tags = [f"t{i}" for i in range(1_000)]
data = {f"k{i}": rng.sample(tags, 10) for i in range(n)}
def retained(share):
    keep = set(rng.sample(list(data), int(n * share)))
    m = Corvane({k: v + ["keep"] if k in keep else v for k, v in data.items()})
    m.retain_where(["keep"])
    return m
def discarded(how_many):
    m = Corvane(data)
    for key, key_tags in data.items():
        for tag in key_tags[:how_many]:
            m.discard_tag(key, tag)
    return m
ratios = {}
for name, cut_down in [*((f"retain {s}", lambda s=s: retained(s)) for s in (0.3, 0.45, 0.49, 0.6)),
                       *((f"discard {k}", lambda k=k: discarded(k)) for k in (3, 4, 5, 6))]:
    cut, cut_bytes = held(cut_down)
    fresh, fresh_bytes = held(lambda: Corvane(cut.to_dict()))
    ratios[name] = round(cut_bytes / fresh_bytes, 2)
    del cut, fresh
assert max(ratios.values()) <= 1.5, ratios
print("ok")
""")
    assert "ok" in out
