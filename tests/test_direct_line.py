"""The direct line beside Ray's actor calls: a shard's core answering calls
from several ways at once one at a time, a listener that proves who calls
before it answers (strangers' bytes, huge lengths, calls without the proof,
replayed connections), a shard killed while another process calls it, and
handles that fall back to Ray's calls when the line is refused."""

import os
import pickle
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from corvane import Corvane

msgspec = pytest.importorskip("msgspec")
from corvane_ray import _core, _line, _wire  # noqa: E402
from corvane_ray._wire import EDIT, READ, Call, Stamp  # noqa: E402

CLIENT = b"c" * 16


@pytest.fixture
def core(tmp_path):
    core = _core.ShardCore({"store": "t", "name": None, "root": str(tmp_path), "index": 0, "shards": 1,
                            "durability": "os", "reopen": False})
    assert core.start(True) is None
    yield core
    core.retire(delete=True)


@pytest.fixture
def listener(core):
    listener = _line.Listener("127.0.0.1", core.line_key, core.serve_all, _wire.encode_answers)
    yield listener
    listener.close()


def address(listener, core):
    return (*listener.address, core.line_key())


def edit(seq, method, *args):
    return Call(EDIT, method, args, Stamp(CLIENT, seq, seq - 1))


def ask(connection, calls):
    connection.send(_line.encode_calls(calls))
    return _wire.decode_answers(calls, connection.receive(time.monotonic() + 10))


def test_calls_from_several_ways_at_once_are_applied_one_at_a_time(core):
    def edits(thread):
        for i in range(300):
            key = f"{thread}/{i}".encode()
            core.serve(Call(EDIT, "add_tags", (key, ["x", f"t{thread}"]), Stamp(bytes([thread]) * 16, i + 1, i)))
            core.serve_all([Call(READ, "count", (["x"],)), Call(READ, "has_tag", (key, "x"))])

    threads = [threading.Thread(target=edits, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    expected = Corvane({f"{n}/{i}": ["x", f"t{n}"] for n in range(4) for i in range(300)}).to_dict()
    assert core.store.to_dict() == expected
    assert core.serve_all([Call(READ, "count", (["x"],)), Call("start", args=(True,))])[0] == 1_200
    assert isinstance(core.serve_all([Call("start", args=(True,))])[0], _core.Failure)  # not a call of the line
    core.files.close()
    restarted = _core.ShardCore(core.spec, restarted=True)  # the log replays as the calls were applied
    assert restarted.store.to_dict() == expected


def test_a_proven_caller_is_answered_and_a_shard_without_the_key_is_refused(core, listener):
    connection = _line.Connection(address(listener, core), time.monotonic() + 10)
    assert ask(connection, [edit(1, "add_tags", b"k", ["x", "y"]), Call(READ, "find", (["x"],)),
                            Call(READ, "get", (b"absent",)), Call(READ, "items")]) == [None, {"k"}, None,
                                                                                     [("k", {"x", "y"})]]
    failure = ask(connection, [edit(2, "remove_tag", b"k", "absent")])[0]
    assert isinstance(failure.error, KeyError) and failure.error.args == ("tag not found: absent",)
    connection.close()
    impostor = socket.create_server(("127.0.0.1", 0))  # takes any proof, and makes one up

    def pretend():
        sock, _ = impostor.accept()
        sock.sendall(_line.MAGIC + os.urandom(_line.NONCE))
        sock.recv(_line.NONCE + _line.PROOF)
        sock.sendall(os.urandom(_line.PROOF))
        time.sleep(1)
        sock.close()

    threading.Thread(target=pretend, daemon=True).start()
    with pytest.raises(_line.LineBroken, match="did not prove"):
        _line.Connection((*impostor.getsockname(), core.line_key()), time.monotonic() + 10)
    impostor.close()


def what_a_stranger_gets(listener, sent):
    """Every byte the listener sends back to a connection that sends `sent`, until it closes."""
    with socket.create_connection(listener.address, timeout=5) as sock:
        try:
            sock.sendall(sent)
        except (BrokenPipeError, ConnectionResetError):  # closed before it took everything
            pass
        got = b""
        while True:
            try:
                chunk = sock.recv(65536)
            except ConnectionResetError:
                return got
            if not chunk:
                return got
            got += chunk


def test_nothing_a_stranger_sends_is_answered_or_changes_the_store(core, listener):
    recorded = []

    class Recording(_line.Connection):  # a proven caller's bytes, as they crossed the wire
        def __init__(self, *args):
            real = socket.socket.sendall
            socket.socket.sendall = lambda sock, data: (recorded.append(bytes(data)), real(sock, data))[1]
            try:
                super().__init__(*args)
                self.send(_line.encode_calls([edit(1, "add_tag", b"paid", "once")]))
            finally:
                socket.socket.sendall = real

    honest = Recording(address(listener, core), time.monotonic() + 10)
    assert _wire.decode_answers([edit(1, "add_tag", b"paid", "once")], honest.receive(time.monotonic() + 10)) == [None]
    honest.close()
    before = core.store.to_dict()
    call = _line.encode_calls([edit(2, "clear")])
    attempts = {
        "random bytes": os.urandom(4096),
        "a length of gigabytes": _line.LENGTH.pack(1 << 40) + b"\0" * 64,
        "a call without the proof": _line.LENGTH.pack(len(call)) + call,
        "another connection's bytes, replayed": b"".join(recorded),
        "nothing at all": b"",
    }
    started = time.monotonic()
    for name, sent in attempts.items():
        got = what_a_stranger_gets(listener, sent)
        assert got[:len(_line.MAGIC)] == _line.MAGIC and len(got) == len(_line.MAGIC) + _line.NONCE, name
    assert time.monotonic() - started < 5 * len(attempts)  # each closed once its second to prove itself passed
    assert core.store.to_dict() == before == {"paid": {"once"}}
    crowd = [socket.create_connection(listener.address) for _ in range(_line.MAX_UNPROVEN + 10)]
    try:  # a crowd of silent connections takes the line for a second at most
        deadline = time.monotonic() + 10
        while True:
            try:
                connection = _line.Connection(address(listener, core), time.monotonic() + 2)
                break
            except OSError:
                assert time.monotonic() < deadline, "the line stopped serving"
    finally:
        for sock in crowd:
            sock.close()
    assert ask(connection, [Call(READ, "keys")]) == [["paid"]]
    connection.close()


ray = pytest.importorskip("ray")
pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="the sharded store is pure Python: its tests run in the optimised pass")


def test_a_shard_killed_while_another_process_calls_it_loses_nothing_and_takes_the_line_again(local_ray, cluster_env):
    from corvane_ray import ShardedCorvane

    store = ShardedCorvane(shards=2, name="calls-from-afar", timeout=120)
    caller = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        from corvane_ray import ShardedCorvane
        store = ShardedCorvane.open("calls-from-afar")
        for i in range(1_500):
            store.add_tags(f"k{i}", ["x", f"n{i}"])
            store.discard_tag(f"k{i}", "x")
            print(i, flush=True)
        print("|".join(place["calls"] for place in store.describe()), flush=True)
    """)], env=cluster_env, stdout=subprocess.PIPE, text=True)
    try:
        victim = store.describe()[0]["pid"]
        for _ in range(200):  # the caller is well into its loop
            caller.stdout.readline()
        os.kill(victim, signal.SIGKILL)
        output, _ = caller.communicate(timeout=300)
        assert caller.returncode == 0
        lines = output.splitlines()
        assert lines[-2] == "1499" and all(way.startswith("direct line to ") for way in lines[-1].split("|"))
        assert store.describe()[0]["pid"] != victim
        assert store.to_dict() == {f"k{i}": {f"n{i}"} for i in range(1_500)}
    finally:
        caller.kill()
        store.destroy()


def test_a_handle_whose_line_is_refused_calls_by_ray(local_ray):
    from corvane_ray import ShardedCorvane

    with ShardedCorvane({"a": ["x"], "b": ["y"]}, shards=2) as store:
        assert all(place["calls"].startswith("direct line to ") for place in store.describe())
        refused = store.shard_of("a")
        local_ray.get(store.shards[refused].__ray_call__.remote(lambda shard: shard.line.close()))
        copy = pickle.loads(pickle.dumps(store))  # a new handle, with no connection yet
        assert copy.find(["x"]) == {"a"} and copy.add_tag("a", "z") is None and store["a"] == {"x", "z"}
        ways = [place["calls"] for place in copy.describe()]
        assert ways[refused].startswith("Ray actor calls (its direct line at ") and "refused" in ways[refused]
        assert ways[1 - refused].startswith("direct line to ")
        copy.close()
        ray_only = ShardedCorvane({"c": ["x"]}, shards=1, direct=False)
        assert ray_only.describe()[0]["calls"] == "Ray actor calls (the handle was made with direct=False)"
        ray_only.close()
