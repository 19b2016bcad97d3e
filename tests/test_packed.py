"""Packed entries: what Corvane.pack() writes builds the store Corvane(keys,
values) builds, routed by CRC-32, and bytes that are not a chunk are refused
without a crash or a large allocation."""

import random
import struct
import zlib

import pytest
from corvane import Corvane


class Tag(str):
    pass


KEYS = ["a", "b", "é", "a", b"\xff\xfe", "漢字", "gone", "gone", "", b"ok"]


def entries():
    """Keys and their tags, as lists, tuples, sets and an iterator, some not UTF-8 and one a str subclass."""
    return KEYS, [["x", "y"], ("y",), {"ü", Tag("sub")}, ["moved"], [b"\x80", "x"], iter(["z"]), ["t"], [], [""],
                  [bytearray(b"ba")]]


def contents(store):
    """Which of the keys carry which tags, asked without decoding texts that are not UTF-8."""
    tags = ["x", "y", "ü", "sub", "moved", b"\x80", "z", "t", "", "ba"]
    return {(i, tag) for i, key in enumerate(KEYS) for tag in tags if store.has_tag(key, tag)}


def test_packed_chunks_build_the_store_the_entries_build_in_any_number_of_parts():
    keys, values = entries()
    expected = Corvane(keys, values)
    for parts in (1, 2, 3, 7):
        keys, values = entries()
        chunks = Corvane.pack(keys, values, parts)
        assert len(chunks) == parts and all(type(chunk) is bytes for chunk in chunks)
        for place, chunk in enumerate(chunks):
            held = Corvane.from_packed([chunk])
            for key in filter(expected.__contains__, KEYS):
                utf8 = key if isinstance(key, bytes) else key.encode()
                assert (key in held) == (zlib.crc32(utf8) % parts == place)
        built = Corvane.from_packed([memoryview(c) for c in chunks] if parts > 1 else [bytearray(chunks[0])])
        assert contents(built) == contents(expected) and len(built) == len(expected)
    first, second = Corvane.pack(["k", "j"], [["old"], ["j"]], 1), Corvane.pack(["k", "j"], [["new"], []], 1)
    assert Corvane.from_packed(first + second).to_dict() == {"k": {"new"}}  # later chunks replace, empty removes
    assert Corvane.from_packed([]).to_dict() == {} and Corvane.from_packed(Corvane.pack([], [], 4)).to_dict() == {}


def test_pack_refuses_what_a_build_refuses():
    for keys, values in ((["a", 5], [["x"], ["y"]]), (["a"], [["x", None]]), (["\ud800"], [["x"]]), (["a"], [5])):
        with pytest.raises(Exception) as theirs:
            Corvane(keys, values)
        with pytest.raises(type(theirs.value)):
            Corvane.pack(keys, values, 2)
    with pytest.raises(ValueError, match="equal length"):
        Corvane.pack(["a", "b"], [["x"]], 1)
    for parts in (0, -1, 65537, 2**80):
        with pytest.raises(ValueError, match="parts must be from 1 to 65536"):
            Corvane.pack([], [], parts)
    for parts in (True, 2.0, "2", None):
        with pytest.raises(TypeError):
            Corvane.pack([], [], parts)


def test_bytes_that_are_not_a_chunk_are_refused_wherever_they_break():
    chunk = Corvane.pack(["key", "é"], [["x", "yy"], ["z"]], 1)[0]
    for cut in range(len(chunk)):
        with pytest.raises(ValueError, match="chunk 1 is not packed entries: .* \\(at byte \\d+\\)"):
            Corvane.from_packed([chunk, chunk[:cut]])
    with pytest.raises(ValueError, match="bytes follow its last entry"):
        Corvane.from_packed([chunk + b"\0"])
    lying = [b"CVP1" + struct.pack("<I", 2**32 - 1),  # more entries than could fit
             b"CVP1" + struct.pack("<III", 1, 1, 2**32 - 1) + b"k",  # more tags than could fit
             b"CVP1" + struct.pack("<II", 1, 2**32 - 1),  # a text past the end
             b"CVP0" + chunk[4:], b"\x92\x91\xa1k\x91\x91\xa1x"]  # another magic; a MessagePack chunk
    for bad in lying:
        with pytest.raises(ValueError, match="chunk 0 is not packed entries"):
            Corvane.from_packed([bad])
    rng = random.Random(7)
    for _ in range(3000):  # any damage either reads as other entries or is refused
        damaged = bytearray(chunk)
        for _ in range(rng.randint(1, 3)):
            damaged[rng.randrange(len(damaged))] = rng.randrange(256)
        try:
            Corvane.from_packed([damaged])
        except ValueError:
            pass
    for bad in (5, ["CVP1"], [None]):
        with pytest.raises(TypeError):
            Corvane.from_packed(bad)
