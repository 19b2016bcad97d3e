"""What a store keeps on disk: a manifest at its root, and for each shard a
folder of its own with a snapshot of the shard's entries and a log of the
edits it applied since.

    <root>/corvane-store.json          {"format": "corvane-store", "version": 1, "shards": n}
    <root>/shard-00000-of-00002/
        snapshot-<g>                   the entries and recent replies at fold g
        log-<g>                        every edit applied since snapshot g
        lock                           held by the live shard's process

Snapshots and logs open with a magic line, then hold frames: the payload's
length and CRC-32 (two little-endian u32), then the payload, MessagePack. A
frame is decoded as plain data, so reading a file never runs code. A
snapshot is written under a temporary name, synced and renamed, so a crash
during a fold leaves the old pair whole; a log only grows, and a record torn
by a death in the middle of its write is dropped when the log is read
(that edit was never acknowledged). Anything else that does not read ends
in `CorruptFileError` naming the file.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import json
import os
import re
import shutil
import struct
import time
import zlib
from collections.abc import Callable, Iterable, Iterator
from typing import Any, BinaryIO

import msgspec

MANIFEST = "corvane-store.json"
SNAPSHOT_MAGIC = b"corvane snapshot 1\n"
LOG_MAGIC = b"corvane log 1\n"
FRAME = struct.Struct("<II")
LOCK_WAIT = 60.0  # seconds a restarted shard waits for its dying predecessor's lock
DURABILITIES = ("os", "fsync")

_encoder = msgspec.msgpack.Encoder()
_decoder = msgspec.msgpack.Decoder()


class CorruptFileError(ValueError):
    """A store file that does not read as one this package wrote."""

    def __init__(self, path: str, problem: str) -> None:
        super().__init__(f"{path}: {problem}")
        self.path = path
        self.problem = problem

    def __reduce__(self) -> tuple[Any, tuple[str, str]]:  # it crosses processes
        return type(self), (self.path, self.problem)


class FolderInUseError(ValueError):
    """A shard folder whose lock another live shard holds."""


def encode(value: object) -> bytes:
    return _encoder.encode(value)


def decode(payload: bytes | memoryview) -> Any:
    return _decoder.decode(payload)


def frame(payload: bytes) -> bytes:
    return FRAME.pack(len(payload), zlib.crc32(payload)) + payload


def shard_folder(root: str, index: int, shards: int) -> str:
    return os.path.join(root, f"shard-{index:05d}-of-{shards:05d}")


# The store's root

def read_manifest(root: str) -> int | None:
    """The shard count a store's root records, or None when it holds no store."""
    path = os.path.join(root, MANIFEST)
    try:
        with open(path, "rb") as f:
            text = f.read()
    except FileNotFoundError:
        if any(re.fullmatch(r"shard-\d{5}-of-\d{5}", name) for name in os.listdir(root)):
            raise CorruptFileError(path, "missing, though the folder holds shard folders") from None
        return None
    try:
        manifest = json.loads(text)
        shards = manifest["shards"]
        valid = manifest["format"] == "corvane-store" and manifest["version"] == 1
    except (ValueError, TypeError, KeyError):
        raise CorruptFileError(path, "not a corvane store manifest") from None
    if not valid or type(shards) is not int or shards < 1:
        raise CorruptFileError(path, "not a corvane store manifest of version 1")
    return shards


def write_manifest(root: str, shards: int) -> None:
    text = json.dumps({"format": "corvane-store", "version": 1, "shards": shards}).encode() + b"\n"
    write_whole(os.path.join(root, MANIFEST), [text])


def write_whole(path: str, parts: Iterable[bytes] | Callable[[BinaryIO], None]) -> int:
    """Writes a file (its parts, or what a writer writes to it) under a
    temporary name, syncs it and renames it into place, so that `path` is
    always whole; returns its size."""
    partial = f"{path}.partial"
    try:
        with open(partial, "wb") as out:
            if callable(parts):
                parts(out)
            else:
                for part in parts:
                    out.write(part)
            out.flush()
            size = out.tell()
            os.fsync(out.fileno())
        os.replace(partial, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(partial)
        raise
    sync_folder(os.path.dirname(path))
    return size


def sync_folder(folder: str) -> None:
    descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


# One shard's folder

class Snapshot:
    """A snapshot as read: its metadata and its entry chunks, each a MessagePack
    [keys, tag lists] pair, decoded one at a time."""

    def __init__(self, path: str, meta: dict[str, Any], chunks: list[memoryview], size: int) -> None:
        self.path = path
        self.meta = meta
        self.chunks = chunks
        self.size = size

    def columns(self) -> Iterator[tuple[list[Any], list[Any]]]:
        for number, chunk in enumerate(self.chunks):
            try:
                keys, values = decode(chunk)
                if type(keys) is not list or type(values) is not list or len(keys) != len(values):
                    raise ValueError("not a pair of equal lists")
            except (msgspec.DecodeError, ValueError, TypeError) as error:
                raise CorruptFileError(self.path, f"entry chunk {number} does not read: {error}") from None
            yield keys, values


class ShardFiles:
    """A shard's folder, locked by the process that has it open."""

    def __init__(self, folder: str, durability: str, lock: int) -> None:
        self.folder = folder
        self.durability = durability
        self._lock = lock
        self.generation = 0
        self.snapshot_bytes = 0
        self.log_bytes = 0
        self.log_records = 0
        self._log = -1
        self.broken: OSError | None = None  # an append that failed and could not be undone

    # Opening

    @classmethod
    def create(cls, folder: str, durability: str, meta: dict[str, Any]) -> ShardFiles:
        """A new shard folder holding an empty snapshot, made whole under a
        temporary name and renamed into place; refused if the folder exists."""
        if os.path.exists(folder):
            raise FolderInUseError(f"{folder} holds a shard's files already")
        partial = f"{folder}.partial-{os.urandom(4).hex()}"
        os.makedirs(partial)
        files = cls(partial, durability, take_lock(partial, wait=0.0))
        try:
            files.write_snapshot(0, meta, [])
            try:
                os.rename(partial, folder)
            except OSError as error:
                if error.errno in (errno.EEXIST, errno.ENOTEMPTY):
                    raise FolderInUseError(f"{folder} holds a shard's files already") from None
                raise
        except BaseException:
            files.remove()
            raise
        files.folder = folder
        sync_folder(os.path.dirname(folder))
        return files

    @classmethod
    def open(cls, folder: str, durability: str, *, wait: float) -> tuple[ShardFiles, Snapshot, list[memoryview]]:
        """An existing shard folder: its newest whole snapshot and the log records since."""
        if not os.path.isdir(folder):
            raise FileNotFoundError(errno.ENOENT, "a shard's folder is gone (on a node's own disk, "
                                    "it goes with the node: give the store a path every node reaches)", folder)
        files = cls(folder, durability, take_lock(folder, wait=wait))
        try:
            snapshot = files._read_newest_snapshot()
            records = files._open_log()
        except BaseException:
            files.close()
            raise
        return files, snapshot, records

    def _read_newest_snapshot(self) -> Snapshot:
        generations = sorted(int(name[9:]) for name in os.listdir(self.folder)
                             if re.fullmatch(r"snapshot-\d+", name))
        if not generations:
            raise CorruptFileError(self.folder, "holds no snapshot: not a shard's folder, or its files were lost")
        self.generation = generations[-1]
        for name in os.listdir(self.folder):  # what a fold left behind when it died
            stale = re.fullmatch(r"(snapshot|log)-(\d+)", name)
            if name.endswith(".partial") or (stale and int(stale[2]) < self.generation):
                os.unlink(os.path.join(self.folder, name))
        path = self._path("snapshot")
        with open(path, "rb") as f:
            data = f.read()
        payloads, end = read_frames(path, data, SNAPSHOT_MAGIC)
        if end != len(data) or not payloads:
            raise CorruptFileError(path, "cut short or followed by stray bytes")
        try:
            meta = decode(payloads[0])
            chunks = meta["chunks"]
        except (msgspec.DecodeError, TypeError, KeyError):
            raise CorruptFileError(path, "its first frame is not a snapshot's description") from None
        if chunks != len(payloads) - 1:
            raise CorruptFileError(path, f"holds {len(payloads) - 1} entry chunks where it says {chunks}")
        self.snapshot_bytes = len(data)
        return Snapshot(path, meta, payloads[1:], len(data))

    def _open_log(self) -> list[memoryview]:
        """The log's whole records; a torn last one is cut off the file."""
        path = self._path("log")
        if not os.path.exists(path):  # a fold died after its snapshot was in place
            self._start_log()
            return []
        with open(path, "rb") as f:
            data = f.read()
        payloads, end = read_frames(path, data, LOG_MAGIC, torn_tail=True)
        self._log = os.open(path, os.O_WRONLY | os.O_APPEND)
        if end < len(data):
            os.ftruncate(self._log, end)
            self._sync()
        self.log_bytes, self.log_records = end, len(payloads)
        return payloads

    # Writing

    def append(self, payload: bytes) -> None:
        """Writes one record to the log, synced to the disk when durability is
        "fsync". On failure the log is cut back to where it was and OSError raised."""
        if self.broken is not None:
            raise OSError(self.broken.errno, f"the log cannot be written: {self.broken.strerror}", self._path("log"))
        record = frame(payload)
        try:
            written = os.write(self._log, record)
            if written != len(record):  # a full disk writes part of it
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), self._path("log"))
            self._sync()
        except OSError as error:
            try:
                os.ftruncate(self._log, self.log_bytes)
            except OSError:
                self.broken = error
            raise
        self.log_bytes += len(record)
        self.log_records += 1

    def _sync(self) -> None:
        if self.durability == "fsync":
            os.fdatasync(self._log)

    def fold(self, meta: dict[str, Any], chunks: Iterable[bytes]) -> None:
        """A new snapshot of everything, then an empty log beside it; the old
        pair is removed once the new one is in place."""
        old = self.generation
        self.write_snapshot(old + 1, meta, chunks)
        for kind in ("snapshot", "log"):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(os.path.join(self.folder, f"{kind}-{old}"))

    def write_snapshot(self, generation: int, meta: dict[str, Any], chunks: Iterable[bytes]) -> None:
        """Writes snapshot `generation` from encoded entry chunks, then starts its log."""
        def parts() -> Iterator[bytes]:
            counted: list[bytes] = list(chunks) if not isinstance(chunks, list) else chunks
            yield SNAPSHOT_MAGIC
            yield frame(encode({**meta, "chunks": len(counted)}))
            for chunk in counted:
                yield frame(chunk)

        size = write_whole(os.path.join(self.folder, f"snapshot-{generation}"), parts())
        self.generation, self.snapshot_bytes = generation, size
        self._start_log()

    def _start_log(self) -> None:
        if self._log >= 0:
            os.close(self._log)
            self._log = -1
        path = self._path("log")
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND, 0o644)
        try:
            os.write(descriptor, LOG_MAGIC)
            os.fsync(descriptor)
        except BaseException:
            os.close(descriptor)
            raise
        sync_folder(self.folder)
        self._log = descriptor
        self.log_bytes, self.log_records, self.broken = len(LOG_MAGIC), 0, None

    def _path(self, kind: str) -> str:
        return os.path.join(self.folder, f"{kind}-{self.generation}")

    # Closing

    def close(self) -> None:
        for descriptor in (self._log, self._lock):
            if descriptor >= 0:
                with contextlib.suppress(OSError):
                    os.close(descriptor)
        self._log = self._lock = -1

    def remove(self) -> None:
        """Deletes the folder (and its parent, when that is a root it leaves empty)."""
        self.close()
        shutil.rmtree(self.folder, ignore_errors=True)
        with contextlib.suppress(OSError):
            os.rmdir(os.path.dirname(self.folder))


def read_frames(path: str, data: bytes, magic: bytes, *, torn_tail: bool = False) -> tuple[list[memoryview], int]:
    """The payloads of a file's frames and where the last whole one ends.

    With `torn_tail`, a last frame that runs past the end of the file, or
    that does not check and is followed only by zeros (what a power loss
    leaves), is a write that never finished: it ends the records. Any other
    frame that does not check is corruption.
    """
    if not data.startswith(magic):
        raise CorruptFileError(path, "does not open as a corvane file of this version")
    view = memoryview(data)
    payloads: list[memoryview] = []
    offset = len(magic)
    while offset < len(data):
        if offset + FRAME.size > len(data):
            if torn_tail:
                break
            raise CorruptFileError(path, f"a frame is cut short at byte {offset}")
        length, check = FRAME.unpack_from(data, offset)
        end = offset + FRAME.size + length
        payload = view[offset + FRAME.size:end]
        if end > len(data) or length == 0 or zlib.crc32(payload) != check:
            if torn_tail and (end >= len(data) or not any(view[offset:])):
                break
            raise CorruptFileError(path, f"the frame at byte {offset} does not check")
        payloads.append(payload)
        offset = end
    return payloads, offset


def take_lock(folder: str, *, wait: float) -> int:
    """An exclusive lock on the folder for this process, waiting up to `wait`
    seconds for another holder to let go."""
    descriptor = os.open(os.path.join(folder, "lock"), os.O_RDWR | os.O_CREAT, 0o644)
    deadline = time.monotonic() + wait
    while True:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return descriptor
        except BlockingIOError:
            if time.monotonic() >= deadline:
                os.close(descriptor)
                raise FolderInUseError(f"{folder} is in use by a live store's shard") from None
            time.sleep(0.1)
        except BaseException:
            os.close(descriptor)
            raise


def remove_root(root: str) -> None:
    """Removes a store's manifest and the shard folders that a death left half
    made, and the root once nothing else is left in it."""
    with contextlib.suppress(FileNotFoundError):
        os.unlink(os.path.join(root, MANIFEST))
    with contextlib.suppress(OSError):
        for name in os.listdir(root):
            if re.fullmatch(r"shard-\d{5}-of-\d{5}\.partial-[0-9a-f]+", name):
                shutil.rmtree(os.path.join(root, name), ignore_errors=True)
    with contextlib.suppress(OSError):
        os.rmdir(root)
