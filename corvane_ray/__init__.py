"""corvane_ray: a corvane store split over the actors of a Ray cluster.

    from corvane_ray import ShardedCorvane

    with ShardedCorvane({"a.jpg": ["cat", "sky"]}, shards=4) as store:
        store.find(["cat"])

Ray is imported when the first store is made, not by this import.
"""

from ._shard import shard_of
from ._store import DEFAULT_TIMEOUT, ShardedCorvane, ShardUnavailableError

__all__ = ["DEFAULT_TIMEOUT", "ShardUnavailableError", "ShardedCorvane", "shard_of"]
