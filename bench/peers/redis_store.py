"""Redis as a tag service's user would keep it: `k:<key>` -> the key's tags and
`t:<tag>` -> the tag's keys, both sets edited in one MULTI/EXEC, asked with
SISMEMBER, SCARD, SINTERCARD, SMEMBERS and SINTER; a real redis-server on
loopback with its recommended durability (appendonly yes, appendfsync
everysec), started for the benchmark and stopped after it.

Needs `redis-server` (apt-get install redis-server) and redis-py with
hiredis (pip install "redis[hiredis]"); `available()` says what is missing.
"""

import contextlib
import shutil
import socket
import subprocess
import tempfile
import time

LOAD_BATCH = 2_000  # entries per pipelined MULTI/EXEC of a load


def available():
    """None when the peer can run, else why it cannot."""
    if shutil.which("redis-server") is None:
        return "redis-server is not installed (apt-get install redis-server)"
    try:
        import hiredis  # noqa: F401
        import redis  # noqa: F401
    except ImportError:
        return 'redis-py with hiredis is not installed (pip install "redis[hiredis]")'
    return None


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@contextlib.contextmanager
def redis_server(fsync="everysec"):
    """A redis-server of its own on loopback, with its append-only file in a
    temporary folder; yields its port."""
    folder = tempfile.mkdtemp(prefix="corvane-redis-")
    port = free_port()
    server = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--dir", folder,
                               "--appendonly", "yes", "--appendfsync", fsync, "--save", "", "--protected-mode", "yes"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        import redis

        client = redis.Redis(port=port)
        deadline = time.monotonic() + 10
        while True:
            try:
                client.ping()
                break
            except redis.ConnectionError:
                if time.monotonic() > deadline:
                    raise RuntimeError("redis-server did not start") from None
                time.sleep(0.05)
        client.close()
        yield port
    finally:
        server.terminate()
        server.wait(30)
        shutil.rmtree(folder, ignore_errors=True)


class RedisTags:
    """A key -> tags store kept in Redis both ways."""

    name = "Redis"

    def __init__(self, port):
        import redis

        self.redis = redis.Redis(port=port)

    def load(self, data):
        items = list(data.items())
        for start in range(0, len(items), LOAD_BATCH):
            pipe = self.redis.pipeline(transaction=True)
            for key, tags in items[start:start + LOAD_BATCH]:
                pipe.sadd(f"k:{key}", *tags)
                for tag in tags:
                    pipe.sadd(f"t:{tag}", key)
            pipe.execute()

    def has_tag(self, key, tag):
        return bool(self.redis.sismember(f"k:{key}", tag))

    def add_tag(self, key, tag):
        pipe = self.redis.pipeline(transaction=True)
        pipe.sadd(f"k:{key}", tag)
        pipe.sadd(f"t:{tag}", key)
        pipe.execute()

    def remove_tag(self, key, tag):
        pipe = self.redis.pipeline(transaction=True)
        pipe.srem(f"k:{key}", tag)
        pipe.srem(f"t:{tag}", key)
        pipe.execute()

    def count(self, tags):
        if len(tags) == 1:
            return self.redis.scard(f"t:{tags[0]}")
        return self.redis.execute_command("SINTERCARD", len(tags), *(f"t:{tag}" for tag in tags))

    def find(self, tags):
        if len(tags) == 1:
            return self.redis.smembers(f"t:{tags[0]}")
        return self.redis.sinter(*(f"t:{tag}" for tag in tags))

    def used_memory(self):
        return self.redis.info("memory")["used_memory"]

    def close(self):
        self.redis.close()


async def asyncio_throughput(port, keys, tag, callers=32, seconds=3.0):
    """Calls per second of `callers` coroutines of one redis.asyncio client, a
    count (SCARD) and a point edit (MULTI/EXEC) in turn, as corvane's are timed."""
    import redis.asyncio

    client = redis.asyncio.Redis(port=port)
    done = [0]
    stop = time.perf_counter() + seconds

    async def work(me):
        number = me
        while time.perf_counter() < stop:
            await client.scard(f"t:{tag}")
            key = keys[number % len(keys)]
            async with client.pipeline(transaction=True) as pipe:
                await pipe.sadd(f"k:{key}", "busy").sadd("t:busy", key).execute()
            number += callers
            done[0] += 2

    import asyncio

    started = time.perf_counter()
    await asyncio.gather(*(work(me) for me in range(callers)))
    rate = done[0] / (time.perf_counter() - started)
    await client.aclose()
    return rate
