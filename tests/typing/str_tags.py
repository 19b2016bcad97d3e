# pyright: strict, reportDeprecated=error
"""A plain str where tags belong: every call marked `str-as-tags` must be reported
by the type checkers (mypy --enable-error-code deprecated, pyright with
reportDeprecated); the others are the right spellings and must pass."""

from corvane import Corvane


def mistakes(m: Corvane) -> None:
    m.find("paris")  # str-as-tags
    m.find_any("paris")  # str-as-tags
    m.count("role::program")  # str-as-tags
    m.count_any("paris")  # str-as-tags
    m.retain_where("paris")  # str-as-tags
    m.retain_where_any("paris")  # str-as-tags
    m.erase_where("paris")  # str-as-tags
    m.add_tags("img1", "paris")  # str-as-tags
    m.setdefault("img1", "paris")  # str-as-tags
    m.update({"img1": "paris"})  # str-as-tags
    m["img1"] = "paris"  # str-as-tags (mypy only)
    Corvane({"img1": "paris"})  # str-as-tags
    Corvane([("img1", "paris"), ("img1", "sunset")])  # str-as-tags
    Corvane(["img1", "img2"], ["paris", "sunset"])  # str-as-tags
    Corvane.from_dict({"img1": "paris"})  # str-as-tags
    Corvane.from_keys_values(["img1"], ["paris"])  # str-as-tags


def right(m: Corvane) -> None:
    m.find(["paris"])
    m.find(("paris", "sunset"))
    m.find({"paris"})
    m.query("paris", "sunset")
    m.query_any("paris")
    m.count(["role::program"])
    m.add_tag("img1", "paris")
    m.add_tags("img1", ["paris"])
    m.setdefault("img1", ["paris"])
    m["img1"] = ["paris"]
    m.update({"img1": ["paris"]})
    Corvane({"img1": ["paris"], "img2": {"sunset"}})
    Corvane([("img1", ["paris", "sunset"])])
    Corvane(["img1"], [["paris"]])
    Corvane.from_dict({"img1": ("paris",)})
    Corvane.from_keys_values(["img1"], [["paris"]])
