import pytest
from conftest import check_index
from corvane import Corvane


def test_empty_store():
    m = Corvane()
    assert len(m) == 0 and not m and list(m) == [] and m.keys() == []
    assert str(m) == repr(m) == "Corvane({})"


def test_assignment_replaces_and_reads_back_copies():
    m = Corvane()
    m["k"] = ["a", "b"]
    got = m["k"]
    assert got == {"a", "b"}
    got.add("c")
    assert m["k"] == {"a", "b"}
    m["k"] = ["b", "c"]
    assert m["k"] == {"b", "c"} and m.tags().count("a") == 0
    check_index(m)


def test_empty_assignment_deletes_or_does_nothing(store):
    store["a"] = []
    assert "a" not in store and "x" not in store.tags()
    store["absent"] = []
    assert "absent" not in store and len(store) == 2
    check_index(store)


@pytest.mark.parametrize("op", [lambda m: m["m"], lambda m: m.__delitem__("m")])
def test_absent_key_raises_with_message(store, op):
    with pytest.raises(KeyError) as err:
        op(store)
    assert err.value.args == ("key not found: m",)
    assert len(store) == 3


def test_get_and_pop_defaults(store):
    sentinel = object()
    assert store.get("m") is None and store.get("m", sentinel) is sentinel
    assert store.get(key="m", default=sentinel) is sentinel
    assert store.pop("m") is None and store.pop("m", 0) == 0
    assert store.get("c") == {"z"}
    assert store.pop("c") == {"z"} and "c" not in store
    check_index(store)


def test_setdefault(store):
    assert store.setdefault("n", []) == set() and "n" not in store
    assert store.setdefault("n", ["x"]) == {"x"} and store["n"] == {"x"}
    assert store.setdefault("a", ["q"]) == {"x", "y"} and store["a"] == {"x", "y"}
    with pytest.raises(TypeError):
        store.setdefault("a", 5)
    with pytest.raises(TypeError):
        store.setdefault("a")
    check_index(store)


def test_popitem_takes_the_first_key_in_iteration_order(store):
    while store:
        first = next(iter(store))
        tags = store[first]
        assert store.popitem() == (first, tags)
        assert first not in store
        check_index(store)
    with pytest.raises(KeyError) as err:
        store.popitem()
    assert err.value.args == ("popitem(): Corvane is empty",)


def test_iteration_is_a_snapshot(store):
    seen = []
    for key in store:
        seen.append(key)
        del store[key]
        store["new" + key] = ["t"]
    assert sorted(seen) == ["a", "b", "c"]
    assert sorted(store) == ["newa", "newb", "newc"]


def test_listings_and_text_form_share_one_order(store):
    check_index(store)
    assert repr(store) == str(store) == f"Corvane({store.to_dict()})"


def test_membership_needs_a_key(store):
    assert "a" in store and b"a" in store and bytearray(b"a") in store and "q" not in store
    with pytest.raises(TypeError):
        1 in store


def test_clear(store):
    store.clear()
    assert len(store) == 0 and store.tags() == [] and store.find(["x"]) == set()
    store["a"] = "x"
    check_index(store)


def test_empty_string_is_an_ordinary_key_and_tag():
    m = Corvane()
    m.add_tag("", "")
    assert m[""] == {""} and m.tags() == [""] and m.find([""]) == {""}
    check_index(m)
