"""The PV conversion chain against pvlib, the demo's loss tree, and the chain's cost.

    python benchmarks/bench_chain.py [--weather FILE.epw] [--out DIR]

1. Annual AC energy of an unshaded 35 deg south roof and an east wall on a
   real weather year (default: the Amsterdam IWEC file in ../shared/data)
   against the same chain composed from pvlib's functions (solar position,
   isotropic sky with the ground reflecting the diffuse light as our panel
   does, iam.physical on the beam and iam.marion_diffuse on sky and ground,
   temperature.faiman, pvsystem.pvwatts_dc, pvwatts_losses, inverter.pvwatts),
   with the hourly differences of AC power.
2. The loss tree of the demo house with PV arrays and an inverter, on the same
   weather and on the demo's synthetic year, each stage in kWh and per cent.
3. Cost: the demo year with the simple panels against the same year with PV
   arrays and an inverter, in one run (interleaved, best of 7 each).

pvlib is used here only, as the reference; the package never imports it.
"""
import argparse
import math
import os
import pathlib
import sys
import tempfile
import time

import numpy as np
import pandas as pd

from quillmere.core import demo
from quillmere.core.manager import Manager

_REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
AMSTERDAM = next((p for p in (os.path.join(_REPO, "..", "shared", "data", "NLD_Amsterdam062400_IWEC.epw"),
                              os.path.join(_REPO, "..", "..", "shared", "data", "NLD_Amsterdam062400_IWEC.epw"))
                  if os.path.isfile(p)), "")

PLANES = {"roof_south": (35.0, 180.0), "wall_east": (90.0, 90.0)}  # tilt, azimuth [deg]
SIZE = 4.0  # m, each plane a SIZE x SIZE square: 16 m2, 3.2 kWp at 20 %


def plane_stl():
    """Two free squares far apart (nothing shades them): a south roof and an east wall."""
    out = []
    for k, (name, (tilt, az)) in enumerate(PLANES.items()):
        t, a = math.radians(tilt), math.radians(az)
        n = (math.sin(t) * math.sin(a), math.sin(t) * math.cos(a), math.cos(t))
        u = (math.cos(a), -math.sin(a), 0.0)                  # along the level line
        v = (n[1] * u[2] - n[2] * u[1], n[2] * u[0] - n[0] * u[2], n[0] * u[1] - n[1] * u[0])  # up the slope
        o = (1000.0 * k, 0.0, 10.0)
        p = [tuple(o[i] + s * u[i] * SIZE + r * v[i] * SIZE for i in range(3)) for s, r in
             ((0, 0), (1, 0), (1, 1), (0, 1))]
        out.append(f"solid {name}")
        for tri in ((p[0], p[1], p[2]), (p[0], p[2], p[3])):
            # keep the winding that faces n
            e1 = [tri[1][i] - tri[0][i] for i in range(3)]
            e2 = [tri[2][i] - tri[0][i] for i in range(3)]
            c = (e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0])
            if sum(c[i] * n[i] for i in range(3)) < 0:
                tri = (tri[0], tri[2], tri[1])
            out.append(f"  facet normal {n[0]:.12g} {n[1]:.12g} {n[2]:.12g}\n    outer loop")
            out += [f"      vertex {x:.12g} {y:.12g} {z:.12g}" for x, y, z in tri]
            out.append("    endloop\n  endfacet")
        out.append(f"endsolid {name}")
    return "\n".join(out) + "\n"


def epw_site(path):
    f = open(path, encoding="latin1").readline().split(",")
    return float(f[6]), float(f[7]), int(float(f[8]))  # latitude, longitude, time zone


def ours(folder, weather, sky="isotropic"):
    lat, lon, tz = epw_site(weather)
    # The site's light: perez with the ground reflecting global light, or the panel module's light.
    site_light = ('transposition_model = "perez"\nground_reflection = "global"\n' if sky == "perez" else
                  'transposition_model = "isotropic"\nground_reflection = "diffuse"\n')
    (folder / "planes.stl").write_text(plane_stl(), encoding="utf-8")
    links = ['"weather.rad2 -> %s.normal_rad", "weather.rad3 -> %s.diffuse_rad", '
             '"weather.dry_bulb_temp -> %s.temp_air", "weather.wind_speed -> %s.wind_speed"' % ((p,) * 4)
             for p in PLANES]
    mods = "".join(f"""
[[modules]]
name = "{p}"
type = "PVArray"
shading = "shade"
surface = "{p}"
area = {SIZE * SIZE}
efficiency = 0.2
diffuse = "isotropic"
[[modules]]
name = "inv_{p}"
type = "Inverter"
panels = "{p}"
pdc0 = {SIZE * SIZE * 0.2 / 1.1}
""" for p in PLANES)
    body = f"""time_step = 3600
links = [{", ".join(links)}]
[site]
latitude = {lat}
longitude = {lon}
time_zone = {tz}
{site_light}
[[modules]]
name = "weather"
type = "WaetherFeed"
file = "{weather}"
[[modules]]
name = "shade"
type = "SurfaceShadow"
model = "planes.stl"
table = "shade.csv"
surfaces = [{", ".join('"%s"' % p for p in PLANES)}]
{mods}"""
    from quillmere.core.manager import ProjectError

    texts = [body] + ([body.replace(site_light, "")] if sky == "isotropic" else [])
    for i, text in enumerate(texts):
        (folder / "planes.toml").write_text(text, encoding="utf-8")
        m = Manager(str(folder / "planes.toml"))
        m.quiet = True
        try:
            return m.run_simulation()
        except ProjectError as e:  # a package without the site's light keys has the isotropic light only
            if i + 1 == len(texts) or "transposition_model" not in str(e):
                raise


def reference(weather, sky="isotropic"):
    """The same chain from pvlib's functions, hour by hour."""
    import pvlib

    data, meta = pvlib.iotools.read_epw(weather, coerce_year=2025)
    # Each EPW row is the mean of the hour ending at its stamp: the sun at the middle of that hour.
    tz = meta["TZ"]
    times = pd.date_range("2025-01-01 00:30", periods=8760, freq="h", tz=f"Etc/GMT{-int(tz):+d}")
    sp = pvlib.solarposition.get_solarposition(times, meta["latitude"], meta["longitude"])
    dni = data["dni"].to_numpy(float).astype(np.float32).astype(float)
    dhi = data["dhi"].to_numpy(float).astype(np.float32).astype(float)
    tair = data["temp_air"].to_numpy(float).astype(np.float32).astype(float)
    wind = data["wind_speed"].to_numpy(float).astype(np.float32).astype(float)
    out = {}
    for name, (tilt, az) in PLANES.items():
        aoi = pvlib.irradiance.aoi(tilt, az, sp["apparent_zenith"].to_numpy(), sp["azimuth"].to_numpy())
        lit = (dni > 0) & (aoi < 90)
        beam = np.where(lit, dni * np.cos(np.radians(aoi)), 0.0)
        circumsolar = np.zeros_like(beam)
        if sky == "perez":
            zenith = sp["apparent_zenith"].to_numpy()
            parts = pvlib.irradiance.perez(tilt, az, dhi, dni, pvlib.irradiance.get_extra_radiation(times).to_numpy(),
                                           zenith, sp["azimuth"].to_numpy(),
                                           pvlib.atmosphere.get_relative_airmass(zenith),
                                           model="allsitescomposite1990", return_components=True)
            circumsolar = np.where(lit, np.nan_to_num(np.asarray(parts["poa_circumsolar"], dtype=float)), 0.0)
            sky_light = np.nan_to_num(np.asarray(parts["poa_isotropic"], dtype=float) + np.asarray(parts["poa_horizon"], dtype=float))
            ghi = dni * np.maximum(np.cos(np.radians(zenith)), 0) + dhi
            ground = pvlib.irradiance.get_ground_diffuse(tilt, ghi, albedo=0.2)
        else:
            sky_light = dhi * (1 + math.cos(math.radians(tilt))) / 2
            ground = 0.2 * dhi * (1 - math.cos(math.radians(tilt))) / 2  # the diffuse light reflected, as ours
        poa = beam + circumsolar + sky_light + ground
        d = pvlib.iam.marion_diffuse("physical", tilt)
        geff = ((beam + circumsolar) * np.nan_to_num(pvlib.iam.physical(aoi)) + sky_light * d["sky"] +
                ground * d["ground"])
        tcell = pvlib.temperature.faiman(poa, tair, wind)
        pdc0 = SIZE * SIZE * 0.2
        dc = pvlib.pvsystem.pvwatts_dc(geff, tcell, pdc0, -0.004)
        dc = dc * (1 - pvlib.pvsystem.pvwatts_losses(shading=0) / 100)
        ac = pvlib.inverter.pvwatts(dc, pdc0 / 1.1)
        out[name] = ac
    return out


def tree_lines(tree, rated):
    light = ["poa_unshaded", "poa_beam_shaded", "poa_global", "effective_irradiance"]
    lines = []
    for i, (k, v) in enumerate(tree.items()):
        prev = list(tree.values())[i - 1] if i else None
        step = "" if prev is None or k == "dc_stc" else f"{100 * (v / prev - 1):+7.2f} %"
        note = " (light on the panels)" if k in light else ""
        lines.append(f"    {k:22s} {v:12.1f} kWh {step}{note}")
    lines.append(f"    full-load hours (AC / pdc0): {tree['ac'] / rated:.0f} kWh/kWp")
    return lines


def demo_project(folder, weather, chain, mounting="open_rack"):
    """The demo house's project, with PV arrays and an inverter when `chain`."""
    args = [str(folder), "--no-plot", "--quiet", "--force"] + (["--weather", weather] if weather else [])
    from quillmere import cli
    cli.main(["demo"] + args)
    t = (folder / "project.toml").read_text(encoding="utf-8")
    if chain:
        t = t.replace('type = "SunPanel"', f'type = "PVArray"\nmounting = "{mounting}"')
        t = t.replace("links = [\n", "links = [\n" + "".join(
            f' "weather.dry_bulb_temp -> {p}.temp_air", "weather.wind_speed -> {p}.wind_speed",\n'
            for p in ("pv_east", "pv_west")))
        t = t.replace("[output]", '[[modules]]\nname = "inverter"\ntype = "Inverter"\npanels = "pv_east, pv_west"\n'
                                  'pdc0 = 7.0\n\n[output]')
    t = t.replace('csv = "results.csv"', "")
    (folder / "p.toml").write_text(t, encoding="utf-8")
    return str(folder / "p.toml")


def run(path):
    m = Manager(path)
    m.quiet = True
    t0 = time.perf_counter()
    df = m.run_simulation()
    return m, df, time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--weather", default=AMSTERDAM)
    ap.add_argument("--out", default=None)
    ap.add_argument("--sky", choices=("isotropic", "perez"), default="isotropic",
                    help="the site's light on the two planes (perez: with the ground reflecting global light)")
    a = ap.parse_args()
    base = pathlib.Path(a.out or tempfile.mkdtemp(prefix="bench_chain_"))
    base.mkdir(parents=True, exist_ok=True)
    if not a.weather:
        sys.exit("no weather file: pass --weather FILE.epw")

    print(f"1. Annual AC energy against pvlib's functions ({os.path.basename(a.weather)})")
    df = ours(base, os.path.abspath(a.weather), a.sky)
    ref = reference(a.weather, a.sky)
    for p in PLANES:
        q = df[f"inv_{p}.ac_power"].to_numpy()
        r = ref[p]
        e_q, e_r = q.sum(), r.sum()
        diff = q - r
        print(f"   {p:11s} ours {e_q:9.3f} kWh  pvlib {e_r:9.3f} kWh  {100 * (e_q / e_r - 1):+.4f} %   hourly "
              f"|diff| max {np.abs(diff).max() * 1000:.3g} W, mean {np.abs(diff).mean() * 1000:.3g} W "
              f"(peak {r.max() * 1000:.0f} W)")

    print("2. Loss tree of the demo house (two arrays of 4 kWp, an inverter of 7 kW DC)")
    for label, w in (("Amsterdam IWEC", a.weather), ("demo synthetic year", None)):
        for mounting in ("open_rack", "close_mount", "insulated_back"):
            m, df, _ = run(demo_project(base / "demo", w, True, mounting))
            tree = m.modules["inverter"].loss_tree()
            print(f"   {label}, mounting {mounting}:")
            for line in tree_lines(tree, 8.0):
                print(line)

    print("3. Cost of the chain: the demo year, runs interleaved, best of 7 each")
    simple, chain = demo_project(base / "simple", None, False), demo_project(base / "chain", None, True)
    run(simple), run(chain)  # shading and views cached
    times = {simple: [], chain: []}
    for _ in range(7):
        for p in (simple, chain):
            times[p].append(run(p)[2])
    ts, tc = min(times[simple]), min(times[chain])
    print(f"   simple panels {ts:.3f} s, PV arrays + inverter {tc:.3f} s: ratio {tc / ts:.2f} "
          f"(medians {np.median(times[simple]):.3f} s, {np.median(times[chain]):.3f} s)")


if __name__ == "__main__":
    main()
