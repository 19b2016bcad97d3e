"""The sharded store beyond single answers: routing, loading, recovery, timeouts,
and how it starts Ray."""

import json
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from conftest import run_python, stop, without_ray
from corvane import Corvane

pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="the sharded store is pure Python: its tests run in the optimised pass")
corvane_ray = pytest.importorskip("corvane_ray")
ShardedCorvane, ShardUnavailableError, shard_of = (
    corvane_ray.ShardedCorvane, corvane_ray.ShardUnavailableError, corvane_ray.shard_of)

ROUTED = ["", "a", "é", "漢字", "u21470/album-000/IMG_0000000.jpg"]


def test_routing_is_fixed_across_processes_and_versions():
    # Changing these moves stored keys between shards: a new major version, with a migration.
    assert [shard_of(k.encode(), 7) for k in ROUTED] == [0, 4, 4, 3, 3]
    code = f"from corvane_ray import shard_of; print([shard_of(k.encode(), 7) for k in {ROUTED!r}])"
    for seed in ("0", "1", "12345"):
        env = {**os.environ, "PYTHONHASHSEED": seed}
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
        assert result.stdout.strip() == "[0, 4, 4, 3, 3]", result.stderr


def test_a_key_in_any_spelling_lives_on_its_routed_shard(sharded):
    store = sharded(3)
    for text in ROUTED:
        for spelling in (text, text.encode(), bytearray(text.encode())):
            store.add_tag(spelling, "t")
            assert store.shard_of(spelling) == shard_of(text.encode(), 3)
    counts = [place["keys"] for place in store.describe()]
    assert counts == [sum(shard_of(t.encode(), 3) == i for t in ROUTED) for i in range(3)]


def write_partitions(folder, parts):
    paths = []
    for number, lines in enumerate(parts):
        path = folder / f"part-{number}.jsonl"
        path.write_text("".join(json.dumps(line) + "\n" for line in lines), encoding="utf-8")
        paths.append(path)
    return paths


def test_partitions_load_as_one_store_built_from_their_lines_in_order(local_ray, tmp_path):
    parts = [[{"key": f"k{i}", "tags": [f"t{i % 3}", "all"]} for i in range(50)],
             [{"key": "k1", "tags": ["moved"]}, {"key": "é", "tags": ["ü"]}, {"key": "k2", "tags": []}],
             []]
    paths = write_partitions(tmp_path, parts)
    loaded = Corvane([(line["key"], line["tags"]) for part in parts for line in part]).to_dict()
    expected = {key: set(tags) for key, tags in loaded.items()}
    with ShardedCorvane.from_partitions(paths, shards=2) as store:
        assert store.to_dict() == expected
        assert [place["keys"] for place in store.describe()] == [
            sum(shard_of(k.encode(), 2) == i for k in expected) for i in range(2)]
        store.add_tag("k3", "edited")
        expected["k3"].add("edited")
        local_ray.kill(store.shards[0], no_restart=False)  # back from its snapshot and log
        local_ray.kill(store.shards[1], no_restart=False)
        assert store.to_dict() == expected
    with ShardedCorvane.from_partitions(tmp_path, shards=3) as store:  # a folder: its .jsonl files
        assert store.to_dict() == loaded


def test_partitions_that_do_not_read_fail_with_where(local_ray, tmp_path):
    good = b'{"key": "a", "tags": ["x"]}\n\n'
    bad_lines = [b'{"key": 5, "tags": []}', b'{"key": "\xff", "tags": []}', b'{"key": "a", "tags": ["\\ud800"]}',
                 b'{"key": "a", "tags": ' + b"[" * 100_000 + b"]" * 100_000 + b"}", b'["a", ["x"]]', b'{"key": "a"}']
    (tmp_path / "good.jsonl").write_bytes(good * 3)
    for number, line in enumerate(bad_lines):
        path = tmp_path / f"bad-{number}.jsonl"
        path.write_bytes(good + line + b"\n" + good)
        with pytest.raises(ValueError, match="^" + re.escape(f'{path}:3: not a {{"key": str')):
            ShardedCorvane.from_partitions([tmp_path / "good.jsonl", path], shards=2)
    with pytest.raises(FileNotFoundError):
        ShardedCorvane.from_partitions(tmp_path / "missing.jsonl", shards=2)
    (tmp_path / "empty").mkdir()
    for nothing in (tmp_path / "empty", []):
        with pytest.raises(ValueError, match="no partition files"):
            ShardedCorvane.from_partitions(nothing, shards=2)
    (tmp_path / "rows.csv").write_text("key,tags\na,x\n")
    with pytest.raises(ValueError, match="^" + re.escape(f"{tmp_path / 'rows.csv'}: not a kind of partition file")):
        ShardedCorvane.from_partitions([tmp_path / "good.jsonl", tmp_path / "rows.csv"], shards=2)
    write_parquet(tmp_path / "other.parquet", [{"key": "a", "tags": ["x"]}])
    import pyarrow.parquet

    pyarrow.parquet.write_table(pyarrow.parquet.read_table(tmp_path / "other.parquet").rename_columns(["id", "tags"]),
                                tmp_path / "other.parquet")
    with pytest.raises(ValueError, match=re.escape("no column 'key' (its columns: 'id', 'tags')")):
        ShardedCorvane.from_partitions(tmp_path / "other.parquet", shards=2)


def test_building_fails_as_one_store_does_and_leaves_nothing(local_ray, monkeypatch):
    monkeypatch.setattr(corvane_ray._lifecycle, "LOAD_CHUNK_ENTRIES", 2)  # a dict is packed two entries at a time
    later = {**{f"k{i}": ["x"] for i in range(5)}, "bad": ["y", 7]}  # in the third slice
    for data in (5, [("a", ["x"]), ("b",)], {"a": ["x"], 3: ["y"]}, [("a", [b"x", 7])], later):
        with pytest.raises(Exception) as theirs:
            Corvane(data)
        with pytest.raises(type(theirs.value)) as mine:
            ShardedCorvane(data, shards=2)
        assert str(mine.value) == str(theirs.value)


def test_a_shard_restarts_from_the_chunks_it_was_fed(local_ray, monkeypatch):
    monkeypatch.setattr(corvane_ray._lifecycle, "LOAD_CHUNK_ENTRIES", 7)  # several chunks per shard
    data = {f"k{i}": [f"t{i % 5}"] for i in range(100)}
    with ShardedCorvane(data, shards=2) as store:
        store.retain_where_any(["t1", "t2"])
        store["new"] = ["n"]
        expected = store.to_dict()
        for index in (0, 1):
            local_ray.kill(store.shards[index], no_restart=False)
        assert store.to_dict() == expected and len(expected) == 41


@pytest.mark.parametrize("direct", [True, False], ids=["direct line", "Ray calls"])
def test_an_edit_in_flight_when_its_shard_dies_is_applied_once(sharded, direct):
    store = sharded(2, direct)
    victim = store.describe()[0]["pid"]
    killer = threading.Timer(0.3, os.kill, (victim, signal.SIGKILL))
    killer.start()
    for i in range(400):  # point edits to both shards, some in flight at the kill
        store.add_tags(f"k{i}", ["x", f"n{i}"])
        store.discard_tag(f"k{i}", "x")
    killer.join()
    assert store.describe()[0]["pid"] != victim
    assert store.to_dict() == {f"k{i}": {f"n{i}"} for i in range(400)}


def test_checkpoints_fold_the_logs_and_exports_come_back_as_they_were(sharded, local_ray, tmp_path):
    store = sharded(2)
    store.update({f"k{i}": ["a", "b"] for i in range(30)})
    store.erase_where(["a"]) and store.update({"x": ["y"], "z": ["é"]})
    expected = store.to_dict()
    assert sum(place["logged_edits"] for place in store.describe()) > 0
    store.checkpoint()
    assert [place["logged_edits"] for place in store.describe()] == [0, 0]
    store.add_tag("x", "later")
    expected["x"].add("later")
    local_ray.kill(store.shards[0], no_restart=False), local_ray.kill(store.shards[1], no_restart=False)
    assert store.to_dict() == expected
    store.export(tmp_path)
    with ShardedCorvane.from_partitions(tmp_path, shards=3) as copy:  # any shard count
        assert copy.to_dict() == expected
        copy.update({"only": ["in the copy"]})
        copy.export(tmp_path)  # replaces the older export whole
    exported = sorted(name for name in os.listdir(tmp_path) if not name.startswith("."))  # the lock is hidden
    assert exported[0] == "corvane-export.json" and len(exported) == 4
    with ShardedCorvane.from_partitions(tmp_path, shards=2) as again:
        assert again.to_dict() == {**expected, "only": {"in the copy"}}


def test_an_export_that_fails_leaves_the_older_one_whole_and_the_store_as_it_was(sharded, local_ray, tmp_path):
    store = sharded(2)
    store.update({"a": ["x"], "b": ["y"], "c": ["z"]})
    store.export(tmp_path)
    before = sorted(os.listdir(tmp_path))
    store[bytes([0xFF])] = ["t"]  # one shard holds text that cannot be written
    with pytest.raises(UnicodeDecodeError):
        store.export(tmp_path)
    assert sorted(os.listdir(tmp_path)) == before
    with ShardedCorvane.from_partitions(tmp_path, shards=1) as copy:
        assert copy.to_dict() == {"a": {"x"}, "b": {"y"}, "c": {"z"}}
    del store[bytes([0xFF])]
    popped = store.popitem()[0]
    for handle in store.shards:
        local_ray.kill(handle, no_restart=False)
    assert sorted(store.keys()) == sorted({"a", "b", "c"} - {popped})


def test_a_shard_that_does_not_answer_ends_in_an_error_naming_it(local_ray):
    store = ShardedCorvane({"k": ["a"], "d": ["a"]}, shards=2, name="impatient")
    impatient = ShardedCorvane.open("impatient", timeout=1.5)
    try:
        index = store.shard_of("k")
        assert store.shard_of("d") != index
        pid = store.describe()[index]["pid"]
        stop(pid)
        try:
            started = time.monotonic()
            with pytest.raises(ShardUnavailableError, match=rf"^shard {index} of 2 did not answer within 1.5 s$"):
                impatient.update({"k": ["b"], "d": ["b"]})
            assert time.monotonic() - started < 30
            assert impatient.get("d") == {"b"}  # the shard that answered applied it
        finally:
            os.kill(pid, signal.SIGCONT)
        assert store.to_dict() == {"k": {"b"}, "d": {"b"}}  # the other one did once it went on
        assert store.describe()[index]["pid"] == pid
    finally:
        store.destroy()


def test_errors_come_back_as_the_store_raises_them(sharded):
    store = sharded(2)
    with pytest.raises(KeyError) as error:
        store.remove_tag("absent", "t")
    assert type(error.value) is KeyError and error.value.args == ("key not found: absent",)
    store[b"\xff"] = ["t"]
    with pytest.raises(UnicodeDecodeError, match="can't decode byte 0xff"):
        store.find(["t"])
    with pytest.raises(UnicodeDecodeError):  # a shard that cannot fold keeps its log
        store.checkpoint()


def run_alone(code, **env):
    """Runs `code` in a fresh interpreter that is not connected to any Ray."""
    return run_python(code, env={**without_ray(os.environ), **env})


def test_a_store_starts_a_local_ray_that_refuses_clients_without_its_token(tmp_path):
    owner = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import sys, ray
        from corvane_ray import ShardedCorvane
        with ShardedCorvane({"k": ["a"]}, shards=2) as store:
            assert store.find(["a"]) == {"k"}
            node = ray._private.worker.global_worker.node
            print(node.gcs_address, node.cluster_id.hex(), flush=True)
            sys.stdin.readline()
        print(ray.is_initialized(), flush=True)
    """)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=without_ray(os.environ))
    try:
        address, cluster = owner.stdout.readline().split()
        stranger = run_alone(f"""
            from ray._raylet import GcsClient
            try:
                GcsClient(address={address!r}, cluster_id={cluster!r}).internal_kv_get(b"k", None, timeout=10)
            except Exception as error:
                print(type(error).__name__)
        """, HOME=str(tmp_path))  # no token file, no token in the environment
        assert stranger.stdout.strip() == "AuthenticationError", stranger.stderr
        owner.stdin.write("\n")
        owner.stdin.flush()
        assert owner.stdout.readline().strip() == "False"  # the store stopped the Ray it started
    finally:
        owner.kill()
        owner.wait()


def test_a_store_refuses_to_start_ray_without_authentication():
    result = run_alone("""
        import ray
        from corvane_ray import ShardedCorvane
        try:
            ShardedCorvane(shards=1)
        except RuntimeError as error:
            print(error, ray.is_initialized())
    """, RAY_AUTH_MODE="disabled")
    assert "only with its token authentication on" in result.stdout and result.stdout.endswith("False\n")


def entries_with_repeats():
    """Entries as a load reads them, in order: a later one for a key replaces an
    earlier one, an empty tag list removes it, and text is not all ASCII."""
    rows = [{"key": f"k{i}", "tags": [f"t{i % 3}", "all"]} for i in range(60)]
    rows += [{"key": "k1", "tags": ["moved"]}, {"key": "é", "tags": ["ü", "漢字"]}, {"key": "k2", "tags": []}]
    return rows


def expected_store(rows):
    return Corvane([(row["key"], row["tags"]) for row in rows]).to_dict()


def write_parquet(path, rows):
    import pyarrow
    import pyarrow.parquet

    pyarrow.parquet.write_table(pyarrow.table({"key": [r["key"] for r in rows], "tags": [r["tags"] for r in rows]}),
                                path)


def test_parquet_and_jsonl_partitions_and_datasets_load_as_one_store(local_ray, tmp_path):
    rows = entries_with_repeats()
    expected = expected_store(rows)
    write_parquet(tmp_path / "a.parquet", rows[:30])
    write_partitions(tmp_path, [rows[30:]])  # part-0.jsonl, after a.parquet by name
    dataset = local_ray.data.from_items(rows).repartition(4)
    for load in (lambda: ShardedCorvane.from_partitions(tmp_path, shards=2),
                 lambda: ShardedCorvane.from_partitions([tmp_path / "a.parquet", tmp_path / "part-0.jsonl"],
                                                       shards=3),
                 lambda: ShardedCorvane.from_dataset(dataset, shards=2)):
        with load() as store:
            assert store.to_dict() == expected
    # Blocks of pandas frames, and blocks of which a limit keeps only a part
    import pandas

    frames = local_ray.data.from_pandas([pandas.DataFrame(rows[:25]), pandas.DataFrame(rows[25:])])
    with ShardedCorvane.from_dataset(frames.limit(40), shards=2) as store:
        assert store.to_dict() == expected_store(rows[:40])


def test_a_dataset_of_repeated_keys_loads_the_same_store_every_time(local_ray, tmp_path):
    # The first file takes longest to read: its rows still come first in the dataset's order.
    first = [{"key": f"k{i}", "tags": [f"a{i % 5}"]} for i in range(300_000)]
    later = [{"key": f"k{i}", "tags": ["later"]} for i in range(0, 300_000, 50)]
    write_parquet(tmp_path / "0.parquet", first)
    write_parquet(tmp_path / "1.parquet", later)
    expected = expected_store(first + later)
    for _ in range(3):
        dataset = local_ray.data.read_parquet([str(tmp_path / "0.parquet"), str(tmp_path / "1.parquet")])
        with ShardedCorvane.from_dataset(dataset, shards=2) as store:
            assert store.to_dict() == expected
    assert dataset.context.execution_options.preserve_order is False  # the caller's dataset is left as it was


def test_bad_rows_of_parquet_and_datasets_fail_the_load_naming_them(local_ray, tmp_path):
    import pyarrow
    import pyarrow.parquet

    good = {"key": ["a", "b", "c"], "tags": [["x"], ["y"], ["z"]]}
    pyarrow.parquet.write_table(pyarrow.table(good), tmp_path / "good.parquet")
    cases = {
        "null key": ({**good, "key": ["a", None, "c"]}, r"row 2: the key \('key'\) is null"),
        "null tags": ({**good, "tags": [["x"], None, ["z"]]}, r"row 2: the tags \('tags'\) is null"),
        "null tag": ({**good, "tags": [["x"], ["y"], ["z", None]]}, r"row 3: a tag in 'tags' is null"),
        "number key": ({**good, "key": [1, 2, 3]}, r"the 'key' column holds int64, not strings"),
        "no tags": ({"key": good["key"]}, r"not a Parquet file of a string 'key' and a list of strings 'tags'"),
    }
    for name, (columns, message) in cases.items():
        path = tmp_path / f"{name}.parquet"
        pyarrow.parquet.write_table(pyarrow.table(columns), path)
        with pytest.raises(ValueError, match="^" + re.escape(f"{path}: ") + message):
            ShardedCorvane.from_partitions([tmp_path / "good.parquet", path], shards=2)
    dataset = local_ray.data.from_items([{"key": "a", "tags": ["x"]}, {"key": "b", "tags": [7]}])
    with pytest.raises(ValueError, match=r"^dataset block 1: the 'tags' column holds list<item: int64>, not lists"):
        ShardedCorvane.from_dataset(dataset, shards=2)
    with pytest.raises(TypeError, match=r"takes a ray.data.Dataset, not list"):
        ShardedCorvane.from_dataset([{"key": "a", "tags": ["x"]}], shards=1)
    with pytest.raises(ValueError, match=r"no column 'labels'"):
        ShardedCorvane.from_dataset(local_ray.data.from_items([{"key": "a", "tags": ["x"]}]), tags="labels", shards=1)


def test_exports_in_both_formats_come_back_as_the_store(sharded, local_ray, tmp_path):
    store = sharded(2)
    store.update({row["key"]: row["tags"] for row in entries_with_repeats()})
    expected = store.to_dict()
    for format in ("jsonl", "parquet"):
        folder = tmp_path / format
        store.export(folder, format=format)
        assert sum(name.endswith(f".{format}") for name in os.listdir(folder)) == 2
        with ShardedCorvane.from_partitions(folder, shards=3) as copy:
            assert copy.to_dict() == expected
    rows = store.to_dataset().take_all()
    assert {row["key"]: set(row["tags"]) for row in rows} == expected and len(rows) == len(expected)
    with pytest.raises(ValueError, match="format must be 'jsonl' or 'parquet'"):
        store.export(tmp_path / "csv", format="csv")


def shard_metrics(local_ray, store, wanted):
    """The store's lines of the node's metrics (Prometheus text), once `wanted` of them all show."""
    import urllib.request

    node = local_ray._private.worker.global_worker.node
    deadline = time.monotonic() + 90
    while True:
        text = urllib.request.urlopen(f"http://{node.node_ip_address}:{node.metrics_export_port}/metrics",
                                      timeout=10).read().decode()
        lines = [line for line in text.splitlines() if line.startswith("ray_corvane_shard_")
                 and f'store="{store}"' in line]
        if all(any(line.startswith(name) and float(line.rsplit(" ", 1)[1]) >= 1 for line in lines)
               for name in wanted):
            return lines
        assert time.monotonic() < deadline, f"no {wanted} in {lines}"
        time.sleep(1)


def test_a_shard_reports_its_calls_log_folds_restarts_and_keys_to_ray_s_metrics(local_ray):
    with ShardedCorvane({"k": ["a"], "j": ["b"]}, shards=1, name="watched") as store:
        for _ in range(20):
            store.count(["a"])
            store.add_tag("k", "c")
        store.checkpoint()
        shard_metrics(local_ray, "watched", ['ray_corvane_shard_calls_total{', "ray_corvane_shard_keys{",
                                             "ray_corvane_shard_folds_total{", "ray_corvane_shard_log_bytes{",
                                             "ray_corvane_shard_call_seconds_count{"])
        first = store.describe()[0]["pid"]
        local_ray.kill(store.shards[0], no_restart=False)
        while store.describe()[0]["pid"] == first:  # the old process may answer the line for a moment
            time.sleep(0.05)
        shard_metrics(local_ray, "watched", ["ray_corvane_shard_restarts_total{"])
        assert store.describe()[0]["keys"] == 2  # describe() keeps its figures


def test_long_loads_and_exports_show_progress_unless_told_not_to(local_ray, tmp_path, monkeypatch, capsys):
    from corvane_ray import _progress

    monkeypatch.setattr(_progress, "SHOW_AFTER", 0)  # shown at once, as a long load shows it after 2 s
    write_partitions(tmp_path, [[{"key": f"k{n}/{i}", "tags": ["t"]} for i in range(100)] for n in range(6)])
    with ShardedCorvane.from_partitions(tmp_path, shards=2, progress=True) as store:
        store.export(tmp_path / "out", progress=True)
    shown = capsys.readouterr().err
    assert "reading partitions" in shown and "exporting shards" in shown
    for progress in (False, None):  # None: shown only where someone watches, and pytest's stderr is no terminal
        with ShardedCorvane.from_partitions(tmp_path, shards=2, progress=progress) as store:
            store.export(tmp_path / "again", progress=progress)
        shown = capsys.readouterr().err
        assert "reading partitions" not in shown and "exporting shards" not in shown
