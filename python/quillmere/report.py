"""PNG report of a run (needs matplotlib, the ``plot`` extra).

Three rows: monthly energy per generator; the shading of every analysed
surface over sun azimuth x altitude, titled with the surface's sky view (exact method: the exact factor at each
hour of the run with the sun up; table method: the table, interpolated
bilinearly over its true extent); one summer and one winter week of hourly
power. Importing this module raises ImportError without matplotlib.
"""
import os

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from quillmere.components.shade_group import TABLE_ENCODINGS  # noqa: E402

__all__ = ["make_report", "shading_tables", "sky_views"]


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
    ts = results["timestamp"]
    start = pd.Timestamp(year=ts.iloc[0].year, month=month, day=day)
    sel = (ts >= start) & (ts < start + pd.Timedelta(days=7))
    return results[sel] if sel.any() else None


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


def make_report(results, project, summary, path, modules=None):
    """Draws the report of one run into the PNG file path (modules: the run's modules, for exact shading)."""
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
    ncols = max(2, len(maps))
    fig = plt.figure(figsize=(4.2 * ncols, 12), layout="constrained")
    grid = fig.add_gridspec(3, ncols)

    ax = fig.add_subplot(grid[0, :])
    ts = results["timestamp"]
    if gens and len(ts) > 1:
        dt_h = ts.diff().dt.total_seconds().median() / 3600.0
        months = ts.dt.to_period("M")
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

    for i, (title, table) in enumerate(maps):
        ax = fig.add_subplot(grid[1, i])
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
        ax = fig.add_subplot(grid[1, :])
        ax.axis("off")
        ax.text(0.5, 0.5, "no shading table", ha="center", va="center")

    weeks = grid[2, :].subgridspec(1, 2)
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
            ax.plot(week["timestamp"], week[col].astype(float), label=name, linewidth=1.0,
                    linestyle=("-", "--", ":", "-.")[i % 4])
        ax.set_ylabel("power [kW]")
        ax.set_title(label)
        ax.tick_params(axis="x", labelrotation=30)
        if gens:
            ax.legend(fontsize=8)

    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path
