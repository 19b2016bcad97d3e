"""Ray itself: imported only here and only when a store is made, started
locally only with its token authentication on, and shut down by the last
store that needed the local instance."""

from __future__ import annotations

import os
import threading
from collections.abc import Mapping
from types import ModuleType
from typing import Any

_lock = threading.Lock()
_users = 0  # open stores using the Ray this package started


def ray_module() -> ModuleType:
    try:
        import ray
    except ImportError:
        raise ImportError("corvane_ray needs Ray: pip install 'corvane[ray]'") from None
    return ray


def local_options(options: Mapping[str, Any]) -> dict[str, Any]:
    """What a local Ray is started with: no dashboard, the node's address on
    loopback; the caller's options on top."""
    return {"include_dashboard": False, "_node_ip_address": "127.0.0.1", **options}


def join(init_options: Mapping[str, Any]) -> bool:
    """Uses the Ray this process is connected to, or connects to the cluster
    RAY_ADDRESS names, or starts a local one. True when this call started it."""
    global _users
    ray = ray_module()
    with _lock:
        if ray.is_initialized():
            if _users == 0:
                return False  # the caller's own
            _users += 1
            return True
        if not os.environ.get("RAY_ADDRESS"):
            if os.environ.get("RAY_AUTH_MODE", "").strip().lower() == "disabled":
                raise RuntimeError(
                    "corvane_ray starts a local Ray only with its token authentication on, "
                    "and RAY_AUTH_MODE=disabled turns it off: unset it, or start Ray yourself "
                    "and connect with ray.init() before making the store")
            ray.init(**local_options(init_options))
        else:
            ray.init(**init_options)
        _users = 1
        return True


def leave() -> None:
    """Called once by each store that `join` said started Ray."""
    global _users
    ray = ray_module()
    with _lock:
        _users -= 1
        if _users == 0:
            ray.shutdown()
