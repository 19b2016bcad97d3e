import pytest
from corvane import Object


def test_default_and_full_construction():
    o = Object()
    assert o.data == "" and o.tags == set()
    o = Object(data=b"abc", tags=frozenset({"x"}))
    assert o.data == "abc" and o.tags == {"x"} and type(o.tags) is set
    assert Object("d", {"k": 1}.keys()).tags == {"k"}
    assert Object("d", set()).tags == set()


def test_properties_return_copies():
    o = Object("d", {"a"})
    tags = o.tags
    tags.add("b")
    assert o.tags == {"a"} and o.tags is not o.tags
    o.data, o.tags = "e", {"z"}
    assert (o.data, o.tags) == ("e", {"z"})


@pytest.mark.parametrize("args", [("d", ["a"]), (1, {"a"}), ("d", {1}), ("d",), ("d", "ab")])
def test_wrong_constructor_arguments(args):
    with pytest.raises(TypeError):
        Object(*args)


def test_failed_writes_and_attribute_rules():
    o = Object("d", {"a"})
    for name, value in [("tags", ["x"]), ("tags", {1}), ("data", 5)]:
        with pytest.raises(TypeError):
            setattr(o, name, value)
    assert (o.data, o.tags) == ("d", {"a"})
    with pytest.raises(AttributeError):
        o.other = 1
    with pytest.raises(AttributeError):
        del o.data
    with pytest.raises(UnicodeDecodeError):
        Object(b"\xff", set()).data


def test_identity_semantics_and_second_init():
    a, b = Object("d", {"a"}), Object("d", {"a"})
    assert a != b and a == a
    a.__init__("other", {"z"})
    assert (a.data, a.tags) == ("d", {"a"})


def test_a_set_of_tags_is_recognised_by_its_real_type():
    # Named like a keys view, but neither one nor a collections.abc.Set.
    impostor = type("dict_keys", (), {"__iter__": lambda self: iter(["a", "a", "b"])})
    not_iterable = type("dict_keys", (), {})
    for value in (impostor(), not_iterable()):
        with pytest.raises(TypeError, match="incompatible constructor arguments"):
            Object("d", value)
        with pytest.raises(TypeError, match="incompatible function arguments"):
            Object().tags = value
