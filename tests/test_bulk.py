import collections
import types

import pytest
from conftest import check_index
from corvane import Corvane


def test_overload_selection():
    assert Corvane({"k": "ab"}).to_dict() == {"k": {"a", "b"}}
    assert Corvane([("k", "ab")]).to_dict() == {"k": {"a", "b"}}
    assert Corvane(["k"], ["ab"]).to_dict() == {"k": {"a", "b"}}
    assert Corvane(keys=["k"], values=["a"]).to_dict() == Corvane(items=[("k", "a")]).to_dict()
    assert Corvane(d={"k": "a"}).to_dict() == {"k": {"a"}}
    with pytest.raises(TypeError, match=r"^each item must be a \(key, tags\) tuple$"):
        Corvane("ab")
    with pytest.raises(TypeError, match=r"^each item must be a \(key, tags\) tuple$"):
        Corvane(types.MappingProxyType({"k": "a"}))


@pytest.mark.parametrize("empty", [({},), ([],), ([], []), (iter(()), ())])
def test_empty_inputs(empty):
    assert len(Corvane(*empty)) == 0


def test_duplicates_replace_and_empty_tags_remove():
    assert Corvane(["a", "a"], [["x"], ["y"]]).to_dict() == {"a": {"y"}}
    assert len(Corvane(["a", "a"], [["x"], []])) == 0
    assert len(Corvane({"a": []})) == 0
    assert Corvane([("a", "x"), ("b", "y"), ("a", "z")]).to_dict() == {"a": {"z"}, "b": {"y"}}


def test_items_shape_errors():
    with pytest.raises(TypeError, match=r"tuple$"):
        Corvane([["k", "a"]])
    for bad in [("k", "a", "b"), ("k",)]:
        with pytest.raises(TypeError, match=r"^each item must be a \(key, tags\) pair$"):
            Corvane([bad])
    Pair = collections.namedtuple("Pair", "key tags")
    assert Corvane([Pair("k", "a")]).to_dict() == {"k": {"a"}}


def test_length_mismatch():
    fetched = []

    def endless():
        while True:
            fetched.append(1)
            yield ["v"]

    with pytest.raises(ValueError, match="^keys and values must have equal length$"):
        Corvane(["a"], endless())
    assert len(fetched) == 2  # one value beyond the last pair, not more
    for keys, values in [(["a", "b"], ["x"]), (["a"], ["x", "y"]), (["a", 1], ["x"])]:
        with pytest.raises(ValueError, match="^keys and values"):
            Corvane.from_keys_values(keys, values)


def test_failed_construction_leaves_no_store():
    m = Corvane.__new__(Corvane)
    with pytest.raises(ValueError):
        m.__init__(["a", "b", "c"], ["x", "y"])
    with pytest.raises(TypeError, match="not initialized"):
        len(m)


def test_init_twice_keeps_the_first_store():
    m = Corvane({"a": "x"})
    assert m.__init__({"b": "y"}) is None
    assert m.to_dict() == {"a": {"x"}}


def test_update_applies_a_prefix_without_rollback():
    m = Corvane({"a": "x", "gone": "q"})
    m.update({"gone": [], "b": "y"})
    assert m.to_dict() == {"a": {"x"}, "b": {"y"}}
    with pytest.raises(TypeError):
        m.update({"c": "z", "d": 5, "e": "w"})
    assert m.to_dict() == {"a": {"x"}, "b": {"y"}, "c": {"z"}}
    with pytest.raises(TypeError, match="incompatible function arguments"):
        m.update(types.MappingProxyType({"a": "b"}))
    check_index(m)


def test_exports_agree_with_listings_and_are_copies():
    m = Corvane({f"k{i}": [f"t{i % 3}", "all"] for i in range(20)})
    check_index(m)
    d, items = m.to_dict(), m.items()
    d["k1"].add("junk")
    items[0][1].add("junk")
    assert "junk" not in m.tags()


def test_static_builders_return_plain_corvane():
    class Sub(Corvane):
        pass

    assert type(Sub.from_dict({"a": "x"})) is Corvane
    assert type(Sub.from_keys_values(["a"], ["x"])) is Corvane
    assert type(Sub({"a": "x"})) is Sub
