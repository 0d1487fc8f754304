"""Weather input, wind turbine and sun position: costs measured in one run.

    python benchmarks/bench_weather.py [path/to/file.epw]

1. Reading an 8760-row EPW file into WeatherFeed.data, against pandas.read_csv
   on the same file (ratio of best-of-N times).
2. One simulated year (8760 steps) of weather -> link -> wind driven from a
   Python loop, per step, and what of it the bare Python loop costs.
3. calculate_sun_position per call at host level, the C++ kernel per call
   (from build/bench/bench_solar when built, see benchmarks/bench_solar.cpp),
   and a scalar call of an independent implementation (pvlib, if installed).
"""
import os
import subprocess
import sys
import time

import numpy as np
import pandas as pd

from quillmere.components.gale_module import GaleModule
from quillmere.components.weather_feed import WeatherFeed
from quillmere.core.link import Link
from quillmere.core.sim_clock import SimClock
from quillmere.core.util import calculate_sun_position

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_EPW = os.path.join(HERE, "..", "..", "shared", "data", "NLD_Amsterdam062400_IWEC.epw")


def best(fn, repeat=15, timer=time.perf_counter):
    times = []
    for _ in range(repeat):
        t = timer()
        fn()
        times.append(timer() - t)
    return min(times)


def bench_read(path):
    feed = WeatherFeed("w")
    feed.filename = path

    def ours():
        feed.data = np.empty((0, 5), dtype=np.float32)
        feed.read_file()

    def theirs():
        pd.read_csv(path, skiprows=8, header=None)

    ours(), theirs()  # warm the file cache
    t_ours, t_pd = best(ours), best(theirs)
    print(f"read EPW ({feed.data.shape[0]} rows): WeatherFeed.read_file {t_ours * 1e3:.2f} ms, "
          f"pandas.read_csv {t_pd * 1e3:.2f} ms, ratio {t_ours / t_pd:.3f}")


def bench_year(path):
    weather = WeatherFeed("weather")
    weather.in_file_params = [path]
    import contextlib
    import io
    with contextlib.redirect_stdout(io.StringIO()):
        weather.awake(None)
    wind = GaleModule("wind")
    link = Link(weather, "wind_speed", wind, "wind_speed")
    steps = 8760

    def year():
        clock = SimClock(0.0, 3600.0)
        w_update, l_update, g_update, advance = weather.update, link.update_link, wind.update, clock.advance_time
        for _ in range(steps):
            w_update(clock, None)
            l_update()
            g_update(clock, None)
            advance()

    def bare_loop():
        # The same loop with four calls of a do-nothing Python-level callable.
        clock = SimClock(0.0, 3600.0)
        nop = (lambda *a: None)
        w_update = l_update = g_update = advance = nop
        for _ in range(steps):
            w_update(clock, None)
            l_update()
            g_update(clock, None)
            advance()

    def empty_loop():
        for _ in range(steps):
            pass

    t_year, t_bare, t_empty = best(year, 7), best(bare_loop, 7), best(empty_loop, 7)
    print(f"year loop: {t_year / steps * 1e9:.0f} ns per step (weather update + link + wind update + advance); "
          f"of it the Python loop with four calls of a no-op lambda {t_bare / steps * 1e9:.0f} ns, "
          f"the bare 'for' {t_empty / steps * 1e9:.0f} ns; total {t_year * 1e3:.1f} ms per year")
    print(f"  energy after one year: {wind.outputs['energy']['value']:.3f} kWh")


def bench_sun():
    n = 20000
    dts = [(2021, 1 + (h // 730) % 12, 1 + (h // 24) % 28, h % 24, 0, 0) for h in range(n)]

    def host():
        f = calculate_sun_position
        for dt in dts:
            f(4.9, 52.3, 1, dt)

    t_host = best(host, 5) / n
    t_host_cpu = best(host, 5, time.thread_time) / n
    print(f"calculate_sun_position (host level, new instant per call): {t_host * 1e9:.0f} ns per call "
          f"(thread CPU time {t_host_cpu * 1e9:.0f} ns)")

    exe = os.path.join(HERE, "..", "build", "bench", "bench_solar")
    if os.path.exists(exe):
        out = subprocess.run([exe], capture_output=True, text=True, check=True).stdout.strip()
        for line in out.splitlines():
            print("  " + line)
    else:
        print("  (kernel figure: build benchmarks/bench_solar.cpp with -DQUILLMERE_BUILD_BENCHMARKS=ON, see its header)")

    try:
        import pvlib
    except ImportError:
        print("  (pvlib not installed: no oracle timing)")
        return
    stamp = pd.DatetimeIndex([pd.Timestamp("2021-06-21 11:00", tz="UTC")])
    m = 200
    t_pv = best(lambda: [pvlib.solarposition.spa_python(stamp, 52.3, 4.9, altitude=0, pressure=101325,
                                                        temperature=15, delta_t=67.0) for _ in range(m)], 3) / m
    unix = np.array([stamp[0].timestamp()])
    t_spa = best(lambda: [pvlib.spa.solar_position(unix, 52.3, 4.9, 0, 1013.25, 15, 67.0, 0.5667, numthreads=1)
                          for _ in range(m)], 3) / m
    print(f"  oracle scalar call: pvlib.solarposition.spa_python {t_pv * 1e9:.0f} ns, "
          f"pvlib.spa.solar_position {t_spa * 1e9:.0f} ns; host-level ratio {t_host / t_spa:.4f}")
    # Agreement at the worked example's instant, sea level and standard atmosphere on both sides.
    h, a = calculate_sun_position(-105.1786, 39.742476, -7, (2003, 10, 17, 12, 30, 30))
    ref = pvlib.solarposition.spa_python(pd.DatetimeIndex([pd.Timestamp("2003-10-17 19:30:30", tz="UTC")]),
                                         39.742476, -105.1786, altitude=0, pressure=101325, temperature=15,
                                         delta_t=pvlib.spa.calculate_deltat(2003, 10))
    print(f"  example instant at sea level: height {h:.6f} vs {ref['apparent_elevation'].iloc[0]:.6f}, "
          f"azimuth {a:.6f} vs {ref['azimuth'].iloc[0]:.6f}")


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_EPW
    bench_read(path)
    bench_year(path)
    bench_sun()


if __name__ == "__main__":
    main()
