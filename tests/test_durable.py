"""A shard's folder and its edits, without Ray: each edit answered once when it
comes again, also after a restart; what a death leaves at every step of a
fold; torn and corrupt files; a full disk; the folder's lock."""

import errno
import os
import struct
import subprocess
import sys
import textwrap

import pytest

from corvane import Corvane

msgspec = pytest.importorskip("msgspec")
from corvane_ray import _durable, _shard  # noqa: E402

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
    shard = _shard.Shard(spec(root, reopen=reopen, **options))
    started = shard.start(True)
    assert started is None, started and started.error
    return shard


def refusal(root, *, reopen, **options):
    """The error a shard's start reports."""
    failure = _shard.Shard(spec(root, reopen=reopen, **options)).start(True)
    assert isinstance(failure, _shard.Failure)
    return failure.error


def restart(shard, root, **options):
    """What Ray does for a dead shard: a new process opens the same folder."""
    shard.files.close()
    return open_shard(root, reopen=True, **options)


def comparable(reply):
    if isinstance(reply, _shard.Failure):
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
        if method == "popitem" and not isinstance(reply, _shard.Failure):
            expected = reply
            model.erase(reply[0])
        else:
            try:
                expected = getattr(model, method)(*args)
            except Exception as error:
                expected = _shard.Failure(error)
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
    monkeypatch.setattr(_shard, "FOLD_FLOOR", 2_000)
    shard, model = open_shard(tmp_path, reopen=False), Corvane()
    edits = [("add_tags", (f"k{i % 300}".encode(), [f"t{i % 7}", f"u{i % 11}"])) for i in range(3_000)]
    edits += [("erase_where", (["t3", "u3"],)), ("popitem", ()), ("popitem", ())]
    apply_all(shard, model, edits)
    folder = shard.files.folder
    assert shard.files.generation > 3
    assert sorted(n[:4] for n in os.listdir(folder)) == ["lock", "log-", "snap"]
    assert shard.files.log_bytes <= 2 * max(shard.files.snapshot_bytes, _shard.FOLD_FLOOR)
    shard = restart(shard, tmp_path)
    assert shard.store.to_dict() == model.to_dict()
    shard.store[b"\xff"] = ["t"]  # text that is not UTF-8 cannot fold: the log goes on
    failed = shard.fold()
    assert isinstance(failed.error, UnicodeDecodeError)
    shard.edit(CLIENT, 10_000, 0, "add_tag", (b"\xfe", "t"))
    shard = restart(shard, tmp_path)
    assert len(shard.store) == len(model) + 1 and b"\xfe" in shard.store


@pytest.mark.parametrize("step", range(7))
def test_a_death_at_any_step_of_a_fold_leaves_a_whole_store(tmp_path, monkeypatch, step):
    shard, model = open_shard(tmp_path, reopen=False), Corvane()
    apply_all(shard, model, EDITS[:6])
    calls = []

    def dies_at(name, real):
        def wrapper(*args, **kwargs):
            calls.append(name)
            if len(calls) == step + 1:
                raise SystemExit("killed")  # not an Exception: nothing after it runs
            return real(*args, **kwargs)
        return wrapper

    for name in ("replace", "unlink", "fsync"):
        monkeypatch.setattr(_durable.os, name, dies_at(name, getattr(os, name)))
    with pytest.raises(SystemExit):
        shard.fold()
    monkeypatch.undo()
    shard = restart(shard, tmp_path)
    assert shard.store.to_dict() == model.to_dict()
    apply_all(shard, model, EDITS[6:], first_seq=7)
    assert restart(shard, tmp_path).store.to_dict() == model.to_dict()


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
        from corvane_ray import _shard
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


def test_loads_become_the_snapshot_as_they_came(tmp_path, monkeypatch):
    monkeypatch.setattr(_shard, "fetch", lambda refs: list(refs))
    shard = open_shard(tmp_path, reopen=False)
    chunks = [_durable.encode([[b"a", b"b", "c"], [["x"], ["y", b"z"], ["w"]]]),
              _durable.encode([[b"b", "c"], [["moved"], []]])]  # later pairs replace, an empty one removes
    assert shard.load(CLIENT, 1, 0, chunks) is None
    expected = Corvane([(b"a", ["x"]), (b"b", ["y", b"z"]), ("c", ["w"]), (b"b", ["moved"]), ("c", [])]).to_dict()
    assert shard.store.to_dict() == expected
    assert shard.load(CLIENT, 1, 0, [_durable.encode([[b"other"], [["x"]]])]) is None  # sent again: applied once
    assert restart(shard, tmp_path).store.to_dict() == expected
    frames = open(os.path.join(shard.files.folder, f"snapshot-{shard.files.generation}"), "rb").read()
    assert chunks[1] in frames and struct.unpack_from("<I", frames, len(_durable.SNAPSHOT_MAGIC))[0] > 0
