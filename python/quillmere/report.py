"""PNG report of a run (needs matplotlib, the ``plot`` extra).

A heading with the site, the weather file, the period and every generator's
energy and specific yield (kWh/kWp); then monthly energy per generator; the
model seen from the sun's side with its analysed surfaces coloured by their
direct irradiation on the plane over the period (kWh/m2, from the run's exact
factors; cast per step for table-method runs), next to the shading
of every analysed surface (titled with its sky view) over sun azimuth x altitude (exact method: the exact
factor at each hour of the run with the sun up; table method: the table,
interpolated bilinearly over its true extent); one summer and one winter week
of hourly power; and, for panels that publish the light on their plane, its parts
per month (direct, circumsolar, the rest of the sky, ground; kWh/m2). Importing this
module raises ImportError without matplotlib.
"""
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from quillmere.components.shade_group import TABLE_ENCODINGS  # noqa: E402

__all__ = ["make_report", "shading_tables", "direct_irradiation", "run_facts", "sky_views", "monthly_light"]

LIGHT_PARTS = ("poa_direct", "poa_circumsolar", "poa_sky_diffuse", "poa_ground_diffuse")


def monthly_light(results):
    """{panel: DataFrame} of the light on each panel's plane per month [kWh/m2]: columns poa_direct,
    poa_circumsolar, poa_sky_diffuse (circumsolar included, as pvlib counts it), poa_ground_diffuse and
    poa_global, for every module whose results hold those outputs."""
    ts = _times(results)
    if len(ts) < 2:
        return {}
    dt_h = ts.diff().dt.total_seconds().median() / 3600.0
    months = ts.dt.tz_localize(None).dt.to_period("M") if ts.dt.tz is not None else ts.dt.to_period("M")
    months.index = results.index
    out = {}
    for col in results.columns:
        if not col.endswith(".poa_global"):
            continue
        panel = col[: -len(".poa_global")]
        parts = [panel + "." + p for p in LIGHT_PARTS + ("poa_global",)]
        if all(c in results.columns for c in parts):
            frame = results[parts].astype(float).fillna(0.0) * dt_h / 1000.0
            frame.columns = list(LIGHT_PARTS + ("poa_global",))
            out[panel] = frame.groupby(months).sum()
    return out


def _times(results):
    """The step times: the results' index (or a "timestamp" column of older tables)."""
    if isinstance(results.index, pd.DatetimeIndex):
        return pd.Series(results.index, index=results.index)
    return pd.Series(pd.to_datetime(results["timestamp"]).to_numpy(), index=results.index)


def _declared(cls, kind):
    return [v["key"] for v in (getattr(cls, "project_values", None) or ()) if v.get("kind") == kind]


def run_facts(results, project, summary):
    """Lines of the report's heading: site, weather file, period, and per
    generator its energy over the period and its yield per rated kW."""
    lines = []
    site = (project or {}).get("site") or {}
    if site:
        lines.append("Site: latitude %.2f deg, longitude %.2f deg, UTC%+d (standard time)"
                     % (site.get("latitude", float("nan")), site.get("longitude", float("nan")),
                        int(site.get("time_zone", 0))))
    for m in (project or {}).get("modules", []):
        for key in _declared(m.get("class"), "weather_file")[:1]:
            lines.append("Weather file: %s" % (m.get("values") or {}).get(key, "?"))
    ts = _times(results)
    if len(ts):
        days = (ts.iloc[-1].normalize() - ts.iloc[0].normalize()).days + 1
        lines.append("Period: %s to %s (%d steps, %d days)" % (ts.iloc[0].strftime("%Y-%m-%d"),
                                                             ts.iloc[-1].strftime("%Y-%m-%d"), len(ts), days))
    for name, d in (summary or {}).items():
        rated = d.get("rated_kw")
        per = " = %.0f kWh/kW%s" % (d["energy_kwh"] / rated, "p" if d.get("type") == "SunPanel" else "") \
            if rated else ""
        lines.append("%s (%s): %.0f kWh%s, peak %.2f kW" % (name, d.get("type"), d["energy_kwh"], per,
                                                          d.get("peak_kw", float("nan"))))
    return lines


def _sun_and_beam(results, project, shading_name):
    """(altitude, azimuth, direct normal irradiance [W/m2]) per step for the
    panels of a shading module: their recorded sun angles and the output
    linked into their normal_rad; None when the run did not record them."""
    panels = [m["name"] for m in project.get("modules", [])
              if any((m.get("values") or {}).get(k) == shading_name for k in _declared(m.get("class"),
                                                                                      "shading_module"))]
    for panel in panels:
        alt, az = "%s.height_angle" % panel, "%s.azimuth_angle" % panel
        beam = [("%s.%s" % (l["source"], l["source_variable"])) for l in project.get("links", [])
                if l.get("target") == panel and l.get("target_variable") == "normal_rad"]
        if alt in results.columns and az in results.columns and beam and beam[0] in results.columns:
            return (results[alt].to_numpy(float), results[az].to_numpy(float), results[beam[0]].to_numpy(float))
    return None


def _exact_factors(unit, names, alt, az):
    """{surface: factor per given sun position} from the run's exact factors
    of a shading module (its ``sun_factors()``: the factors of every sun-up
    step, keyed here by the step's sun position), or None where the module
    has none (table method). A position the run did not cast (none, when the
    panels recorded the angles they asked for) is looked up through the
    module, which casts it exactly."""
    factors = getattr(unit, "sun_factors", None)
    data = factors() if callable(factors) else None
    if not data or not all(n in data["factors"] for n in names):
        return None
    rows = {key: i for i, key in enumerate(zip(data["altitude"].tolist(), data["azimuth"].tolist()))}
    index = np.fromiter((rows.get(key, -1) for key in zip(alt.tolist(), az.tolist())), dtype=np.int64,
                        count=len(alt))
    out = {}
    for n in names:
        column = np.asarray(data["factors"][n], dtype=float)
        values = column[np.maximum(index, 0)] if len(column) else np.zeros(len(index))
        for k in np.flatnonzero(index < 0):
            values[k] = unit.get_cos_value(n, float(alt[k]), float(az[k]))
        out[n] = values
    return out


def direct_irradiation(results, project, modules=None, quiet=False):
    """{(shading module, surface): direct irradiation on the surface's plane
    over the run [kWh/m2]}: at every step with sun and beam, the beam times
    the surface's cosine factor (incidence and self-shading) at that step's
    sun position, summed over the steps. The factors are the run's own exact
    ones (``modules``: the run's modules, whose exact shading modules keep
    the factor of every sun-up step); for a module without them (table
    method, or no modules given) they are cast with calculate_shadow at each
    step's sun position, and one line says so (none with ``quiet``)."""
    from quillmere.shadow_calc.occlusion_scan import calculate_shadow

    out = {}
    ts = _times(results)
    dt_h = ts.diff().dt.total_seconds().median() / 3600.0 if len(ts) > 1 else 1.0
    for m in project.get("modules", []):
        cls, values = m.get("class"), m.get("values") or {}
        models = _declared(cls, "model")
        surfaces = _declared(cls, "surfaces")
        if not models or not surfaces or not values.get(surfaces[0]):
            continue
        run = _sun_and_beam(results, project, m["name"])
        if run is None:
            continue
        names = list(values[surfaces[0]])
        alt, az, beam = run
        lit = (alt > 0.0) & (beam > 0.0)
        alt, az, beam = alt[lit], az[lit], beam[lit]
        factors = _exact_factors((modules or {}).get(m["name"]), names, alt, az)
        if factors is None:
            if not quiet:
                print("报告：模块 %s 没有本次运行的精确阴影系数（表格方法），表面直射辐照量按每步太阳位置用 "
                      "calculate_shadow 计算" % m["name"])
            factors = {n: np.zeros(len(alt)) for n in names}
            for k in range(len(alt)):
                cast = calculate_shadow(values[models[0]], names, float(alt[k]), float(az[k]))[0]
                for n in names:
                    factors[n][k] = float(cast.get(n, 0.0))
        for n in names:
            out[(m["name"], n)] = float(np.sum(beam * factors[n])) * dt_h / 1000.0
    return out


def _sun_view(ax, fig, project, results, irradiation):
    """The model projected on a plane facing the mean sun of the run (beam
    weighted), far triangles first; analysed surfaces coloured by their
    direct irradiation, the rest grey."""
    from matplotlib.collections import PolyCollection
    from quillmere.shadow_calc.occlusion_scan import read_stl_with_solids

    drawn = False
    for m in project.get("modules", []):
        cls, values = m.get("class"), m.get("values") or {}
        models = _declared(cls, "model")
        run = _sun_and_beam(results, project, m["name"])
        if not models or run is None or not any(k[0] == m["name"] for k in irradiation):
            continue
        alt, az, beam = run
        w = np.where((alt > 0) & (beam > 0), beam, 0.0)
        if w.sum() <= 0:
            continue
        a, z = np.radians(alt), np.radians(az)
        # Sun directions: azimuth from +y (north) towards +x (east), altitude above the x-y plane.
        dirs = np.stack([np.cos(a) * np.sin(z), np.cos(a) * np.cos(z), np.sin(a)], axis=1)
        d = (dirs * w[:, None]).sum(axis=0)
        d /= np.linalg.norm(d)
        u = np.cross([0.0, 0.0, 1.0], d)
        u = u / np.linalg.norm(u) if np.linalg.norm(u) > 1e-9 else np.array([1.0, 0.0, 0.0])
        v = np.cross(d, u)
        polys, depth, value = [], [], []
        for solid, data in read_stl_with_solids(values[models[0]]).items():
            tris = np.asarray(data[0], dtype=float).reshape(-1, 3, 3)
            val = irradiation.get((m["name"], solid), np.nan)
            for t in tris:
                polys.append(np.stack([t @ u, t @ v], axis=1))
                depth.append(float((t @ d).mean()))
                value.append(val)
        order = np.argsort(depth)
        vals = np.asarray(value)[order]
        vmax = np.nanmax(vals) if np.isfinite(vals).any() else 1.0
        cmap = plt.get_cmap("inferno")
        colours = [cmap(x / vmax) if np.isfinite(x) else (0.82, 0.82, 0.82, 1.0) for x in vals]
        ax.add_collection(PolyCollection([polys[i] for i in order], facecolors=colours, edgecolors=(0, 0, 0, 0.15),
                                         linewidths=0.3))
        ax.autoscale_view()
        ax.set_aspect("equal")
        ax.set_xticks([])
        ax.set_yticks([])
        mappable = plt.cm.ScalarMappable(cmap=cmap, norm=plt.Normalize(0.0, vmax))
        fig.colorbar(mappable, ax=ax, label="direct irradiation on the plane [kWh/m2]")
        ax.set_title("%s seen from the sun (mean of the run: altitude %.0f, azimuth %.0f deg)"
                     % (m["name"], np.degrees(np.arcsin(d[2])), np.degrees(np.arctan2(d[0], d[1])) % 360),
                     fontsize=10)
        drawn = True
        break
    if not drawn:
        ax.axis("off")
        ax.text(0.5, 0.5, "no analysed surfaces with recorded sun angles", ha="center", va="center")


def _generators(results, summary):
    """(name, power column) of every generator whose power was recorded."""
    out = []
    for name in (summary or {}):
        col = "%s.power" % name
        if col in results.columns:
            out.append((name, col))
    return out


def shading_tables(project):
    """[(module name, table path, [surface, ...])] of the project's modules that
    generate a table of surfaces, read from each type's declaration of its
    project values (``project_values`` and ``summary_facts`` of the class)."""
    out = []
    for m in project.get("modules", []):
        cls, values = m.get("class"), m.get("values") or {}
        declared = getattr(cls, "project_values", None) or ()
        generated = (getattr(cls, "summary_facts", None) or {}).get("generated_files", ())
        surfaces = [v["key"] for v in declared if v.get("kind") == "surfaces"]
        for key in generated:
            if surfaces and key in values:
                out.append((m["name"], values[key], list(values.get(surfaces[0], []))))
    return out


def _read_table(path):
    for encoding in TABLE_ENCODINGS:
        try:
            return pd.read_csv(path, encoding=encoding)
        except UnicodeDecodeError:
            continue
    return None


def _week(results, month, day):
    """Rows of the 7 days from month/day of the first year in the results (or None)."""
    ts = _times(results)
    start = pd.Timestamp(year=ts.iloc[0].year, month=month, day=day, tz=ts.iloc[0].tz)
    sel = (ts >= start) & (ts < start + pd.Timedelta(days=7))
    return results[sel] if sel.any() else None


def _balance_row(fig, spec, results, name, balance):
    """A bus's summer and winter week (generation, demand, grid exchange, battery state) and its monthly
    self-consumption and self-sufficiency."""
    cells = spec.subgridspec(1, 3)
    col = "%s.%%s" % name
    battery = balance.get("battery")
    for j, (label, month, day) in enumerate((("summer week (from 21 June)", 6, 21),
                                             ("winter week (from 21 December)", 12, 21))):
        ax = fig.add_subplot(cells[0, j])
        week = _week(results, month, day)
        if week is None:
            week = results.head(7 * 24) if j == 0 else results.tail(7 * 24)
            label = "first week of the run" if j == 0 else "last week of the run"
        t = _times(week).dt.tz_localize(None)
        if col % "generation" in week and col % "demand" in week:
            ax.plot(t, week[col % "generation"], label="generation", linewidth=1.0)
            ax.plot(t, week[col % "demand"], label="demand", linewidth=1.0, linestyle="--")
        if col % "grid_import" in week and col % "grid_export" in week:
            ax.fill_between(t, 0.0, week[col % "grid_import"], alpha=0.35, label="grid import", step="post")
            ax.fill_between(t, 0.0, -week[col % "grid_export"], alpha=0.35, label="grid export (negative)", step="post")
        ax.axhline(0.0, color="black", linewidth=0.5)
        ax.set_ylabel("power [kW]")
        ax.tick_params(axis="x", labelrotation=30)
        if battery and "%s.soc" % battery in week:
            twin = ax.twinx()
            twin.plot(t, 100.0 * week["%s.soc" % battery], color="tab:green", linewidth=1.0, label="battery soc")
            twin.set_ylim(0.0, 105.0)
            twin.set_ylabel("battery state of charge [%]")
            twin.legend(fontsize=8, loc="upper right")
        ax.legend(fontsize=8, loc="upper left")
        ax.set_title("Bus %s: %s" % (name, label))
    ax = fig.add_subplot(cells[0, 2])
    months = sorted(balance.get("months", {}).items())
    if months:
        x = np.arange(len(months))
        ax.bar(x - 0.2, [100.0 * m.get("self_consumption", np.nan) for _, m in months], 0.4, label="self-consumption")
        ax.bar(x + 0.2, [100.0 * m.get("self_sufficiency", np.nan) for _, m in months], 0.4, label="self-sufficiency")
        ax.set_xticks(x, [str(k) for k, _ in months])
        ax.set_ylim(0.0, 105.0)
        ax.legend(fontsize=8)
    ax.set_xlabel("month")
    ax.set_ylabel("[%]")
    year = balance.get("year", {})
    ax.set_title("Bus %s: year %.1f %% self-consumption, %.1f %% self-sufficiency\n"
                 "import %.0f kWh, export %.0f kWh, curtailed %.0f kWh, %.1f battery cycles"
                 % (name, 100.0 * year.get("self_consumption", np.nan), 100.0 * year.get("self_sufficiency", np.nan),
                    year.get("import_kwh", np.nan), year.get("export_kwh", np.nan),
                    year.get("curtailed_kwh", np.nan), year.get("battery_cycles", 0.0)), fontsize=9)


def _exact_maps(modules):
    """[(title, (azimuths, altitudes, factors))] of the exact shading modules' sunny hours."""
    out = []
    for name, unit in (modules or {}).items():
        factors = getattr(unit, "sun_factors", None)
        data = factors() if callable(factors) else None
        if not data or len(data["altitude"]) == 0:
            continue
        for surface, values in data["factors"].items():
            out.append(("%s: %s (exact, hours with sun)" % (name, surface), (data["azimuth"], data["altitude"], values)))
    return out


def sky_views(modules):
    """{(module name, surface): (sky view, ground view)} of the project shading modules' analysed surfaces."""
    out = {}
    for name, unit in (modules or {}).items():
        views = getattr(unit, "sky_views", None)
        if callable(views):
            for surface, pair in views().items():
                out[(name, surface)] = pair
    return out


def module_layouts(modules):
    """[(array name, layout summary)] of the PV arrays with a module layout."""
    out = []
    for name, unit in (modules or {}).items():
        summary = getattr(unit, "layout_summary", None)
        data = summary() if callable(summary) else None
        if data and data["names"]:
            out.append((name, data))
    return out


def _roof_from_above(fig, spec, layouts):
    """Every laid-out array's modules seen from above, coloured by annual DC energy and by partial-shade loss."""
    from matplotlib.collections import PolyCollection

    for k, (key, label, cmap) in enumerate((("module_energy", "annual DC energy per module [kWh]", "viridis"),
                                            ("module_partial_shade_loss", "electrical partial-shade loss [kWh]",
                                             "magma_r"))):
        ax = fig.add_subplot(spec[0, k])
        polys = [[(c[0], c[1]) for c in corners] for _, data in layouts for corners in data["corners"]]
        values = [v for _, data in layouts for v in data[key]]
        coll = PolyCollection(polys, array=np.asarray(values, float), cmap=cmap, edgecolors="k", linewidths=0.5)
        ax.add_collection(coll)
        for _, data in layouts:
            for nm, corners in zip(data["names"], data["corners"]):
                cx = sum(c[0] for c in corners) / 4
                cy = sum(c[1] for c in corners) / 4
                ax.text(cx, cy, nm, ha="center", va="center", fontsize=6, color="w")
        ax.autoscale_view()
        ax.set_aspect("equal")
        ax.set_xlabel("x (east) [m]")
        ax.set_ylabel("y (north) [m]")
        ax.set_title("Modules from above (%s): %s" % (", ".join(n for n, _ in layouts), label), fontsize=10)
        fig.colorbar(coll, ax=ax, label=label)


def _waterfall_trees(results):
    """The loss trees to draw: every tree that ends in AC (an inverter's, which holds its arrays'), else every
    array's."""
    trees = dict(getattr(results, "attrs", {}).get("loss_tree") or {})
    ac = [(n, t) for n, t in trees.items() if "ac" in t]
    return ac or list(trees.items())


def _waterfall(ax, stages, title):
    """Bars from each stage's energy to the next: the first stage whole, then each change (red a loss)."""
    if not stages:
        ax.axis("off")
        return
    names = [s for s, _ in stages]
    values = [float(v) for _, v in stages]
    ax.bar(0, values[0], color="tab:blue")
    for i in range(1, len(values)):
        change = values[i] - values[i - 1]
        ax.bar(i, change, bottom=values[i - 1], color="tab:red" if change < 0 else "tab:green")
        ax.annotate("%+.1f %%" % (100 * change / values[i - 1]) if values[i - 1] else "", (i, max(values[i], values[i - 1])),
                    ha="center", va="bottom", fontsize=8)
    ax.bar(len(values), values[-1], color="tab:blue")
    ax.set_xticks(range(len(values) + 1), names + ["= " + names[-1]], rotation=30, ha="right", fontsize=8)
    ax.set_ylim(min(values) * 0.9, max(values) * 1.03)
    ax.set_title(title, fontsize=10)


def make_report(results, project, summary, path, modules=None, quiet=False):
    """Draws the report of one run into the PNG file path (modules: the run's modules, for exact shading;
    quiet: no line when a module's irradiation is cast instead of read from the run's factors)."""
    gens = _generators(results, summary)
    views = sky_views(modules)
    maps = _exact_maps(modules)
    exact_modules = {title.split(":")[0] for title, _ in maps}
    for name, table, surfaces in shading_tables(project or {}):
        if name in exact_modules:
            continue
        data = _read_table(table) if os.path.isfile(table) else None
        if data is None or "方位角" not in data.columns or "高度角" not in data.columns:
            continue
        for surface in surfaces:
            if surface in data.columns:
                grid = data.pivot_table(index="高度角", columns="方位角", values=surface)
                maps.append(("%s: %s (table)" % (name, surface), grid))
    project = project or {}
    irradiation = direct_irradiation(results, project, modules, quiet)
    light = monthly_light(results)  # panels' light per month: a row of its own
    ncols = max(3, len(maps) + 2, len(light))
    balances = dict(results.attrs.get("energy_balance") or {})  # buses: a row of their own
    trees = _waterfall_trees(results)  # loss trees: a row of their own
    layouts = module_layouts(modules)  # laid-out arrays: a row of their own
    extra = bool(balances) + bool(trees) + bool(light) + bool(layouts)
    fig = plt.figure(figsize=(4.2 * ncols, 15 + 3.5 * extra), layout="constrained")
    grid = fig.add_gridspec(4 + extra, ncols, height_ratios=[0.45, 1, 1.2, 1] + [1] * extra)

    head = fig.add_subplot(grid[0, :])
    head.axis("off")
    head.text(0.0, 1.0, "\n".join(run_facts(results, project, summary)), va="top", ha="left", fontsize=11,
              family="monospace")

    ax = fig.add_subplot(grid[1, :])
    ts = _times(results)
    if gens and len(ts) > 1:
        dt_h = ts.diff().dt.total_seconds().median() / 3600.0
        months = ts.dt.tz_localize(None).dt.to_period("M") if ts.dt.tz is not None else ts.dt.to_period("M")
        monthly = pd.DataFrame({name: (results[col].astype(float) * dt_h).groupby(months).sum()
                                for name, col in gens})
        x = np.arange(len(monthly))
        width = 0.8 / len(gens)
        for i, name in enumerate(monthly.columns):
            ax.bar(x + i * width - 0.4 + width / 2, monthly[name], width, label=name)
        ax.set_xticks(x, [str(p) for p in monthly.index], rotation=45 if len(x) > 12 else 0)
        ax.legend()
    ax.set_ylabel("energy [kWh]")
    ax.set_title("Monthly energy per generator")

    _sun_view(fig.add_subplot(grid[2, 0:2]), fig, project, results, irradiation)
    for i, (title, table) in enumerate(maps):
        ax = fig.add_subplot(grid[2, i + 2])
        if isinstance(table, tuple):
            az, alt, values = table
            mesh = ax.scatter(az, alt, c=values, s=4, vmin=0.0, vmax=1.0, cmap="viridis")
        else:
            # Bilinear between the grid points, over the table's true extent.
            az = table.columns.to_numpy(dtype=float)
            alt = table.index.to_numpy(dtype=float)
            mesh = ax.pcolormesh(az, alt, table.to_numpy(dtype=float), shading="gouraud", vmin=0.0, vmax=1.0,
                                 cmap="viridis")
            ax.set_xlim(az.min(), az.max())
            ax.set_ylim(alt.min(), alt.max())
        ax.set_xlabel("sun azimuth [deg from north]")
        ax.set_ylabel("sun altitude [deg]")
        module, _, surface = title.partition(": ")
        view = views.get((module, surface.split(" (")[0]))
        if view is not None:
            title += "\nsky view %.3f, ground view %.3f" % view
        ax.set_title(title, fontsize=10)
        fig.colorbar(mesh, ax=ax, label="cosine factor")
    if not maps:
        ax = fig.add_subplot(grid[2, 2:])
        ax.axis("off")
        ax.text(0.5, 0.5, "no shading table", ha="center", va="center")

    weeks = grid[3, :].subgridspec(1, 2)
    for j, (label, month, day) in enumerate((("Summer week (from 21 June)", 6, 21),
                                             ("Winter week (from 21 December)", 12, 21))):
        ax = fig.add_subplot(weeks[0, j])
        week = _week(results, month, day)
        if week is None:
            # The period does not reach that date: show the first or the last week of the run.
            week = results.head(7 * 24) if j == 0 else results.tail(7 * 24)
            label = "First week of the run" if j == 0 else "Last week of the run"
        for i, (name, col) in enumerate(gens):
            # Line styles as well as colours, so curves lying on top of each other stay visible.
            ax.plot(_times(week).dt.tz_localize(None), week[col].astype(float), label=name, linewidth=1.0,
                    linestyle=("-", "--", ":", "-.")[i % 4])
        ax.set_ylabel("power [kW]")
        ax.set_title(label)
        ax.tick_params(axis="x", labelrotation=30)
        if gens:
            ax.legend(fontsize=8)

    if trees:
        falls = grid[4 + bool(balances), :].subgridspec(1, 2 * len(trees))
        for j, (name, tree) in enumerate(trees):
            stages = list(tree)
            cut = stages.index("dc_stc") if "dc_stc" in stages else len(stages)
            for k, (part, unit) in enumerate(((stages[:cut], "light on the panels"), (stages[cut:], "electrical"))):
                _waterfall(fig.add_subplot(falls[0, 2 * j + k]), [(st, tree[st]) for st in part],
                           "%s: %s [kWh]" % (name, unit))
    if balances:
        name, balance = next(iter(balances.items()))
        _balance_row(fig, grid[4, :], results, name, balance)
    if light:
        panels = grid[4 + bool(balances) + bool(trees), :].subgridspec(1, len(light))
        for j, (panel, frame) in enumerate(light.items()):
            ax = fig.add_subplot(panels[0, j])
            x = np.arange(len(frame))
            bottom = np.zeros(len(frame))
            # The sky's own bar leaves out the circumsolar part, drawn beside the beam.
            bars = (("direct", frame["poa_direct"]), ("circumsolar", frame["poa_circumsolar"]),
                    ("sky (dome, horizon)", frame["poa_sky_diffuse"] - frame["poa_circumsolar"]),
                    ("ground", frame["poa_ground_diffuse"]))
            for label, values in bars:
                ax.bar(x, values.to_numpy(), 0.8, bottom=bottom, label=label)
                bottom += values.to_numpy()
            ax.set_xticks(x, [str(p)[-2:] for p in frame.index])
            ax.set_ylabel("light on the plane [kWh/m²]")
            ax.set_title("%s: %.0f kWh/m²" % (panel, frame["poa_global"].sum()), fontsize=10)
            ax.legend(fontsize=7)

    if layouts:
        _roof_from_above(fig, grid[4 + bool(balances) + bool(trees) + bool(light), :].subgridspec(1, 2), layouts)

    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    # Drawn in memory, then written in one replacement: never a half-written report.
    import io

    from quillmere._native import _write_file_atomic

    buffer = io.BytesIO()
    fmt = os.path.splitext(path)[1].lstrip(".").lower() or "png"
    fig.savefig(buffer, dpi=110, format=fmt)
    plt.close(fig)
    _write_file_atomic(path, buffer.getvalue())
    return path
