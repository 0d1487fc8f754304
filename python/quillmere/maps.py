"""Solar maps: annual and monthly irradiation on every analysed triangle of a project's model.

The casting and the light model are native (``src/kernels/maps/irradiation.hpp``, bound in
``src/bindings/maps/irradiation_map.cpp``); this module reads what a project declares (weather,
site, period, the shading module's model, surfaces and resolution, the ``[map]`` table) and
turns the native arrays into a table.
"""
from __future__ import annotations

import hashlib
import os
from collections.abc import Callable, Iterable
from typing import Any

import numpy as np

from quillmere import _native

__all__ = ["irradiation_map", "map_inputs", "MONTHS", "DEFAULT_THRESHOLD"]

MONTHS = tuple("m%02d" % m for m in range(1, 13))
DEFAULT_THRESHOLD = 800.0  # [kWh/m2 a] area above it counts as suitable for panels


def _find(project: dict, pred: Callable[[dict], bool]) -> dict | None:
    for entry in project["modules"]:
        if pred(entry):
            return entry
    return None


def _is_a(entry: dict, base: type) -> bool:
    """Whether the entry's module class is the given module class or a subclass of it (a host subclass of
    the shading or weather module serves the map as the built-in one does)."""
    cls = entry.get("class")
    return isinstance(cls, type) and issubclass(cls, base)


def _project_error(project: dict, key: str, what: str) -> Exception:
    from quillmere.core.manager import ProjectError

    return ProjectError("%s: 键 %s: %s" % (project.get("where", "项目"), key, what))


def map_inputs(project: Any) -> dict[str, Any]:
    """What the map of a project is made of, read as a run reads it: the shading module and its model,
    surfaces and resolution, the site and its light choices, and the weather of every step of the period
    (the values the panels would see: the sources linked into their ``normal_rad``, ``diffuse_rad`` and
    ``ground_reflect``, else the first weather module's ``rad2`` and ``rad3``).

    Returns a dict with ``model``, ``lod`` (the shading module's CityJSON level of detail, "" for the
    highest), ``surfaces``, ``resolution``, ``shading`` (instance name), ``table``,
    ``site``, ``start_year``, ``times`` [s], ``hours`` [h], ``sun_offset`` [s], ``dni``, ``dhi`` [W/m2],
    ``albedo`` [-], ``perez``, ``global_ground``, ``sky_directions``, ``horizon_directions``,
    ``threshold`` [kWh/m2 a], ``project`` (the checked project) and ``manager``.
    Raises ``ProjectError`` naming the key when the project has no shading module or no weather."""
    from quillmere.components.shade_exact import ExactShadowModule
    from quillmere.components.weather_feed import WeatherFeed
    from quillmere.core.manager import Manager

    m = Manager(project)
    m.quiet = True
    m.prepare("modules")
    p = m.project
    cfg = p.get("map") or {}
    if "shading" in cfg:
        shading = _find(p, lambda e: e["name"] == cfg["shading"])
        if shading is None or not _is_a(shading, ExactShadowModule):
            raise _project_error(p, "map.shading", "\"%s\" 不是 SurfaceShadow 模块" % cfg["shading"])
    else:
        shading = _find(p, lambda e: _is_a(e, ExactShadowModule))
        if shading is None:
            raise _project_error(p, "modules", "日照图需要一个 SurfaceShadow 模块（模型与分析表面）")
    values = shading["values"]
    lod = (shading.get("settings") or {}).get("lod", "highest")
    surfaces = [s for s in values["surfaces"] if isinstance(s, str)]  # by key name, patterns expanded

    # The weather the panels of this shading module see, by their links.
    panels = [e["name"] for e in p["modules"] if e.get("ref") and e["ref"][0] == shading["name"]]
    sources: dict[str, tuple[str, str]] = {}
    for link in p["links"]:
        tv = link["target_variable"]
        if tv in ("normal_rad", "diffuse_rad", "ground_reflect") and tv not in sources:
            if not panels or link["target"] in panels:
                sources[tv] = (link["source"], link["source_variable"])
    weather = _find(p, lambda e: _is_a(e, WeatherFeed))
    for tv, var in (("normal_rad", "rad2"), ("diffuse_rad", "rad3")):
        if tv not in sources:
            if weather is None:
                raise _project_error(p, "modules", "日照图需要天气模块（WaetherFeed）或连到光伏模块 %s 的连接" % tv)
            sources[tv] = (weather["name"], var)
    albedo_const = cfg.get("albedo")
    if albedo_const is None:
        panel = _find(p, lambda e: e["name"] in panels)
        albedo_const = float(panel["values"].get("ground_reflect", 0.2)) if panel else 0.2
    if "albedo" in cfg:
        sources.pop("ground_reflect", None)

    # Step the source modules through the period as the run would.
    clock = m.clock
    state = m.state
    units = m.modules
    used = []
    for name, _ in sources.values():
        if name not in used:
            used.append(name)
    for name in used:
        units[name].awake(state)
    step = float(clock.time_step)
    # The clock's end_time is the period's length, not a time stamp: a period
    # that does not start on 1 January would otherwise have no steps.
    begin, span = float(clock.current_time), float(clock.end_time)
    n = int(np.ceil(span / step - 1e-9)) if span > 0 else 0
    times = np.empty(n)
    dni, dhi, albedo = np.empty(n), np.empty(n), np.full(n, float(albedo_const))
    t = begin
    for k in range(n):
        times[k] = t
        clock.current_time = t
        for name in used:
            units[name].update(clock, state)
        dni[k] = float(units[sources["normal_rad"][0]].outputs[sources["normal_rad"][1]]["value"])
        dhi[k] = float(units[sources["diffuse_rad"][0]].outputs[sources["diffuse_rad"][1]]["value"])
        if "ground_reflect" in sources:
            src, var = sources["ground_reflect"]
            albedo[k] = float(units[src].outputs[var]["value"])
        t += step
    clock.current_time = begin

    site = p["site"]
    resolution = cfg.get("resolution", values.get("resolution") or 0.0)
    return {
        "model": values["model"], "lod": "" if lod == "highest" else lod, "surfaces": surfaces,
        "resolution": float(resolution or 0.0),
        "shading": shading["name"], "table": values.get("table"), "site": dict(site),
        "start_year": int(clock.start_year), "times": times, "hours": step / 3600.0,
        "sun_offset": 1800.0 if site.get("sun_time", "middle") == "middle" else 0.0,
        "dni": dni, "dhi": dhi, "albedo": albedo,
        "perez": site.get("transposition_model", "perez") == "perez",
        "global_ground": site.get("ground_reflection", "global") == "global",
        "sky_directions": int(cfg.get("sky_directions", 8192)),
        "horizon_directions": int(cfg.get("horizon_directions", 2048)),
        "threshold": float(cfg.get("threshold", DEFAULT_THRESHOLD)),
        "project": p, "manager": m,
    }


def _triangle_array(triangles: Iterable[int] | range | None) -> np.ndarray | None:
    if triangles is None:
        return None
    if isinstance(triangles, range):
        return np.arange(triangles.start, triangles.stop, triangles.step, dtype=np.int64)
    arr = np.asarray(list(triangles) if not isinstance(triangles, np.ndarray) else triangles)
    if arr.size == 0:
        return np.empty(0, dtype=np.int64)
    if arr.ndim != 1 or not np.issubdtype(arr.dtype, np.integer):
        raise TypeError("triangles 应为整数序列、range 或 None")
    return np.ascontiguousarray(arr, dtype=np.int64)


def _cache_path(inputs: dict, rows: np.ndarray | None) -> str | None:
    table = inputs.get("table")
    if not isinstance(table, str) or not table:
        return None
    stem = table[:-4] if table.endswith(".csv") else table
    if rows is None:
        return stem + ".map.csv"
    return stem + ".map.%s.csv" % hashlib.sha256(rows.tobytes()).hexdigest()[:16]


def _building_of(name: str, model: str) -> str:
    # CityJSON surfaces are "<object id>/<semantic type>/<index>": the object is the building.
    if "/" in name:
        return name.split("/", 1)[0]
    return os.path.splitext(os.path.basename(model))[0]


def irradiation_map(project: Any, triangles: Iterable[int] | range | None = None, *, threads: int = 0,
                    progress: Callable[[int, int], Any] | None = None, cache: bool | str = True,
                    inputs: dict | None = None, return_vertices: bool = False):
    """Annual and monthly irradiation [kWh/m²] on the analysed triangles of a project.

    project: a project file path (TOML/JSON) or project dict, as ``Manager`` takes it. The model, the
    analysed surfaces and the resolution are those of its ``SurfaceShadow`` module (``[map] shading``
    names one when there are several); the weather, site (``sun_time``, ``transposition_model``,
    ``ground_reflection``), period and time step are the run's; ``[map]`` may set ``resolution``,
    ``sky_directions`` (default 8192), ``horizon_directions`` (2048), ``albedo`` and ``threshold``.

    triangles: which analysed triangles to map, by their number ``0 .. N-1`` (the analysed surfaces in
    the shading module's order, each surface's triangles in model order); a range, a sequence or an
    int64 array; None for all. Rows come in the given order, and every value depends only on its own
    triangle: maps of the parts of any split concatenate to the whole map, value for value.

    threads: 0 for every core. progress: called as ``progress(done, total)`` (per mille) on the calling
    thread while casting; Ctrl-C stops the cast. cache: True keeps the map beside the shading table
    (``<table>.map.csv``, or ``<table>.map.<digest>.csv`` for a subset) under a fingerprint of the model,
    surfaces, triangles, weather, site, period and options, and reuses it while they are unchanged; a
    path keeps it there; False computes without keeping. inputs: what ``map_inputs(project)`` returned
    (read once, map many subsets). return_vertices: also return the rows' triangles, a (n, 9) array of
    their vertices in the model's local frame: ``(table, vertices)``.

    Returns a ``pandas.DataFrame`` with one row per triangle: ``triangle`` (number), ``surface`` (name),
    ``building`` (a CityJSON surface's object id; else the model file's stem), ``area`` [model units²],
    ``normal_x``, ``normal_y``, ``normal_z`` (unit facet normal), ``annual`` [kWh/m²], ``m01`` ..
    ``m12`` [kWh/m²], ``sky_view``, ``ground_view``, ``horizon_view`` [-]. ``df.attrs`` holds
    ``origin`` (world coordinates of the model's local origin: a georeferenced CityJSON model's
    coordinates are relative to it), ``units``, ``threshold``, ``beam_rays``, ``view_rays``,
    ``samples``, ``analysed_triangles``, ``skipped_steps``, ``seconds``, ``cached`` and ``sun_direction``
    (the sun's mean unit direction weighted by its direct light)."""
    import pandas as pd

    if inputs is None:
        inputs = map_inputs(project)
    rows = _triangle_array(triangles)
    if cache is True:
        cache_path = _cache_path(inputs, rows)
        if cache_path:
            os.makedirs(os.path.dirname(cache_path) or ".", exist_ok=True)
    elif cache is False or cache is None:
        cache_path = None
    else:
        cache_path = os.fspath(cache)
    site = inputs["site"]
    out = _native._maps_irradiation(
        inputs["model"], list(inputs["surfaces"]), rows, inputs["resolution"],
        float(site["longitude"]), float(site["latitude"]), float(site["time_zone"]), inputs["start_year"],
        np.ascontiguousarray(inputs["times"], dtype=np.float64), inputs["sun_offset"],
        np.ascontiguousarray(inputs["dni"], dtype=np.float64), np.ascontiguousarray(inputs["dhi"], dtype=np.float64),
        np.ascontiguousarray(inputs["albedo"], dtype=np.float64), inputs["hours"], inputs["perez"],
        inputs["global_ground"], inputs["sky_directions"], inputs["horizon_directions"], int(threads),
        cache_path, progress, inputs.get("lod") or "")
    if out["note"]:
        print("警告：" + out["note"])
    names = out["surfaces"]
    surface = [names[i] for i in out["surface_index"]]
    normal = out["normal"]
    data = {
        "triangle": out["triangle"],
        "surface": surface,
        "building": [_building_of(s, inputs["model"]) for s in surface],
        "area": out["area"],
        "normal_x": normal[:, 0], "normal_y": normal[:, 1], "normal_z": normal[:, 2],
        "annual": out["annual"],
    }
    for k, col in enumerate(MONTHS):
        data[col] = out["monthly"][:, k]
    for v in ("sky_view", "ground_view", "horizon_view"):
        data[v] = out[v]
    df = pd.DataFrame(data)
    df.attrs.update({
        "origin": tuple(out["origin"]), "model": inputs["model"], "threshold": inputs["threshold"],
        "units": {"area": "model units²", "annual": "kWh/m²", "monthly": "kWh/m²", "views": "-"},
        "beam_rays": out["beam_rays"], "view_rays": out["view_rays"], "samples": out["samples"],
        "analysed_triangles": out["analysed_triangles"], "skipped_steps": out["skipped_steps"],
        "seconds": out["seconds"], "cached": out["cached"], "sun_direction": tuple(out["sun_direction"]),
    })
    return (df, out["vertices"]) if return_vertices else df
