"""Solar potential and the files of ``quillmere map``: tables per triangle, surface and building (CSV, and
Parquet with pyarrow), PLY and glTF with per-face values and colours, the CityJSON model with values on its
semantic surfaces, an offline interactive HTML view (plotly) and a report picture (matplotlib).

The file formats are written natively (``src/kernels/maps/map_files.hpp``, bound in
``src/bindings/maps/map_files.cpp``); this module sums the table and draws."""
from __future__ import annotations

import os
import tempfile
from typing import Any

import numpy as np

from quillmere import _native

__all__ = ["chain_of", "solar_potential", "colours", "PALETTE", "write_outputs", "html_view", "report_png"]

# A perceptual dark-to-bright palette (dark violet, red, orange, pale yellow): (position, (r, g, b)).
PALETTE = ((0.0, (0, 0, 4)), (0.14, (40, 11, 84)), (0.29, (101, 21, 110)), (0.43, (159, 42, 99)),
           (0.57, (212, 72, 66)), (0.71, (245, 125, 21)), (0.86, (250, 193, 39)), (1.0, (252, 255, 164)))


def colours(values: np.ndarray, vmin: float, vmax: float) -> np.ndarray:
    """(n, 3) uint8 colours of values on the palette between vmin and vmax (clipped; NaN dark)."""
    x = np.clip((np.asarray(values, dtype=float) - vmin) / (vmax - vmin if vmax > vmin else 1.0), 0.0, 1.0)
    x = np.nan_to_num(x, nan=0.0)
    pos = np.array([p for p, _ in PALETTE])
    rgb = np.array([c for _, c in PALETTE], dtype=float)
    out = np.empty((len(x), 3))
    for j in range(3):
        out[:, j] = np.interp(x, pos, rgb[:, j])
    return np.rint(out).astype(np.uint8)


def colour_range(annual: np.ndarray) -> tuple[float, float]:
    top = float(np.nanmax(annual)) if len(annual) else 1.0
    return 0.0, max(100.0, float(np.ceil(top / 100.0) * 100.0))


def chain_of(inputs: dict) -> dict[str, Any]:
    """The conversion from a suitable area's irradiation to energy, from the project: the rated power per
    square metre [kWp/m²] and the performance ratio [-] of the first PVArray (else SunPanel) on the map's
    shading module: ``pdc0`` / ``area`` or ``efficiency``; (1 - PVWatts losses) x the nominal efficiency of an
    Inverter fed by it. Temperature and incidence-angle losses are not in it (they need each step's light on
    each triangle): the energy is a yield estimate. Without a panel: 0.2 kWp/m², ratio 1."""
    p = inputs["project"]
    shading = inputs["shading"]
    panels = [e for e in p["modules"] if e.get("ref") and e["ref"][0] == shading]
    arrays = [e for e in panels if "module_efficiency" in e.get("values", {})]
    entry = (arrays or panels or [None])[0]
    if entry is None:
        return {"kwp_per_m2": 0.2, "performance_ratio": 1.0, "source": "default"}
    v = entry["values"]
    kwp = float(v.get("pdc0") or 0.0) / float(v["area"]) if v.get("pdc0") and v.get("area") else float(v["efficiency"])
    keep = 1.0
    for name in ("soiling", "snow", "mismatch", "wiring", "connections", "lid", "nameplate_rating", "age",
                 "availability"):
        if name in v:
            keep *= 1.0 - float(v[name]) / 100.0
    eta = 1.0
    for e in p["modules"]:
        panels_of = e.get("values", {}).get("panels")
        names = panels_of.split(",") if isinstance(panels_of, str) else panels_of or []
        if "eta_inv_nom" in e.get("values", {}) and entry["name"] in [s.strip() for s in names]:
            eta = float(e["values"]["eta_inv_nom"])
            break
    return {"kwp_per_m2": kwp, "performance_ratio": keep * eta, "source": entry["name"]}


def _weighted_percentile(values: np.ndarray, weights: np.ndarray, q: float) -> float:
    order = np.argsort(values, kind="stable")
    v, w = values[order], weights[order]
    c = np.cumsum(w)
    if len(v) == 0 or c[-1] <= 0:
        return float("nan")
    return float(v[min(np.searchsorted(c, q / 100.0 * c[-1]), len(v) - 1)])


def solar_potential(df, by: str, threshold: float, chain: dict[str, Any]):
    """Per ``by`` ("surface" or "building"): ``area`` [m²], ``annual_mean`` (area-weighted), ``annual_p10``,
    ``annual_p50``, ``annual_p90`` (area-weighted percentiles), ``annual_max`` [kWh/m² a],
    ``area_above`` (area with annual >= threshold) [m²], ``annual_mean_above`` [kWh/m² a], ``kwp`` (the
    suitable area at the chain's kWp/m²) and ``energy_kwh`` (its irradiation x kWp/m² x performance ratio)."""
    import pandas as pd

    rows = []
    for key, g in df.groupby(by, sort=True):
        a = g["area"].to_numpy()
        h = g["annual"].to_numpy()
        ok = h >= threshold
        area_above = float(a[ok].sum())
        irradiated = float((a[ok] * h[ok]).sum())  # kWh a year on the suitable area
        rows.append({
            by: key, "triangles": len(g), "area": float(a.sum()),
            "annual_mean": float((a * h).sum() / a.sum()) if a.sum() > 0 else float("nan"),
            "annual_p10": _weighted_percentile(h, a, 10), "annual_p50": _weighted_percentile(h, a, 50),
            "annual_p90": _weighted_percentile(h, a, 90), "annual_max": float(h.max()),
            "area_above": area_above,
            "annual_mean_above": irradiated / area_above if area_above > 0 else float("nan"),
            "kwp": area_above * chain["kwp_per_m2"],
            "energy_kwh": irradiated * chain["kwp_per_m2"] * chain["performance_ratio"],
        })
    return pd.DataFrame(rows)


def _atomic_text(path: str, write) -> None:
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".tmp-", dir=folder)
    os.close(fd)
    try:
        write(tmp)
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(tmp, 0o666 & ~mask)  # as a file opened for writing would be
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


def html_view(df, vertices: np.ndarray, path: str, title: str) -> None:
    """One offline HTML file (plotly's JavaScript inlined): the triangles coloured by annual irradiation;
    rotate, zoom, and hover a face for its surface, building and value."""
    import plotly.graph_objects as go

    n = len(df)
    xyz = vertices.reshape(n * 3, 3)
    idx = np.arange(3 * n).reshape(n, 3)
    vmin, vmax = colour_range(df["annual"].to_numpy())
    text = ["%s<br>%s<br>%.0f kWh/m² a" % (s, b, h) for s, b, h in zip(df["surface"], df["building"], df["annual"])]
    scale = [[p, "rgb(%d,%d,%d)" % c] for p, c in PALETTE]
    mesh = go.Mesh3d(x=xyz[:, 0], y=xyz[:, 1], z=xyz[:, 2], i=idx[:, 0], j=idx[:, 1], k=idx[:, 2],
                     intensity=df["annual"].to_numpy(), intensitymode="cell", colorscale=scale, cmin=vmin,
                     cmax=vmax, colorbar={"title": "kWh/m² a"}, hovertext=text, hoverinfo="text", flatshading=True,
                     name="annual irradiation")
    fig = go.Figure(mesh)
    fig.update_layout(title=title, scene={"aspectmode": "data", "xaxis_title": "x (east)",
                                          "yaxis_title": "y (north)", "zaxis_title": "z",
                                          "camera": {"eye": {"x": 0.9, "y": -1.6, "z": 1.1}}},
                      margin={"l": 0, "r": 0, "t": 40, "b": 0})
    _atomic_text(path, lambda p: fig.write_html(p, include_plotlyjs=True, full_html=True))


def report_png(df, vertices: np.ndarray, sun: tuple[float, float, float], path: str, title: str) -> None:
    """The map seen from the sun's mean direction (weighted by the direct light) and from above."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import LinearSegmentedColormap, Normalize
    from mpl_toolkits.mplot3d.art3d import Poly3DCollection

    n = len(df)
    tris = vertices.reshape(n, 3, 3)
    vmin, vmax = colour_range(df["annual"].to_numpy())
    cmap = LinearSegmentedColormap.from_list("solar", [(p, tuple(c / 255 for c in rgb)) for p, rgb in PALETTE])
    norm = Normalize(vmin, vmax)
    sx, sy, sz = sun
    elev = float(np.degrees(np.arctan2(sz, np.hypot(sx, sy))))
    azim = float(np.degrees(np.arctan2(sy, sx)))
    fig = plt.figure(figsize=(12, 6))
    lo, hi = tris.reshape(-1, 3).min(axis=0), tris.reshape(-1, 3).max(axis=0)
    for k, (name, e, a) in enumerate((("from the sun's mean direction (elevation %.0f°)" % elev, elev, azim),
                                      ("from above", 90.0, -90.0))):
        ax = fig.add_subplot(1, 2, k + 1, projection="3d")
        ax.add_collection3d(Poly3DCollection(tris, facecolors=cmap(norm(df["annual"].to_numpy())), linewidths=0))
        ax.set_xlim(lo[0], hi[0])
        ax.set_ylim(lo[1], hi[1])
        ax.set_zlim(lo[2], hi[2])
        ax.set_box_aspect(np.maximum(hi - lo, 1e-9))
        ax.view_init(elev=e, azim=a)
        ax.set_title(name, fontsize=10)
        ax.set_axis_off()
    sm = plt.cm.ScalarMappable(norm=norm, cmap=cmap)
    fig.colorbar(sm, ax=fig.axes, shrink=0.6, label="annual irradiation [kWh/m² a]")
    fig.suptitle(title)
    _atomic_text(path, lambda p: fig.savefig(p, format="png", dpi=110))
    plt.close(fig)


FORMATS = ("csv", "parquet", "ply", "glb", "cityjson", "html", "png")


def _same(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def write_outputs(df, vertices: np.ndarray, inputs: dict, folder: str, formats=FORMATS,
                  threshold: float | None = None, note=print) -> dict[str, str]:
    """Writes the map's files (``vertices``: (n, 9), the rows' triangles in the model's local frame) into
    ``folder`` (created if needed): ``triangles``, ``surfaces`` and
    ``buildings`` tables (``.csv``; ``.parquet`` too with pyarrow), ``map.ply``, ``map.glb``,
    ``<model>.solar.json`` (CityJSON models), ``map.html`` (plotly) and ``map.png`` (matplotlib). Every
    file is written to a temporary name in the folder and renamed into place; a path that is one of the
    project's inputs is refused. Formats whose library is missing are skipped with one line through
    ``note``. Returns {kind: path} of what was written."""
    threshold = float(inputs["threshold"] if threshold is None else threshold)
    os.makedirs(folder, exist_ok=True)
    project = inputs["project"]
    model = inputs["model"]
    guarded = [model, project.get("file") or ""]
    for e in project["modules"]:
        for v in e.get("values", {}).values():
            if isinstance(v, str) and os.path.isfile(v):
                guarded.append(v)
    written: dict[str, str] = {}

    def target(name: str) -> str:
        path = os.path.join(folder, name)
        for g in guarded:
            if g and os.path.exists(g) and os.path.exists(path) and _same(path, g):
                raise ValueError("输出文件 %s 是项目的输入文件，拒绝覆盖" % path)
        return path

    chain = chain_of(inputs)
    tables = {"triangles": df,
              "surfaces": solar_potential(df, "surface", threshold, chain),
              "buildings": solar_potential(df, "building", threshold, chain)}
    if "csv" in formats:
        for name, t in tables.items():
            path = target(name + ".csv")
            _atomic_text(path, lambda p, t=t: t.to_csv(p, index=False, float_format="%.6g"))
            written[name + ".csv"] = path
    if "parquet" in formats:
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            note("未安装 pyarrow，跳过 Parquet 表（pip install 'quillmere[parquet]'）")
        else:
            for name, t in tables.items():
                path = target(name + ".parquet")
                _atomic_text(path, lambda p, t=t: t.to_parquet(p, index=False))
                written[name + ".parquet"] = path
    annual = df["annual"].to_numpy()
    rgb = colours(annual, *colour_range(annual))
    origin = list(df.attrs["origin"])
    for fmt in ("ply", "glb"):
        if fmt in formats:
            path = target("map." + fmt)
            _native._maps_mesh_file(path, fmt, vertices, np.ascontiguousarray(annual, dtype=np.float64), rgb, origin,
                                    "annual", "kWh/m2")
            written["map." + fmt] = path
    if "cityjson" in formats and model.lower().endswith((".json", ".jsonl")):
        surf = tables["surfaces"]
        keys = ["solar_annual_kwh_m2", "solar_annual_p90_kwh_m2", "solar_area_m2", "solar_area_above_m2",
                "solar_kwp", "solar_energy_kwh"]
        cols = ["annual_mean", "annual_p90", "area", "area_above", "kwp", "energy_kwh"]
        base = os.path.basename(model)
        stem = base[:-5] if base.endswith(".json") else base[:-6]
        name = stem + ".solar" + (".jsonl" if base.endswith(".jsonl") else ".json")
        path = target(name)
        n = _native._maps_cityjson_file(model, path, inputs.get("lod") or "", list(surf["surface"]), keys,
                                        np.ascontiguousarray(surf[cols].to_numpy(dtype=np.float64)))
        written[name] = path
        written["cityjson_surfaces"] = str(n)
    title = "%s: annual irradiation" % os.path.basename(model)
    if "html" in formats:
        try:
            import plotly  # noqa: F401
        except ImportError:
            note("未安装 plotly，跳过交互式三维视图（pip install 'quillmere[map]'）")
        else:
            path = target("map.html")
            html_view(df, vertices, path, title)
            written["map.html"] = path
    if "png" in formats:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            note("未安装 matplotlib，跳过报告图（pip install 'quillmere[plot]'）")
        else:
            path = target("map.png")
            report_png(df, vertices, tuple(df.attrs["sun_direction"]), path, title)
            written["map.png"] = path
    return written


def map_command(args) -> int:
    """``quillmere map project.toml [-o FOLDER] [--formats ...] [--threshold X] [--threads T] [--quiet]``."""
    import sys
    import time

    from quillmere.maps import irradiation_map, map_inputs

    formats = tuple(f.strip() for f in args.formats.split(",") if f.strip())
    unknown = [f for f in formats if f not in FORMATS]
    if unknown:
        print("错误：--formats 中未知的格式 %s（可用: %s）" % (", ".join(unknown), ", ".join(FORMATS)))
        return 1
    if args.threshold is not None and not (args.threshold >= 0 and np.isfinite(args.threshold)):
        print("错误：--threshold 应为非负数（kWh/m²/年），实际为 %r" % args.threshold)
        return 1
    say = (lambda s: None) if args.quiet else print
    t0 = time.perf_counter()
    inputs = map_inputs(args.project)
    folder = os.path.abspath(args.output or os.path.join(inputs["project"]["folder"], "map"))
    if os.path.exists(folder) and not os.path.isdir(folder):
        print("错误：输出路径已存在且不是文件夹: " + folder)
        return 1
    say("开始计算日照图：%d 个表面，%d 个步长，每个三角形 %d 个天空方向" % (
        len(inputs["surfaces"]), len(inputs["times"]), inputs["sky_directions"]))
    progress = None
    if not args.quiet and sys.stderr is not None and sys.stderr.isatty():
        def progress(done: int, total: int) -> None:
            sys.stderr.write("\r日照图: %5.1f %%" % (100.0 * done / max(total, 1)) + ("\n" if done == total else ""))
            sys.stderr.flush()
    df, vertices = irradiation_map(None, inputs=inputs, threads=args.threads, progress=progress,
                                   return_vertices=True)
    a = df.attrs
    say("日照图%s：%d 个三角形（%d 个采样），%d 条光线，%.1f s" % (
        "（缓存）" if a["cached"] else "计算结束", len(df), a["samples"], a["beam_rays"] + a["view_rays"], a["seconds"]))
    if a["skipped_steps"]:
        say("警告：%d 个步长的天气值缺失（NaN），未计入" % a["skipped_steps"])
    threshold = float(inputs["threshold"] if args.threshold is None else args.threshold)
    written = write_outputs(df, vertices, inputs, folder, formats, threshold, note=say)
    buildings = solar_potential(df, "building", threshold, chain_of(inputs))
    area = float(buildings["area"].sum())
    above = float(buildings["area_above"].sum())
    mean = float((df["annual"] * df["area"]).sum() / df["area"].sum()) if area > 0 else float("nan")
    say("年辐照量：面积加权平均 %.0f kWh/m²，%d 栋建筑，%.1f m² 中 %.1f m² 不低于 %.0f kWh/m²，可装 %.1f kWp，"
        "年发电约 %.0f kWh" % (mean, len(buildings), area, above, threshold, float(buildings["kwp"].sum()),
                             float(buildings["energy_kwh"].sum())))
    for name, path in written.items():
        if os.path.sep in str(path):
            say("输出: " + path)
    say("总用时 %.1f s" % (time.perf_counter() - t0))
    return 0
