"""What a store keeps on disk: a manifest at its root, and for each shard a
folder of its own with a snapshot of the shard's entries and a log of the
edits it applied since.

    <root>/corvane-store.json          {"format": "corvane-store", "version": 1, "shards": n, "store": id}
    <root>/shard-00000-of-00002/
        snapshot-<g>                   the entries and recent replies at fold g
        log-<g>                        every edit applied since snapshot g
        lock                           held by the live shard's process
        line-key                       the shard's direct line key: 32 random bytes

Snapshots and logs open with a magic line, then hold frames: a header of the
payload's length (u64), its CRC-32 and the CRC-32 of those 12 bytes (all
little-endian), then the payload, MessagePack, decoded as plain data so that
reading a file never runs code. A fold starts the next log before it renames
the next snapshot into place, so that a death or a full disk at any step
leaves the old pair whole or the new pair ready. A log only grows: a last
record that the end of the file cuts short (or that a power loss zeroed from
a disk block on) was never acknowledged and is dropped; any other damage,
the last record's included, ends in `CorruptFileError` naming the file. The
header's own checksum is what tells a length that a flip changed from one
that a cut left behind. Folders are 0700 and files 0600. Files of the first
version (8-byte headers) are read, and such a log is appended to in its own
frames until its next fold.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import itertools
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

from .errors import CorruptFileError, FolderInUseError

MANIFEST = "corvane-store.json"
SNAPSHOT_MAGIC = b"corvane snapshot 2\n"
LOG_MAGIC = b"corvane log 2\n"
MAGICS = {"snapshot": {2: SNAPSHOT_MAGIC, 1: b"corvane snapshot 1\n"}, "log": {2: LOG_MAGIC, 1: b"corvane log 1\n"}}
HEAD = struct.Struct("<QI")  # a payload's length and CRC-32
HEAD_CHECK = struct.Struct("<I")  # the CRC-32 of the head
HEADER_SIZE = HEAD.size + HEAD_CHECK.size
OLD_HEADER = struct.Struct("<II")  # the first version's: length and CRC-32 of the payload
BLOCK = 512  # a power loss zeroes a file's tail from a disk block on
WRITES_AT_ONCE = 64  # parts of a file handed to one writev()
LOCK_WAIT = 60.0  # seconds a restarted shard waits for its dying predecessor's lock
LINE_KEY = "line-key"
LINE_KEY_BYTES = 32
DURABILITIES = ("os", "fsync")

_encoder = msgspec.msgpack.Encoder()
_decoder = msgspec.msgpack.Decoder()


PACKED_MAGIC = b"CVP1"  # how an entry chunk of Corvane.pack() begins (a MessagePack pair begins 0x92)


def is_packed(chunk: bytes | memoryview) -> bool:
    return bytes(chunk[:len(PACKED_MAGIC)]) == PACKED_MAGIC


def all_packed(chunks: Iterable[bytes | memoryview]) -> bool:
    """Whether entry chunks are packed rather than MessagePack pairs; ValueError for chunks of both kinds."""
    kinds = {is_packed(chunk) for chunk in chunks}
    if len(kinds) > 1:
        raise ValueError("entry chunks of both kinds, packed and MessagePack")
    return kinds != {False}


def encode(value: object) -> bytes:
    return _encoder.encode(value)


def decode(payload: bytes | memoryview) -> Any:
    return _decoder.decode(payload)


def header(payload: bytes | memoryview) -> bytes:
    """The header that frames a payload."""
    head = HEAD.pack(len(payload), zlib.crc32(payload))
    return head + HEAD_CHECK.pack(zlib.crc32(head))


def old_header(payload: bytes | memoryview) -> bytes:
    """The header of a frame of the first version."""
    return OLD_HEADER.pack(len(payload), zlib.crc32(payload))


def frame(payload: bytes) -> bytes:
    return header(payload) + payload


def framed(payloads: Iterable[bytes]) -> Iterator[bytes]:
    """Each payload's header, then the payload, as parts to write."""
    for payload in payloads:
        yield header(payload)
        yield payload


def write_all(descriptor: int, parts: Iterable[bytes | memoryview]) -> None:
    """Writes every part whole, however large: Linux writes at most about 2 GiB
    in one call, so a short write goes on, and only an error (ENOSPC from a
    full disk) or a call that writes nothing stops it."""
    batch: list[memoryview] = []
    for part in parts:
        if len(part):
            batch.append(memoryview(part))
        if len(batch) == WRITES_AT_ONCE:
            _write_batch(descriptor, batch)
            batch = []
    _write_batch(descriptor, batch)


def _write_batch(descriptor: int, views: list[memoryview]) -> None:
    first = 0
    while first < len(views):
        written = os.writev(descriptor, views[first:first + WRITES_AT_ONCE])
        if written == 0:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        while first < len(views) and written >= len(views[first]):
            written -= len(views[first])
            first += 1
        if written:
            views[first] = views[first][written:]


def make_private_folder(path: str) -> bool:
    """Makes a folder that only its owner can enter, whatever the umask;
    False when it was there already (and is left as it is)."""
    try:
        os.mkdir(path, 0o700)
    except FileExistsError:
        return False
    os.chmod(path, 0o700)
    return True


def open_private(path: str, flags: int) -> int:
    """A file descriptor of a file only its owner may read, whatever the umask."""
    descriptor = os.open(path, flags | os.O_CREAT, 0o600)
    try:
        os.fchmod(descriptor, 0o600)
    except BaseException:
        os.close(descriptor)
        raise
    return descriptor


def shard_folder(root: str, index: int, shards: int) -> str:
    return os.path.join(root, f"shard-{index:05d}-of-{shards:05d}")


# The store's root

def read_manifest(root: str) -> int | None:
    """The shard count a store's root records, or None when it holds no store."""
    found = read_manifest_whole(root)
    return None if found is None else found[0]


def read_manifest_whole(root: str) -> tuple[int, str | None] | None:
    """The shard count and the store's identity that its root records, or None
    when it holds no store (a store of an older version has no identity)."""
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
        shards, store = manifest["shards"], manifest.get("store")
        valid = manifest["format"] == "corvane-store" and manifest["version"] == 1
    except (ValueError, TypeError, KeyError, AttributeError, RecursionError):
        raise CorruptFileError(path, "not a corvane store manifest") from None
    if not valid or type(shards) is not int or shards < 1 or not (store is None or type(store) is str):
        raise CorruptFileError(path, "not a corvane store manifest of version 1")
    return shards, store


def new_store_id() -> str:
    """A store's identity: random, made with the store."""
    return os.urandom(16).hex()


def write_manifest(root: str, shards: int, store: str) -> None:
    text = json.dumps({"format": "corvane-store", "version": 1, "shards": shards, "store": store}).encode()
    write_whole(os.path.join(root, MANIFEST), [text + b"\n"])


def write_whole(path: str, parts: Iterable[bytes] | Callable[[BinaryIO], None]) -> int:
    """Writes a file (its parts, or what a writer writes to it) under a
    temporary name, syncs it and renames it into place, so that `path` is
    always whole; returns its size."""
    partial, size = write_partial(path, parts)
    try:
        os.replace(partial, path)
    except BaseException:
        remove_quietly(partial)
        raise
    sync_folder(os.path.dirname(path))
    return size


def write_partial(path: str, parts: Iterable[bytes] | Callable[[BinaryIO], None]) -> tuple[str, int]:
    """Writes and syncs `path`.partial, private; its name and size. Removed again if that fails."""
    partial = f"{path}.partial"
    try:
        descriptor = open_private(partial, os.O_WRONLY | os.O_TRUNC)
        try:
            if callable(parts):
                with os.fdopen(descriptor, "wb", closefd=False) as out:
                    parts(out)
            else:
                write_all(descriptor, parts)
            size = os.lseek(descriptor, 0, os.SEEK_END)
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
    except BaseException:
        remove_quietly(partial)
        raise
    return partial, size


def remove_quietly(path: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(path)


def sync_folder(folder: str) -> None:
    descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


# One shard's folder

class Snapshot:
    """A snapshot as read: its description and its entry chunks, packed by
    Corvane.pack() (or, written before chunks were, each a MessagePack
    [keys, tag lists] pair, decoded one at a time)."""

    def __init__(self, path: str, meta: dict[str, Any], chunks: list[memoryview], size: int) -> None:
        self.path = path
        self.meta = meta
        self.chunks = chunks
        self.size = size

    def packed(self) -> bool:
        """Whether the entry chunks are packed; chunks of both kinds are not a snapshot's."""
        try:
            return all_packed(self.chunks)
        except ValueError:
            raise CorruptFileError(self.path, "holds packed and MessagePack entry chunks") from None

    def columns(self) -> Iterator[tuple[list[Any], list[Any]]]:
        for number, chunk in enumerate(self.chunks):
            try:
                keys, values = decode(chunk)
                if type(keys) is not list or type(values) is not list or len(keys) != len(values):
                    raise ValueError("not a pair of equal lists")
            except (msgspec.DecodeError, ValueError, TypeError, RecursionError) as error:
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
        self._header: Callable[[bytes | memoryview], bytes] = header  # the open log's version of frames
        self.broken: OSError | None = None  # an append that failed and could not be undone
        self.line_key = b""  # what a caller of the shard's direct line proves it holds

    # Opening

    @classmethod
    def create(cls, folder: str, durability: str, meta: dict[str, Any]) -> ShardFiles:
        """A new shard folder holding an empty snapshot and log, made whole under a
        temporary name and renamed into place; refused if the folder exists."""
        if os.path.exists(folder):
            raise FolderInUseError(f"{folder} holds a shard's files already")
        make_private_folder(os.path.dirname(folder))
        partial = f"{folder}.partial-{os.urandom(4).hex()}"
        make_private_folder(partial)
        files = cls(partial, durability, take_lock(partial, wait=0.0))
        try:
            files._log = files._new_log(0)
            files.snapshot_bytes = files._put_snapshot(0, meta, [])
            files._read_line_key()
            sync_folder(partial)
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
            files._make_private()
            snapshot = files._read_newest_snapshot()
            records = files._open_log()
            files._read_line_key()
        except BaseException:
            files.close()
            raise
        return files, snapshot, records

    def _make_private(self) -> None:
        """A folder of an older version, made before its files were private, is made so."""
        os.chmod(self.folder, 0o700)
        for name in os.listdir(self.folder):
            path = os.path.join(self.folder, name)
            if os.stat(path).st_mode & 0o077:
                os.chmod(path, 0o600)

    def _read_newest_snapshot(self) -> Snapshot:
        names = os.listdir(self.folder)
        generations = sorted(int(name[9:]) for name in names if re.fullmatch(r"snapshot-\d+", name))
        if not generations:
            raise CorruptFileError(self.folder, "holds no snapshot: not a shard's folder, or its files were lost")
        self.generation = generations[-1]
        for name in names:  # what a fold left behind when it died
            found = re.fullmatch(r"(snapshot|log)-(\d+)", name)
            if name.endswith(".partial") or (found and int(found[2]) < self.generation):
                os.unlink(os.path.join(self.folder, name))
            elif found and int(found[2]) > self.generation:
                self._remove_unused_log(os.path.join(self.folder, name))
        path = self._path("snapshot")
        with open(path, "rb") as f:
            data = f.read()
        payloads, end, _ = read_frames(path, data, "snapshot")
        if end != len(data) or not payloads:
            raise CorruptFileError(path, "cut short or followed by stray bytes")
        try:
            meta = decode(payloads[0])
            chunks = meta["chunks"]
            if type(meta) is not dict or type(chunks) is not int:
                raise TypeError
        except (msgspec.DecodeError, TypeError, KeyError, IndexError, RecursionError):
            raise CorruptFileError(path, "its first frame is not a snapshot's description") from None
        if chunks != len(payloads) - 1:
            raise CorruptFileError(path, f"holds {len(payloads) - 1} entry chunks where it says {chunks}")
        self.snapshot_bytes = len(data)
        return Snapshot(path, meta, payloads[1:], len(data))

    def _read_line_key(self) -> None:
        """The folder's direct line key, made (private) when it has none that reads."""
        path = os.path.join(self.folder, LINE_KEY)
        try:
            with open(path, "rb") as f:
                self.line_key = f.read(LINE_KEY_BYTES + 1)
        except FileNotFoundError:
            self.line_key = b""
        if len(self.line_key) != LINE_KEY_BYTES:
            self.line_key = os.urandom(LINE_KEY_BYTES)
            write_whole(path, [self.line_key])

    def _remove_unused_log(self, path: str) -> None:
        """A log newer than the newest snapshot: a fold died before its snapshot
        was in place, so it holds no record, unless something else wrote it."""
        with open(path, "rb") as f:
            data = f.read()
        if data and not any(magic.startswith(data) for magic in MAGICS["log"].values()):
            raise CorruptFileError(path, "holds records, but the snapshot before them is missing")
        os.unlink(path)

    def _open_log(self) -> list[memoryview]:
        """The log's whole records; a torn last one is cut off the file."""
        path = self._path("log")
        try:
            with open(path, "rb") as f:
                data = f.read()
        except FileNotFoundError:  # an older version's fold died after its snapshot was in place
            data = b""
        if not any(data.startswith(magic) for magic in MAGICS["log"].values()) and \
                any(magic.startswith(data) for magic in MAGICS["log"].values()):
            self._log = self._new_log(self.generation)  # a fold died while it began the log
            return []
        payloads, end, version = read_frames(path, data, "log", torn_tail=True)
        self._log = open_private(path, os.O_WRONLY | os.O_APPEND)
        self._header = header if version == 2 else old_header
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
        head = self._header(payload)
        try:
            write_all(self._log, (head, payload))
            self._sync()
        except OSError as error:
            try:
                os.ftruncate(self._log, self.log_bytes)
            except OSError:
                self.broken = error
            raise
        self.log_bytes += len(head) + len(payload)
        self.log_records += 1

    def _sync(self) -> None:
        if self.durability == "fsync":
            os.fdatasync(self._log)

    def fold(self, meta: dict[str, Any], chunks: Iterable[bytes]) -> None:
        """A new snapshot of everything beside a new, empty log; the old pair is
        removed once the new one is in place. The new log is made first and
        the snapshot renamed into place last, so that up to that rename the
        old pair goes on as it was, and after it the new pair is whole."""
        new = self.generation + 1
        log_path = os.path.join(self.folder, f"log-{new}")
        try:
            log = self._new_log(new)
        except BaseException:
            remove_quietly(log_path)
            raise
        try:
            size = self._put_snapshot(new, meta, chunks)
        except BaseException:
            with contextlib.suppress(OSError):
                os.close(log)
            remove_quietly(log_path)
            raise
        old, old_log = self.generation, self._log
        self._log, self._header, self.generation, self.snapshot_bytes = log, header, new, size
        self.log_bytes, self.log_records, self.broken = len(LOG_MAGIC), 0, None
        with contextlib.suppress(OSError):
            os.close(old_log)
        try:
            sync_folder(self.folder)
        except OSError:
            return  # the fold is done; the old pair stays until a folder sync makes the rename last
        for kind in ("snapshot", "log"):
            remove_quietly(os.path.join(self.folder, f"{kind}-{old}"))

    def _put_snapshot(self, generation: int, meta: dict[str, Any], chunks: Iterable[bytes]) -> int:
        """Writes snapshot `generation` from encoded entry chunks and renames it
        into place (not yet synced into the folder); returns its size."""
        counted = chunks if isinstance(chunks, list) else list(chunks)
        parts = itertools.chain([SNAPSHOT_MAGIC], framed([encode({**meta, "chunks": len(counted)}), *counted]))
        path = os.path.join(self.folder, f"snapshot-{generation}")
        partial, size = write_partial(path, parts)
        try:
            os.replace(partial, path)
        except BaseException:
            remove_quietly(partial)
            raise
        return size

    def _new_log(self, generation: int) -> int:
        """A new log holding its magic line, synced with its name; its descriptor."""
        descriptor = open_private(os.path.join(self.folder, f"log-{generation}"),
                                  os.O_WRONLY | os.O_TRUNC | os.O_APPEND)
        try:
            write_all(descriptor, [LOG_MAGIC])
            os.fsync(descriptor)
            sync_folder(self.folder)
        except BaseException:
            with contextlib.suppress(OSError):
                os.close(descriptor)
            raise
        if generation == self.generation:
            self.log_bytes, self.log_records, self.broken = len(LOG_MAGIC), 0, None
        return descriptor

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


def read_frames(path: str, data: bytes, kind: str, *, torn_tail: bool = False) -> tuple[list[memoryview], int, int]:
    """The payloads of a file's frames, where the last whole one ends, and the
    file's version.

    With `torn_tail`, a last frame that the end of the file cuts short, or
    that a power loss zeroed from a disk block to the end, is a write that
    never finished: it ends the records. Any other frame that does not check
    is corruption.
    """
    version = next((number for number, magic in MAGICS[kind].items() if data.startswith(magic)), None)
    if version is None:
        raise CorruptFileError(path, "does not open as a corvane file of a version this package reads")
    start = len(MAGICS[kind][version])
    if version == 1:
        payloads, end = _read_old_frames(path, data, start, torn_tail)
    else:
        payloads, end = _read_frames(path, data, start, torn_tail)
    return payloads, end, version


def _read_frames(path: str, data: bytes, offset: int, torn_tail: bool) -> tuple[list[memoryview], int]:
    view = memoryview(data)
    payloads: list[memoryview] = []
    while offset < len(data):
        if offset + HEADER_SIZE > len(data):
            if torn_tail:
                break
            raise CorruptFileError(path, f"a frame is cut short at byte {offset}")
        length, check = HEAD.unpack_from(data, offset)
        start = offset + HEADER_SIZE
        if zlib.crc32(view[offset:offset + HEAD.size]) != HEAD_CHECK.unpack_from(data, offset + HEAD.size)[0]:
            if torn_tail and _zeroed_to_the_end(data, offset, start):
                break
            raise CorruptFileError(path, f"the header of the frame at byte {offset} does not check")
        end = start + length
        if end > len(data):
            if torn_tail:
                break
            raise CorruptFileError(path, f"the frame at byte {offset} is cut short")
        payload = view[start:end]
        if length == 0 or zlib.crc32(payload) != check:
            if torn_tail and _zeroed_to_the_end(data, start, end):
                break
            raise CorruptFileError(path, f"the frame at byte {offset} does not check")
        payloads.append(payload)
        offset = end
    return payloads, offset


def _zeroed_to_the_end(data: bytes, first: int, last: int) -> bool:
    """Whether the file is zero from `first`, or from a disk block boundary
    before `last`, to its end: what a power loss leaves of writes the disk
    never got."""
    zeros_from = first + len(data[first:].rstrip(b"\0"))
    if zeros_from == first:
        return True
    boundary = -(-zeros_from // BLOCK) * BLOCK
    return zeros_from < len(data) and boundary < last


def _read_old_frames(path: str, data: bytes, offset: int, torn_tail: bool) -> tuple[list[memoryview], int]:
    """The frames of the first version, whose header has no checksum of its own."""
    view = memoryview(data)
    payloads: list[memoryview] = []
    while offset < len(data):
        if offset + OLD_HEADER.size > len(data):
            if torn_tail:
                break
            raise CorruptFileError(path, f"a frame is cut short at byte {offset}")
        length, check = OLD_HEADER.unpack_from(data, offset)
        end = offset + OLD_HEADER.size + length
        payload = view[offset + OLD_HEADER.size:end]
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
    descriptor = open_private(os.path.join(folder, "lock"), os.O_RDWR)
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
