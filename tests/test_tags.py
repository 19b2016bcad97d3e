import pytest
from conftest import check_index
from corvane import Corvane


def test_key_lifecycle_through_tag_edits():
    m = Corvane()
    m.add_tags("k", [])
    assert "k" not in m
    m.add_tag("k", "a")
    assert m["k"] == {"a"} and m.tags() == ["a"]
    m.add_tags("k", "bcb")
    assert m["k"] == {"a", "b", "c"}
    m.add_tag("k", "a")
    m.remove_tag("k", "b")
    m.discard_tag("k", "c")
    m.discard_tag("k", "zz")
    assert m["k"] == {"a"} and sorted(m.tags()) == ["a"]
    check_index(m)
    m.remove_tag("k", "a")
    assert "k" not in m and len(m) == 0 and m.tags() == []
    m.add_tag("k", "a")
    m.discard_tag("k", "a")
    assert "k" not in m


def test_tag_bucket_lives_while_any_key_carries_it(store):
    store.remove_tag("a", "y")
    assert store.find(["y"]) == {"b"}
    store.discard_tag("b", "y")
    assert "y" not in store.tags() and store.count(["y"]) == 0
    check_index(store)


def test_remove_tag_errors_change_nothing(store):
    before = store.to_dict()
    with pytest.raises(KeyError) as err:
        store.remove_tag("m", "nope")
    assert err.value.args == ("key not found: m",)
    with pytest.raises(KeyError) as err:
        store.remove_tag("a", "z")
    assert err.value.args == ("tag not found: z",)
    assert store.to_dict() == before


def test_has_tag(store):
    assert store.has_tag("a", "x") and not store.has_tag("a", "z") and not store.has_tag("m", "x")


def test_erase_and_discard(store):
    assert store.erase("c") == {"z"} and "c" not in store
    with pytest.raises(KeyError) as err:
        store.erase("c")
    assert err.value.args == ("key not found: c",)
    assert store.discard("b") is True and store.discard("b") is False
    assert sorted(store.tags()) == ["x", "y"]
    check_index(store)


def test_add_tags_sees_the_store_its_iterable_left():
    m = Corvane({"k": "a"})

    def meddling():
        m.clear()
        yield "b"

    m.add_tags("k", meddling())
    assert m.to_dict() == {"k": {"b"}}
    check_index(m)


def test_keys_and_tags_are_exact_bytes():
    m = Corvane()
    m.add_tag("Key", "Tag")
    m.add_tag("key ", "tag")
    assert len(m) == 2 and sorted(m.tags()) == ["Tag", "tag"]
