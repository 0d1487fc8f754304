"""Dask clusters for the package's distributed commands (sweeps, the shading
table over a cluster, city maps): the client to submit to (a given one, one
connected to a scheduler address, or a local cluster of processes forked
from a server that has already imported what a task needs), and the check of
a scheduler address. Failures are ``quillmere.sweep.SweepError``.
"""
from __future__ import annotations

import contextlib
import os
import sys
from typing import Any

# What a variant imports, loaded once in the server process that forks the
# local cluster's workers, so that a worker starts with them in memory.
WORKER_PRELOAD = ("quillmere._worker_server", "distributed", "numpy", "pandas", "tomllib", "quillmere.sweep",
                  "quillmere.core.manager", "quillmere.components.weather_feed", "quillmere.components.shade_exact",
                  "quillmere.components.sunpanel_timed", "quillmere.components.gale_module", "quillmere.city",
                  "quillmere.shadow_calc.city_tiles")


def _start_worker_server() -> bool:
    """Starts, once per process, the server that forks the local cluster's
    workers; it imports ``WORKER_PRELOAD`` while this process goes on with
    its own imports and the project. False where the platform cannot fork."""
    import multiprocessing

    if "forkserver" not in multiprocessing.get_all_start_methods():
        return False
    multiprocessing.get_context("forkserver").set_forkserver_preload(list(WORKER_PRELOAD))
    from multiprocessing import forkserver

    ensure_running = getattr(forkserver, "ensure_running", None)
    if ensure_running is not None:
        # Ctrl-C in the terminal reaches every process of its group: the server
        # and the workers it forks ignore it (quillmere._worker_server, the
        # first module the server imports). This process keeps its handler
        # throughout: ignoring it here while the server starts lost a Ctrl-C
        # that came in that moment.
        with _stderr_to_devnull():
            ensure_running()
    return True


@contextlib.contextmanager
def _stderr_to_devnull():
    """The server, the workers it forks and the resource tracker get their
    own standard error, never the user's terminal: a worker interrupted while
    it starts (Ctrl-C, or the cluster closed under it) would print its
    traceback after the sweep has said it was interrupted, and the tracker its
    warnings after the process has ended. A variant's own messages are
    captured in its result; the workers' logs are silenced anyway."""
    try:
        saved = os.dup(2)
    except OSError:
        yield  # no standard error to replace
        return
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            sys.stderr.flush()
            os.dup2(null, 2)
        finally:
            os.close(null)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def stop_worker_processes(seconds: float = 5.0) -> None:
    """After an interruption: ends every process this one started for its
    local clusters (the workers' server and the workers it forked), so that
    none is left behind or prints after the interruption line. The resource
    tracker is left to end with this process (it frees what the workers
    held). Waits at most ``seconds``."""
    try:
        import psutil  # a dependency of distributed
    except ImportError:
        return
    from multiprocessing import resource_tracker

    tracker = getattr(getattr(resource_tracker, "_resource_tracker", None), "_pid", None)
    try:
        children = psutil.Process().children(recursive=True)
    except psutil.Error:
        return
    doomed = [c for c in children if c.pid != tracker]
    for child in doomed:
        with contextlib.suppress(psutil.Error):
            child.kill()
    psutil.wait_procs(doomed, timeout=seconds)


def threading_main() -> bool:
    """True in the main thread (the only one that may set signal handlers)."""
    import threading

    return threading.current_thread() is threading.main_thread()


@contextlib.contextmanager
def _worker_start():
    """While a local cluster starts: its worker processes are forked from the
    server of ``_start_worker_server`` (reused by later clusters), instead of
    each starting a fresh interpreter that imports Dask, pandas and the
    package again. Where the platform cannot fork, the configured start
    method stays."""
    import dask

    if not _start_worker_server():
        yield
        return
    with dask.config.set({"distributed.worker.multiprocessing-method": "forkserver"}):
        import distributed.utils as dask_utils

        # Dask sets its own preload list on first use, after importing every
        # package it knows of in this process (pandas among them: a second or
        # more for a client that needs none); ours replaces it (when the server
        # is not running yet; a running one keeps its own), so Dask is told
        # that the list is set.
        if hasattr(dask_utils, "_forkserver_preload_set"):
            dask_utils._forkserver_preload_set = True
        dask_utils.get_mp_context().set_forkserver_preload(list(WORKER_PRELOAD))
        yield


@contextlib.contextmanager
def _client_for(client: Any, workers: int | None, n_tasks: int):
    """The client to submit to: the given one, one connected to an address, or
    a local cluster of worker processes (closed at the end)."""
    from distributed import Client, LocalCluster

    if isinstance(client, Client):
        yield client
        return
    if isinstance(client, str):
        _probe_scheduler(client)
        c = Client(client, timeout="30s")
        try:
            yield c
        finally:
            c.close()
        return
    if client is not None:
        raise TypeError("client 应为 distributed.Client、调度器地址（str）或 None，实际为 %s" % type(client).__name__)
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        from quillmere.sweep import SweepError

        raise SweepError("workers 应为正整数（本机集群的工作进程数；None 为每个核一个），实际为 %r" % (workers,))
    n = workers or max(1, min(os.cpu_count() or 1, n_tasks))
    _quiet_lost_starts()
    with _worker_start():
        # The environment of now (a forked worker would see the server's, of its start): project paths
        # may name ${VARIABLES}. No dashboard; the scheduler's HTTP server on a free local port (not
        # 8787, which another cluster may hold).
        cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None,
                               scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}, silence_logs=50,
                               env=dict(os.environ))
    try:
        c = Client(cluster)
        try:
            yield c
        finally:
            c.close()
    finally:
        cluster.close()


class _LostStartsFilter:
    """Drops the event loop's "Task exception was never retrieved" reports of
    the cluster library's own tasks: a cluster start that failed has raised
    its own error already, and after a Ctrl-C each would print a traceback
    after the command's one line."""

    def filter(self, record) -> bool:
        if not str(record.msg).startswith("Task exception was never retrieved"):
            return True
        import traceback

        exc = record.exc_info[1] if record.exc_info else None
        text = "".join(traceback.format_exception(exc)) if exc is not None else str(record.getMessage())
        return "distributed" not in text


_lost_starts_filter = _LostStartsFilter()


def _quiet_lost_starts() -> None:
    """From the first local cluster on, the event loop's reports of the cluster
    library's worker starts that were cut short (a Ctrl-C while the cluster
    starts) are dropped: they come from the loop's thread, at any moment after
    the interruption (the tasks are collected late), after the one line."""
    import logging

    logging.getLogger("asyncio").addFilter(_lost_starts_filter)


def _probe_scheduler(address: str, seconds: float = 5.0) -> None:
    """A TCP scheduler address that nothing answers fails here, within
    ``seconds``, naming the address (the client itself would retry in silence
    for its whole connect timeout)."""
    import socket
    from urllib.parse import urlsplit

    if not address.startswith(("tcp://", "tls://")) and "://" in address:
        return  # other transports: the client's own checks
    parts = urlsplit(address if "://" in address else "tcp://" + address)
    try:
        host, port = parts.hostname, parts.port
    except ValueError:
        host, port = None, None
    from quillmere.sweep import SweepError

    if not host or port is None:
        raise SweepError("调度器地址 %r 无效：应为 tcp://主机:端口（如 tcp://127.0.0.1:8786）" % address)
    try:
        with socket.create_connection((host, port), timeout=seconds):
            pass
    except OSError as exc:
        reason = exc.strerror or type(exc).__name__
        raise SweepError("无法连接调度器 %s: %s" % (address, reason)) from None
