import re

import corvane

SET = "set[str]"
IT = "collections.abc.Iterable"

CORVANE = [
    ("__init__", "(self: corvane.Corvane) -> None"),
    ("__init__", "(self: corvane.Corvane, d: dict) -> None"),
    ("__init__", f"(self: corvane.Corvane, keys: {IT}, values: {IT}) -> None"),
    ("__init__", f"(self: corvane.Corvane, items: {IT}) -> None"),
    ("from_keys_values", f"(keys: {IT}, values: {IT}) -> corvane.Corvane"),
    ("from_dict", "(d: dict) -> corvane.Corvane"),
    ("pack", f"(keys: {IT}, values: {IT}, parts: int) -> list"),
    ("from_packed", f"(chunks: {IT}) -> corvane.Corvane"),
    ("__len__", "(self: corvane.Corvane) -> int"),
    ("__bool__", "(self: corvane.Corvane) -> bool"),
    ("__contains__", "(self: corvane.Corvane, key: str) -> bool"),
    ("__iter__", "(self: corvane.Corvane) -> collections.abc.Iterator"),
    ("__str__", "(self: corvane.Corvane) -> str"),
    ("__repr__", "(self: corvane.Corvane) -> str"),
    ("__getitem__", f"(self: corvane.Corvane, key: str) -> {SET}"),
    ("__setitem__", f"(self: corvane.Corvane, key: str, tags: {IT}) -> None"),
    ("__delitem__", "(self: corvane.Corvane, key: str) -> None"),
    ("clear", "(self: corvane.Corvane) -> None"),
    ("keys", "(self: corvane.Corvane) -> list"),
    ("values", "(self: corvane.Corvane) -> list"),
    ("items", "(self: corvane.Corvane) -> list"),
    ("tags", "(self: corvane.Corvane) -> list[str]"),
    ("to_dict", "(self: corvane.Corvane) -> dict"),
    ("get", "(self: corvane.Corvane, key: str, default: object = None) -> object"),
    ("setdefault", f"(self: corvane.Corvane, key: str, default: {IT}) -> {SET}"),
    ("pop", "(self: corvane.Corvane, key: str, default: object = None) -> object"),
    ("popitem", f"(self: corvane.Corvane) -> tuple[str, {SET}]"),
    ("update", "(self: corvane.Corvane, d: dict) -> None"),
    ("add_tag", "(self: corvane.Corvane, key: str, tag: str) -> None"),
    ("add_tags", f"(self: corvane.Corvane, key: str, tags: {IT}) -> None"),
    ("remove_tag", "(self: corvane.Corvane, key: str, tag: str) -> None"),
    ("discard_tag", "(self: corvane.Corvane, key: str, tag: str) -> None"),
    ("has_tag", "(self: corvane.Corvane, key: str, tag: str) -> bool"),
    ("find", f"(self: corvane.Corvane, tags: {IT}) -> set"),
    ("query", "(self: corvane.Corvane, *args) -> set"),
    ("find_any", f"(self: corvane.Corvane, tags: {IT}) -> set"),
    ("query_any", "(self: corvane.Corvane, *args) -> set"),
    ("count", f"(self: corvane.Corvane, tags: {IT}) -> int"),
    ("count_any", f"(self: corvane.Corvane, tags: {IT}) -> int"),
    ("retain_where", f"(self: corvane.Corvane, tags: {IT}) -> list"),
    ("retain_where_any", f"(self: corvane.Corvane, tags: {IT}) -> list"),
    ("erase", f"(self: corvane.Corvane, key: str) -> {SET}"),
    ("discard", "(self: corvane.Corvane, key: str) -> bool"),
    ("erase_where", f"(self: corvane.Corvane, tags: {IT}) -> list"),
]

OBJECT = [
    ("__init__", "(self: corvane.Object) -> None"),
    ("__init__", "(self: corvane.Object, data: str, tags: collections.abc.Set[str]) -> None"),
]


def rendered(cls, table):
    """(name, signature) rows of a class in registration order, read from the docstrings."""
    rows = []
    for name in dict.fromkeys(n for n, _ in table):
        doc = getattr(cls, name).__doc__
        for sig in re.findall(rf"^(?:\d+\. )?{re.escape(name)}(\(.*\) -> .*)$", doc, re.M):
            rows.append((name, sig))
    return rows


def test_module_docstring():
    assert corvane.__doc__ == "corvane: fast tagged object map (pybind interface)"


def test_corvane_members_and_signatures():
    assert rendered(corvane.Corvane, CORVANE) == CORVANE
    own = [n for n in vars(corvane.Corvane) if not n.startswith("_") or n in dict(CORVANE)]
    assert own == list(dict.fromkeys(n for n, _ in CORVANE))
    assert isinstance(vars(corvane.Corvane)["from_dict"], staticmethod)


def test_object_members_and_signatures():
    assert rendered(corvane.Object, OBJECT) == OBJECT
    assert [n for n in vars(corvane.Object) if not n.startswith("_")] == ["data", "tags"]
    assert "__dict__" not in dir(corvane.Object())
    props = vars(corvane.Object)
    assert re.match(r"\(\w+: corvane.Object\) -> str$", props["data"].fget.__doc__.strip())
    assert re.match(r"\(\w+: corvane.Object, \w+: str\) -> None$", props["data"].fset.__doc__.strip())
    assert re.match(r"\(\w+: corvane.Object\) -> set\[str\]$", props["tags"].fget.__doc__.strip())
    setter = r"\(\w+: corvane.Object, \w+: collections.abc.Set\[str\]\) -> None$"
    assert re.match(setter, props["tags"].fset.__doc__.strip())
