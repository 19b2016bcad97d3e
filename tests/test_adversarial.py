"""Hostile input, each case in its own interpreter so that a crash fails only that case."""

import pytest
from conftest import assert_child_ok

PRELUDE = """
from corvane import Corvane, Object

class Halt(BaseException):
    pass

def consistent(m):
    d = m.to_dict()
    assert all(d.values())
    carriers = {}
    for key, tags in d.items():
        for tag in tags:
            carriers.setdefault(tag, set()).add(key)
    assert sorted(m.tags()) == sorted(carriers)
    for tag, keys in carriers.items():
        assert m.find([tag]) == keys and m.count([tag]) == len(keys)

def raises(kind, call):
    try:
        call()
    except kind:
        return
    raise AssertionError(f"no {kind.__name__}")
"""


def run(code):
    assert_child_ok(PRELUDE + code)


MEDDLING = """
m = Corvane({f"k{i}": ["t", f"u{i}"] for i in range(100)})
def meddling():
    m.clear()
    yield "t"
    m.update({f"n{i}": ["t", "u"] for i in range(100)})
    yield "u"
    m.popitem()
"""


@pytest.mark.parametrize(
    "call",
    [
        "m['k1'] = meddling()",
        "m.add_tags('k1', meddling())",
        "m.setdefault('zz', meddling())",
        "m.find(meddling())",
        "m.find_any(meddling())",
        "m.count(meddling())",
        "m.count_any(meddling())",
        "m.retain_where(meddling())",
        "m.retain_where_any(meddling())",
        "m.erase_where(meddling())",
        "m.update({'k1': meddling(), 'k2': meddling()})",
        "Corvane([('a', meddling())])",
        "Corvane(['a', 'b'], [meddling(), meddling()])",
        "Corvane.from_dict({'a': meddling()})",
    ],
)
def test_conversion_that_changes_the_same_store(call):
    run(MEDDLING + call + "\nconsistent(m)\n")


@pytest.mark.parametrize(
    "length, ok",
    [
        ("raise ValueError('no')", True),
        ("return 'seven'", True),
        ("return -5", True),
        ("return 0", True),
        ("return sys.maxsize", True),
        ("raise Halt()", False),
    ],
)
def test_len_is_never_trusted(length, ok):
    run(
        f"""
import sys
class Odd:
    def __len__(self):
        {length}
    def __iter__(self):
        return iter([f"t{{i}}" for i in range(5000)])
m = Corvane({{"k": "x"}})
if {ok}:
    m["k"] = Odd()
    assert len(m["k"]) == 5000 and m.count(Odd()) == 1
else:
    raises(Halt, lambda: m.__setitem__("k", Odd()))
    assert m.to_dict() == {{"k": {{"x"}}}}
consistent(m)
"""
    )


def test_iter_returning_a_non_iterator():
    run(
        """
class NoIter:
    def __iter__(self):
        return 42
m = Corvane({"k": "x"})
for call in (lambda: m.__setitem__("k", NoIter()), lambda: m.find(NoIter()), lambda: Corvane(NoIter())):
    raises(TypeError, call)
assert m.to_dict() == {"k": {"x"}}
"""
    )


@pytest.mark.parametrize("error", ["ValueError('part-way')", "Halt()"])
@pytest.mark.parametrize(
    "call, after",
    [
        ("m['k'] = failing()", "{'k': {'x'}, 'j': {'y'}}"),
        ("m.add_tags('k', failing())", "{'k': {'x'}, 'j': {'y'}}"),
        ("m.find(failing())", "{'k': {'x'}, 'j': {'y'}}"),
        ("m.retain_where(failing())", "{'k': {'x'}, 'j': {'y'}}"),
        ("m.erase_where(failing())", "{'k': {'x'}, 'j': {'y'}}"),
        ("m.update({'k': ['z'], 'j': failing()})", "{'k': {'z'}, 'j': {'y'}}"),
        ("m = Corvane((p for p in [('a', 'b'), ('c', failing())]))", "{'k': {'x'}, 'j': {'y'}}"),
        ("m = Corvane(failing(), ['a', 'b'])", "{'k': {'x'}, 'j': {'y'}}"),
    ],
)
def test_iterators_that_fail_part_way(error, call, after):
    run(
        f"""
def failing():
    yield "x"
    raise {error}
m = Corvane({{"k": "x", "j": "y"}})
try:
    {call}
except BaseException as e:
    assert repr(e) == repr({error}), repr(e)
else:
    raise AssertionError("nothing raised")
assert m.to_dict() == {after}, m.to_dict()
consistent(m)
"""
    )


def test_lone_surrogates_never_reach_the_store():
    run(
        """
m = Corvane({"k": "x"})
raises(TypeError, lambda: m.__setitem__("\\ud800", ["x"]))
raises(RuntimeError, lambda: m.__setitem__("k", ["\\udfff"]))
raises(RuntimeError, lambda: m.query("\\ud800"))
raises(TypeError, lambda: m.add_tag("k", "\\ud800"))
raises(TypeError, lambda: Object("\\ud800", set()))
raises(TypeError, lambda: Object("d", {"\\ud800"}))
assert m.to_dict() == {"k": {"x"}}
"""
    )


UNDECODABLE = """
m = Corvane({"ok": ["t"]})
m[b"\\xff"] = ["t", "u"]
m["k"] = [b"\\xfe", "t"]
def unchanged():
    assert len(m) == 3 and m.count(["t"]) == 3 and m.count(["u"]) == 1 and m.count([b"\\xfe"]) == 1
"""


@pytest.mark.parametrize(
    "call",
    [
        "m.keys()",
        "list(m)",
        "m.values()",
        "m.items()",
        "m.to_dict()",
        "repr(m)",
        "str(m)",
        "m.tags()",
        "m['k']",
        "m.get('k')",
        "m.setdefault('k', [])",
        "m.pop('k')",
        "m.erase('k')",
        "m.find(['u'])",
        "m.query('u')",
        "m.find_any(['u'])",
        "m.query_any('u')",
        "m.find([])",
        "m.retain_where(['u'])",
        "m.retain_where_any(['u'])",
        "m.erase_where(['u'])",
        "[m.popitem() for _ in range(3)]",
    ],
)
def test_undecodable_bytes_meet_every_returning_method(call):
    run(
        UNDECODABLE
        + f"""
before = len(m)
raises(UnicodeDecodeError, lambda: {call})
if "popitem" in {call!r}:
    assert b"\\xff" in m and "k" in m
else:
    unchanged()
"""
    )


def test_undecodable_object_fields():
    run(
        """
o = Object(b"\\xff", {b"\\xfe"})
raises(UnicodeDecodeError, lambda: o.data)
raises(UnicodeDecodeError, lambda: o.tags)
o.data = bytearray(b"ok")
assert o.data == "ok"
"""
    )


def test_huge_keys_tags_and_tag_sets():
    run(
        """
big_key, big_tag = "k" * (1 << 20), "t" * (1 << 20)
m = Corvane()
m[big_key] = [big_tag, "small"]
assert m.find([big_tag]) == {big_key} and m[big_key] == {big_tag, "small"}
try:
    m.remove_tag(big_key, "x" * (1 << 20))
except KeyError as e:
    assert e.args[0] == "tag not found: " + "x" * (1 << 20)
many = [f"tag{i}" for i in range(100_000)]
m["many"] = many
assert len(m["many"]) == 100_000 and m.count(many[:3]) == 1 and m.count_any(many) == 1
assert len(m.tags()) == 100_002
assert m.erase("many") == set(many) and len(m.tags()) == 2
consistent(m)
"""
    )
