"""Random operation sequences on a Corvane and on the plain model, compared step by step.

CORVANE_MODEL_EXAMPLES raises the number of sequences for a long soak run.
"""

import gc
import os
import random
from functools import partial

import pytest
from conftest import check_index
from corvane import Corvane
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule
from model import Model, text

EXAMPLES = int(os.environ.get("CORVANE_MODEL_EXAMPLES", "100"))
OPERATIONS = [0]
DEFAULT = object()

KEY_TEXTS = ["", "a", "b", "é", "漢字", "nul\0"]
TAG_TEXTS = ["", "x", "y", "ß", "🙂"]


def spellings(texts):
    """Each text as str, bytes and bytearray: three spellings of one key."""
    return [form for t in texts for form in (t, t.encode(), bytearray(t.encode()))]


keys = st.sampled_from(spellings(KEY_TEXTS) + [1, "\ud800"])
tags = st.sampled_from(spellings(TAG_TEXTS) + [7])
# A tag collection is described, then built afresh for each side (generators run once).
# "some" and "wide" add tags enough to hold a key's tag ids in each of their forms.
collections = st.tuples(
    st.sampled_from(["list", "list", "tuple", "set", "dict", "gen", "str", "bytes", "int", "some", "wide"]),
    st.lists(tags, max_size=4),
)


def hashable(value):
    return bytes(value) if isinstance(value, bytearray) else value


def build(spec):
    kind, items = spec
    return {
        "list": lambda: list(items),
        "tuple": lambda: tuple(items),
        "set": lambda: {hashable(i) for i in items},
        "dict": lambda: dict.fromkeys(hashable(i) for i in items),
        "gen": lambda: (i for i in items),
        "str": lambda: "".join(i for i in items if isinstance(i, str)),
        "bytes": lambda: b"".join(bytes(i) for i in items if isinstance(i, (bytes, bytearray))),
        "int": lambda: 5,
        "some": lambda: list(items) + [f"w{i}" for i in range(10)],
        "wide": lambda: list(items) + [f"w{i}" for i in range(70)],
    }[kind]()


def outcome(call):
    try:
        return ("returned", call())
    except (KeyError, ValueError) as e:
        return ("raised", type(e), e.args)
    except TypeError as e:
        message = str(e)
        return ("raised", TypeError, message if message.startswith("each item") else None)
    except Exception as e:
        return ("raised", type(e))


DUNDER = {"contains": "__contains__", "getitem": "__getitem__", "setitem": "__setitem__", "delitem": "__delitem__"}


def method_rule(name, normalise=lambda result: result, **arguments):
    """A rule calling `name` on both sides with the drawn arguments, tag collections built afresh."""

    @rule(**arguments)
    def run(self, **drawn):
        def args():
            return tuple(build(drawn[k]) if k == "spec" else drawn[k] for k in arguments)

        self.check(name, args, normalise)

    run.__name__ = name
    return run


class Finalized:
    """Cyclic garbage: only the collector frees it, and then runs `action`."""

    def __init__(self, action):
        self.me, self.action = self, action

    def __del__(self):
        self.action()


class Machine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.store, self.model = Corvane(), Model()
        self.iterations = []  # (iterator, the keys it still owes), left open across steps

    @initialize(entries=st.dictionaries(st.sampled_from(KEY_TEXTS), st.sets(st.sampled_from(TAG_TEXTS)), max_size=6))
    def populate(self, entries):
        self.check("update", lambda: (entries,))

    def check(self, name, make_args, normalise=lambda result: result):
        OPERATIONS[0] += 1
        expected = outcome(lambda: getattr(self.model, name)(*make_args()))
        actual = outcome(lambda: getattr(self.store, DUNDER.get(name, name))(*make_args()))
        if actual[0] == "returned":
            actual = ("returned", normalise(actual[1]))
        assert actual == expected, f"{name}: store gave {actual}, model {expected}"

    setitem = method_rule("setitem", key=keys, spec=collections)
    setdefault = method_rule("setdefault", key=keys, spec=collections)
    add_tags = method_rule("add_tags", key=keys, spec=collections)
    getitem = method_rule("getitem", key=keys)
    delitem = method_rule("delitem", key=keys)
    contains = method_rule("contains", key=keys)
    erase = method_rule("erase", key=keys)
    discard = method_rule("discard", key=keys)
    add_tag = method_rule("add_tag", key=keys, tag=tags)
    remove_tag = method_rule("remove_tag", key=keys, tag=tags)
    discard_tag = method_rule("discard_tag", key=keys, tag=tags)
    has_tag = method_rule("has_tag", key=keys, tag=tags)
    find = method_rule("find", spec=collections)
    find_any = method_rule("find_any", spec=collections)
    count = method_rule("count", spec=collections)
    count_any = method_rule("count_any", spec=collections)
    retain_where = method_rule("retain_where", sorted, spec=collections)
    retain_where_any = method_rule("retain_where_any", sorted, spec=collections)
    erase_where = method_rule("erase_where", sorted, spec=collections)
    clear = method_rule("clear")

    @rule(name=st.sampled_from(["get", "pop"]), key=keys, explicit=st.booleans())
    def with_default(self, name, key, explicit):
        self.check(name, lambda: (key, DEFAULT) if explicit else (key,))

    @rule(name=st.sampled_from(["query", "query_any"]), args=st.lists(tags, max_size=3))
    def query_args(self, name, args):
        self.check(name, lambda: tuple(args))

    @rule(taken=st.integers(0, 2))
    def start_iterating(self, taken):
        expected = self.store.keys()
        iterator = iter(self.store)
        assert [next(iterator) for _ in expected[:taken]] == expected[:taken]
        self.iterations.append((iterator, expected[taken:]))

    @rule()
    def finish_iterating(self):
        # Whatever changed since, each iteration gives the keys of the store as it began.
        for iterator, rest in self.iterations:
            assert list(iterator) == rest
        self.iterations.clear()

    @rule(op=st.sampled_from(["to_dict", "keys", "find", "find_any", "count_any"]),
          action=st.sampled_from(["clear", "grow", "shrink"]), tag=st.sampled_from(TAG_TEXTS))
    def collected_during_a_call(self, op, action, tag):
        """A collection starts at the call's first allocation, and a finalizer changes the store."""
        OPERATIONS[0] += 1
        store, model, changes = self.store, self.model, []

        def change():
            if action == "clear":
                store.clear()
                changes.append(model.clear)
            elif action == "grow":
                more = {f"new{len(store)}": [tag, "x"]}
                store.update(more)
                changes.append(partial(model.update, more))
            else:
                gone = store.keys()[:2]
                for key in gone:
                    store.discard(key)
                changes.extend(partial(model.discard, key) for key in gone)

        expected = {
            "to_dict": lambda: {text(k): model.texts(v) for k, v in model.d.items()},
            "keys": lambda: sorted(model.keys()),
            "find": lambda: model.find([tag]),
            "find_any": lambda: model.find_any([tag, "y"]),
            "count_any": lambda: model.count_any([tag, "y"]),
        }[op]()
        call = {"to_dict": store.to_dict, "keys": store.keys, "find": partial(store.find, [tag]),
                "find_any": partial(store.find_any, [tag, "y"]), "count_any": partial(store.count_any, [tag, "y"])}[op]
        was_enabled, threshold = gc.isenabled(), gc.get_threshold()
        gc.disable()
        Finalized(change)
        held = [[] for _ in range(100)], [{} for _ in range(100)]  # past the free lists of both
        gc.set_threshold(1)
        gc.enable()
        result = call()
        gc.set_threshold(*threshold)
        del held
        gc.collect(0)
        if not was_enabled:
            gc.disable()
        for apply in changes:
            apply()
        assert (sorted(result) if op == "keys" else result) == expected

    @rule()
    def popitem(self):
        OPERATIONS[0] += 1
        first = next(iter(self.store), None)
        assert outcome(self.store.popitem) == outcome(lambda: self.model.popitem(first))

    @rule(entries=st.lists(st.tuples(keys, collections), max_size=4), as_dict=st.booleans())
    def update(self, entries, as_dict):
        def arg():
            pairs = [(hashable(k), build(spec)) for k, spec in entries]
            return (dict(pairs),) if as_dict else (pairs,)

        self.check("update", arg)

    @rule(
        how=st.sampled_from(["dict", "items", "keys_values", "from_dict", "from_keys_values"]),
        entries=st.lists(st.tuples(keys, collections), max_size=4),
        extra=st.sampled_from([None, None, "key", "value", "list", "triple", "not_dict"]),
    )
    def rebuild(self, how, entries, extra):
        def args():
            pairs = [(hashable(k), build(spec)) for k, spec in entries]
            if how in ("dict", "from_dict"):
                return (pairs,) if extra == "not_dict" else (dict(pairs),)
            if how == "items":
                return (pairs + ([["k", "t"]] if extra == "list" else [("k", "t", "t")] if extra == "triple" else []),)
            ks, vs = [k for k, _ in pairs], [v for _, v in pairs]
            return (ks + ["k"] if extra == "key" else ks, vs + [["t"]] if extra == "value" else vs)

        OPERATIONS[0] += 1
        model_build = {"from_dict": Model.from_dict, "from_keys_values": Model.from_keys_values}
        store_build = {"from_dict": Corvane.from_dict, "from_keys_values": Corvane.from_keys_values}
        expected = outcome(lambda: model_build.get(how, Model.construct)(*args()))
        actual = outcome(lambda: store_build.get(how, Corvane)(*args()))
        assert actual[0] == expected[0] and actual[2:] == expected[2:], (actual, expected)
        if actual[0] == "returned":
            self.store, self.model = actual[1], expected[1]
        else:
            assert actual[1] is expected[1], (actual, expected)

    @invariant()
    def agrees_with_model(self):
        d = self.store.to_dict()
        assert d == {text(k): self.model.texts(v) for k, v in self.model.d.items()}
        assert list(self.store) == self.store.keys() == list(d)
        assert self.store.values() == list(d.values()) and self.store.items() == list(d.items())
        assert repr(self.store) == str(self.store) == f"Corvane({d})"
        assert len(self.store) == len(d) and bool(self.store) == bool(d)
        assert sorted(self.store.tags()) == self.model.tags()
        for tag in self.model.tags():
            carriers = {key for key, tags in d.items() if tag in tags}
            assert self.store.find([tag]) == carriers and self.store.count([tag]) == len(carriers)


TestCorvaneAgainstModel = Machine.TestCase
TestCorvaneAgainstModel.settings = settings(
    max_examples=EXAMPLES,
    stateful_step_count=50,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


@pytest.fixture(scope="module", autouse=True)
def report_operations():
    yield
    print(f"\nmodel comparison: {OPERATIONS[0]} operations")


BLOCK = 1 << 16  # entry ids per carrier block
WIDE = 2 * BLOCK + 9000  # keys: two whole blocks of entry ids and part of a third
FORM_TAGS = ["a", "b", "c"]


class BlockMachine(RuleBasedStateMachine):
    """Tags carried by a few to thousands of the keys of each block: their blocks
    change form both ways and empty out, while erasures move entries (and so
    rename them in every block) in between. Every query kind is checked
    against plain sets after each step."""

    def __init__(self):
        super().__init__()
        self.keys = [f"k{i}" for i in range(WIDE)]
        self.store = Corvane({key: ["filler"] for key in self.keys})
        self.live = set(self.keys)
        self.model = {tag: set() for tag in FORM_TAGS}
        self.rng = None

    @initialize(seed=st.integers(0, 2**32 - 1))
    def seed(self, seed):
        import random

        self.rng = random.Random(seed)

    def keys_of_block(self, block, n):
        """Live keys first stored in a block (erasures move a few elsewhere)."""
        start = block * BLOCK
        pool = [k for k in self.keys[start:start + BLOCK] if k in self.live]
        return self.rng.sample(pool, min(n, len(pool)))

    @rule(tag=st.sampled_from(FORM_TAGS), block=st.integers(0, 2), n=st.integers(1, 900))
    def spread(self, tag, block, n):
        for key in self.keys_of_block(block, n):
            self.store.add_tag(key, tag)
            self.model[tag].add(key)

    @rule(tag=st.sampled_from(FORM_TAGS), share=st.floats(0.1, 1.0))
    def recede(self, tag, share):
        carriers = sorted(self.model[tag])
        for key in self.rng.sample(carriers, int(len(carriers) * share)):
            self.store.discard_tag(key, tag)
            self.model[tag].discard(key)

    def forget(self, keys):
        for key in keys:
            self.live.discard(key)
            for carriers in self.model.values():
                carriers.discard(key)

    @rule(n=st.integers(1, 3000))
    def erase_some(self, n):
        gone = self.rng.sample(sorted(self.live), min(n, len(self.live)))
        for key in gone[: n // 2]:
            del self.store[key]
        for key in gone[n // 2:]:
            self.store.add_tag(key, "doomed")
        assert sorted(self.store.erase_where(["doomed"])) == sorted(gone[n // 2:])
        self.forget(gone)

    @rule(n=st.integers(1, 500))
    def pop_some(self, n):
        for _ in range(min(n, len(self.live))):
            key, _ = self.store.popitem()
            self.forget([key])

    @rule(tag=st.sampled_from(FORM_TAGS))
    def retain_a_share(self, tag):
        # Many entries go at once: those past the new end move into the holes.
        keep = {k for k in self.live if k in self.model[tag] or self.rng.random() < 0.7}
        for key in keep:
            self.store.add_tag(key, "keep")
        assert sorted(self.store.retain_where_any(["keep"])) == sorted(keep)
        for key in keep:
            self.store.remove_tag(key, "keep")
        self.forget(self.live - keep)

    @rule(n=st.integers(1, 20000))
    def come_back(self, n):
        for key in [k for k in self.keys if k not in self.live][:n]:
            self.store[key] = ["filler"]
            self.live.add(key)

    @invariant()
    def queries_agree(self):
        if self.rng is None:
            return
        m, model = self.store, self.model
        assert len(m) == len(self.live) == m.count(["filler"])
        combos = [[t] for t in FORM_TAGS] + [["a", "b"], ["b", "c"], ["a", "c"], FORM_TAGS, ["a", "filler"]]
        for tags in combos:
            sets = [model[t] if t in model else self.live for t in tags]
            every, some = set.intersection(*sets), set.union(*sets)
            assert m.find(tags) == every == m.query(*tags) and m.count(tags) == len(every), tags
            assert m.find_any(tags) == some == m.query_any(*tags) and m.count_any(tags) == len(some), tags


TestCarrierForms = BlockMachine.TestCase
TestCarrierForms.settings = settings(
    max_examples=max(4, EXAMPLES // 25),
    stateful_step_count=12,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


def test_tag_ids_past_two_to_the_sixteen_through_renumbering():
    # 70,000 tags in use: keys carry ids past 2^16 (held wide, or on the heap
    # beside narrow ones); dropping most tags renumbers the rest downwards,
    # past that line again, while keys gain and lose tags.
    rng = random.Random(16)
    n = 70_000
    m = Corvane({f"f{i}": [f"t{i}"] for i in range(n)})
    model = {f"f{i}": {f"t{i}"} for i in range(n)}
    keys = [f"k{i}" for i in range(300)]
    for step in range(6):
        for key in keys:
            tags = {f"t{rng.randrange(n)}" for _ in range(rng.choice([1, 2, 3, 5, 7, 9, 70]))}
            m.add_tags(key, tags)
            model.setdefault(key, set()).update(tags)
            for tag in rng.sample(sorted(model[key]), len(model[key]) // 3):
                m.discard_tag(key, tag)
                model[key].discard(tag)
        for i in range(step * 10_000, (step + 1) * 10_000):  # their tags go, and the table is renumbered
            del m[f"f{i}"]
            del model[f"f{i}"]
        assert {key: m[key] for key in keys} == {key: model[key] for key in keys}
    check_index(m)
    assert m.to_dict() == model
