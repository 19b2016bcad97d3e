import pytest
from corvane import Corvane


def gen(*items):
    yield from items


@pytest.mark.parametrize(
    "tags, expected",
    [
        ("abc", {"a", "b", "c"}),
        (["x", "x", "y"], {"x", "y"}),
        ({"k1": 1, "k2": 2}, {"k1", "k2"}),
        (gen("g", "h"), {"g", "h"}),
        ((b"raw", bytearray(b"buf")), {"raw", "buf"}),
        (frozenset({"é", "漢"}), {"é", "漢"}),
    ],
)
def test_tag_collections(tags, expected):
    m = Corvane()
    m["k"] = tags
    assert m["k"] == expected


def test_bytes_and_str_address_the_same_key():
    m = Corvane()
    m[b"k"] = ["a"]
    m.add_tag(bytearray(b"k"), "b")
    assert m["k"] == {"a", "b"} and len(m) == 1


@pytest.mark.parametrize("bad", [b"ab", [1], ["ok", None], ["\ud800"]])
def test_unconvertible_elements_raise_runtime_error_and_change_nothing(store, bad):
    before = store.to_dict()
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type "):
        store["a"] = bad
    assert store.to_dict() == before


@pytest.mark.parametrize("bad", [1, None, 2.5])
def test_non_iterables_fail_overload_resolution(store, bad):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        store["a"] = bad


@pytest.mark.parametrize("key", [1, None, ["a"], "\udc80"])
def test_non_string_keys_fail_overload_resolution(store, key):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        store.get(key)


def test_iterator_errors_propagate_unchanged(store):
    def failing():
        yield "t"
        raise LookupError("boom")

    before = store.to_dict()
    with pytest.raises(LookupError, match="boom"):
        store["a"] = failing()
    assert store.to_dict() == before


def test_len_failures_are_only_a_missed_hint():
    class NoLen(list):
        def __len__(self):
            raise ValueError("no length")

    class BadLen(list):
        def __len__(self):
            return "seven"

    m = Corvane()
    m["a"] = NoLen(["x", "y"])
    m["b"] = BadLen(["z"])
    assert m.to_dict() == {"a": {"x", "y"}, "b": {"z"}}


def test_undecodable_results_raise_unicode_decode_error():
    m = Corvane()
    m[b"\xff"] = ["t"]
    m["k"] = [b"\xfe"]
    for op in (m.keys, m.values, m.items, m.to_dict, m.tags, m.__repr__, lambda: m["k"], lambda: m.find([])):
        with pytest.raises(UnicodeDecodeError):
            op()
    assert len(m) == 2


def test_every_calling_convention_gives_the_same_answer(store):
    class Sub(Corvane):
        pass

    sub = Sub({"a": "xy"})
    assert sub.has_tag("a", "x") and Corvane.has_tag(sub, "a", "y") and Corvane.__getitem__(sub, "a") == {"x", "y"}
    assert store.get(key="zz", default=5) == 5 and store.pop("zz", default=6) == 6 and store.pop(key="zz") is None
    assert store.find(tags=["z"]) == {"b", "c"} and store.count(tags="z") == 2
    store.add_tags(key="n", tags=["q"])
    store.__setitem__(key="m", tags=["q"])
    assert store.find(["q"]) == {"n", "m"}
    for call in (
        lambda: store.has_tag("a"),
        lambda: store.has_tag("a", "x", "y"),
        lambda: store.add_tag(key="a", tag=1),
        lambda: store.find(),
        lambda: store.get("a", 1, 2),
        lambda: store.setdefault("a"),
    ):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            call()
