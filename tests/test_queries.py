import random

import pytest
from corvane import Corvane


@pytest.fixture
def m():
    return Corvane({"a": "xy", "b": "yz", "c": "z", "d": "xyz"})


@pytest.mark.parametrize("empty", [[], "", set(), {}, iter(())])
def test_empty_collection_selects_every_key(m, empty):
    assert m.find(empty) == {"a", "b", "c", "d"}
    assert m.count([]) == m.count_any(()) == 4
    assert m.query() == m.query_any() == m.find_any([]) == set("abcd")


def test_empty_store():
    m = Corvane()
    assert m.find([]) == m.find_any(["x"]) == set() and m.count([]) == m.count_any("x") == 0


@pytest.mark.parametrize(
    "tags, all_keys, any_keys",
    [
        ("x", {"a", "d"}, {"a", "d"}),
        ("xy", {"a", "d"}, {"a", "b", "d"}),
        ("xyz", {"d"}, {"a", "b", "c", "d"}),
        ("xq", set(), {"a", "d"}),
        ("q", set(), set()),
        (["y", "y"], {"a", "b", "d"}, {"a", "b", "d"}),
    ],
)
def test_all_and_any(m, tags, all_keys, any_keys):
    assert m.find(tags) == m.query(*tags) == all_keys
    assert m.find_any(tags) == m.query_any(*tags) == any_keys
    assert m.count(tags) == len(all_keys) and m.count_any(tags) == len(any_keys)


def test_tag_collections_of_every_kind(m):
    assert m.find({"x": 1, "y": 2}) == m.find(t for t in "xy") == m.find(b"xy".decode()) == {"a", "d"}


def test_argument_errors(m):
    with pytest.raises(TypeError):
        m.find(1)
    with pytest.raises(RuntimeError, match="^Unable to cast"):
        m.find(["x", 1])
    with pytest.raises(RuntimeError, match="^Unable to cast"):
        m.query("x", 1)
    with pytest.raises(TypeError):
        m.query(tags="x")
    assert m.find(tags="x") == {"a", "d"}


def test_results_are_independent_of_the_store(m):
    found = m.find("x")
    found.add("zzz")
    m.erase("a")
    assert found == {"a", "d", "zzz"} and m.find("x") == {"d"}


def test_a_larger_store_agrees_with_plain_sets():
    rng = random.Random(5)
    vocab = [f"tag{i}" for i in range(40)]
    data = {f"key-{i:05d}-with-a-longer-name": set(rng.sample(vocab, rng.randint(1, 6))) for i in range(3000)}
    m = Corvane(data)
    assert sorted(m.keys()) == sorted(data)
    for tags in (["tag0"], ["tag1", "tag2"], ["tag3", "tag4", "tag5"], ["tag6", "absent"]):
        everyone = {k for k, v in data.items() if set(tags) <= v}
        anyone = {k for k, v in data.items() if set(tags) & v}
        assert m.find(tags) == everyone and m.count(tags) == len(everyone)
        assert m.find_any(tags) == anyone and m.count_any(tags) == len(anyone)
    assert sorted(m.erase_where(["tag7", "tag8"])) == sorted(k for k, v in data.items() if {"tag7", "tag8"} <= v)
    kept = {k for k, v in data.items() if not {"tag7", "tag8"} <= v and v & {"tag9", "tag10"}}
    assert sorted(m.retain_where_any(["tag9", "tag10"])) == sorted(kept) and set(m.keys()) == kept
