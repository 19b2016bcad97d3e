"""Reference hygiene: defaults come back as themselves, results own nothing extra, nothing leaks."""

import sys
import tracemalloc

import pytest
from corvane import Corvane, Object


def test_defaults_come_back_without_a_leaked_reference():
    m = Corvane({"key1": ["tag1"]})
    default = object()
    before = sys.getrefcount(default)
    for _ in range(10_000):
        assert m.get("missing", default) is default
        assert m.pop("missing", default) is default
    assert sys.getrefcount(default) == before


def test_results_hold_only_their_own_references():
    m = Corvane({"key1": ["tag1", "tag2"], "key2": ["tag2"]})
    fresh = sys.getrefcount(set())  # a new object referenced only by the call
    makers = (lambda: m.find(["tag2"]), m.keys, m.values, m.items, m.to_dict, lambda: m["key1"], m.tags)
    counts = [sys.getrefcount(make()) for make in makers]  # outside assert: its rewriting holds values
    assert counts == [fresh] * len(makers)



def test_results_share_the_stored_strings_without_leaking():
    key, tag = "".join(["key", "1"]), "".join(["tag", "1"])  # not interned: only we and the store hold them
    alone = sys.getrefcount(key), sys.getrefcount(tag)
    m = Corvane()
    m.add_tag(key, tag)
    m.find([tag])
    m.find([tag])  # the second query keeps the tag's key set for the next
    held = sys.getrefcount(key), sys.getrefcount(tag)
    for _ in range(1000):
        assert m.keys()[0] is key and next(iter(m)) is key and m.find([tag]).pop() is key
        assert m.tags()[0] is tag and m[key].pop() is tag and m.items()[0][1].pop() is tag
    assert (sys.getrefcount(key), sys.getrefcount(tag)) == held
    m.add_tag("other", tag)  # the kept key set goes with the change
    m.remove_tag("other", tag)
    assert sys.getrefcount(key) == alone[0] + 1
    del m
    assert (sys.getrefcount(key), sys.getrefcount(tag)) == alone


def failing(call):
    try:
        call()
    except (KeyError, RuntimeError):
        return
    raise AssertionError("no error")


CALLS = {
    "mapping": lambda m: (m["key3"], m.get("key4"), m.get("nope", 0), "key5" in m, list(m), m.keys(), m.values()),
    "exports": lambda m: (m.items(), m.to_dict(), repr(m), m.tags()),
    "edits": lambda m: (m.add_tag("new", "t"), m.add_tags("new", ["u", "v"]), m.remove_tag("new", "u"),
                        m.discard_tag("new", "v"), m.setdefault("new", ["w"]), m.pop("new"), m.popitem()),
    "queries": lambda m: (m.find(["even", "all"]), m.query("odd"), m.find_any(["even"]), m.count(["all"]),
                          m.count_any(("odd", "even"))),
    "removal": lambda m: (m.retain_where(["all"]), m.retain_where_any(["even", "odd"]), m.erase_where(["none"])),
    "errors": lambda m: [failing(call) for call in (lambda: m["gone"], lambda: m.find([1]), lambda: m.remove_tag("key1", "q"))],
    "builders": lambda m: (Corvane({"a": "xy"}), Corvane([("a", "x")]), Corvane(["a"], ["x"]), m.update({"key9": ["t"]})),
    "object": lambda m: (lambda o: (o.data, o.tags))(Object("data", {"t1", "t2"})),
}


@pytest.mark.parametrize("group", CALLS)
def test_repeated_calls_do_not_grow_memory(group):
    def fresh():
        return Corvane({f"key{i}": ["all", "even" if i % 2 else "odd"] for i in range(20)})

    for _ in range(200):
        CALLS[group](fresh())
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(3000):
        CALLS[group](fresh())
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 64 * 1024, f"{group}: {grown} bytes kept after 3000 rounds"


def test_bytes_keys_become_one_stored_str():
    m = Corvane()
    m[b"raw"] = [bytearray(b"tag")]
    key, tag = m.keys()[0], m.tags()[0]
    assert type(key) is str and type(tag) is str and (key, tag) == ("raw", "tag")
    assert m.keys()[0] is key and next(iter(m)) is key and m["raw"].pop() is tag
    m[b"\xff"] = ["t"]  # not UTF-8: stored as bytes, never handed out as a str
    assert b"\xff" in m and m.count(["t"]) == 1
