"""What handles and shards say to each other, named: a call, the stamp of an
edit, and the answers, as they travel over Ray's actor calls (pickled by
Ray) and over the direct line (MessagePack, decoded as plain data).

A shard answers a call with its result, or with a Failure carrying the
store's own exception, which the handle raises as it is. On the direct line
an answer is [status, body]: OK and the result, or FAILED and the error as
[type name, arguments]; the handle knows what each method returns, and
decodes the result into that type (a set of str for find, and so on).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import msgspec

from .errors import ShardUnavailableError, StoreNotFoundError

# Kinds of call. A shard takes the first five over either way in, the rest
# (loads, folds, exports, the folder's life) only as Ray's actor calls.
READ, READ_MANY, EDIT, INFO, IDENTITY = "read", "read_many", "edit", "info", "identity"
FORGET, CONFIRM = "forget", "confirm"
START, LOAD, FOLD, EXPORT, TABLE, RETIRE, LINE = "start", "load", "fold", "export", "table", "retire", "line"
ON_THE_LINE = frozenset({READ, READ_MANY, EDIT, INFO, IDENTITY, FORGET, CONFIRM})

# Store methods a shard takes, and what each returns.
READS: dict[str, Any] = {
    "__contains__": bool, "__getitem__": set[str], "__len__": int, "count": int, "count_any": int,
    "find": set[str], "find_any": set[str], "get": set[str] | None, "has_tag": bool,
    "items": list[tuple[str, set[str]]], "keys": list[str], "tags": list[str],
    "to_dict": dict[str, set[str]], "values": list[set[str]],
}
EDITS: dict[str, Any] = {
    "__delitem__": None, "__setitem__": None, "add_tag": None, "add_tags": None, "clear": None,
    "discard": bool, "discard_tag": None, "erase": set[str], "erase_where": list[str], "pop": set[str] | None,
    "popitem": tuple[str, set[str]], "remove_tag": None, "retain_where": list[str],
    "retain_where_any": list[str], "setdefault": set[str], "update": None,
}

OK, FAILED = 0, 1


class Failure:
    """An exception raised by the store, sent back as an answer so that the
    handle raises it as it is, not wrapped in Ray's task error."""

    __slots__ = ("error",)

    def __init__(self, error: BaseException) -> None:
        self.error = error


class Stamp(msgspec.Struct, array_like=True, frozen=True, gc=False):
    """Which edit this is: its handle's client id, its number, and the number
    below which every edit of that handle has been answered (its floor)."""

    client: bytes
    seq: int
    floor: int


class Call(msgspec.Struct, array_like=True, gc=False):
    """One call to a shard: `kind`, and for reads and edits the store's
    `method` and its `args`; an edit carries its stamp."""

    kind: str
    method: str = ""
    args: tuple[Any, ...] = ()
    stamp: Stamp | None = None


# Errors that travel as a type name and arguments; any other is a RuntimeError of its message.
_ERRORS: dict[str, type[Exception]] = {error.__name__: error for error in (
    KeyError, ValueError, TypeError, RuntimeError, UnicodeDecodeError, OSError, AttributeError, MemoryError,
    ShardUnavailableError, StoreNotFoundError)}


def pack_error(error: BaseException) -> list[Any]:
    """An exception as plain data: its type's name and the arguments that make it again."""
    name = type(error).__name__
    if name in _ERRORS:
        made = error.__reduce__()
        args = made[1] if isinstance(made, tuple) and len(made) > 1 else error.args
        return [name, list(args)]
    return ["RuntimeError", [str(error)]]


def unpack_error(packed: Any) -> Exception:
    """The exception that pack_error() described; a RuntimeError for what is not one."""
    try:
        name, args = packed
        return _ERRORS.get(name, RuntimeError)(*args)
    except Exception:
        return RuntimeError(f"a shard's error that does not read: {packed!r}"[:500])


# The direct line's answers

_encoder = msgspec.msgpack.Encoder()
_answers = msgspec.msgpack.Decoder(tuple[int, msgspec.Raw])
_batch_answers = msgspec.msgpack.Decoder(list[tuple[int, msgspec.Raw]])
_plain = msgspec.msgpack.Decoder()
_results: dict[Any, msgspec.msgpack.Decoder[Any]] = {}


def encode_answer(answer: Any) -> bytes:
    """An answer as the direct line sends it."""
    return _encoder.encode(_as_sent(answer))


def encode_answers(answers: list[Any]) -> bytes:
    return _encoder.encode([_as_sent(answer) for answer in answers])


def _as_sent(answer: Any) -> tuple[int, Any]:
    if isinstance(answer, Failure):
        return FAILED, pack_error(answer.error)
    return OK, answer


def decoder_of(call: Call) -> Callable[[bytes | msgspec.Raw], Any]:
    """Decodes the result of a call into the type its method returns."""
    kind = call.kind
    if kind == READ:
        kind_type = READS.get(call.method, Any)
    elif kind == READ_MANY:
        kind_type = list[READS.get(call.method, Any)]  # type: ignore[misc]
    elif kind == EDIT:
        kind_type = EDITS.get(call.method, Any)
    elif kind == IDENTITY:
        kind_type = tuple[str, int, int]
    else:
        kind_type = Any
    found = _results.get(kind_type)
    if found is None:
        found = _results[kind_type] = msgspec.msgpack.Decoder(kind_type)
    return found.decode


def decode_answer(call: Call, payload: bytes | msgspec.Raw) -> Any:
    """A call's answer from the direct line: its result, or a Failure."""
    status, body = _answers.decode(payload)
    return _result(call, status, body)


def decode_answers(calls: list[Call], payload: bytes) -> list[Any]:
    answers = _batch_answers.decode(payload)
    if len(answers) != len(calls):
        raise ValueError(f"a batch of {len(calls)} calls answered with {len(answers)} answers")
    return [_result(call, status, body) for call, (status, body) in zip(calls, answers)]


def _result(call: Call, status: int, body: msgspec.Raw) -> Any:
    if status == OK:
        return decoder_of(call)(body)
    return Failure(unpack_error(_plain.decode(body)))
