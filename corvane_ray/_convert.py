"""Arguments checked and converted on the driver, before anything is sent.

Keys travel as their UTF-8 bytes, which also route them; tags as plain ASCII
str when they are, else as their bytes. Where an argument does not convert,
the same call is made on an empty local `Corvane` with a stand-in for it (the
argument itself, or a list of the element that failed), so that the error
raised is the store's own, type and message alike.
"""

from __future__ import annotations

import contextlib
import gc
import itertools
from collections.abc import Callable, Generator, ItemsView, Iterable, Iterator
from typing import Any, NoReturn, cast

from corvane import Corvane

from ._routing import shard_of

Wire = str | bytes
EMPTY_CHUNK = 8  # bytes of a packed chunk of no entries
Pair = tuple[bytes, list[Wire]]

_PLAIN = (list, tuple, set, frozenset)
# The base types' own methods, which a subclass cannot replace.
_dict_items: Callable[[dict[object, object]], ItemsView[object, object]]
_dict_items = dict.items  # pyright: ignore[reportUnknownMemberType, reportUnknownVariableType]
_tuple_len: Callable[[tuple[object, ...]], int]
_tuple_len = tuple.__len__  # pyright: ignore[reportUnknownMemberType, reportUnknownVariableType]
_tuple_item: Callable[[tuple[object, ...], int], object]
_tuple_item = tuple.__getitem__  # pyright: ignore[reportUnknownMemberType, reportUnknownVariableType]


@contextlib.contextmanager
def collector_paused() -> Generator[None, None, None]:
    """Loads make millions of lists and tuples and no cycles: with the cyclic
    collector paused they set off none of its passes, which cost more than
    the load itself. It is left as it was found."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


class NotText(Exception):
    """An argument that does not convert, with what to give the probe in its place."""

    def __init__(self, stand_in: object) -> None:
        super().__init__()
        self.stand_in = stand_in


def refuse(method: str, *args: object) -> NoReturn:
    """Raises the error that `Corvane().<method>(*args)` raises."""
    getattr(Corvane(), method)(*args)
    raise TypeError(f"{method}(): an argument that does not convert")  # the store took it


def refuse_build(data: object) -> NoReturn:
    """Raises the error that `Corvane(data)` raises."""
    Corvane(data)  # type: ignore[call-overload]
    raise TypeError("Corvane(): data that does not convert")  # the store took it


def text_bytes(value: object) -> bytes | None:
    """The UTF-8 bytes of a key or tag, or None when it is not text.

    Decided by the real type; a subclass's own methods are never called.
    """
    try:
        if type(value) is str:
            return value.encode()
        if type(value) is bytes:
            return value
        if isinstance(value, (bytes, bytearray)):
            return bytes(memoryview(value))
        if isinstance(value, str):
            return str.encode(value)
    except UnicodeEncodeError:  # a lone surrogate
        pass
    return None


def key_bytes(value: object) -> bytes:
    converted = text_bytes(value)
    if converted is None:
        raise NotText(value)
    return converted


def tag_list(value: object) -> list[Wire]:
    """The tags of an iterable argument, read once and in order; a str is its characters."""
    if type(value) is str:
        value = list(value)
    if type(value) in _PLAIN:
        copied = list(cast(Iterable[object], value))
        for tag in copied:
            if type(tag) is not str or not tag.isascii():
                break
        else:
            return cast(list[Wire], copied)
        value = copied
    try:
        elements = iter(cast(Iterable[object], value))
    except Exception:  # the store reports any failure here as a wrong argument
        raise NotText(value) from None
    out: list[Wire] = []
    for element in elements:
        if type(element) is str and element.isascii():
            out.append(element)
            continue
        converted = text_bytes(element)
        if converted is None:
            raise NotText([element])
        out.append(converted)
    return out


def entry_pair(raw_key: object, raw_tags: object) -> Pair:
    """A (key, tags) entry of a dict or items; NotText with the stand-in entry."""
    if type(raw_key) is str and raw_key.isascii() and type(raw_tags) in _PLAIN:  # most entries: one pass
        copied = list(cast(Iterable[object], raw_tags))
        for tag in copied:
            if type(tag) is not str or not tag.isascii():
                break
        else:
            return raw_key.encode(), cast(list[Wire], copied)
    try:
        converted = key_bytes(raw_key)
    except NotText:
        raise NotText((raw_key, list[object]())) from None
    try:
        return converted, tag_list(raw_tags)
    except NotText as bad:
        raise NotText((raw_key, bad.stand_in)) from None


def raw_entries(data: object) -> Iterator[tuple[object, object]]:
    """The raw (key, tags) entries of a build's data, a dict or an iterable of
    (key, tags) tuples, in order; one that is not such a tuple raises the
    store's error for it."""
    if isinstance(data, dict):
        yield from _dict_items(cast(dict[object, object], data))
        return
    try:
        items = iter(cast(Iterable[object], data))
    except Exception:
        refuse_build(data)
    for item in items:
        if not isinstance(item, tuple):
            refuse_build([item])
        entry = cast(tuple[object, ...], item)
        if _tuple_len(entry) != 2:
            refuse_build([entry])
        yield _tuple_item(entry, 0), _tuple_item(entry, 1)


def build_pair(raw_key: object, raw_tags: object, from_dict: bool) -> Pair:
    """A build's entry converted; the store's error for one that does not
    convert, given in the shape of the data (a dict, or a list of pairs)."""
    try:
        return entry_pair(raw_key, raw_tags)
    except NotText as bad:
        stand_in = cast(tuple[object, object], bad.stand_in)
        refuse_build(dict([stand_in]) if from_dict else [stand_in])


def update_pairs(d: object) -> tuple[list[Pair], dict[object, object] | None]:
    """The pairs of an update's dict, in order, up to the first that does not
    convert, and then that entry as the probe's stand-in."""
    if not isinstance(d, dict):
        refuse("update", d)
    out: list[Pair] = []
    for raw_key, raw_tags in _dict_items(cast(dict[object, object], d)):
        try:
            out.append(entry_pair(raw_key, raw_tags))
        except NotText as bad:
            return out, dict([cast(tuple[object, object], bad.stand_in)])
    return out, None


def routed_chunks(data: object, shards: int, size: int) -> Iterator[tuple[int, bytes]]:
    """The entries of a build's data routed to their shards, as packed
    chunks of up to `size` entries: (shard, chunk).

    An exact dict is packed by the module a slice at a time; a slice with
    an entry that does not pack is walked again here, to raise the store's
    error for it. Other data is walked entry by entry: most entries are a str
    key and a list of str tags, all ASCII, which go into the chunk as they
    are, checked by one join; any other is converted in its turn, so that a
    bad entry raises the store's error in data order.
    """
    if type(data) is dict:
        yield from _packed_dict(cast(dict[object, object], data), shards, size)
        return
    columns: list[tuple[list[Wire], list[list[Wire]]]] = [([], []) for _ in range(shards)]
    place = shard_of
    from_dict = isinstance(data, dict)
    with collector_paused():
        for raw_key, raw_tags in raw_entries(data):
            plain = False
            if type(raw_key) is str and type(raw_tags) is list and raw_key.isascii():
                try:
                    plain = "".join(raw_tags).isascii()  # every tag a str, and none a lone surrogate
                except TypeError:
                    pass
            if plain:
                key_wire: Wire = cast(str, raw_key)
                wire_tags = cast(list[Wire], raw_tags)
                index = place(cast(str, raw_key).encode(), shards)
            else:
                key_wire, wire_tags = build_pair(raw_key, raw_tags, from_dict)
                index = place(key_wire, shards)
            keys, values = columns[index]
            keys.append(key_wire)
            values.append(wire_tags)
            if len(keys) >= size:
                yield index, encoded_chunk(keys, values)
                columns[index] = ([], [])
    for index, (keys, values) in enumerate(columns):
        if keys:
            yield index, encoded_chunk(keys, values)


def _packed_dict(data: dict[object, object], shards: int, size: int) -> Iterator[tuple[int, bytes]]:
    keys: Iterator[Any] = iter(data)  # the module converts them, or refuses
    values: Iterator[Any] = iter(data.values())
    with collector_paused():
        for start in range(0, len(data), size):
            try:
                chunks = Corvane.pack(itertools.islice(keys, size), itertools.islice(values, size), shards)
            except (TypeError, ValueError, RuntimeError):
                for raw_key, raw_tags in itertools.islice(_dict_items(data), start, start + size):
                    build_pair(raw_key, raw_tags, True)
                raise
            for index, chunk in enumerate(chunks):
                if len(chunk) > EMPTY_CHUNK:
                    yield index, chunk


def encoded_chunk(keys: list[Wire], values: list[list[Wire]]) -> bytes:
    """A chunk of entries, packed."""
    return Corvane.pack(keys, values, 1)[0]
