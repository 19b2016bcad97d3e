"""Every error corvane_ray raises of its own. Each is a CorvaneRayError and
keeps the builtin base it always had, so that `except LookupError` and the
like still catch what they caught."""

from __future__ import annotations

from typing import Any


class CorvaneRayError(Exception):
    """The base of the errors corvane_ray raises of its own (a store's own
    errors, KeyError and the like, come back as the store raises them)."""


class ShardUnavailableError(CorvaneRayError, RuntimeError):
    """A shard that did not answer in time, or is gone for good."""

    def __init__(self, index: int, shards: int, reason: str) -> None:
        super().__init__(f"shard {index} of {shards} {reason}")
        self.index = index
        self.shards = shards
        self.reason = reason

    def __reduce__(self) -> tuple[Any, tuple[int, int, str]]:
        return type(self), (self.index, self.shards, self.reason)


class StoreNotFoundError(CorvaneRayError, LookupError):
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


class ClosedError(CorvaneRayError, RuntimeError):
    """A call on a handle after its close()."""

    def __init__(self) -> None:
        super().__init__("this ShardedCorvane is closed")

    def __reduce__(self) -> tuple[Any, tuple[()]]:
        return type(self), ()


class CorruptFileError(CorvaneRayError, ValueError):
    """A store file that does not read as one this package wrote."""

    def __init__(self, path: str, problem: str) -> None:
        super().__init__(f"{path}: {problem}")
        self.path = path
        self.problem = problem

    def __reduce__(self) -> tuple[Any, tuple[str, str]]:  # it crosses processes
        return type(self), (self.path, self.problem)


class FolderInUseError(CorvaneRayError, ValueError):
    """A folder that a live store's shard holds, or that another export is writing into."""
