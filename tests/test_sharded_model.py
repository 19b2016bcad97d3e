"""Random operation sequences on a ShardedCorvane over 2 and 3 shards and on one
Corvane, compared step by step: every result, and every error by type and
message. Then the same with shards killed in the middle of the sequence.

Lists may come in another order across shards, so they are compared sorted.
Last, two processes run the rules at once on keys and tags of their own,
each through its own handle to one named store, killing its shards.
CORVANE_SHARDED_EXAMPLES multiplies the number of sequences for a long soak run.
"""

import os
import signal
import subprocess
import sys
import textwrap

import pytest
from corvane import Corvane
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

corvane_ray = pytest.importorskip("corvane_ray")
ShardedCorvane = corvane_ray.ShardedCorvane
SCALE = int(os.environ.get("CORVANE_SHARDED_EXAMPLES", "1"))
KEY_TEXTS = ["", "a", "b", "é", "漢字", "nul\0", "k7"]
TAG_TEXTS = ["", "x", "y", "ß", "🙂"]


def spellings(texts):
    """Each text as str, bytes and bytearray: three spellings of one key."""
    return [form for t in texts for form in (t, t.encode(), bytearray(t.encode()))]


keys = st.sampled_from(spellings(KEY_TEXTS) + [1, "\ud800", None])
tags = st.sampled_from(spellings(TAG_TEXTS) + [7, "\ud800"])
# A tag argument is described, then built afresh for each side (a generator runs once).
tag_args = st.tuples(st.sampled_from(["list", "list", "set", "gen", "str", "bytes", "int"]),
                     st.lists(tags, max_size=4))


def build(spec):
    kind, items = spec
    plain = [bytes(i) if isinstance(i, bytearray) else i for i in items]
    return {
        "list": lambda: list(items),
        "set": lambda: set(plain),
        "gen": lambda: (i for i in items),
        "str": lambda: "".join(i for i in items if isinstance(i, str)),
        "bytes": lambda: b"".join(bytes(i) for i in items if isinstance(i, (bytes, bytearray))),
        "int": lambda: 5,
    }[kind]()


def outcome(call, normalise):
    try:
        return "returned", normalise(call())
    except Exception as error:
        return "raised", type(error), str(error)


def as_is(result):
    return result


def in_order(result):
    return sorted(result)


class ShardedMachine(RuleBasedStateMachine):
    store = None  # a ShardedCorvane shared by every run of the machine

    def __init__(self):
        super().__init__()
        self.store.clear()
        self.model = Corvane()

    def check(self, name, make_args, normalise=as_is):
        mine = outcome(lambda: getattr(self.store, name)(*make_args()), normalise)
        theirs = outcome(lambda: getattr(self.model, name)(*make_args()), normalise)
        assert mine == theirs, (name, make_args())

    @initialize(entries=st.dictionaries(st.sampled_from(KEY_TEXTS), st.sets(st.sampled_from(TAG_TEXTS)), max_size=6))
    def populate(self, entries):
        self.check("update", lambda: (entries,))

    @rule(name=st.sampled_from(["add_tag", "remove_tag", "discard_tag", "has_tag"]), key=keys, tag=tags)
    def key_and_tag(self, name, key, tag):
        self.check(name, lambda: (key, tag))

    @rule(name=st.sampled_from(["add_tags", "__setitem__", "setdefault"]), key=keys, spec=tag_args)
    def key_and_tags(self, name, key, spec):
        self.check(name, lambda: (key, build(spec)))

    @rule(name=st.sampled_from(["__getitem__", "__contains__", "__delitem__", "erase", "discard", "get", "pop"]),
          key=keys)
    def key_only(self, name, key):
        self.check(name, lambda: (key,))

    @rule(name=st.sampled_from(["get", "pop"]), key=keys)
    def with_default(self, name, key):
        default = object()
        self.check(name, lambda: (key, default), lambda found: "the default" if found is default else found)

    @rule(name=st.sampled_from(["find", "find_any", "count", "count_any"]), spec=tag_args)
    def query(self, name, spec):
        self.check(name, lambda: (build(spec),))

    @rule(name=st.sampled_from(["query", "query_any"]), args=st.lists(tags, max_size=3))
    def query_args(self, name, args):
        self.check(name, lambda: tuple(args))

    @rule(name=st.sampled_from(["retain_where", "retain_where_any", "erase_where"]), spec=tag_args)
    def removal(self, name, spec):
        self.check(name, lambda: (build(spec),), in_order)

    @rule(entries=st.lists(st.tuples(keys, tag_args), max_size=4), as_dict=st.booleans())
    def update(self, entries, as_dict):
        def arg():
            pairs = [(bytes(k) if isinstance(k, bytearray) else k, build(spec)) for k, spec in entries]
            return (dict(pairs) if as_dict else pairs,)
        self.check("update", arg)

    @rule(name=st.sampled_from(["count_many", "count_any_many", "find_many", "find_any_many"]),
          specs=st.lists(tag_args, max_size=3))
    def batch(self, name, specs):
        single = getattr(self.model, name.removesuffix("_many"))
        mine = outcome(lambda: getattr(self.store, name)([build(spec) for spec in specs]), as_is)
        theirs = outcome(lambda: [single(build(spec)) for spec in specs], as_is)
        assert mine == theirs

    @rule()
    def popitem(self):
        mine = outcome(self.store.popitem, as_is)
        if mine[0] == "returned":
            key, tags = mine[1]
            assert self.model.pop(key) == tags
        else:
            assert mine == outcome(self.model.popitem, as_is)

    @rule()
    def clear(self):
        self.check("clear", tuple)

    @rule()
    def listings(self):
        assert sorted(self.store.keys()) == sorted(self.model.keys()) == sorted(self.store)
        assert sorted(self.store.items()) == sorted(self.model.items())
        assert sorted(map(sorted, self.store.values())) == sorted(map(sorted, self.model.values()))
        assert sorted(self.store.tags()) == sorted(self.model.tags())
        assert len(self.store) == len(self.model) and bool(self.store) == bool(self.model)

    @invariant()
    def agrees_with_one_store(self):
        assert self.store.to_dict() == self.model.to_dict()


def kill_a_shard(store, which, by_signal):
    """Kills a shard's process, by Ray or by SIGKILL; Ray restarts it."""
    import ray

    index = which % len(store.shards)
    if by_signal:
        os.kill(store.describe()[index]["pid"], signal.SIGKILL)
    else:
        ray.kill(store.shards[index], no_restart=False)


class KilledShardMachine(ShardedMachine):
    """The same, with a shard's process killed now and then."""

    @precondition(lambda self: self.kills < 2)
    @rule(which=st.integers(min_value=0, max_value=2), by_signal=st.booleans())
    def kill(self, which, by_signal):
        self.kills += 1
        kill_a_shard(self.store, which, by_signal)

    def __init__(self):
        super().__init__()
        self.kills = 0


def run_machine(machine, store, examples, steps):
    machine.store = store
    machine.TestCase.settings = settings(max_examples=examples * SCALE, stateful_step_count=steps, deadline=None,
                                         suppress_health_check=list(HealthCheck))
    try:
        machine.TestCase().runTest()
    finally:
        machine.store = None


@pytest.mark.parametrize("direct", [True, False], ids=["direct line", "Ray calls"])
@pytest.mark.parametrize("shards", [2, 3])
def test_sharded_store_answers_as_one_store(sharded, shards, direct):
    run_machine(ShardedMachine, sharded(shards, direct), examples=40 if direct else 15, steps=30)


@pytest.mark.parametrize("direct", [True, False], ids=["direct line", "Ray calls"])
def test_sharded_store_loses_no_acknowledged_edit_when_shards_die(sharded, direct):
    run_machine(KilledShardMachine, sharded(3, direct), examples=6, steps=30)


def own_keys_machine(prefix):
    """The same rules on keys and tags of this process's own, from its own handle
    to a store that another process edits at the same time: every rule whose
    answer would include the other's keys is left out or filtered, so that
    the expected state stays exact."""
    own_keys = st.sampled_from(spellings([prefix + t for t in KEY_TEXTS]) + [1, "\ud800", None])
    own_tags = st.sampled_from(spellings([prefix + t for t in TAG_TEXTS]) + [7, "\ud800"])
    own_args = st.tuples(st.sampled_from(["list", "set", "gen", "bytes", "int"]), st.lists(own_tags, max_size=4))

    def selects_everything(spec):
        kind, items = spec
        if kind == "bytes":
            return not any(isinstance(i, (bytes, bytearray)) for i in items)
        return kind != "int" and not items

    def mine(result):
        if isinstance(result, (set, list)):
            return sorted(k for k in result if k.startswith(prefix))
        return result

    class OwnKeysMachine(RuleBasedStateMachine):
        store = None

        def __init__(self):
            super().__init__()
            for key in self.store.keys():
                if key.startswith(prefix):
                    self.store.discard(key)
            self.model = Corvane()
            self.kills = 0

        check = ShardedMachine.check

        @rule(name=st.sampled_from(["add_tag", "remove_tag", "discard_tag", "has_tag"]), key=own_keys, tag=own_tags)
        def key_and_tag(self, name, key, tag):
            self.check(name, lambda: (key, tag))

        @rule(name=st.sampled_from(["add_tags", "__setitem__", "setdefault"]), key=own_keys, spec=own_args)
        def key_and_tags(self, name, key, spec):
            self.check(name, lambda: (key, build(spec)))

        @rule(name=st.sampled_from(["__getitem__", "__contains__", "__delitem__", "erase", "discard", "get", "pop"]),
              key=own_keys)
        def key_only(self, name, key):
            self.check(name, lambda: (key,))

        @rule(name=st.sampled_from(["find", "find_any", "count", "count_any", "erase_where"]), spec=own_args)
        def query(self, name, spec):
            if not selects_everything(spec):
                self.check(name, lambda: (build(spec),), mine)

        @rule(entries=st.lists(st.tuples(own_keys, own_args), max_size=4))
        def update(self, entries):
            self.check("update", lambda: ({(bytes(k) if isinstance(k, bytearray) else k): build(spec)
                                           for k, spec in entries},))

        @rule(name=st.sampled_from(["count_many", "find_any_many"]), specs=st.lists(own_args, max_size=3))
        def batch(self, name, specs):
            if not any(selects_everything(spec) for spec in specs):
                single = getattr(self.model, name.removesuffix("_many"))
                mine_ = outcome(lambda: getattr(self.store, name)([build(spec) for spec in specs]),
                                lambda found: [mine(f) for f in found])
                assert mine_ == outcome(lambda: [mine(single(build(spec))) for spec in specs], as_is)

        @precondition(lambda self: self.kills < 2)
        @rule(which=st.integers(min_value=0, max_value=2), by_signal=st.booleans())
        def kill(self, which, by_signal):
            self.kills += 1
            kill_a_shard(self.store, which, by_signal)

        @invariant()
        def agrees_with_one_store(self):
            assert {k: v for k, v in self.store.to_dict().items() if k.startswith(prefix)} == self.model.to_dict()

    return OwnKeysMachine


def run_own_keys_machine(prefix, store, examples):
    run_machine(own_keys_machine(prefix), store, examples=examples, steps=30)


@pytest.mark.parametrize("direct", [True, False], ids=["direct line", "Ray calls"])
def test_two_processes_edit_one_store_while_shards_die(local_ray, cluster_env, direct):
    store = ShardedCorvane(shards=3, name="two-processes", timeout=120, direct=direct)
    other = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_sharded_model import run_own_keys_machine
        from corvane_ray import ShardedCorvane
        run_own_keys_machine("B:", ShardedCorvane.open("two-processes", direct={direct}), examples=6)
    """)], env=cluster_env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        run_own_keys_machine("A:", store, examples=6)
        output, _ = other.communicate(timeout=600)
        assert other.returncode == 0, output
    finally:
        other.kill()
        store.destroy()
