"""corvane: fast tagged object map (pybind interface)"""

from collections.abc import Iterable, Iterator, Set
from typing import TypeVar, overload

from typing_extensions import Buffer, deprecated

__version__: str

# A key or tag: str, or its UTF-8 bytes. Results are always str.
_Text = str | bytes | bytearray
_Key = TypeVar("_Key", bound=str | bytes | bytearray)
_Tags = TypeVar("_Tags", bound=Iterable[str | bytes | bytearray])
_Default = TypeVar("_Default")

# A tags argument is any iterable of tags, so a plain str passes as one: it is
# iterated as its characters, each taken as a tag. Every such parameter has an
# overload for a bare str, marked deprecated so that type checkers report the
# call (mypy with --enable-error-code deprecated, pyright with
# reportDeprecated) and editors strike it through; runtime behaviour is as
# documented.

class Object:
    """A small standalone record: a `data` string and a set of `tags`.

    Never linked to a store. Compared and hashed by identity; not picklable.
    """

    @overload
    def __init__(self) -> None:
        """An empty record: `data` is "" and `tags` is empty."""

    @overload
    def __init__(self, data: _Text, tags: Set[_Text]) -> None:
        """A record of `data` and a copy of the set `tags`.

        `tags` must be a set kind (set, frozenset, a dict's keys view or
        another collections.abc.Set): TypeError for a list, tuple or str.
        """

    @property
    def data(self) -> str:
        """The data string; set it from a str, bytes or bytearray (TypeError otherwise)."""

    @data.setter
    def data(self, value: _Text) -> None: ...
    @property
    def tags(self) -> set[str]:
        """A new set of the tags on every read; set it from a set kind (TypeError otherwise)."""

    @tags.setter
    def tags(self, value: Set[_Text]) -> None: ...

class Corvane:
    """A mapping from str keys to non-empty sets of str tags, with an inverted
    index from each tag to its keys, so that tag queries need no scan.

    Keys and tags may also be given as bytes or bytearray (their UTF-8 text).
    A key never has an empty tag set: storing one removes the key. Results are
    always new objects. A tags argument is any iterable of tags; a plain str
    is iterated as its characters, so pass [tag] for a single tag.
    """

    @overload
    def __init__(self) -> None:
        """An empty store."""

    @overload
    @deprecated("a str value is taken as its characters, each a tag: pass [tag] for one tag")
    def __init__(self, d: dict[_Key, str]) -> None:
        """The entries of a dict of key to tags; a str value is taken as its characters."""

    @overload
    def __init__(self, d: dict[_Key, _Tags]) -> None:
        """The entries of a dict of key to tags; an empty tags value stores nothing.

        Raises RuntimeError for a key or tag that is not str, bytes or bytearray.
        """

    @overload
    @deprecated("a str value is taken as its characters, each a tag: pass [tag] for one tag")
    def __init__(self, keys: Iterable[_Text], values: Iterable[str]) -> None:
        """Keys paired with tags in order; each str value is taken as its characters."""

    @overload
    def __init__(self, keys: Iterable[_Text], values: Iterable[Iterable[_Text]]) -> None:
        """Keys paired with tags in order; ValueError when one side runs out first.

        A later pair for the same key replaces the earlier one.
        """

    @overload
    @deprecated("a str in a pair is taken as its characters, each a tag: pass (key, [tag]) for one tag")
    def __init__(self, items: Iterable[tuple[_Text, str]]) -> None:
        """(key, tags) tuples; a str as tags is taken as its characters."""

    @overload
    def __init__(self, items: Iterable[tuple[_Text, Iterable[_Text]]]) -> None:
        """(key, tags) tuples; TypeError for an item that is not a 2-tuple.

        A later pair for the same key replaces the earlier one: group rows of
        (key, tag) by key first.
        """

    @overload
    @staticmethod
    @deprecated("a str value is taken as its characters, each a tag: pass [tag] for one tag")
    def from_keys_values(keys: Iterable[_Text], values: Iterable[str]) -> Corvane:
        """A new Corvane, as Corvane(keys, values); each str value is taken as its characters."""

    @overload
    @staticmethod
    def from_keys_values(keys: Iterable[_Text], values: Iterable[Iterable[_Text]]) -> Corvane:
        """A new Corvane, as Corvane(keys, values)."""

    @overload
    @staticmethod
    @deprecated("a str value is taken as its characters, each a tag: pass [tag] for one tag")
    def from_dict(d: dict[_Key, str]) -> Corvane:
        """A new Corvane, as Corvane(d); a str value is taken as its characters."""

    @overload
    @staticmethod
    def from_dict(d: dict[_Key, _Tags]) -> Corvane:
        """A new Corvane, as Corvane(d)."""

    @staticmethod
    def pack(keys: Iterable[_Text], values: Iterable[Iterable[_Text]], parts: int) -> list[bytes]:
        """Keys paired with tags in order, packed into `parts` bytes chunks for
        from_packed(); a key goes to part zlib.crc32(its UTF-8) % parts.

        A chunk is the bytes "CVP1" and its number of entries, then each
        entry's key, number of tags and tags; a text is its length and its
        bytes, every number a little-endian u32. Nothing is hashed or copied
        into a Python object: a process that reads entries can hand them to
        the stores of other processes in the form they build from.
        """

    @staticmethod
    def from_packed(chunks: Iterable[Buffer]) -> Corvane:
        """A new Corvane of the entries of pack()'s chunks (bytes-like), in
        order, as Corvane(keys, values); ValueError for bytes that are not a
        chunk, naming it and the byte where it stops being one."""

    def __len__(self) -> int:
        """The number of keys."""

    def __bool__(self) -> bool:
        """Whether any key is present."""

    def __contains__(self, key: _Text) -> bool:
        """Whether the key is present.

        Raises TypeError for a key that is not str, bytes or bytearray.
        """

    def __iter__(self) -> Iterator[str]:
        """An iterator over a snapshot of the keys: the store may change during the loop."""

    def __getitem__(self, key: _Text) -> set[str]:
        """A new set of the key's tags; KeyError when the key is absent."""

    @overload
    @deprecated("a str is taken as its characters, each a tag: pass [tag] for one tag")
    def __setitem__(self, key: _Text, tags: str) -> None:
        """Makes the key carry exactly these tags; a str is taken as its characters."""

    @overload
    def __setitem__(self, key: _Text, tags: Iterable[_Text]) -> None:
        """Makes the key carry exactly these tags; an empty iterable removes the key.

        A plain str is taken as its characters, each a tag: pass [tag].
        """

    def __delitem__(self, key: _Text) -> None:
        """Removes the key; KeyError when it is absent."""

    def clear(self) -> None:
        """Removes every key and tag."""

    def keys(self) -> list[str]:
        """A new list of the keys, in iteration order."""

    def values(self) -> list[set[str]]:
        """A new list of new tag sets, one per key, in iteration order."""

    def items(self) -> list[tuple[str, set[str]]]:
        """A new list of (key, tag set) tuples, in iteration order."""

    def tags(self) -> list[str]:
        """A new list of every tag in use."""

    def to_dict(self) -> dict[str, set[str]]:
        """A new dict of each key to a new set of its tags."""

    @overload
    def get(self, key: _Text) -> set[str] | None:
        """A new set of the key's tags, or `default` itself when the key is absent."""

    @overload
    def get(self, key: _Text, default: _Default) -> set[str] | _Default:
        """A new set of the key's tags, or `default` itself when the key is absent."""

    @overload
    @deprecated("a str default is taken as its characters, each a tag: pass [tag] for one tag")
    def setdefault(self, key: _Text, default: str) -> set[str]:
        """The key's tags; when it is absent, first stores `default` (an empty one stores nothing)."""

    @overload
    def setdefault(self, key: _Text, default: Iterable[_Text]) -> set[str]:
        """The key's tags; when it is absent, first stores `default` (an empty one stores nothing).

        `default` is required, and converted only when the key is absent.
        Returns a new set. A plain str is taken as its characters: pass [tag].
        """

    @overload
    def pop(self, key: _Text) -> set[str] | None:
        """Removes the key and returns its tags, or returns `default` when it is absent (no KeyError)."""

    @overload
    def pop(self, key: _Text, default: _Default) -> set[str] | _Default:
        """Removes the key and returns its tags, or returns `default` when it is absent (no KeyError)."""

    def popitem(self) -> tuple[str, set[str]]:
        """Removes and returns the first (key, tags) pair in iteration order; KeyError when empty."""

    @overload
    @deprecated("a str value is taken as its characters, each a tag: pass [tag] for one tag")
    def update(self, d: dict[_Key, str]) -> None:
        """Sets each key of the dict to its tags, in order (an empty value removes the key); entries applied before a failure stay applied."""

    @overload
    def update(self, d: dict[_Key, _Tags]) -> None:
        """Sets each key of the dict to its tags, in order (an empty value removes the key); entries applied before a failure stay applied.

        Takes a dict only: other mappings go through Corvane(items).
        """

    def add_tag(self, key: _Text, tag: _Text) -> None:
        """Adds a tag, creating the key if absent."""

    @overload
    @deprecated("a str is taken as its characters, each a tag: pass [tag] for one tag, or use add_tag")
    def add_tags(self, key: _Text, tags: str) -> None:
        """Adds the tags; creates the key unless `tags` is empty. A str is taken as its characters."""

    @overload
    def add_tags(self, key: _Text, tags: Iterable[_Text]) -> None:
        """Adds the tags; creates the key unless `tags` is empty.

        A plain str is taken as its characters: pass [tag], or use add_tag.
        """

    def remove_tag(self, key: _Text, tag: _Text) -> None:
        """Removes a tag (the key goes with its last one); KeyError when the key or the tag is absent."""

    def discard_tag(self, key: _Text, tag: _Text) -> None:
        """Removes a tag if the key carries it (the key goes with its last one)."""

    def has_tag(self, key: _Text, tag: _Text) -> bool:
        """Whether the key carries the tag; False for an absent key."""

    @overload
    @deprecated("a str is taken as its characters, each a tag: pass [tag] for one tag")
    def find(self, tags: str) -> set[str]:
        """A new set of the keys that carry every tag; a str is taken as its characters."""

    @overload
    def find(self, tags: Iterable[_Text]) -> set[str]:
        """A new set of the keys that carry every tag; every key when `tags` is empty.

        A plain str is taken as its characters: pass [tag].
        """

    def query(self, *args: _Text) -> set[str]:
        """find() with the tags as arguments."""

    @overload
    @deprecated("a str is taken as its characters, each a tag: pass [tag] for one tag")
    def find_any(self, tags: str) -> set[str]:
        """A new set of the keys that carry at least one tag; a str is taken as its characters."""

    @overload
    def find_any(self, tags: Iterable[_Text]) -> set[str]:
        """A new set of the keys that carry at least one tag; every key when `tags` is empty.

        A plain str is taken as its characters: pass [tag].
        """

    def query_any(self, *args: _Text) -> set[str]:
        """find_any() with the tags as arguments."""

    @overload
    @deprecated("a str is taken as its characters, each a tag: pass [tag] for one tag")
    def count(self, tags: str) -> int:
        """How many keys carry every tag; a str is taken as its characters."""

    @overload
    def count(self, tags: Iterable[_Text]) -> int:
        """How many keys carry every tag; all of them when `tags` is empty.

        Builds no set. A plain str is taken as its characters: pass [tag].
        """

    @overload
    @deprecated("a str is taken as its characters, each a tag: pass [tag] for one tag")
    def count_any(self, tags: str) -> int:
        """How many keys carry at least one tag; a str is taken as its characters."""

    @overload
    def count_any(self, tags: Iterable[_Text]) -> int:
        """How many keys carry at least one tag; all of them when `tags` is empty.

        Builds no set. A plain str is taken as its characters: pass [tag].
        """

    @overload
    @deprecated("a str is taken as its characters, each a tag: pass [tag] for one tag")
    def retain_where(self, tags: str) -> list[str]:
        """Keeps only the keys that carry every tag and returns them; a str is taken as its characters."""

    @overload
    def retain_where(self, tags: Iterable[_Text]) -> list[str]:
        """Keeps only the keys that carry every tag and returns them; an empty `tags` keeps every key.

        A plain str is taken as its characters: pass [tag].
        """

    @overload
    @deprecated("a str is taken as its characters, each a tag: pass [tag] for one tag")
    def retain_where_any(self, tags: str) -> list[str]:
        """Keeps only the keys that carry at least one tag and returns them; a str is taken as its characters."""

    @overload
    def retain_where_any(self, tags: Iterable[_Text]) -> list[str]:
        """Keeps only the keys that carry at least one tag and returns them; an empty `tags` keeps every key.

        A plain str is taken as its characters: pass [tag].
        """

    def erase(self, key: _Text) -> set[str]:
        """Removes the key and returns its tags; KeyError when it is absent."""

    def discard(self, key: _Text) -> bool:
        """Removes the key if present; returns whether it was."""

    @overload
    @deprecated("a str is taken as its characters, each a tag: pass [tag] for one tag")
    def erase_where(self, tags: str) -> list[str]:
        """Removes the keys that carry every tag and returns them; a str is taken as its characters."""

    @overload
    def erase_where(self, tags: Iterable[_Text]) -> list[str]:
        """Removes the keys that carry every tag and returns them; an empty `tags` removes nothing.

        A plain str is taken as its characters: pass [tag].
        """
