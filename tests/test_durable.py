"""A shard's folder and its edits, without Ray: each edit answered once when it
comes again, also after a restart; what a death leaves at every step of a
fold; torn and corrupt files; a full disk; the folder's lock."""

import contextlib
import errno
import os
import random
import shutil
import struct
import subprocess
import sys
import textwrap
import time
import tracemalloc

import pytest
from corvane import Corvane

msgspec = pytest.importorskip("msgspec")
from corvane_ray import _core, _durable  # noqa: E402

CLIENT, OTHER = b"c" * 16, b"o" * 16

# Every edit kind with arguments as a handle sends them, some of them failing.
EDITS = [
    ("update", ({b"a": ["x", "y"], b"b": ["y"], b"c": ["z"], b"d": ["x", "z"]},)),
    ("add_tag", (b"a", "w")), ("add_tags", (b"e", ["v", b"\xc3\xa9"])), ("__setitem__", (b"f", ["x"])),
    ("remove_tag", (b"a", "w")), ("remove_tag", (b"a", "absent")), ("discard_tag", (b"b", "y")),
    ("erase", (b"c",)), ("erase", (b"c",)), ("discard", (b"e",)), ("pop", (b"f",)), ("pop", (b"f",)),
    ("setdefault", (b"g", ["s"])), ("setdefault", (b"g", ["t"])), ("popitem", ()),
    ("erase_where", (["z"],)), ("retain_where_any", (["x", "s"],)), ("retain_where", ([],)),
    ("__delitem__", (b"g",)), ("__delitem__", (b"g",)), ("clear", ()),
]


def spec(root, *, reopen, durability="os", index=0, shards=1):
    return {"store": "t", "name": None, "root": str(root), "index": index, "shards": shards,
            "durability": durability, "reopen": reopen}


def open_shard(root, *, reopen, **options):
    shard = _core.ShardCore(spec(root, reopen=reopen, **options))
    started = shard.start(True)
    assert started is None, started and started.error
    return shard


def refusal(root, *, reopen, **options):
    """The error a shard's start reports."""
    failure = _core.ShardCore(spec(root, reopen=reopen, **options)).start(True)
    assert isinstance(failure, _core.Failure)
    return failure.error


def restart(shard, root, **options):
    """What Ray does for a dead shard: a new process opens the same folder."""
    shard.files.close()
    return open_shard(root, reopen=True, **options)


def comparable(reply):
    if isinstance(reply, _core.Failure):
        return type(reply.error), str(reply.error)
    return sorted(reply) if isinstance(reply, list) else reply


def log_path(root):
    folder = _durable.shard_folder(str(root), 0, 1)
    return os.path.join(folder, next(n for n in os.listdir(folder) if n.startswith("log-")))


def apply_all(shard, model, edits, *, first_seq=1):
    """Sends each edit to the shard and to a plain store; returns the replies."""
    replies = []
    for seq, (method, args) in enumerate(edits, first_seq):
        reply = shard.edit(CLIENT, seq, 0, method, args)
        if method == "popitem" and not isinstance(reply, _core.Failure):
            expected = reply
            model.erase(reply[0])
        else:
            try:
                expected = getattr(model, method)(*args)
            except Exception as error:
                expected = _core.Failure(error)
        assert comparable(reply) == comparable(expected), method
        replies.append(reply)
    return replies


def test_every_edit_sent_again_is_answered_from_its_record_and_applied_once(tmp_path):
    shard, model = open_shard(tmp_path, reopen=False), Corvane()
    replies = apply_all(shard, model, EDITS)
    for restarted in (False, True):
        if restarted:
            shard = restart(shard, tmp_path)
        for seq, reply in enumerate(replies, 1):
            assert comparable(shard.edit(CLIENT, seq, 0, *EDITS[seq - 1])) == comparable(reply)
        assert shard.store.to_dict() == model.to_dict()
    shard.edit(OTHER, 1, 0, "add_tag", (b"k", "t"))  # another handle's first edit is its own
    assert shard.store.to_dict() == {"k": {"t"}}


def test_replies_go_once_the_handle_has_them_and_a_late_edit_is_dropped(tmp_path):
    shard = open_shard(tmp_path, reopen=False)
    shard.edit(CLIENT, 1, 0, "add_tag", (b"a", "x"))
    shard.edit(CLIENT, 3, 0, "add_tag", (b"b", "x"))  # 2 still in flight
    assert set(shard.ledgers[CLIENT].replies) == {1, 3}
    shard.edit(CLIENT, 4, 3, "add_tag", (b"c", "x"))  # every edit up to 3 answered: 2 was given up
    assert set(shard.ledgers[CLIENT].replies) == {4}
    late = shard.edit(CLIENT, 2, 0, "add_tag", (b"late", "x"))
    assert isinstance(late.error, RuntimeError) and "not applied" in str(late.error)
    shard = restart(shard, tmp_path)
    assert set(shard.store) == {"a", "b", "c"} and set(shard.ledgers[CLIENT].replies) == {4}
    shard.forget(CLIENT)
    assert CLIENT not in shard.ledgers


def test_folds_keep_every_edit_and_replace_the_old_pair(tmp_path, monkeypatch):
    monkeypatch.setattr(_core, "FOLD_FLOOR", 2_000)
    shard, model = open_shard(tmp_path, reopen=False), Corvane()
    edits = [("add_tags", (f"k{i % 300}".encode(), [f"t{i % 7}", f"u{i % 11}"])) for i in range(3_000)]
    edits += [("erase_where", (["t3", "u3"],)), ("popitem", ()), ("popitem", ())]
    apply_all(shard, model, edits)
    folder = shard.files.folder
    assert shard.files.generation > 3
    assert sorted(n[:4] for n in os.listdir(folder)) == ["line", "lock", "log-", "snap"]  # line: its key
    assert shard.files.log_bytes <= 2 * max(shard.files.snapshot_bytes, _core.FOLD_FLOOR)
    shard = restart(shard, tmp_path)
    assert shard.store.to_dict() == model.to_dict()
    shard.store[b"\xff"] = ["t"]  # text that is not UTF-8 cannot fold: the log goes on
    failed = shard.fold()
    assert isinstance(failed.error, UnicodeDecodeError)
    shard.edit(CLIENT, 10_000, 0, "add_tag", (b"\xfe", "t"))
    shard = restart(shard, tmp_path)
    assert len(shard.store) == len(model) + 1 and b"\xfe" in shard.store


class FailingOs:
    """`os` as the folder's code sees it, its file call number `at` failing: a
    death fails that call and every later one, so that nothing after it
    reaches the disk; a full disk fails that call only."""

    CALLS = {"open", "write", "writev", "fsync", "fdatasync", "replace", "rename", "unlink", "close",
             "ftruncate", "fchmod", "chmod", "mkdir", "rmdir"}

    def __init__(self, at, death):
        self.at, self.death, self.calls = at, death, 0

    def __getattr__(self, name):
        real = getattr(os, name)
        if name not in self.CALLS:
            return real

        def call(*args, **kwargs):
            self.calls += 1
            if self.calls == self.at or (self.death and self.calls > self.at):
                raise SystemExit("killed") if self.death else OSError(errno.ENOSPC, "No space left on device")
            return real(*args, **kwargs)
        return call


@pytest.mark.parametrize("death", [True, False], ids=["death", "full disk"])
@pytest.mark.parametrize("fold", ["fold", "load"])
def test_a_death_or_a_full_disk_at_any_step_of_a_fold_keeps_every_edit(tmp_path, monkeypatch, death, fold):
    loaded = [_durable.encode([[b"l1", b"l2"], [["x"], ["y"]]])]
    for at in range(1, 200):
        root = tmp_path / str(at)
        shard, model = open_shard(root, reopen=False), Corvane()
        apply_all(shard, model, EDITS[:6])
        failing = FailingOs(at, death)
        monkeypatch.setattr(_durable, "os", failing)
        try:
            done = shard.fold() if fold == "fold" else shard.load(CLIENT, 7, 0, loaded)
        except SystemExit:
            done = "died"
        monkeypatch.setattr(_durable, "os", os)
        if done is None and fold == "load":
            model = Corvane([(b"l1", ["x"]), (b"l2", ["y"])])
        if death:  # what Ray does: a new process opens the folder, and the handle sends the load again
            shard = restart(shard, root)
            if fold == "load":
                assert shard.load(CLIENT, 7, 0, loaded) is None
                model = Corvane([(b"l1", ["x"]), (b"l2", ["y"])])
        assert shard.store.to_dict() == model.to_dict(), at
        apply_all(shard, model, EDITS[6:], first_seq=8)  # a shard whose fold failed goes on
        assert restart(shard, root).store.to_dict() == model.to_dict(), at
        if failing.calls < at:
            break
    assert failing.calls < at, "the fold has more steps than tried"


def test_a_fold_that_fills_the_disk_keeps_serving_and_reopens_whole(tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", str(disk)], capture_output=True).returncode:
        pytest.skip("no tmpfs can be mounted here")
    try:
        shard, model = open_shard(disk, reopen=False), Corvane()
        apply_all(shard, model, [("add_tags", (f"k{i}".encode(), ["x" * 50, f"t{i}"])) for i in range(500)])
        assert shard.fold() is None
        pages = -(-shard.files.snapshot_bytes // 4096)
        with open(disk / "filler", "wb", buffering=0) as filler:  # the disk fills until only the new snapshot fits
            with contextlib.suppress(OSError):
                while True:
                    filler.write(b"\0" * 4096)
        os.truncate(disk / "filler", os.path.getsize(disk / "filler") - pages * 4096)
        assert isinstance(shard.fold(), _core.Failure)
        os.unlink(disk / "filler")
        apply_all(shard, model, [("add_tag", (b"after", "y")), ("erase", (b"k3",))], first_seq=501)
        assert shard.fold() is None
        apply_all(shard, model, [("add_tag", (b"later", "z"))], first_seq=503)
        assert restart(shard, disk).store.to_dict() == model.to_dict()
    finally:
        subprocess.run(["umount", "-l", str(disk)])


def test_a_record_torn_anywhere_is_dropped_and_the_log_goes_on(tmp_path):
    shard, model = open_shard(tmp_path, reopen=False), Corvane()
    apply_all(shard, model, EDITS[:3])
    before = os.path.getsize(log_path(tmp_path))
    shard.edit(CLIENT, 4, 0, "add_tags", (b"torn", ["x", "y"]))
    whole = open(log_path(tmp_path), "rb").read()
    shard.files.close()
    for cut in [*range(before, len(whole)), len(whole) + 5]:
        torn = whole[:cut] if cut < len(whole) else whole[:before] + b"\0" * (cut - before)  # power loss: zeros
        with open(log_path(tmp_path), "wb") as f:
            f.write(torn)
        reopened = open_shard(tmp_path, reopen=True)
        assert reopened.store.to_dict() == model.to_dict(), cut
        assert os.path.getsize(log_path(tmp_path)) == before  # cut off, so later records follow whole ones
        reopened.files.close()
    shard = open_shard(tmp_path, reopen=True)
    shard.edit(CLIENT, 4, 0, "add_tags", (b"torn", ["x", "y"]))  # never acknowledged, so sent again
    assert restart(shard, tmp_path).store["torn"] == {"x", "y"}


def test_damage_to_any_byte_of_a_log_is_refused_and_only_a_cut_tail_is_dropped(tmp_path):
    shard, model = open_shard(tmp_path, reopen=False), Corvane()
    apply_all(shard, model, [("add_tag", (f"key/{i}".encode(), f"t{i % 3}")) for i in range(40)])
    shard.files.close()
    path = log_path(tmp_path)
    whole = open(path, "rb").read()
    flips = random.Random(7)
    for at in range(len(whole)):  # a length field flipped in the middle is no torn last write
        with open(path, "wb") as f:
            f.write(whole[:at] + bytes([whole[at] ^ flips.randrange(1, 256)]) + whole[at + 1:])
        error = refusal(tmp_path, reopen=True)
        assert isinstance(error, _durable.CorruptFileError) and error.path == path, at
    # A power loss leaves the last record zeroed from a disk block on: never acknowledged, so dropped.
    block = next(b for b in range(512, len(whole), 512) if b < len(whole) - 8)
    records_before = len(_durable.read_frames(path, whole[:block], "log", torn_tail=True)[0])
    with open(path, "wb") as f:
        f.write(whole[:block] + bytes(len(whole) - block))
    reopened = open_shard(tmp_path, reopen=True)
    assert len(reopened.store) == records_before


def test_a_log_cut_inside_its_first_line_reopens_empty_and_files_of_the_first_version_read(tmp_path):
    shard, model = open_shard(tmp_path, reopen=False), Corvane()
    apply_all(shard, model, EDITS[:5])
    shard.fold()  # a death just after the rename left the new log empty or cut inside its magic line
    shard.files.close()
    for cut in range(len(_durable.LOG_MAGIC)):
        with open(log_path(tmp_path), "wb") as f:
            f.write(_durable.LOG_MAGIC[:cut])
        reopened = open_shard(tmp_path, reopen=True)
        assert reopened.store.to_dict() == model.to_dict(), cut
        reopened.files.close()
    folder = _durable.shard_folder(str(tmp_path), 0, 1)
    for name in os.listdir(folder):  # the same files as the first version wrote them
        kind = name.split("-")[0]
        if kind in ("snapshot", "log"):
            path = os.path.join(folder, name)
            payloads = _durable.read_frames(path, open(path, "rb").read(), kind)[0]
            with open(path, "wb") as f:
                f.write(_durable.MAGICS[kind][1] + b"".join(_durable.old_header(p) + p for p in payloads))
    shard = open_shard(tmp_path, reopen=True)
    assert shard.store.to_dict() == model.to_dict()
    apply_all(shard, model, EDITS[5:9], first_seq=6)  # appended in the log's own version
    shard = restart(shard, tmp_path)
    assert shard.store.to_dict() == model.to_dict() and shard.fold() is None
    assert open(log_path(tmp_path), "rb").read() == _durable.LOG_MAGIC
    assert restart(shard, tmp_path).store.to_dict() == model.to_dict()


def test_corrupt_files_end_in_an_error_naming_them(tmp_path):
    shard, model = open_shard(tmp_path, reopen=False), Corvane()
    apply_all(shard, model, EDITS[:4])
    shard.fold()
    apply_all(shard, model, EDITS[4:8], first_seq=5)
    shard.files.close()
    folder = _durable.shard_folder(str(tmp_path), 0, 1)
    snapshot = os.path.join(folder, next(n for n in os.listdir(folder) if n.startswith("snapshot-")))
    damages = [
        (log_path(tmp_path), lambda data: data[:30] + bytes([data[30] ^ 1]) + data[31:]),  # a record in the middle
        (log_path(tmp_path), lambda data: b"not a log" + data[9:]),
        (snapshot, lambda data: data[:-3] + bytes([data[-3] ^ 1]) + data[-2:]),
        (snapshot, lambda data: data[:-10]),  # renamed into place, so never torn
        (snapshot, lambda data: data + data[-20:]),
    ]
    for path, damage in damages:
        original = open(path, "rb").read()
        with open(path, "wb") as f:
            f.write(damage(original))
        error = refusal(tmp_path, reopen=True)
        assert isinstance(error, _durable.CorruptFileError) and error.path == path and path in str(error)
        with open(path, "wb") as f:
            f.write(original)
    os.unlink(snapshot)
    assert "holds no snapshot" in str(refusal(tmp_path, reopen=True))
    open_shard(tmp_path / "other", reopen=False).files.close()
    os.rename(tmp_path / "other" / "shard-00000-of-00001", tmp_path / "other" / "shard-00001-of-00002")
    assert "shard 0 of 1, not of shard 1 of 2" in str(refusal(tmp_path / "other", reopen=True, index=1, shards=2))


def test_files_whose_checksums_pass_but_whose_content_is_not_a_store_s_are_refused(tmp_path):
    shard, model = open_shard(tmp_path, reopen=False), Corvane()
    apply_all(shard, model, EDITS[:3])
    shard.fold()
    apply_all(shard, model, EDITS[3:5], first_seq=4)
    shard.files.close()
    folder = _durable.shard_folder(str(tmp_path), 0, 1)
    snapshot = os.path.join(folder, next(n for n in os.listdir(folder) if n.startswith("snapshot-")))
    log = log_path(tmp_path)
    nested = msgspec.Raw(b"\x91" * 100_000 + b"\x90")  # arrays in arrays, 100,000 deep
    meta = {"shard": 0, "shards": 1, "clients": [], "chunks": 1}
    snapshots = [  # [description, entry chunks...]
        [["not", "a", "dict"], [[b"k"], [["x"]]]],
        [{**meta, "chunks": "one"}, [[b"k"], [["x"]]]],
        [{**meta, "shard": [0]}, [[b"k"], [["x"]]]],
        [{**meta, "clients": [[b"c", "floor", 0.0, []]]}, [[b"k"], [["x"]]]],
        [{**meta, "clients": [[b"c", 0, 0.0, [[1, ["set", 5]]]]]}, [[b"k"], [["x"]]]],
        [{**meta, "clients": 7}, [[b"k"], [["x"]]]],
        [meta, [[1, 2], [["x"], ["y"]]]],
        [meta, [[b"k"], [[{"a": 1}]]]],
        [meta, [[b"k"], [nested]]],
        [meta, nested],
    ]
    original = open(snapshot, "rb").read()
    for parts in snapshots:
        with open(snapshot, "wb") as f:
            f.write(_durable.SNAPSHOT_MAGIC + b"".join(_durable.frame(msgspec.msgpack.encode(p)) for p in parts))
        error = refusal(tmp_path, reopen=True)
        assert isinstance(error, _durable.CorruptFileError) and error.path == snapshot, parts[:1]
    packed = Corvane.pack(["k"], [["x"]], 1)[0]
    for chunks in ([packed[:-1]], [packed, msgspec.msgpack.encode([["k"], [["x"]]])]):  # cut short; two kinds
        with open(snapshot, "wb") as f:
            description = msgspec.msgpack.encode({**meta, "chunks": len(chunks)})
            f.write(_durable.SNAPSHOT_MAGIC + b"".join(map(_durable.frame, [description, *chunks])))
        error = refusal(tmp_path, reopen=True)
        assert isinstance(error, _durable.CorruptFileError) and error.path == snapshot, chunks
    with open(snapshot, "wb") as f:
        f.write(original)
    records = [["not", "a", "record"], [[b"c"], 1, 0, "add_tag", [b"k", "t"]], [b"c", 1, 0, 5, []],
               [b"c", 1, 0, "add_tag", [5, 6]], [b"c", 1, 0, "add_tags", [b"k", [1]]], [b"c", "1", 0, "clear", []],
               [b"c", 1, 0, "update", [nested]], nested, [b"c", 1, 0, "popitem", []]]
    original = open(log, "rb").read()
    for record in records:
        with open(log, "wb") as f:
            f.write(original + _durable.frame(msgspec.msgpack.encode(record)))
        error = refusal(tmp_path, reopen=True)
        assert isinstance(error, _durable.CorruptFileError) and error.path == log, record[:1]
    with open(log, "wb") as f:
        f.write(original)
    with open(tmp_path / _durable.MANIFEST, "w") as f:
        f.write("[" * 100_000 + "]" * 100_000)
    with pytest.raises(_durable.CorruptFileError, match=_durable.MANIFEST):
        _durable.read_manifest(str(tmp_path))


@pytest.mark.skipif(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") < 12 << 30, reason="needs 12 GiB")
def test_a_log_record_over_two_gib_is_written_whole(tmp_path, monkeypatch):
    if shutil.disk_usage(tmp_path).free < 8 << 30:
        pytest.skip("needs 8 GiB of free disk")
    monkeypatch.setattr(_core, "FOLD_FLOOR", 1 << 40)  # the record stays in the log
    shard = open_shard(tmp_path, reopen=False)
    huge = b"x" * ((2 << 30) + 4096)  # Linux writes at most about 2 GiB in one write()
    assert shard.edit(CLIENT, 1, 0, "add_tags", (b"big", [huge])) is None
    del huge
    shard.edit(CLIENT, 2, 0, "add_tag", (b"small", "y"))
    logged = shard.files.log_bytes
    shard.store.clear()  # its process is gone
    reopened = restart(shard, tmp_path)
    assert reopened.files.log_bytes == logged == os.path.getsize(log_path(tmp_path)) > 2 << 30
    assert sorted(reopened.store.keys()) == ["big", "small"]


def test_a_folder_is_held_by_one_live_shard(tmp_path):
    first = open_shard(tmp_path, reopen=False)
    for reopen in (True, False):
        assert isinstance(refusal(tmp_path, reopen=reopen), _durable.FolderInUseError)
    assert os.listdir(first.files.folder)  # a refused shard deleted nothing
    first.retire(delete=True)
    assert not os.path.exists(first.spec["root"] + "/shard-00000-of-00001")


def test_a_full_disk_fails_the_edit_unapplied_and_the_store_goes_on(tmp_path):
    # A real short write: the file size limit stops the log inside a record.
    code = textwrap.dedent(f"""
        import resource, signal, sys
        sys.path[:0] = {sys.path!r}
        from test_durable import open_shard, restart, log_path, CLIENT
        import os
        root = {str(tmp_path)!r}
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        shard = open_shard(root, reopen=False)
        shard.edit(CLIENT, 1, 0, "add_tag", (b"a", "x"))
        size = os.path.getsize(log_path(root))
        resource.setrlimit(resource.RLIMIT_FSIZE, (size + 20, resource.RLIM_INFINITY))
        failed = shard.edit(CLIENT, 2, 0, "add_tags", (b"big", ["t" * 100]))
        print(type(failed.error).__name__, failed.error.errno in ({errno.EFBIG}, {errno.ENOSPC}))
        print(os.path.getsize(log_path(root)) == size, "big" in shard.store)
        resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        shard.edit(CLIENT, 3, 0, "add_tag", (b"b", "y"))
        print(sorted(restart(shard, root).store.to_dict().items()))
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                            cwd=os.path.dirname(__file__))
    assert result.stdout.splitlines() == ["OSError True", "True False", "[('a', {'x'}), ('b', {'y'})]"], \
        result.stderr


@pytest.mark.parametrize("packed", [True, False], ids=["packed", "MessagePack"])
def test_loads_become_the_snapshot_as_they_came(tmp_path, monkeypatch, packed):
    shard = open_shard(tmp_path, reopen=False)
    columns = [([b"a", b"b", "c"], [["x"], ["y", b"z"], ["w"]]),
               ([b"b", "c"], [["moved"], []])]  # later pairs replace, an empty one removes
    chunks = [Corvane.pack(*pair, 1)[0] if packed else _durable.encode(pair) for pair in columns]
    assert shard.load(CLIENT, 1, 0, chunks) is None
    expected = Corvane([(b"a", ["x"]), (b"b", ["y", b"z"]), ("c", ["w"]), (b"b", ["moved"]), ("c", [])]).to_dict()
    assert shard.store.to_dict() == expected
    assert shard.load(CLIENT, 1, 0, [_durable.encode([[b"other"], [["x"]]])]) is None  # sent again: applied once
    assert restart(shard, tmp_path).store.to_dict() == expected
    frames = open(os.path.join(shard.files.folder, f"snapshot-{shard.files.generation}"), "rb").read()
    assert chunks[1] in frames and struct.unpack_from("<I", frames, len(_durable.SNAPSHOT_MAGIC))[0] > 0


def test_a_shard_keeps_little_per_handle_and_forgets_idle_handles(tmp_path, monkeypatch):
    shard = open_shard(tmp_path, reopen=False)
    shard.edit(CLIENT, 1, 0, "update", ({f"k{i}".encode(): ["t"] for i in range(1_000)},))
    tracemalloc.start()
    for _ in range(10_000):  # handles that never close
        shard.edit(os.urandom(16), 1, 0, "add_tag", (b"k1", "u"))
    per_handle = tracemalloc.get_traced_memory()[0] / 10_000
    tracemalloc.stop()
    assert per_handle < 512, per_handle
    assert len(shard.edit(CLIENT, 2, 1, "retain_where", ([],))) == 1_000
    shard.confirm(CLIENT, 2)  # the handle has the large reply: it is kept no longer
    assert shard.ledgers[CLIENT].replies == {}
    assert shard.fold() is None
    snapshot_with_handles = shard.files.snapshot_bytes
    monkeypatch.setattr(_core, "IDLE_CLIENT", 0.2)
    time.sleep(0.3)
    shard.edit(OTHER, 1, 0, "add_tag", (b"k2", "v"))
    assert shard.fold() is None and list(shard.ledgers) == [OTHER]  # forgotten in memory and in the snapshot
    assert shard.files.snapshot_bytes < snapshot_with_handles / 10
    assert list(restart(shard, tmp_path).ledgers) == [OTHER]
