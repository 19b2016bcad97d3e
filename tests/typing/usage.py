# pyright: strict
"""Every member of corvane, typed as a user writes it: type checkers run strict on this file."""

import corvane
from corvane import Corvane, Object


def tour() -> None:
    photos: dict[str, list[str]] = {"img/1.jpg": ["paris", "sunset"], "img/2.jpg": ["paris", "food"]}
    m = Corvane(photos)
    built: list[Corvane] = [
        Corvane(),
        Corvane(d={b"raw": {"x"}}),
        Corvane(["a", "b"], [["x"], ("y", "z")]),
        Corvane([("a", ["x"]), (b"b", ["y", "z"])]),
        Corvane.from_dict(photos),
        Corvane.from_keys_values(["a"], [["x"]]),
    ]
    size: int = len(m) + sum(len(b) for b in built)
    present: bool = bool(m) and "img/1.jpg" in m and b"img/2.jpg" in m
    keys: list[str] = [k for k in m] + m.keys()
    tags: set[str] = m["img/1.jpg"]
    m["img/3.jpg"] = ["oslo"]
    del m["img/3.jpg"]
    values: list[set[str]] = m.values()
    pairs: list[tuple[str, set[str]]] = m.items()
    every_tag: list[str] = m.tags()
    exported: dict[str, set[str]] = m.to_dict()
    maybe: set[str] | None = m.get("nope")
    fallback: set[str] | int = m.get("nope", 0)
    stored: set[str] = m.setdefault("img/4.jpg", ["lima"])
    popped: set[str] | None = m.pop("img/4.jpg")
    popped_or: set[str] | str = m.pop(key="nope", default="none")
    first: tuple[str, set[str]] = m.popitem()
    m.update({"img/5.jpg": ["cairo"]})
    m.add_tag("img/5.jpg", "dog")
    m.add_tags("img/5.jpg", {"beach", b"city"})
    m.remove_tag("img/5.jpg", "dog")
    m.discard_tag("img/5.jpg", "nope")
    carries: bool = m.has_tag("img/5.jpg", "beach")
    found: set[str] = m.find(["cairo"]) | m.query("cairo", "beach") | m.find_any(("a", "b")) | m.query_any()
    counted: int = m.count(["cairo"]) + m.count_any(tags=["x", "y"])
    kept: list[str] = m.retain_where_any(["cairo", "paris"]) + m.retain_where(["cairo"])
    erased: set[str] = m.erase("img/5.jpg") if "img/5.jpg" in m else set()
    gone: bool = m.discard("img/1.jpg")
    removed: list[str] = m.erase_where(["paris"])
    text: str = repr(m) + str(m)
    m.clear()
    record = Object("data", frozenset({"t"}))
    record.data = b"other"
    record.tags = {"u", "v"}
    shown: tuple[str, set[str]] = (record.data, record.tags)
    version: str = corvane.__version__
    print(version, size, present, keys, tags, values, pairs, every_tag, exported, maybe, fallback, stored, popped,
          popped_or, first, carries, found, counted, kept, erased, gone, removed, text, shown, Object().tags)


if __name__ == "__main__":
    tour()
