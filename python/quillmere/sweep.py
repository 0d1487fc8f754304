"""Parameter studies on a Dask cluster: one project, the product of some varied
values, one simulation per variant, one row per variant.

``sweep(project, vary={"pv_east.efficiency": [0.18, 0.2], "site.latitude": [30, 48]})``
runs the four variants as Dask tasks, by default on a local cluster of worker
processes on this machine; ``client=`` (a ``distributed.Client`` or a
scheduler address such as ``"tcp://host:8786"``) runs them on an existing
cluster, whose workers must see the project's files at the same paths.

A key addresses one value of the project: ``INSTANCE.KEY`` a module's value
(``pv_east.efficiency``, ``house.method``), ``TABLE.KEY`` a value of a
top-level table (``site.latitude``, ``convergence.threshold``), a plain name a
top-level value (``time_step``, ``period``). Instance names are looked up
first.

Every variant is checked here, as its run checks it before the step loop,
before any is submitted: a variant that cannot run is never sent to a worker.

Shading modules that compute the same thing in several variants (the shading
module's own keys say what that is: shade_exact.shading_keys) share one
table: a task of its own runs the group's first variant up to its step loop,
which computes and writes the shared files, and the whole group follows once
they exist (the lines of that preparation are reported with the first
variant). Variants whose shading differs (another model, surface list, method,
or for exact shading another site or period) get tables of their own beside
the project's, named after their fingerprint, so concurrent variants never
write the same file.

The workers are long-lived processes: a model a worker has read stays parsed
for its next variants (the geometry library's cache, keyed by the file's
identity and checked against its content when recently changed), and a
shading module's prepared state (table, interpolators, sun track, per-step
factors) is taken by its later variants of the same shading inputs
(``share_shading``; quillmere.components.shade_exact.share_prepared). The local
cluster's workers are forked from a server process that has already imported
what a variant needs, so they start in a fraction of a fresh interpreter's
time.
"""
from __future__ import annotations

import contextlib
import copy
import io
import itertools
import os
import sys
import time
from typing import Any, Callable, Iterable, Mapping, Sequence

__all__ = ["sweep", "parse_vary", "variant_projects", "set_value", "shade_table", "SweepError"]

class SweepError(ValueError):
    """A sweep that cannot start: a key that addresses nothing, no values."""


# ---------------------------------------------------------------------------
# Variants


def parse_vary(items: Iterable[str]) -> dict[str, list[Any]]:
    """``["pv_east.efficiency=0.18,0.2", ...]`` (the command line's ``--vary``)
    as ``{"pv_east.efficiency": [0.18, 0.2]}``. Each value is read as a TOML
    value (numbers, ``true``, quoted text, arrays ``[15, 15]``); anything else
    is taken as text, so ``house.method=exact,table`` works unquoted."""
    import tomllib

    out: dict[str, list[Any]] = {}
    for item in items:
        key, sep, text = item.partition("=")
        key = key.strip()
        if not sep or not key:
            raise SweepError("--vary 应为 KEY=V1,V2,...，实际为 %r" % item)
        values = []
        for part in _split_top_level(text):
            part = part.strip()
            if not part:
                raise SweepError("--vary %s: 空值（%r）" % (key, item))
            try:
                values.append(tomllib.loads("v = " + part)["v"])
            except tomllib.TOMLDecodeError:
                values.append(part)
        if key in out:
            raise SweepError("--vary %s 出现了两次" % key)
        out[key] = values
    return out


def _split_top_level(text: str) -> list[str]:
    """Splits at commas outside brackets and quotes."""
    parts, depth, quote, cur = [], 0, None, []
    for ch in text:
        if quote:
            quote = None if ch == quote else quote
        elif ch in "\"'":
            quote = ch
        elif ch in "[{":
            depth += 1
        elif ch in "]}":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append("".join(cur))
            cur = []
            continue
        cur.append(ch)
    parts.append("".join(cur))
    return parts


def _locate(project: Mapping[str, Any], key: str) -> tuple[dict, str, str]:
    """(table holding the value, key within it, where it is in words) for a
    sweep key; SweepError when the key addresses nothing."""
    head, dot, rest = key.partition(".")
    if not dot:
        if head in ("modules", "links", "site", "convergence", "output", "folder"):
            raise SweepError("扫描键 %s: 不能整体替换 %s，请指定其中的值（如 site.latitude）" % (key, head))
        return project, head, key
    if not rest or "." in rest:
        raise SweepError("扫描键 %s: 应为 实例名.键、表名.键 或顶层键" % key)
    for i, m in enumerate(project.get("modules") or []):
        if isinstance(m, dict) and m.get("name") == head:
            if "params" in m and rest not in m:
                raise SweepError("扫描键 %s: 模块 %s 的值写成 params 数组；请在项目中按名称写出 %s" % (key, head, rest))
            return m, rest, "modules[%d](%s).%s" % (i, head, rest)
    table = project.get(head)
    if isinstance(table, dict) and head in ("site", "convergence", "output"):
        return table, rest, key
    if head in ("site", "convergence", "output"):
        project_tables = project  # an absent optional table is created
        return project_tables.setdefault(head, {}), rest, key
    names = [m.get("name") for m in project.get("modules") or [] if isinstance(m, dict)]
    raise SweepError("扫描键 %s: 没有名为 \"%s\" 的模块或表（模块: %s；表: site, convergence, output）"
                     % (key, head, ", ".join(map(str, names))))


def set_value(project: dict, key: str, value: Any) -> None:
    """Sets the value a sweep key addresses, in place."""
    table, name, _ = _locate(project, key)
    table[name] = value


def variant_projects(project: Mapping[str, Any], vary: Mapping[str, Sequence[Any]]
                     ) -> list[tuple[tuple[Any, ...], dict]]:
    """Every combination of the varied values (the first key varies slowest),
    as (values, project dict) pairs. The variants write no results file."""
    if not vary:
        raise SweepError("没有要扫描的值：请给出至少一个 --vary KEY=V1,V2")
    keys = list(vary)
    lists = []
    for k in keys:
        vals = vary[k]
        if isinstance(vals, (str, bytes)) or not isinstance(vals, Iterable):
            raise SweepError("扫描键 %s: 值应为列表，实际为 %r" % (k, vals))
        vals = list(vals)
        if not vals:
            raise SweepError("扫描键 %s: 没有值" % k)
        lists.append(vals)
    probe = copy.deepcopy(dict(project))
    for k in keys:
        _locate(probe, k)  # every key must address something before anything runs
    out = []
    for combo in itertools.product(*lists):
        p = copy.deepcopy(dict(project))
        for k, v in zip(keys, combo):
            set_value(p, k, v)
        out_table = p.get("output")
        if isinstance(out_table, dict):
            out_table.pop("csv", None)
        out.append((combo, p))
    return out


# ---------------------------------------------------------------------------
# Checks before anything is submitted, and shared shading tables


def _checked(project: dict) -> tuple[dict, dict]:
    """The project checked in this process as its run checks it before the
    step loop (values, files, models and surfaces, period, modules, links);
    returns the checked record and the modules' state. Raises what the run
    would raise. Lines the checks print are the variant's run's to print."""
    from quillmere.core.manager import Manager

    with contextlib.redirect_stdout(io.StringIO()):
        m = Manager(project)
        m.quiet = True
        m.prepare("links")
    return m.project, m.state


def _error_text(exc: BaseException) -> str:
    text = "%s: %s" % (type(exc).__name__, exc)
    for note in getattr(exc, "__notes__", ()):
        text += " (" + str(note) + ")"
    return text


def _check_variants(keys: Sequence[str], variants: list[tuple[tuple, dict]], stop: bool
                    ) -> list[tuple[dict, dict] | str]:
    """Every variant checked before any is submitted: per variant its
    (record, state), or its error text. With ``stop`` the first bad variant
    ends the sweep (SweepError naming the variant, its values and the key)."""
    out: list[tuple[dict, dict] | str] = []
    for i, (values, p) in enumerate(variants):
        try:
            out.append(_checked(p))
        except Exception as exc:  # noqa: BLE001 - a variant that cannot run is reported, never submitted
            if stop:
                raise SweepError("变体 %d（%s）无法运行，未提交任何变体: %s"
                                 % (i + 1, _describe(keys, values), _error_text(exc))) from None
            out.append(_error_text(exc))
    return out


def _assign_tables(base: Mapping[str, Any], variants: list[tuple[tuple, dict]],
                   checked: list[tuple[dict, dict] | str]) -> list[tuple[str, ...]]:
    """Gives every distinct shading computation its own files and returns
    each variant's group (the fingerprints of its shading modules). The
    computation of the unchanged project keeps the project's files; the
    others lie beside them, named after their fingerprint. What a module
    computes and where its files are written come from the shading module's
    own keys (shade_exact.shading_keys)."""
    from quillmere.components.shade_exact import shading_keys

    try:
        base_keys = shading_keys(*_checked(dict(base)))
    except Exception:  # noqa: BLE001 - a base that cannot run shares its files with no variant
        base_keys = {}
    groups = []
    for (_, p), check in zip(variants, checked):
        if isinstance(check, str):
            groups.append(())
            continue
        group = []
        entries = {m.get("name"): m for m in p.get("modules") or [] if isinstance(m, dict)}
        for name, k in shading_keys(*check).items():
            if not k["files"]:
                continue
            group.append(k["fingerprint"])
            own = k["fingerprint"] == base_keys.get(name, {}).get("fingerprint")
            for f in k["files"]:
                # Absolute (a worker may not share this process's folder or environment variables).
                target: Any = entries[name]
                *head, last = f["address"]
                for step in head:
                    target = target[step]
                target[last] = f["path"] if own else f["variant"]
        groups.append(tuple(group))
    return groups


# ---------------------------------------------------------------------------
# Worker side


def _prepare_shading(index: int, project: dict, share_shading: bool = True) -> dict:
    """Runs variant ``index`` up to its step loop: every module is built and
    awake, so the shading files its group shares are computed and written.
    Never raises: a failure here is the variant's own to report when it runs."""
    from quillmere.components.shade_exact import share_prepared
    from quillmere.core.manager import Manager

    share_prepared(share_shading)

    captured = io.StringIO()
    try:
        with contextlib.redirect_stdout(captured):
            m = Manager(project)
            m.prepare("awake")
    except BaseException:  # noqa: BLE001 - reported by the variant's own run
        pass
    return {"index": index, "messages": captured.getvalue()}


# A bus's year figures in a sweep's rows (BUS.figure), with their units.
_BALANCE_FIGURES = {"self_consumption": "-", "self_sufficiency": "-", "import_kwh": "kWh", "export_kwh": "kWh",
                    "curtailed_kwh": "kWh", "battery_cycles": "-", "cost": "currency", "revenue": "currency"}


def _run_variant(index: int, project: dict, *after: Any, share_shading: bool = True) -> dict:
    """Runs one variant in a worker; never raises, so that a failing variant
    is a result like the others. ``after`` holds the preparation of the
    shading this one shares; the variant it was made for reports its lines.
    ``share_shading``: a shading module whose inputs an earlier variant on
    this worker prepared takes that state (shade_exact.share_prepared)."""
    from quillmere.components.shade_exact import prepared_counts, share_prepared
    from quillmere.core.manager import Manager

    started = time.perf_counter()
    share_prepared(share_shading)
    reused = prepared_counts()["reused"]
    captured = io.StringIO()
    for prep in after:
        if isinstance(prep, dict) and prep.get("index") == index:
            captured.write(prep.get("messages") or "")
    try:
        with contextlib.redirect_stdout(captured):
            m = Manager(project)
            m.quiet = False  # every line is kept: the variant's messages come back with its result
            m.progress = False
            m.run_simulation()
        summary = {name: {k: d.get(k) for k in ("type", "energy_kwh", "peak_kw", "full_load_hours")}
                   for name, d in (m.summary or {}).items()}
        balances = {name: {k: b["year"].get(k) for k in _BALANCE_FIGURES}
                    for name, b in (m.results.attrs.get("energy_balance") or {}).items()}
        return {"index": index, "summary": summary, "balances": balances, "error": None,
                "messages": captured.getvalue(), "shading_reused": prepared_counts()["reused"] - reused,
                "seconds": time.perf_counter() - started, "worker": os.getpid()}
    except BaseException as exc:  # noqa: BLE001 - the variant's error is its result
        return {"index": index, "summary": None, "error": _error_text(exc), "messages": captured.getvalue(),
                "seconds": time.perf_counter() - started, "worker": os.getpid()}


# ---------------------------------------------------------------------------
# Clusters (quillmere.cluster; the names stay reachable here for the CLI and city maps)

from quillmere.cluster import (  # noqa: E402,F401
    WORKER_PRELOAD,
    _client_for,
    _probe_scheduler,
    _start_worker_server,
    _worker_start,
    stop_worker_processes,
    threading_main,
)


def _progress_printer(total: int, stream: Any) -> Callable[[int, int], None]:
    tty = hasattr(stream, "isatty") and stream.isatty()

    def show(done: int, failed: int) -> None:
        text = "扫描 %d/%d 个变体" % (done, total) + ("，%d 个失败" % failed if failed else "")
        if tty:
            stream.write("\r" + text + ("\n" if done == total else ""))
        else:
            stream.write(text + "\n")
        stream.flush()

    return show


# ---------------------------------------------------------------------------
# The sweep


def _load(project: Any) -> dict:
    from quillmere.core.manager import load_project

    if isinstance(project, Mapping):
        p = copy.deepcopy(dict(project))
        p.setdefault("folder", os.getcwd())
        return p
    return load_project(project)


def _unguarded_main_call() -> str | None:
    """Where a script calls a sweep at its top level without
    ``if __name__ == "__main__":`` ("script.py, line 12"), or None. A worker
    process of the local cluster imports that script again and would start a
    sweep of its own."""
    import ast
    import inspect

    main = sys.modules.get("__main__")
    spec = getattr(main, "__spec__", None)
    name = getattr(spec, "name", None)
    if name is not None:
        if name == "__main__" or name.endswith(".__main__"):
            return None  # python -m package: workers do not import it again
        path = getattr(main, "__file__", None)
    else:
        path = getattr(main, "__file__", None)
    if main is None or not path or not os.path.isfile(path):
        return None  # interactive or -c: nothing to import again
    frame = inspect.currentframe()
    while frame is not None and not (frame.f_globals is main.__dict__ and frame.f_code.co_name == "<module>"):
        frame = frame.f_back
    if frame is None:
        return None
    line = frame.f_lineno
    try:
        with open(path, "rb") as f:
            tree = ast.parse(f.read(), path)
    except (OSError, SyntaxError, ValueError):
        return None

    def guarded(nodes: Iterable[ast.stmt], inside: bool) -> bool | None:
        for node in nodes:
            start, end = node.lineno, getattr(node, "end_lineno", node.lineno) or node.lineno
            if not start <= line <= end:
                continue
            if isinstance(node, ast.If) and "__name__" in ast.unparse(node.test):
                inside = True
            for field in ("body", "orelse", "finalbody", "handlers"):
                found = guarded(getattr(node, field, []) or [], inside)
                if found is not None:
                    return found
            return inside
        return None

    return None if guarded(tree.body, False) else "%s, 第 %d 行" % (path, line)


def _describe(keys: Sequence[str], values: Sequence[Any]) -> str:
    return ", ".join("%s=%r" % (k, v) for k, v in zip(keys, values))


def sweep(project: Any, vary: Mapping[str, Sequence[Any]], client: Any = None, *,
          workers: int | None = None, progress: bool | None = None,
          timeout: float | None = None, share_shading: bool = True,
          invalid: str = "report") -> "pandas.DataFrame":
    """Runs every combination of the ``vary`` values of ``project`` (a project
    file path or a project dict) as Dask tasks; returns one row per variant:
    the varied values, then ``GEN.energy_kwh``, ``GEN.peak_kw`` and
    ``GEN.full_load_hours`` of every generator, the year figures of every bus
    (``BUS.self_consumption``, ``BUS.self_sufficiency``, ``BUS.import_kwh``,
    ``BUS.export_kwh``, ``BUS.curtailed_kwh``, ``BUS.battery_cycles``,
    ``BUS.cost``, ``BUS.revenue``), then ``error`` (None, or the
    failing variant's exception text; the others still complete).

    ``client``: None for a local cluster of ``workers`` processes (default: one
    per core, at most one per variant), a ``distributed.Client``, or a
    scheduler address. ``progress``: a line per finished variant on standard
    error (default: when it is a terminal). Failing variants are also printed
    on standard output with their values. ``timeout`` [s] bounds the wait for
    all variants: the unfinished ones are rows whose error is a
    ``TimeoutError``; a variant whose worker dies on every retry is a row
    with its ``KilledWorker`` error. Call it under ``if __name__ ==
    "__main__":`` in a script (the local cluster's workers import the script).
    ``share_shading``: a worker prepares each distinct shading once (table,
    interpolators, sun track, per-step factors) and gives it to its later
    variants of the same shading inputs; off, every variant prepares its own
    (the results are the same).

    Every variant is checked in this process as its run checks it before the
    step loop (keys, values, files, models and surfaces, period, modules and
    links) before any is submitted. ``invalid``: ``"report"`` gives a variant
    that fails these checks its row with the error, printed at once, and
    never submits it; ``"stop"`` raises SweepError naming the first such
    variant, its values and the key, and submits nothing.
    """
    if invalid not in ("report", "stop"):
        raise SweepError("invalid 应为 \"report\" 或 \"stop\"，实际为 %r" % (invalid,))
    if client is None:
        where = _unguarded_main_call()
        if where:
            raise SweepError("sweep() 在脚本顶层调用（%s）：本机集群的工作进程会再次导入该脚本；"
                             "请把调用放在 if __name__ == \"__main__\": 之下" % where)
        if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
            raise SweepError("workers 应为正整数（本机集群的工作进程数；None 为每个核一个），实际为 %r" % (workers,))
        _start_worker_server()  # the workers' imports overlap with this process's
    import pandas as pd
    from distributed import as_completed

    base = _load(project)
    keys = list(vary)
    variants = variant_projects(base, vary)
    checked = _check_variants(keys, variants, stop=invalid == "stop")
    groups = _assign_tables(base, variants, checked)
    stream = sys.stderr
    if progress is None:
        progress = hasattr(stream, "isatty") and stream.isatty()
    show = _progress_printer(len(variants), stream) if progress else None

    results: list[dict | None] = [None] * len(variants)
    with _client_for(client, workers, len(variants)) as c:
        # A shading group of several variants is prepared first, in a task
        # of its own that runs the first variant up to its step loop (the
        # tables, exact factors and sky views are computed and written); the
        # whole group follows it. A group of one variant just runs.
        members: dict[tuple, int] = {}
        for g, check in zip(groups, checked):
            if g and not isinstance(check, str):
                members[g] = members.get(g, 0) + 1
        done = failed = 0

        def settle(r: dict) -> None:
            nonlocal done, failed
            results[r["index"]] = r
            done += 1
            if r["error"] is not None:
                failed += 1
                print("错误：变体 %d（%s）失败: %s" % (r["index"] + 1, _describe(keys, variants[r["index"]][0]),
                                                   r["error"]))
            if show:
                show(done, failed)

        # Variants that failed the checks are rows at once and never submitted.
        for i, check in enumerate(checked):
            if isinstance(check, str):
                settle({"index": i, "summary": None, "error": check, "messages": "", "seconds": None,
                        "worker": None})
        prepared: dict[tuple, Any] = {}
        tag = os.urandom(4).hex()
        futures = []
        index_of = {}
        for i, ((_, p), g) in enumerate(zip(variants, groups)):
            if isinstance(checked[i], str):
                continue
            if g and members[g] > 1 and g not in prepared:
                prepared[g] = c.submit(_prepare_shading, i, p, share_shading,
                                       key="quillmere-shading-%d-%s" % (i, tag), pure=False)
            deps = [prepared[g]] if g in prepared else []
            futures.append(c.submit(_run_variant, i, p, *deps, share_shading=share_shading,
                                    key="quillmere-variant-%d-%s" % (i, tag), pure=False))
            index_of[futures[-1].key] = i
        try:
            for f in as_completed(futures, timeout=timeout):
                try:
                    r = f.result()
                except Exception as exc:  # noqa: BLE001 - a lost worker (crash, out of memory) fails its variant only
                    r = {"index": index_of[f.key], "summary": None, "error": "%s: %s" % (type(exc).__name__, exc),
                         "messages": "", "seconds": None, "worker": None}
                settle(r)
        except TimeoutError:
            # The finished variants keep their rows; the others fail with the timeout.
            for f in futures:
                i = index_of[f.key]
                if results[i] is None:
                    f.cancel()
                    settle({"index": i, "summary": None, "seconds": None, "worker": None, "messages": "",
                            "error": "TimeoutError: 扫描在 timeout=%g 秒内未完成此变体" % timeout})

    generators: list[str] = []
    for r in results:
        for name in (r or {}).get("summary") or {}:
            if name not in generators:
                generators.append(name)
    buses: list[str] = []
    for r in results:
        for name in (r or {}).get("balances") or {}:
            if name not in buses:
                buses.append(name)
    rows = []
    for (values, _), r in zip(variants, results):
        row: dict[str, Any] = dict(zip(keys, values))
        summary = (r or {}).get("summary") or {}
        for g in generators:
            d = summary.get(g) or {}
            row[g + ".energy_kwh"] = d.get("energy_kwh", float("nan"))
            row[g + ".peak_kw"] = d.get("peak_kw", float("nan"))
            flh = d.get("full_load_hours")
            row[g + ".full_load_hours"] = float("nan") if flh is None else flh
        for b in buses:
            d = ((r or {}).get("balances") or {}).get(b) or {}
            for k in _BALANCE_FIGURES:
                row[b + "." + k] = d.get(k, float("nan"))
        row["error"] = (r or {}).get("error")
        rows.append(row)
    columns = (keys + [g + s for g in generators for s in (".energy_kwh", ".peak_kw", ".full_load_hours")]
               + [b + "." + k for b in buses for k in _BALANCE_FIGURES] + ["error"])
    df = pd.DataFrame(rows, columns=columns)
    df.index.name = "variant"
    units = {g + ".energy_kwh": "kWh" for g in generators}
    units.update({g + ".peak_kw": "kW" for g in generators})
    units.update({g + ".full_load_hours": "h" for g in generators})
    units.update({b + "." + k: u for b in buses for k, u in _BALANCE_FIGURES.items()})
    df.attrs["units"] = units
    # Per variant: its run time [s], the worker process and the modules' own printed lines.
    df.attrs["seconds"] = [None if r is None else r["seconds"] for r in results]  # None: never finished
    df.attrs["workers"] = [None if r is None else r["worker"] for r in results]
    df.attrs["messages"] = [None if r is None else r["messages"] for r in results]
    # Per variant: how many of its shading modules took a state its worker had prepared for an earlier one.
    df.attrs["shading_reused"] = [None if r is None else r.get("shading_reused", 0) for r in results]
    return df


# ---------------------------------------------------------------------------
# A shading table computed over a cluster


def _cast_positions(model: str, surfaces: list[str], positions: list[tuple[float, float]]) -> list[list[Any]]:
    """[(altitude, azimuth), ...] -> per position the (surface, factor) pairs
    that calculate_shadow gives, in its order."""
    from quillmere.shadow_calc.occlusion_scan import calculate_shadow

    out = []
    for altitude, azimuth in positions:
        results = calculate_shadow(model, surfaces, altitude, azimuth)[0]
        out.append(list(results.items()))
    return out


def shade_table(model: str, surfaces: Sequence[str], output: str, client: Any = None, *,
                workers: int | None = None, chunks: int | None = None, timeout: float | None = None) -> str:
    """Computes the cosine factor table of ``surfaces`` of ``model`` with the
    sun positions split over the workers of a Dask cluster (``client`` as for
    ``sweep``) and writes it to ``output`` in the shading module's format: the
    same text, to the last digit, as the module writes on one machine.
    Returns the table's path."""
    from quillmere.components.shade_exact import cos_table_positions, write_cos_table

    model = os.path.abspath(model)
    output = os.path.abspath(output)
    positions = cos_table_positions()
    surfaces = list(surfaces)
    with _client_for(client, workers, len(positions)) as c:
        n_workers = max(1, len(c.scheduler_info().get("workers", {})) or 1)
        n_chunks = max(1, min(len(positions), chunks or 4 * n_workers))
        parts = [positions[i::n_chunks] for i in range(n_chunks)]
        futures = [c.submit(_cast_positions, model, surfaces, part, pure=False) for part in parts]
        answers: dict[tuple[float, float], list] = {}
        for part, f in zip(parts, futures):
            for pos, pairs in zip(part, f.result(timeout=timeout)):
                answers[pos] = pairs
    # Written in the table format and with the fingerprint the shading module
    # writes for its own tables (native code owns both).
    write_cos_table(model, surfaces, output, [[v for _, v in answers[pos]] for pos in positions])
    return output
