"""An independent partial-shade reference from pvlib's parts: each cell's curve from pvlib's
calcparams_desoto and singlediode.bishop88 (reverse bias included), combined on a fine current grid
(cells in series add voltages, a bypass diode holds its substring at -vf, substrings and modules add),
the string's MPP the largest current x voltage. Used by the tests and benchmarks only."""
from __future__ import annotations

import numpy as np
from pvlib import pvsystem, singlediode

BREAKDOWN = dict(breakdown_factor=2e-3, breakdown_voltage=-15.0, breakdown_exp=3.0)
DATASHEET = dict(v_mp=31.0, i_mp=8.9, v_oc=38.3, i_sc=9.43, alpha_sc=0.0047, beta_voc=-0.118)


def cell_curve(params, g, t, cells_in_series, currents):
    """Voltage of one cell [V] at each of `currents` [A]."""
    il, i0, rs, rsh, nv = pvsystem.calcparams_desoto(
        g, t, alpha_sc=params["alpha_sc"], a_ref=params["a_ref"], I_L_ref=params["I_L_ref"],
        I_o_ref=params["I_o_ref"], R_sh_ref=params["R_sh_ref"], R_s=params["R_s"])
    c = (float(il), float(i0), float(rs) / cells_in_series, float(rsh) / cells_in_series, float(nv) / cells_in_series)
    vbr = BREAKDOWN["breakdown_voltage"]
    voc = float(singlediode.bishop88_v_from_i(0.0, *c, method="brentq", **BREAKDOWN))
    vd = np.concatenate([vbr - vbr * np.geomspace(1e-10, 1.0, 6000)[:-1], np.linspace(0.0, voc + 0.01, 6000)])
    i, v, _ = singlediode.bishop88(vd, *c, **BREAKDOWN)
    order = np.argsort(i)
    return np.interp(currents, i[order], v[order])


def string_mpp(params, irradiance, temp, *, cells_across=6, cells_along=10, diodes=3, vf=0.5, points=40001):
    """MPP [W] of one string: irradiance (modules, cells) [W/m2], temp (modules,) [C]."""
    irradiance = np.asarray(irradiance, float)
    modules, cells = irradiance.shape
    il_max = max(float(g) for g in irradiance.ravel()) / 1000.0 * (params["I_L_ref"] + 0.1)
    currents = np.linspace(0.0, 1.05 * il_max, points)
    cache = {}
    width = cells_across // diodes
    v_string = np.zeros_like(currents)
    for m in range(modules):
        for d in range(diodes):
            v_sub = np.zeros_like(currents)
            for a in range(d * width, (d + 1) * width):
                for b in range(cells_along):
                    key = (float(irradiance[m, a * cells_along + b]), float(temp[m]))
                    if key not in cache:
                        cache[key] = cell_curve(params, key[0], key[1], cells, currents)
                    v_sub += cache[key]
            v_string += np.maximum(v_sub, -vf)
    return float(np.max(currents * v_string))
