import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from corvane import Corvane


def run_child(code, timeout=60):
    """Runs `code` in a fresh interpreter, so a crash fails one test, not the run."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def assert_child_ok(code):
    result = run_child(code)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def check_index(m):
    """Everything Python can see of the inverted index agrees with the entries."""
    entries = m.to_dict()
    carriers = {}
    for key, tags in entries.items():
        assert tags, f"{key!r} stored with no tags"
        for tag in tags:
            carriers.setdefault(tag, set()).add(key)
    assert sorted(m.tags()) == sorted(carriers)
    for tag, keys in carriers.items():
        assert m.find([tag]) == keys
        assert m.count([tag]) == len(keys)
    assert list(m) == m.keys() == list(entries)
    assert m.values() == list(entries.values())
    assert m.items() == list(entries.items())
    assert len(m) == len(entries)


@pytest.fixture
def store():
    return Corvane({"a": ["x", "y"], "b": ["y", "z"], "c": ["z"]})


@pytest.fixture(scope="session")
def local_ray():
    """One local Ray for every test of the sharded store, its workers' output kept in their logs."""
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sharded store is pure Python: its tests run in the optimised pass")
    ray = pytest.importorskip("ray")
    ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False, _node_ip_address="127.0.0.1")
    yield ray
    ray.shutdown()


@pytest.fixture(scope="session")
def sharded(local_ray):
    """Makes a ShardedCorvane of so many shards, one per count for the whole run, emptied each time;
    with `direct=False`, a handle whose calls all go by Ray, to a store of its own."""
    from corvane_ray import ShardedCorvane

    stores = {}

    def make(shards, direct=True):
        if (shards, direct) not in stores:
            stores[shards, direct] = ShardedCorvane(shards=shards, timeout=60, direct=direct)
        stores[shards, direct].clear()
        return stores[shards, direct]

    yield make
    for store in stores.values():
        store.close()


def stop(pid):
    """Stops a process and waits until it is stopped: the signal takes effect
    a moment later, and a direct line can answer within that moment."""
    os.kill(pid, signal.SIGSTOP)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/stat") as f:
            if f.read().rsplit(")", 1)[1].split()[0] in "Tt":
                return
        time.sleep(0.001)
    raise AssertionError(f"process {pid} did not stop")


def without_ray(environment):
    return {k: v for k, v in environment.items() if not k.startswith("RAY_")}


def run_python(code, *, env, timeout=180):
    """Runs `code` in a fresh interpreter with the given environment."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=timeout)


@pytest.fixture(scope="session")
def cluster_env(local_ray):
    """The environment of a process that joins the tests' Ray as another driver would."""
    address = local_ray.get_runtime_context().gcs_address
    return {**without_ray(os.environ), "RAY_ADDRESS": address}
