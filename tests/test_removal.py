import pytest
from conftest import check_index
from corvane import Corvane


@pytest.fixture
def m():
    return Corvane({"a": "xy", "b": "yz", "c": "z", "d": "xyz", "e": "w"})


@pytest.mark.parametrize("method", ["retain_where", "retain_where_any"])
def test_retain_with_empty_collection_keeps_all(m, method):
    keys = m.keys()
    assert getattr(m, method)([]) == keys and len(m) == 5


@pytest.mark.parametrize(
    "method, query, tags",
    [
        ("retain_where", "find", "xy"),
        ("retain_where", "find", "yy"),
        ("retain_where", "find", "q"),
        ("retain_where_any", "find_any", "xw"),
        ("retain_where_any", "find_any", "xq"),
        ("retain_where_any", "find_any", "q"),
    ],
)
def test_retain_keeps_exactly_what_the_query_found(m, method, query, tags):
    expected = getattr(m, query)(tags)
    kept = getattr(m, method)(tags)
    assert sorted(kept) == sorted(expected) and set(m.keys()) == expected
    check_index(m)


@pytest.mark.parametrize("tags", ["z", "yz", "zz", "q", ""])
def test_erase_where_removes_exactly_what_find_found(m, tags):
    expected = m.find(tags) if tags else set()
    before = len(m)
    removed = m.erase_where(tags)
    assert sorted(removed) == sorted(expected) and len(m) == before - len(removed)
    if tags:
        assert m.find(tags) == set()
    check_index(m)


def test_tags_of_removed_entries_vanish(m):
    m.retain_where("x")
    assert "w" not in m.tags() and m.find_any("w") == set() and m.count_any("w") == 0
    m.retain_where("q")
    assert len(m) == 0 and m.tags() == []


def test_failed_conversion_removes_nothing(m):
    before = m.to_dict()
    for method in (m.retain_where, m.retain_where_any, m.erase_where):
        with pytest.raises(RuntimeError):
            method(["x", 1])
        with pytest.raises(TypeError):
            method(1)
    assert m.to_dict() == before
