"""Direct-sun maps of a whole city on a Dask cluster: tiles, margins, work
units, nothing lost.

``city_map(tiles, output, weather=...)`` reads a city published as tiles (a
folder or a list of CityJSON, OBJ or glTF files), and writes for every
triangle of every tile its hours of direct sun and its beam irradiation over
the weather file's year, one CSV per tile (``<output>/<tile>.csv``: object,
surface, triangle, sunlit_hours [h], beam_kwh_m2 [kWh/m2]).
A tile without triangles gets a table with the header only (named once in a
warning line).

* Margins: each tile is analysed in a scene of its own triangles and those of
  the other tiles within ``margin`` metres of its plan-view extent, all in one
  shared frame (the first tile's origin), so that a building at a tile's edge
  gets the same values as in the scene of all tiles together, as long as the
  margin is at least the longest shadow that counts (height / tan of the
  lowest sun altitude with beam irradiance worth counting).
* Work units: the triangles of a tile, cut at building boundaries into runs
  of about ``unit_triangles``. A worker builds a tile's scene once, from the
  files (every worker must see them at the same paths; nothing of the scene
  goes through the scheduler), and keeps it for that tile's later units.
* Results: each unit is written atomically with its fingerprint to
  ``<output>/.units/<tile>/``; the tile's CSV is then assembled from its units
  in triangle order, streaming from file to file. A run started again with the
  same inputs skips the units already written. A worker that dies mid-unit has
  its unit run again on another worker: the unit's file is written whole or
  not at all, so no row is lost or written twice.
* Failures: a unit that cannot be computed (a building with coordinates far
  outside the tile's frame, a tile changed during the run) is reported with
  its tile and object; the others complete. A tile that cannot be read stops
  the run before any unit starts (its neighbours' margins would be wrong).

``workers=0`` computes every unit in this process, in order, with the same
code: the reference the cluster's map equals value for value.
"""
from __future__ import annotations

import hashlib
import json
import os
import sys
import time
from typing import Any, Iterable, Sequence

import numpy as np

__all__ = ["city_map", "tile_paths", "sun_steps", "write_demo_city", "CityError", "TILE_SUFFIXES"]

TILE_SUFFIXES = (".json", ".jsonl", ".obj", ".gltf", ".glb")
COLUMNS = ("object", "surface", "triangle", "sunlit_hours", "beam_kwh_m2")
MAP_COLUMNS = ("object", "surface", "triangle", "annual_kwh_m2") + tuple("m%02d_kwh_m2" % m for m in range(1, 13))
_FORMAT = "quillmere-city-unit-1"  # changes when a unit's content would


class CityError(ValueError):
    """A city map that cannot start: no tiles, a tile that cannot be read, bad settings."""


# ---------------------------------------------------------------------------
# Inputs


def tile_paths(tiles: str | os.PathLike | Iterable[str | os.PathLike]) -> list[str]:
    """The tile files of a folder (its CityJSON, OBJ and glTF files) or of a
    list of files and folders, as absolute paths in name order."""
    items = [tiles] if isinstance(tiles, (str, os.PathLike)) else list(tiles)
    out: list[str] = []
    for item in items:
        path = os.path.abspath(os.fspath(item))
        if os.path.isdir(path):
            out.extend(os.path.join(path, n) for n in sorted(os.listdir(path))
                       if n.lower().endswith(TILE_SUFFIXES) and os.path.isfile(os.path.join(path, n)))
        elif os.path.isfile(path):
            out.append(path)
        else:
            raise CityError("找不到瓦片文件或文件夹: %s" % path)
    out = sorted(dict.fromkeys(out))
    if not out:
        raise CityError("没有瓦片文件（.json、.jsonl、.obj、.gltf、.glb）: %s" % ", ".join(map(str, items)))
    stems = [_tile_name(p) for p in out]
    if len(set(stems)) != len(stems):
        twice = sorted({s for s in stems if stems.count(s) > 1})
        raise CityError("多个瓦片文件同名（输出按文件名写出）: %s" % ", ".join(twice))
    return out


def _tile_name(path: str) -> str:
    """A tile's name: its file name without the extension (it names the tile's outputs)."""
    return os.path.splitext(os.path.basename(path))[0]


def _file_sha(path: str) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def sun_steps(weather: str, day_step: int = 1) -> dict[str, np.ndarray]:
    """Sun steps of an EPW weather file: per hourly row with the sun up, the
    direction towards the sun at the middle of the hour (local standard time),
    the direct normal irradiance [W/m2] and the duration [h]. ``day_step`` > 1
    keeps every day_step-th day, each standing for day_step days (a quicker,
    coarser map)."""
    from quillmere._native import calculate_sun_position  # Reda & Andreas (2004)

    if isinstance(day_step, bool) or not isinstance(day_step, int) or day_step < 1:
        raise CityError("day_step 应为正整数，实际为 %r" % (day_step,))
    with open(weather, "r", encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    fields = [x.strip() for x in (lines[0] if lines else "").split(",")]
    try:
        latitude, longitude, zone = float(fields[6]), float(fields[7]), float(fields[8])
    except (IndexError, ValueError):
        raise CityError("天气文件 %s 的第一行不是含纬度、经度和时区的 EPW LOCATION 行" % weather) from None
    dirs, hours, dni = [], [], []
    day_index, last_day = -1, None
    for number, line in enumerate(lines[8:], start=9):
        row = line.split(",")
        if len(row) < 15 or not row[0].strip().isdigit():
            continue
        try:
            y, mo, d, h = (int(row[i]) for i in range(4))
            e = float(row[14])
        except ValueError:
            raise CityError("天气文件 %s 第 %d 行：日期或直射辐照（第 15 列）不是数值" % (weather, number)) from None
        if (y, mo, d) != last_day:
            day_index, last_day = day_index + 1, (y, mo, d)
        if day_index % day_step or not (0.0 < e < 9999.0):
            continue
        height, azimuth = calculate_sun_position(longitude, latitude, int(round(zone)), (y, mo, d, h - 1, 30, 0))
        if height <= 0.0:
            continue
        a, z = np.radians(azimuth), np.radians(height)
        dirs.append((np.sin(a) * np.cos(z), np.cos(a) * np.cos(z), np.sin(z)))
        hours.append(float(day_step))
        dni.append(e)
    if not dirs:
        raise CityError("天气文件 %s 中没有太阳在地平线以上且有直射辐照的小时" % weather)
    return {"directions": np.ascontiguousarray(dirs, dtype=float), "hours": np.asarray(hours, dtype=float),
            "dni": np.asarray(dni, dtype=float)}


# ---------------------------------------------------------------------------
# A generated city (tests, benchmarks, demos)


def write_demo_city(folder: str, tiles: tuple[int, int] = (2, 2), buildings: tuple[int, int] = (3, 3),
                    cells: int = 2, spacing: float = 24.0, origin: tuple[float, float] = (500000.0, 5400000.0),
                    seed: int = 1) -> list[str]:
    """Writes ``tiles[0] * tiles[1]`` CityJSON 2.0 tiles into ``folder``
    (``tile_<i>_<j>.json``), each with ``buildings[0] * buildings[1]``
    box buildings on a grid of ``spacing`` metres, georeferenced at
    ``origin`` (metres, integer millimetres with a transform). Roofs and
    the four walls are RoofSurface and WallSurface semantic surfaces, each
    face cut into ``cells * cells`` quads (2 triangles each: 10 cells^2
    triangles a building). Heights and footprints vary with ``seed``.
    Returns the paths."""
    import random

    rnd = random.Random(seed)
    os.makedirs(folder, exist_ok=True)
    bx, by = buildings
    paths = []
    for ti in range(tiles[0]):
        for tj in range(tiles[1]):
            verts: list[list[int]] = []
            objects = {}

            def vid(p: tuple[float, float, float]) -> int:
                verts.append([int(round(c * 1000)) for c in p])
                return len(verts) - 1

            def quads(corner, u, v, sem, polys, values):
                for a in range(cells):
                    for b in range(cells):
                        ring = []
                        for da, db in ((0, 0), (1, 0), (1, 1), (0, 1)):
                            s, t = (a + da) / cells, (b + db) / cells
                            ring.append(vid(tuple(corner[k] + s * u[k] + t * v[k] for k in range(3))))
                        polys.append([ring])
                        values.append(sem)

            for i in range(bx):
                for j in range(by):
                    w, d = rnd.uniform(10, 16), rnd.uniform(10, 16)
                    h = rnd.uniform(6, 30)
                    x0 = (ti * bx + i) * spacing + rnd.uniform(0, spacing - w - 2)
                    y0 = (tj * by + j) * spacing + rnd.uniform(0, spacing - d - 2)
                    polys: list = []
                    values: list[int] = []
                    quads((x0, y0, h), (w, 0, 0), (0, d, 0), 0, polys, values)            # roof, up
                    quads((x0, y0, 0), (w, 0, 0), (0, 0, h), 1, polys, values)            # south, -y
                    quads((x0 + w, y0, 0), (0, d, 0), (0, 0, h), 2, polys, values)        # east, +x
                    quads((x0 + w, y0 + d, 0), (-w, 0, 0), (0, 0, h), 3, polys, values)   # north, +y
                    quads((x0, y0 + d, 0), (0, -d, 0), (0, 0, h), 4, polys, values)       # west, -x
                    objects["b%d_%d_%02d_%02d" % (ti, tj, i, j)] = {"type": "Building", "geometry": [{
                        "type": "MultiSurface", "lod": "2", "boundaries": polys,
                        "semantics": {"surfaces": [{"type": "RoofSurface"}] + [{"type": "WallSurface"}] * 4,
                                      "values": values}}]}
            doc = {"type": "CityJSON", "version": "2.0",
                   "transform": {"scale": [0.001, 0.001, 0.001], "translate": [origin[0], origin[1], 0.0]},
                   "CityObjects": objects, "vertices": verts}
            path = os.path.join(folder, "tile_%d_%d.json" % (ti, tj))
            from quillmere._native import _write_file_atomic

            _write_file_atomic(path, json.dumps(doc, separators=(",", ":")))
            paths.append(path)
    return paths


# ---------------------------------------------------------------------------
# Worker side: tiles, scenes and units (pure functions of files and descriptions)


def _survey_tile(path: str) -> dict:
    """What the client plans with: content hash, origin, world extent, and the
    triangle runs of each object. Small; the triangles stay in the file."""
    from quillmere.shadow_calc.city_tiles import read_tile, xy_extent

    try:
        t = read_tile(path)
    except (OSError, ValueError) as exc:
        return {"path": path, "error": "%s: %s" % (type(exc).__name__, exc)}
    ext = xy_extent(t["triangles"])
    ox, oy, _ = t["origin"]
    ids: dict[str, int] = {}
    per_surface = [ids.setdefault(n.split("/", 1)[0], len(ids)) for n in t["names"]]
    objects = list(ids)
    obj_of = np.asarray(per_surface, dtype=np.int64)[t["surface"]] if per_surface else np.zeros(0, np.int64)
    starts = np.flatnonzero(np.diff(obj_of, prepend=-1))
    runs = [(objects[int(obj_of[s])], int(s), int(e))
            for s, e in zip(starts.tolist(), starts[1:].tolist() + [len(obj_of)])]
    sha = _file_sha(path)
    _READ[(path, sha)] = t  # the scenes of this worker take it from here instead of reading the file again
    while len(_READ) > _KEEP_TILES:
        _READ.pop(next(iter(_READ)))
    return {"path": path, "error": None, "hash": int(t["content_hash"]), "sha": sha,
            "origin": list(t["origin"]), "triangles": int(len(obj_of)), "runs": runs,
            "extent": None if ext is None else (ext[0] + ox, ext[1] + oy, ext[2] + ox, ext[3] + oy)}


_SCENES: dict[str, tuple[Any, dict]] = {}  # tile fingerprint -> (scene, facts); a few, most recent last
_STEPS: dict[str, dict] = {}
_KEEP_SCENES = 2


_TILES: dict[tuple, dict] = {}  # (path, content, frame) -> tile in the frame; the neighbours of the next scene
_KEEP_TILES = 9
_READ: dict[tuple, dict] = {}  # (path, content) -> tile as the survey read it, until a scene takes it into the frame


def _frame_triangles(path: str, sha: str, frame: Sequence[float]) -> dict:
    """A tile moved into the shared frame; read once per worker while it is
    among the last few used (adjacent tiles' scenes share most of their files)."""
    from quillmere.shadow_calc.city_tiles import read_tile, shift_triangles

    key = (path, sha, tuple(frame))
    if key in _TILES:
        _TILES[key] = _TILES.pop(key)
        return _TILES[key]
    t = _READ.pop((path, sha), None)
    if t is None:
        t = read_tile(path)
        if _file_sha(path) != sha:
            raise CityError("瓦片 %s 在运行期间被修改" % path)
    offset = [float(a) - float(b) for a, b in zip(t["origin"], frame)]
    t["triangles"] = shift_triangles(t["triangles"], offset)
    _TILES[key] = t
    while len(_TILES) > _KEEP_TILES:
        _TILES.pop(next(iter(_TILES)))
    return t


def _tile_scene(unit: dict) -> tuple[Any, dict, float]:
    """The scene of a unit's tile and its margin, from this worker's cache or
    built now from the files (seconds spent building, 0 when cached)."""
    from quillmere.shadow_calc.city_tiles import SunScene, margin_triangles, xy_extent

    key = unit["tile_fingerprint"]
    if key in _SCENES:
        _SCENES[key] = _SCENES.pop(key)  # most recent last
        return _SCENES[key][0], _SCENES[key][1], 0.0
    started = time.perf_counter()
    own = _frame_triangles(unit["path"], unit["sha"], unit["frame"])
    extent = xy_extent(own["triangles"])
    tris, normals = [own["triangles"]], [own["normals"]]
    for path, sha in unit["neighbours"]:
        other = _frame_triangles(path, sha, unit["frame"])
        keep = margin_triangles(other["triangles"], extent, unit["margin"])
        tris.append(other["triangles"][keep])
        normals.append(other["normals"][keep])
    scene = SunScene(np.ascontiguousarray(np.concatenate(tris)), np.ascontiguousarray(np.concatenate(normals)))
    # Each surface's first two CSV fields (object, surface), made once per scene instead of once per row.
    prefix = ["%s,%s," % (_csv_field(n.split("/", 1)[0]), _csv_field(n)) for n in own["names"]]
    facts = {"names": own["names"], "surface": own["surface"], "prefix": prefix,
             "margin_triangles": scene.size - len(own["surface"])}
    _SCENES[key] = (scene, facts)
    while len(_SCENES) > _KEEP_SCENES:
        _SCENES.pop(next(iter(_SCENES)))
    return scene, facts, time.perf_counter() - started


def _steps(unit: dict) -> dict:
    key = "%s/%d" % (unit["weather_sha"], unit["day_step"])
    if key not in _STEPS:
        _STEPS.clear()
        _STEPS[key] = sun_steps(unit["weather"], unit["day_step"])
    return _STEPS[key]


_MAP_KEYS = ("resolution", "site", "start_year", "times", "hours", "sun_offset", "dni", "dhi", "albedo", "perez",
             "global_ground", "sky_directions", "horizon_directions")
_MAP_INPUTS: dict[str, dict] = {}


def _map_inputs(project: str) -> tuple[dict, str]:
    """The light of a project's solar map (its weather over the period, site
    and sky choices: quillmere.maps.map_inputs) and their fingerprint."""
    from quillmere.maps import map_inputs

    got = map_inputs(project)
    inputs = {k: got[k] for k in _MAP_KEYS}
    inputs["site"] = {k: float(inputs["site"][k]) for k in ("longitude", "latitude", "time_zone")}
    h = hashlib.sha256(json.dumps({k: v for k, v in inputs.items() if not isinstance(v, np.ndarray)},
                                  sort_keys=True).encode())
    for k in ("times", "dni", "dhi", "albedo"):
        h.update(np.ascontiguousarray(inputs[k], dtype=np.float64).tobytes())
    return inputs, h.hexdigest()


def _unit_map(unit: dict, scene: Any, faces: np.ndarray) -> tuple[list[np.ndarray], int]:
    key = unit["light"]
    if key not in _MAP_INPUTS:
        inputs, fp = _map_inputs(unit["project"])
        if fp != key:
            raise CityError("项目 %s 的天气或设置与开始运行时不同" % unit["project"])
        _MAP_INPUTS.clear()
        _MAP_INPUTS[key] = inputs
    i = _MAP_INPUTS[key]
    site = i["site"]
    f64 = lambda a: np.ascontiguousarray(a, dtype=np.float64)  # noqa: E731
    annual, monthly, rays = scene.irradiation(
        faces, float(i["resolution"]), site["longitude"], site["latitude"], site["time_zone"], int(i["start_year"]),
        f64(i["times"]), float(i["sun_offset"]), f64(i["dni"]), f64(i["dhi"]), f64(i["albedo"]), float(i["hours"]),
        bool(i["perez"]), bool(i["global_ground"]), int(i["sky_directions"]), int(i["horizon_directions"]),
        unit["threads"])
    return [annual] + [monthly[:, m] for m in range(12)], int(rays)


def _unit_text(unit: dict, facts: dict, columns: Sequence[np.ndarray]) -> str:
    first, end = unit["first"], unit["end"]
    prefix = facts["prefix"]
    heads = [prefix[s] for s in facts["surface"][first:end].tolist()]
    # repr: the shortest text that reads back as the same double
    values = map(",".join, zip(*(map(repr, c.tolist()) for c in columns)))
    return "# %s %s\n" % (_FORMAT, unit["fingerprint"]) + "".join(map("{}{},{}\n".format, heads, range(first, end),
                                                                      values))


def _csv_field(text: str) -> str:
    return '"' + text.replace('"', '""') + '"' if any(c in text for c in ',"\n\r') else text


def _run_unit(unit: dict) -> dict:
    """Computes one unit and writes its file; never raises (a failure is the
    unit's result, naming its tile and object)."""
    from quillmere._native import _write_file_atomic

    started, cpu = time.perf_counter(), time.process_time()
    result = {"id": unit["id"], "tile": unit["tile"], "triangles": unit["end"] - unit["first"], "rays": 0,
              "load_s": 0.0, "write_s": 0.0, "seconds": 0.0, "cpu_s": 0.0, "worker": os.getpid(), "error": None}
    try:
        scene, facts, result["load_s"] = _tile_scene(unit)
        faces = np.arange(unit["first"], unit["end"], dtype=np.int64)
        try:
            if unit["project"]:
                columns, rays = _unit_map(unit, scene, faces)
            else:
                steps = _steps(unit)
                sunlit, beam, rays = scene.direct_sun(faces, steps["directions"], steps["hours"], steps["dni"],
                                                      unit["threads"])
                columns = [sunlit, beam]
        except ValueError as exc:
            import re

            # The kernels name the culprit by its position in the unit ("第 N 个面"): named here by its object.
            found = None if isinstance(exc, CityError) else re.match(r"第 (\d+) 个面", str(exc))
            if found is None:
                raise
            k = int(found.group(1))
            obj = facts["names"][int(facts["surface"][unit["first"] + k])]
            raise CityError("对象 %s（三角形 %d）: %s" % (obj.split("/", 1)[0], unit["first"] + k, exc)) from None
        result["rays"] = int(rays)
        written = time.perf_counter()
        _write_file_atomic(unit["output"], _unit_text(unit, facts, columns))
        result["write_s"] = time.perf_counter() - written
    except Exception as exc:  # noqa: BLE001 - the unit's failure is its result
        result["error"] = "瓦片 %s: %s" % (unit["tile"], exc if isinstance(exc, CityError) else
                                          "%s: %s" % (type(exc).__name__, exc))
    result["seconds"] = time.perf_counter() - started
    result["cpu_s"] = time.process_time() - cpu  # the process's processor time: the unit's, with one thread
    return result


def _unit_done(unit: dict) -> bool:
    """The unit's file exists and holds this run's fingerprint."""
    try:
        with open(unit["output"], "r", encoding="utf-8") as f:
            return f.readline() == "# %s %s\n" % (_FORMAT, unit["fingerprint"])
    except OSError:
        return False


# ---------------------------------------------------------------------------
# Client side: plan, run, assemble


def _plan(surveys: list[dict], output: str, margin: float, unit_triangles: int, weather: str | None,
          weather_sha: str, day_step: int, threads: int, project: str | None = None) -> list[dict]:
    """Units of every tile, in output order, each with its fingerprint."""
    from quillmere.shadow_calc.city_tiles import extent_distance

    # The first tile with triangles gives the frame (an empty file's origin can be anything).
    frame = next((s["origin"] for s in surveys if s["triangles"]), surveys[0]["origin"])
    units = []
    for i, s in enumerate(surveys):
        tile = _tile_name(s["path"])
        neighbours = [(o["path"], o["sha"]) for j, o in enumerate(surveys)
                      if j != i and extent_distance(s["extent"], o["extent"]) <= margin]
        tile_fp = hashlib.sha256(json.dumps([_FORMAT, s["sha"], margin, frame, neighbours],
                                            sort_keys=True).encode()).hexdigest()
        run_fp = hashlib.sha256(json.dumps([tile_fp, weather_sha, day_step, bool(project)]).encode()).hexdigest()
        cuts, first = [], 0
        for _, start, end in s["runs"]:
            if end - first >= unit_triangles:
                cuts.append((first, end))
                first = end
        if first < s["triangles"]:
            cuts.append((first, s["triangles"]))
        for first, end in cuts:
            units.append({
                "id": len(units), "tile": tile, "path": s["path"], "sha": s["sha"], "frame": frame,
                "neighbours": neighbours, "margin": margin, "tile_fingerprint": tile_fp,
                "fingerprint": hashlib.sha256(("%s/%d/%d" % (run_fp, first, end)).encode()).hexdigest(),
                "first": first, "end": end, "weather": weather, "weather_sha": weather_sha, "day_step": day_step,
                "threads": threads, "project": project, "light": weather_sha,
                "output": os.path.join(output, ".units", tile, "%09d-%09d.csv" % (first, end)),
            })
    return units


def _assemble(tile: str, units: list[dict], output: str, columns: Sequence[str]) -> str:
    """The tile's CSV from its unit files in triangle order, streamed into a
    temporary file beside it and renamed when complete."""
    path = os.path.join(output, tile + ".csv")
    tmp = "%s.%d.tmp" % (path, os.getpid())
    try:
        with open(tmp, "w", encoding="utf-8", newline="") as out:
            out.write(",".join(columns) + "\n")
            for u in units:
                with open(u["output"], "r", encoding="utf-8", newline="") as f:
                    if f.readline() != "# %s %s\n" % (_FORMAT, u["fingerprint"]):
                        raise CityError("单元文件 %s 已被替换" % u["output"])
                    for block in iter(lambda: f.read(1 << 20), ""):
                        out.write(block)
            out.flush()
            os.fsync(out.fileno())
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)
    return path


class _Progress:
    """Units, triangles, rays per second and time left, on one line of the
    client's standard error (rewritten in place on a terminal)."""

    def __init__(self, units: int, triangles: int, stream: Any, enabled: bool):
        self.units, self.triangles, self.stream, self.enabled = units, triangles, stream, enabled
        self.done_units = self.done_triangles = self.rays = self.failed = 0
        self.started = self.shown = time.monotonic()
        self.tty = hasattr(stream, "isatty") and stream.isatty()

    def add(self, r: dict) -> None:
        self.done_units += 1
        self.done_triangles += r["triangles"]
        self.rays += r["rays"]
        self.failed += r["error"] is not None
        now = time.monotonic()
        if self.enabled and (now - self.shown >= (0.5 if self.tty else 10.0) or self.done_units == self.units):
            self.shown = now
            self.show(now)

    def show(self, now: float) -> None:
        elapsed = max(now - self.started, 1e-9)
        left = elapsed / self.done_triangles * (self.triangles - self.done_triangles) if self.done_triangles else 0
        text = "单元 %d/%d，三角形 %d/%d，%.3g 条光线/秒，剩余约 %.0f 秒" % (
            self.done_units, self.units, self.done_triangles, self.triangles, self.rays / elapsed, left)
        if self.failed:
            text += "，%d 个失败" % self.failed
        end = "\n" if (not self.tty or self.done_units == self.units) else ""
        self.stream.write(("\r" if self.tty else "") + text + end)
        self.stream.flush()


def city_map(tiles: Any, output: str, weather: str | None = None, *, project: str | None = None,
             margin: float = 100.0, unit_triangles: int = 20000,
             day_step: int = 1, client: Any = None, workers: int | None = None, threads: int = 1,
             progress: bool | None = None, timeout: float | None = None) -> dict:
    """Writes the direct-sun map of every tile (see the module's text) and
    returns the run's facts: ``tiles`` (tile -> CSV path, or None when one of
    its units failed), ``failed`` (messages of the failed units), ``units``,
    ``skipped`` (units found written by an earlier run), ``triangles``,
    ``empty`` (tiles without triangles: their tables hold the header only),
    ``rays``, ``seconds``, ``load_seconds`` (scene building, summed over the
    units that built one), ``write_seconds``, ``cpu_seconds`` (processor
    time of the units), ``unit_seconds`` (per unit),
    ``dashboard`` (the Dask dashboard's address, or None).

    ``project`` instead of ``weather``: the full solar map of every triangle
    (annual and monthly irradiation [kWh/m2] with the project's light model:
    beam, circumsolar, sky and horizon views, ground; quillmere.maps), the
    weather, site, period and ``[map]`` settings read from the project (its
    shading module's model is not used: the tiles are the model).
    ``margin`` [m]: how far around a tile other tiles' triangles shade it.
    ``unit_triangles``: about how many triangles a work unit holds (cut at
    building boundaries). ``client``: None for a local cluster of ``workers``
    processes (default one per core), a ``distributed.Client`` or a scheduler
    address; ``workers=0`` computes in this process. ``threads``: casting
    threads per unit. ``timeout`` [s] bounds the wait for all units (the
    unfinished ones are failed units).
    """
    from quillmere import sweep as sw

    if isinstance(margin, bool) or not isinstance(margin, (int, float)) or not 0 <= margin < float("inf"):
        raise CityError("margin 应为非负有限数 [m]，实际为 %r" % (margin,))
    if isinstance(unit_triangles, bool) or not isinstance(unit_triangles, int) or unit_triangles < 1:
        raise CityError("unit_triangles 应为正整数，实际为 %r" % (unit_triangles,))
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 0):
        raise CityError("workers 应为非负整数（0：在本进程中计算），实际为 %r" % (workers,))
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 0:
        raise CityError("threads 应为非负整数（0：每个核一个），实际为 %r" % (threads,))
    if (weather is None) == (project is None):
        raise CityError("请给出天气文件（直射日照图）或项目文件（完整日照图）之一")
    paths = tile_paths(tiles)
    output = os.path.abspath(os.fspath(output))
    given = os.path.abspath(os.fspath(weather if weather is not None else project))
    if output in paths or output == given or any(os.path.dirname(p) == output for p in paths):
        raise CityError("输出文件夹 %s 不能是输入瓦片或其所在的文件夹" % output)
    if not os.path.isfile(given):
        raise CityError("找不到%s: %s" % ("天气文件" if weather is not None else "项目文件", given))
    weather = given if weather is not None else None
    project = given if project is not None else None
    local = workers == 0
    if client is None and not local:
        where = sw._unguarded_main_call()
        if where:
            raise CityError("city_map() 在脚本顶层调用（%s）：本机集群的工作进程会再次导入该脚本；"
                            "请把调用放在 if __name__ == \"__main__\": 之下" % where)
    stream = sys.stderr
    tell_dashboard = progress is not False
    if progress is None:
        progress = hasattr(stream, "isatty") and stream.isatty()
    started = time.monotonic()
    if weather is not None:
        sun_steps(weather, day_step)  # a weather file that gives no steps stops here, before any work
        weather_sha = _file_sha(weather)
    else:
        weather_sha = _map_inputs(project)[1]  # the project's light, read as a run reads it
    facts: dict[str, Any] = {"dashboard": None}

    def run(c: Any) -> None:
        if c is None:
            surveys = [_survey_tile(p) for p in paths]
        else:
            surveys = c.gather(c.map(_survey_tile, paths, pure=False, key=["quillmere-survey-%d-%s" % (i, tag)
                                                                              for i in range(len(paths))]))
        bad = [s for s in surveys if s["error"]]
        if bad:
            raise CityError("无法读取瓦片（其相邻瓦片的边距也将缺失，未开始计算）: " + "; ".join(s["error"] for s in bad))
        units = _plan(surveys, output, float(margin), unit_triangles, weather, weather_sha, day_step, threads,
                      project)
        empty = [_tile_name(s["path"]) for s in surveys if not s["triangles"]]
        if empty:
            print("警告：%d 个瓦片没有三角形，其表格只有表头: %s" % (len(empty), ", ".join(empty)))
        facts["empty"] = empty
        todo = [u for u in units if not _unit_done(u)]
        facts.update(units=len(units), skipped=len(units) - len(todo), triangles=sum(s["triangles"] for s in surveys))
        os.makedirs(output, exist_ok=True)  # also when no tile has a unit
        for u in todo:
            os.makedirs(os.path.dirname(u["output"]), exist_ok=True)
        show = _Progress(len(todo), sum(u["end"] - u["first"] for u in todo), stream, progress)
        results: dict[int, dict] = {}

        def settle(r: dict) -> None:
            results[r["id"]] = r
            show.add(r)
            if r["error"]:
                print("错误：单元 %d 失败：%s" % (r["id"] + 1, r["error"]))

        if c is None:
            for u in todo:
                settle(_run_unit(u))
        else:
            from distributed import as_completed

            futures = {c.submit(_run_unit, u, pure=False, key="quillmere-unit-%d-%s" % (u["id"], tag)): u
                       for u in todo}
            try:
                for f in as_completed(futures, timeout=timeout):
                    u = futures[f]
                    try:
                        r = f.result()
                    except Exception as exc:  # noqa: BLE001 - a worker lost on every retry fails its unit only
                        r = {"id": u["id"], "tile": u["tile"], "triangles": u["end"] - u["first"], "rays": 0,
                             "load_s": 0.0, "write_s": 0.0, "seconds": None, "cpu_s": 0.0, "worker": None,
                             "error": "瓦片 %s: %s: %s" % (u["tile"], type(exc).__name__, exc)}
                    settle(r)
            except TimeoutError:
                for f, u in futures.items():
                    if u["id"] not in results:
                        f.cancel()
                        settle({"id": u["id"], "tile": u["tile"], "triangles": u["end"] - u["first"], "rays": 0,
                                "load_s": 0.0, "write_s": 0.0, "seconds": None, "cpu_s": 0.0, "worker": None,
                                "error": "瓦片 %s: TimeoutError: 未在 timeout=%g 秒内完成" % (u["tile"], timeout)})
        failed_tiles = {r["tile"] for r in results.values() if r["error"]}
        written = {}
        # Every tile gets its table, in tile order; one without triangles (no units) only the header.
        for tile in (_tile_name(s["path"]) for s in surveys):
            written[tile] = None if tile in failed_tiles else _assemble(
                tile, [u for u in units if u["tile"] == tile], output, MAP_COLUMNS if project else COLUMNS)
        done = list(results.values())
        facts.update(tiles=written, failed=[r["error"] for r in done if r["error"]],
                     rays=sum(r["rays"] for r in done), load_seconds=sum(r["load_s"] for r in done),
                     write_seconds=sum(r["write_s"] for r in done), cpu_seconds=sum(r["cpu_s"] for r in done),
                     unit_seconds=[r["seconds"] for r in sorted(done, key=lambda r: r["id"])])

    tag = os.urandom(4).hex()
    if local:
        try:
            run(None)
        finally:
            _SCENES.clear()  # this process goes on: its scenes and tiles are not kept
            _TILES.clear()
            _READ.clear()
    else:
        if client is None:
            sw._start_worker_server()
        with sw._client_for(client, workers, os.cpu_count() or 1) as c:
            # The address the scheduler's dashboard answers at (none when it runs without one).
            services = c.scheduler_info().get("services") or {}
            link = c.dashboard_link if "dashboard" in services else None
            facts["dashboard"] = link
            if link and tell_dashboard:
                stream.write("Dask 仪表板: %s\n" % link)
            run(c)
    facts["seconds"] = time.monotonic() - started
    return facts
