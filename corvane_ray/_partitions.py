"""Partition files and dataset blocks: reading them into routed columns, and
writing exports.

A JSON-lines partition holds one {"key": ..., "tags": [...]} object a line;
a Parquet one a string column `key` and a list-of-strings column `tags`.
JSON lines are parsed by msgspec and Parquet read by pyarrow, both in C;
each entry is then routed to its shard, and each shard's part travels as
one packed chunk (Corvane.pack), which that shard builds from and writes as
it came. An export is a folder of one such file per shard, named after the export,
and a manifest `corvane-export.json` listing them: the manifest is renamed
into place last, so an export is whole or absent, and files of an older
export beside it are never read with it.
"""

from __future__ import annotations

import contextlib
import fcntl
import importlib
import json
import os
import re
import uuid
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, BinaryIO

import msgspec
from corvane import Corvane

from ._convert import collector_paused
from ._durable import open_private, write_whole
from ._wire import Failure
from .errors import FolderInUseError

EXPORT_MANIFEST = "corvane-export.json"
EXPORT_LOCK = ".corvane-export.lock"  # held by the process whose export is writing into the folder
FORMATS = ("jsonl", "parquet")
SUFFIXES = tuple(f".{format}" for format in FORMATS)
PARQUET_SHAPE = "not a Parquet file of a string 'key' and a list of strings 'tags'"


class _Entry(msgspec.Struct):
    key: str
    tags: list[str]


_lines = msgspec.json.Decoder(_Entry)
_line_encoder = msgspec.json.Encoder()


def read_jsonl(path: str) -> tuple[list[str], list[list[str]]]:
    """The keys and tag lists of a JSON-lines partition, in order; ValueError
    naming the file and line of the first line that is not an entry."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        entries = _lines.decode_lines(data)
    except (msgspec.DecodeError, msgspec.ValidationError):
        raise _first_bad_line(path, data) from None
    return [entry.key for entry in entries], [entry.tags for entry in entries]


def _first_bad_line(path: str, data: bytes) -> ValueError:
    for number, line in enumerate(data.split(b"\n"), 1):
        if not line.strip():
            continue
        try:
            _lines.decode(line)
        except (msgspec.DecodeError, msgspec.ValidationError) as error:
            return ValueError(f"{path}:{number}: not a {{\"key\": str, \"tags\": [str, ...]}} object "
                              f"of UTF-8 text: {error}")
    return ValueError(f"{path}: not JSON lines of {{\"key\": str, \"tags\": [str, ...]}} objects")


def arrow(module: str = "pyarrow") -> Any:
    """pyarrow (or one of its modules), imported when first needed."""
    return importlib.import_module(module)


def read(path: str) -> tuple[list[str], list[list[str]]]:
    """The keys and tag lists of a partition file, by its suffix."""
    if path.endswith(".parquet"):
        return read_parquet(path)
    return read_jsonl(path)


def read_parquet(path: str) -> tuple[list[str], list[list[str]]]:
    """The keys and tag lists of a Parquet partition; ValueError naming the file
    (and the row, numbered from 1, or the columns) of what is not an entry."""
    parquet = arrow("pyarrow.parquet")
    try:
        columns = parquet.read_schema(path).names
        missing = [name for name in ("key", "tags") if name not in columns]
        if missing:
            raise ValueError(f"{path}: {PARQUET_SHAPE}: no column {' or '.join(map(repr, missing))} "
                             f"(its columns: {', '.join(map(repr, columns)) or 'none'})")
        table = parquet.read_table(path, columns=["key", "tags"])
    except arrow().ArrowInvalid as error:
        raise ValueError(f"{path}: {PARQUET_SHAPE}: {error}") from None
    return table_columns(table, "key", "tags", path)


def block_columns(block: Any, key: str, tags: str, where: str,
                  span: tuple[int, int] | None = None) -> tuple[list[str], list[list[str]]]:
    """The keys and tag lists of a dataset block (Arrow or pandas), or of the
    span of its rows that belongs to the dataset."""
    from ray.data.block import BlockAccessor

    table = BlockAccessor.for_block(block).to_arrow()
    if span is not None:
        table = table.slice(span[0], span[1] - span[0])
    missing = [name for name in (key, tags) if name not in table.column_names]
    if missing:
        raise ValueError(f"{where}: no column {missing[0]!r} (its columns: {', '.join(table.column_names)})")
    return table_columns(table, key, tags, where)


def table_columns(table: Any, key: str, tags: str, where: str) -> tuple[list[str], list[list[str]]]:
    """The two columns of an Arrow table as Python lists, checked: strings for
    keys, lists of strings for tags, no nulls."""
    pa = arrow()
    types = pa.types
    keys, values = table.column(key), table.column(tags)
    if not (types.is_string(keys.type) or types.is_large_string(keys.type)):
        raise ValueError(f"{where}: the {key!r} column holds {keys.type}, not strings")
    if not ((types.is_list(values.type) or types.is_large_list(values.type))
            and (types.is_string(values.type.value_type) or types.is_large_string(values.type.value_type))):
        raise ValueError(f"{where}: the {tags!r} column holds {values.type}, not lists of strings")
    for name, column, what in ((key, keys, "the key"), (tags, values, "the tags")):
        if column.null_count:
            raise ValueError(f"{where}: row {_first_null(column) + 1}: {what} ({name!r}) is null")
    flat = pa.compute.list_flatten(values)
    if flat.null_count:
        rows = pa.compute.list_parent_indices(values)
        raise ValueError(f"{where}: row {rows[_first_null(flat)].as_py() + 1}: a tag in {tags!r} is null")
    return keys.to_pylist(), values.to_pylist()


def _first_null(column: Any) -> int:
    return int(arrow().compute.index(column.is_null(), True).as_py())


def route(keys: list[str], values: list[list[str]], shards: int) -> list[bytes]:
    """Entries routed to their shards (shard_of() each key): for each shard,
    its entries as one packed chunk, which it builds from and keeps as its
    snapshot's."""
    return Corvane.pack(keys, values, shards)


def split(shards: int, source: Any, key: str = "key", tags: str = "tags", where: str | None = None,
          span: tuple[int, int] | None = None) -> Any:
    """The entries of a partition file (a path) or of a dataset block (a
    block, with its columns' names and the span of its rows that belong to
    the dataset), one encoded chunk for each shard they route to; for each
    shard the Failure of a source that does not read. Runs as a Ray task of
    its own, which Ray runs again wherever it can when a process or node
    dies, so that no load waits on a shard to redo it."""
    try:
        with collector_paused():  # millions of lists and str, and no cycles
            if isinstance(source, str):
                keys, values = read(source)
            else:
                keys, values = block_columns(source, key, tags, where or "a dataset block", span)
            parts: list[Any] = route(keys, values, shards)
            del keys, values  # freed while the collector still rests
    except (OSError, ValueError, TypeError) as error:  # TypeError: a block Arrow cannot read
        parts = [Failure(error)] * shards
    return parts[0] if shards == 1 else parts


def partition_files(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    """The files to load, in order: a folder stands for the files its export
    manifest lists or, without one, for its partition files in name order."""
    if isinstance(paths, str | os.PathLike):
        path = os.path.abspath(os.fspath(paths))
        files = _folder_files(path) if os.path.isdir(path) else [path]
    else:
        files = [os.path.abspath(os.fspath(path)) for path in paths]
    if not files:
        raise ValueError(f"no partition files in {paths!r}")
    for path in files:
        if not path.endswith(SUFFIXES):
            raise ValueError(f"{path}: not a kind of partition file this reads (JSON lines, *.jsonl, or Parquet, "
                             "*.parquet)")
    return files


def _folder_files(folder: str) -> list[str]:
    manifest = os.path.join(folder, EXPORT_MANIFEST)
    if os.path.exists(manifest):
        try:
            with open(manifest, "rb") as f:
                names = json.loads(f.read())["files"]
            if type(names) is not list or not all(type(n) is str and "/" not in n for n in names):
                raise TypeError
        except (ValueError, TypeError, KeyError, RecursionError):
            raise ValueError(f"{manifest}: not a corvane export manifest") from None
        return [os.path.join(folder, name) for name in names]
    return sorted(os.path.join(folder, name) for name in os.listdir(folder) if name.endswith(SUFFIXES))


# Exports

def new_export_id() -> str:
    return uuid.uuid4().hex[:12]


def export_name(index: int, shards: int, export_id: str, format: str = "jsonl") -> str:
    return f"part-{index:05d}-of-{shards:05d}-{export_id}.{format}"


def write(path: str, keys: Sequence[str], values: Sequence[Iterable[str]]) -> int:
    """Writes entries to a partition file in the format its suffix names."""
    if path.endswith(".parquet"):
        return write_parquet(path, keys, values)
    return write_jsonl(path, keys, values)


def arrow_table(keys: Sequence[str], values: Sequence[Iterable[str]]) -> Any:
    """Entries as an Arrow table of a string `key` and a list-of-strings `tags`, tags sorted."""
    pa = arrow()
    return pa.table({"key": pa.array(keys, pa.string()),
                     "tags": pa.array([sorted(tags) for tags in values], pa.list_(pa.string()))})


def write_parquet(path: str, keys: Sequence[str], values: Sequence[Iterable[str]]) -> int:
    """Writes entries as one Parquet file, whole or not at all; returns its size."""
    table = arrow_table(keys, values)

    def write_table(out: BinaryIO) -> None:
        arrow("pyarrow.parquet").write_table(table, out)

    return write_whole(path, write_table)


def write_jsonl(path: str, keys: Sequence[str], values: Sequence[Iterable[str]]) -> int:
    """Writes entries as JSON lines, whole or not at all; returns the file's size."""
    def lines() -> Iterable[bytes]:
        for start in range(0, len(keys), 10_000):
            yield b"".join(_line_encoder.encode({"key": key, "tags": sorted(tags)}) + b"\n"
                           for key, tags in zip(keys[start:start + 10_000], values[start:start + 10_000]))

    return write_whole(path, lines())


@contextlib.contextmanager
def export_lock(folder: str) -> Iterator[None]:
    """The folder's export lock for this export, or FolderInUseError at once when
    another export (of any process) holds it: one export commits at a time,
    and none removes the files of another that is still being written."""
    descriptor = open_private(os.path.join(folder, EXPORT_LOCK), os.O_RDWR)
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise FolderInUseError(f"{folder}: another export into it is running; export again once it is "
                                   "done") from None
        yield
    finally:
        os.close(descriptor)


def commit_export(folder: str, export_id: str, names: list[str], entries: list[int]) -> None:
    """Makes an export the folder's own: its manifest goes into place, then the
    files of any other export are removed."""
    text = json.dumps({"format": "corvane-export", "version": 1, "export": export_id,
                       "files": names, "entries": entries}, indent=1).encode() + b"\n"
    write_whole(os.path.join(folder, EXPORT_MANIFEST), [text])
    discard_export_files(folder, keep=export_id)


def discard_export_files(folder: str, *, keep: str | None = None, only: str | None = None) -> None:
    """Removes export files of other exports than `keep` (or only those of `only`)."""
    for name in os.listdir(folder):
        found = re.fullmatch(r"part-\d{5}-of-\d{5}-([0-9a-f]{12})\.\w+(\.partial)?", name)
        if found and found[1] != keep and (only is None or found[1] == only):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(os.path.join(folder, name))


def export_summary(folder: str) -> dict[str, Any]:
    with open(os.path.join(folder, EXPORT_MANIFEST), "rb") as f:
        return json.loads(f.read())  # type: ignore[no-any-return]
