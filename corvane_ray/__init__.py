"""corvane_ray: a corvane store split over the actors of a Ray cluster,
durable in its shards and shared by every process of the cluster.

    from corvane_ray import ShardedCorvane

    with ShardedCorvane({"a.jpg": ["cat", "sky"]}, shards=2) as store:
        store.find(["cat"])

    ShardedCorvane(shards=4, name="photos", path="/shared/photos")   # outlives this process
    ShardedCorvane.open("photos")                                     # from any process
    ShardedCorvane.from_partitions("/shared/export")                  # JSON lines or Parquet
    ShardedCorvane.from_dataset(ray.data.read_parquet(...))           # a Ray dataset
    await AsyncShardedCorvane.open("photos")                          # for asyncio code

Ray is imported when the first store is made or opened, not by this import.
"""

from ._asyncio import AsyncShardedCorvane
from ._routing import shard_of
from ._store import DEFAULT_TIMEOUT, ShardedCorvane
from .errors import (
                     ClosedError,
                     CorruptFileError,
                     CorvaneRayError,
                     FolderInUseError,
                     ShardUnavailableError,
                     StoreNotFoundError,
                     StoreReplacedError,
)

__all__ = ["DEFAULT_TIMEOUT", "AsyncShardedCorvane", "ClosedError", "CorruptFileError", "CorvaneRayError",
           "FolderInUseError", "ShardUnavailableError", "ShardedCorvane", "StoreNotFoundError", "StoreReplacedError",
           "shard_of"]
