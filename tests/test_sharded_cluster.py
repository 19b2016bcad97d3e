"""Stores on a cluster of several nodes, made and opened by drivers of their
own that only name the cluster (RAY_ADDRESS) and never call ray.init."""

import os
import subprocess
import sys
import textwrap

import pytest
from conftest import run_python, without_ray

pytestmark = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                reason="the sharded store is pure Python: its tests run in the optimised pass")
pytest.importorskip("corvane_ray")
pytest.importorskip("ray")

NODES = """
    import sys
    from ray.cluster_utils import Cluster
    cluster = Cluster(initialize_head=True, head_node_args={"num_cpus": 1, "include_dashboard": False})
    for _ in range(2):
        cluster.add_node(num_cpus=1)
    cluster.wait_for_nodes()
    print(cluster.address, flush=True)
    sys.stdin.read()  # until the tests close it
    cluster.shutdown()
"""


@pytest.fixture(scope="module")
def three_nodes():
    """The environment of a driver of a head and two worker nodes, started without tokens as `ray start` does."""
    environment = without_ray(os.environ)
    nodes = subprocess.Popen([sys.executable, "-c", textwrap.dedent(NODES)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True, env=environment)
    address = nodes.stdout.readline().strip()
    assert address, "the cluster did not start"
    yield {**environment, "RAY_ADDRESS": address}
    nodes.stdin.close()
    nodes.wait(120)


def driver(env, code):
    result = run_python(code, env=env, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.splitlines()


def test_every_way_of_making_a_store_works_from_a_driver_of_its_own(three_nodes, tmp_path):
    made = driver(three_nodes, f"""
        import os, ray
        import pyarrow as pa, pyarrow.parquet as pq
        from corvane import Corvane
        from corvane_ray import ShardedCorvane
        root = {str(tmp_path)!r}
        data = {{f"photo/{{i}}": [f"t{{i % 7}}", f"u{{i % 31}}"] for i in range(2_000)}}
        expected = Corvane(data).to_dict()
        os.makedirs(f"{{root}}/parts")
        pq.write_table(pa.table({{"key": list(data), "tags": list(data.values())}}), f"{{root}}/parts/a.parquet")

        def made(store):
            answer = store.to_dict() == expected and store.count(["t3", "u5"]) == Corvane(data).count(["t3", "u5"])
            store.destroy()
            return answer

        spread = {{"scheduling_strategy": "SPREAD"}}
        print(made(ShardedCorvane(data, shards=3, name="photos", path=f"{{root}}/named")))
        print(made(ShardedCorvane(data, shards=3, actor_options=spread)))
        print(made(ShardedCorvane.from_partitions(f"{{root}}/parts", shards=3, name="parts")))
        print(made(ShardedCorvane.from_dataset(ray.data.from_items(
            [{{"key": k, "tags": t}} for k, t in data.items()]), shards=3)))
        store = ShardedCorvane(shards=3, name="photos", path=f"{{root}}/kept")
        store.update(data)
        print(store.to_dict() == expected)  # left running for the next driver
    """)
    assert made == ["True"] * 5
    opened = driver(three_nodes, """
        from corvane_ray import ShardedCorvane
        store = ShardedCorvane.open("photos")
        print(len(store), sorted(store["photo/8"]))
        store.destroy()
    """)
    assert opened == ["2000 ['t1', 'u8']"]
