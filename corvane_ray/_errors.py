"""The errors a handle raises, and how a shard sends back one of the store's own."""

from __future__ import annotations

from typing import Any


class Failure:
    """An exception raised by the store, sent back as a value so that the
    handle raises it as it is, not wrapped in Ray's task error."""

    __slots__ = ("error",)

    def __init__(self, error: BaseException) -> None:
        self.error = error


class ShardUnavailableError(RuntimeError):
    """A shard that did not answer in time, or is gone for good."""

    def __init__(self, index: int, shards: int, reason: str) -> None:
        super().__init__(f"shard {index} of {shards} {reason}")
        self.index = index
        self.shards = shards
        self.reason = reason

    def __reduce__(self) -> tuple[Any, tuple[int, int, str]]:
        return type(self), (self.index, self.shards, self.reason)


class StoreNotFoundError(LookupError):
    """No store of that name runs on the Ray cluster."""

    def __init__(self, name: str) -> None:
        super().__init__(f"no store named {name!r} runs on this Ray cluster (a store with files under a path, "
                         f"after the cluster stopped, comes back with ShardedCorvane(name={name!r}, path=...))")
        self.name = name

    def __reduce__(self) -> tuple[Any, tuple[str]]:
        return type(self), (self.name,)


class StoreReplacedError(StoreNotFoundError):
    """The store a handle was made for was destroyed, and another one runs
    under its name now."""

    def __init__(self, name: str) -> None:
        LookupError.__init__(self, f"the store named {name!r} that this handle was made for was destroyed, "
                             f"and another store runs under that name now: ShardedCorvane.open({name!r}) reaches it")
        self.name = name


class ClosedError(RuntimeError):
    """A call on a handle after its close()."""

    def __init__(self) -> None:
        super().__init__("this ShardedCorvane is closed")
