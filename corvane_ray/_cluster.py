"""Ray itself: imported only here and only when a store is made or opened.

A store uses the Ray its process is connected to, or the cluster that
RAY_ADDRESS names, or else a private local Ray that it starts (never one
someone else started on the machine), with token authentication on, its
token file private, and its session folder removed again by the last store
that used it.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import shutil
import tempfile
import threading
from collections.abc import Iterator, Mapping
from pathlib import Path
from types import ModuleType
from typing import Any

_lock = threading.Lock()
_users = 0  # leases held on a Ray this package started or connected to
_session_root: str | None = None  # the temporary folder of a local Ray this package started
GCS_PROBE = "/ray.rpc.NodeInfoGcsService/GetClusterId"  # a call every GCS answers, tokens permitting
PROBE_WAIT = 5.0  # seconds to wait for a GCS to answer the probe


def ray_module() -> ModuleType:
    try:
        import ray
    except ImportError:
        raise ImportError("corvane_ray needs Ray: pip install 'corvane[ray]'") from None
    return ray


class RayLease:
    """One handle's use of a Ray that corvane_ray connected to or started for
    this process: the last lease of the process to be released stops it
    (and removes the session folder of a Ray it started)."""

    def __init__(self) -> None:
        self.held = True

    def release(self) -> None:
        global _users
        if not self.held:
            return
        self.held = False
        ray = ray_module()
        with _lock:
            _users -= 1
            if _users == 0:
                ray.shutdown()
                remove_session_root()


@contextlib.contextmanager
def released_on_error(lease: RayLease | None) -> Iterator[RayLease | None]:
    """Gives up the lease if what runs within fails, so that a handle that was
    never made leaves no Ray behind."""
    try:
        yield lease
    except BaseException:
        if lease is not None:
            lease.release()
        raise


def join(init_options: Mapping[str, Any]) -> RayLease | None:
    """Uses the Ray this process is connected to, or connects to the cluster
    RAY_ADDRESS names, or starts a local one. A lease when this package
    started or connected it, None for the caller's own Ray."""
    global _users, _session_root
    ray = ray_module()
    with _lock:
        if ray.is_initialized():
            return _another_lease()
        options = dict(init_options)
        address = options.get("address") or os.environ.get("RAY_ADDRESS")
        if address:
            use_token_if_asked(address)
            ray.init(**options)
        else:
            if os.environ.get("RAY_AUTH_MODE", "").strip().lower() == "disabled":
                raise RuntimeError(
                    "corvane_ray starts a local Ray only with its token authentication on, "
                    "and RAY_AUTH_MODE=disabled turns it off: unset it, or start Ray yourself "
                    "and connect with ray.init() before making the store")
            make_token_private()
            if "_temp_dir" not in options:  # Ray opens its own folder to every user: this one's parent is private
                _session_root = tempfile.mkdtemp(prefix="corvane-ray-")
                options["_temp_dir"] = os.path.join(_session_root, "ray")
            try:
                ray.init(**local_options(options))
            except BaseException:
                remove_session_root()
                raise
        _users = 1
        return RayLease()


def attach() -> RayLease | None:
    """Connects to an existing cluster for a handle that opens a store: the Ray
    this process is connected to, or the cluster RAY_ADDRESS names."""
    global _users
    ray = ray_module()
    with _lock:
        if ray.is_initialized():
            return _another_lease()
        if not os.environ.get("RAY_ADDRESS"):
            raise RuntimeError("not connected to a Ray cluster: call ray.init(address=...) first, "
                               "or set RAY_ADDRESS to the cluster that runs the store")
        use_token_if_asked(os.environ["RAY_ADDRESS"])
        ray.init()
        _users = 1
        return RayLease()


def _another_lease() -> RayLease | None:
    """For a Ray already up: another lease of the one this package started, or
    None for the caller's own (called with the lock held)."""
    global _users
    if _users == 0:
        return None
    _users += 1
    return RayLease()


def local_options(options: Mapping[str, Any]) -> dict[str, Any]:
    """What a local Ray is started with: its own instance, no dashboard, worker
    output kept in its logs; the caller's options on top."""
    return {"address": "local", "include_dashboard": False, "log_to_driver": False, **options}


def remove_session_root() -> None:
    global _session_root
    if _session_root is not None:
        shutil.rmtree(_session_root, ignore_errors=True)
        _session_root = None


def token_file() -> Path:
    return Path(os.environ.get("RAY_AUTH_TOKEN_PATH") or Path.home() / ".ray" / "auth_token")


def make_token_private() -> None:
    """Ray writes its token readable by every local user; a local Ray started
    here finds one already made, readable by its owner only."""
    if os.environ.get("RAY_AUTH_TOKEN") or os.environ.get("RAY_AUTH_TOKEN_PATH"):
        return  # the user's own choice
    path = token_file()
    path.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
    try:
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        if path.stat().st_mode & 0o077:
            path.chmod(0o600)
        return
    with os.fdopen(descriptor, "w") as out:
        out.write(secrets.token_hex(32))


def use_token_if_asked(address: str) -> None:
    """Ray sends its token to a cluster it is pointed at only when RAY_AUTH_MODE
    says so. Without it, a token cluster turns the connection away after 20 s
    of retries; with it, the driver refuses the calls of a cluster without
    tokens (its workers cannot reach the objects this process put, as if
    their owner had died). So when the mode is unset and a token is at hand,
    the mode is set only for a cluster whose GCS refuses a caller without one."""
    if os.environ.get("RAY_AUTH_MODE") or address in ("auto", "local"):
        return  # the user's choice, or a cluster Ray finds by itself and sets up alike
    if "://" not in address and not refuses_callers_without_token(address):
        return
    try:
        from ray._private.authentication.authentication_token_setup import (
            maybe_enable_token_auth_if_token_available,
        )
    except ImportError:  # a Ray without token authentication
        return
    maybe_enable_token_auth_if_token_available(warn_if_disabled=False)


def refuses_callers_without_token(address: str) -> bool:
    """Whether the GCS at host:port answers a call without a token with
    UNAUTHENTICATED; False when it cannot be asked (ray.init reports that)."""
    try:
        import grpc  # type: ignore[import-untyped]
    except ImportError:
        return False
    channel = grpc.insecure_channel(address)
    try:
        channel.unary_unary(GCS_PROBE, request_serializer=bytes, response_deserializer=bytes)(b"", timeout=PROBE_WAIT)
    except grpc.RpcError as error:
        return bool(error.code() == grpc.StatusCode.UNAUTHENTICATED)
    finally:
        channel.close()
    return False
