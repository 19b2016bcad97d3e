"""Partition files: reading them into routed columns, and writing exports.

A partition holds one {"key": ..., "tags": [...]} object a line (JSON lines).
An export is a folder of one such file per shard, named after the export,
and a manifest `corvane-export.json` listing them: the manifest is renamed
into place last, so an export is whole or absent, and files of an older
export beside it are never read with it.
"""

from __future__ import annotations

import contextlib
import json
import os
import re
import uuid
from collections.abc import Iterable, Sequence
from typing import Any

import msgspec

from ._durable import encode, write_whole
from ._routing import shard_of

EXPORT_MANIFEST = "corvane-export.json"
SUFFIXES = (".jsonl",)


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


def split(path: str, shards: int) -> list[bytes]:
    """A partition's entries routed to their shards: for each shard, its keys
    and tag lists as one encoded [keys, tag lists] chunk."""
    keys, values = read_jsonl(path)
    parts: list[tuple[list[str], list[list[str]]]] = [([], []) for _ in range(shards)]
    for key, tags in zip(keys, values):
        routed_keys, routed_values = parts[shard_of(key.encode(), shards)]
        routed_keys.append(key)
        routed_values.append(tags)
    return [encode(part) for part in parts]


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
    return files


def _folder_files(folder: str) -> list[str]:
    manifest = os.path.join(folder, EXPORT_MANIFEST)
    if os.path.exists(manifest):
        try:
            with open(manifest, "rb") as f:
                names = json.loads(f.read())["files"]
            if type(names) is not list or not all(type(n) is str and "/" not in n for n in names):
                raise TypeError
        except (ValueError, TypeError, KeyError):
            raise ValueError(f"{manifest}: not a corvane export manifest") from None
        return [os.path.join(folder, name) for name in names]
    return sorted(os.path.join(folder, name) for name in os.listdir(folder) if name.endswith(SUFFIXES))


# Exports

def new_export_id() -> str:
    return uuid.uuid4().hex[:12]


def export_name(index: int, shards: int, export_id: str, suffix: str = ".jsonl") -> str:
    return f"part-{index:05d}-of-{shards:05d}-{export_id}{suffix}"


def write_jsonl(path: str, keys: Sequence[str], values: Sequence[Iterable[str]]) -> int:
    """Writes entries as JSON lines, whole or not at all; returns the file's size."""
    def lines() -> Iterable[bytes]:
        for start in range(0, len(keys), 10_000):
            yield b"".join(_line_encoder.encode({"key": key, "tags": sorted(tags)}) + b"\n"
                           for key, tags in zip(keys[start:start + 10_000], values[start:start + 10_000]))

    return write_whole(path, lines())


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
