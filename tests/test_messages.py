"""Errors speak the user's terms and stay short, whatever the arguments hold."""

import pytest
from corvane import Corvane, Object

SIGNATURES = "The following argument types are supported:\n"


@pytest.fixture(scope="module")
def big():
    return Corvane({f"key{i}": ["tag"] for i in range(100_000)})


@pytest.mark.parametrize(
    "call, invoked",
    [
        (lambda m: m[1], "<corvane.Corvane object>, 1"),
        (lambda m: m.find(None), "<corvane.Corvane object>, None"),
        (lambda m: m.update([("a", "b")] * 10**5), "<corvane.Corvane object>, [<tuple of 2 items>, <tuple of 2 items>, <tuple of 2 items>, ...]"),
        (lambda m: m.get(key=["x"] * 10**5), "<corvane.Corvane object>; kwargs: key=['x', 'x', 'x', ...]"),
        (lambda m: m.has_tag(1, "t" * 10**6), "<corvane.Corvane object>, 1, '" + "t" * 40 + "'..."),
        (lambda m: Corvane(m.keys), "<builtin_function_or_method object>"),
    ],
)
def test_mismatch_lists_signatures_and_describes_arguments_briefly(big, call, invoked):
    with pytest.raises(TypeError) as err:
        call(big)
    message = str(err.value)
    assert "incompatible" in message and SIGNATURES in message and len(message) < 800
    assert message.endswith("Invoked with: " + invoked)


def test_mismatch_shows_every_overload():
    with pytest.raises(TypeError) as err:
        Corvane(5)
    assert str(err.value) == (
        "__init__(): incompatible constructor arguments. " + SIGNATURES + "    1. corvane.Corvane()\n"
        "    2. corvane.Corvane(d: dict)\n"
        "    3. corvane.Corvane(keys: collections.abc.Iterable, values: collections.abc.Iterable)\n"
        "    4. corvane.Corvane(items: collections.abc.Iterable)\n\nInvoked with: 5"
    )


@pytest.mark.parametrize("name, value", [("data", 5), ("tags", ["x"])])
def test_property_setters_name_their_property(name, value):
    with pytest.raises(TypeError) as err:
        setattr(Object(), name, value)
    assert str(err.value).startswith(f"{name}(): incompatible function arguments")


@pytest.mark.parametrize(
    "call, where",
    [
        (lambda m: m.__setitem__("k", ["ok", 1]), "'tags'"),
        (lambda m: m.query("a", 2.5), "*args"),
        (lambda m: m.update({3: ["x"]}), "'d'"),
        (lambda m: Corvane([("k", [None])]), "'items'"),
    ],
)
def test_cast_failures_say_what_was_expected_and_where(call, where):
    with pytest.raises(RuntimeError) as err:
        call(Corvane())
    message = str(err.value)
    assert message.startswith("Unable to cast Python instance of type <class '")
    assert f"to a key or tag (in {where}): a key or tag must be str, bytes or bytearray" in message


def test_cast_failure_for_a_lone_surrogate():
    with pytest.raises(RuntimeError, match=r"<class 'str'> .*lone surrogate"):
        Corvane().add_tags("k", ["\ud800"])
