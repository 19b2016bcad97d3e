"""Which shard holds a key: the same answer in every process, run and version."""

from __future__ import annotations

import zlib
from collections.abc import Iterable, Iterator


def shard_of(key: bytes, shards: int) -> int:
    """The shard of a key given as its UTF-8 bytes: CRC-32 modulo the shard count.

    The same in every process and every run. Changing it moves keys, so it
    only changes with a new major version and a documented migration.
    """
    return zlib.crc32(key) % shards


def shards_of(keys: Iterable[bytes], shards: int) -> Iterator[int]:
    """shard_of() of each key, in order."""
    return (place % shards for place in map(zlib.crc32, keys))
