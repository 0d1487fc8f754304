"""Set-up shared by the shading benchmarks (bench_exact.py, bench_sky.py): the
scenes whose cost they measure, a fresh module's awake timed, quiet output."""
import contextlib
import os
import sys
import time

from quillmere import _native

# The district: 139 buildings of 12 storeys (about 200k triangles), the roofs of the first 76 analysed.
DISTRICT_ROOFS = ["楼%d_roof" % b for b in range(76)]


@contextlib.contextmanager
def quiet():
    """Standard output to nowhere (the modules' status lines)."""
    saved = sys.stdout
    sys.stdout = open(os.devnull, "w")
    try:
        yield
    finally:
        sys.stdout.close()
        sys.stdout = saved


def district_model(out):
    """The district's ASCII STL in the folder out, written on first use."""
    import bench_geometry as bg

    path = os.path.join(out, "d200k_76.stl")
    if not os.path.exists(path):
        solids, _ = bg.district(139, 12)
        bg.write_stl(path + ".tmp", solids)
        os.replace(path + ".tmp", path)
    return path


def cost_scenes(out, demo_stl, demo_surfaces, quick):
    """[(label, model, analysed surfaces)]: the demo house, and unless quick the district."""
    scenes = [("demo house", demo_stl, list(demo_surfaces))]
    if not quick:
        scenes.append(("200k district", district_model(out), DISTRICT_ROOFS))
    return scenes


def timed_awake(unit, state):
    """Seconds of unit.awake(state) with the model parsed afresh."""
    _native._clear_model_cache()
    t = time.perf_counter()
    unit.awake(state)
    return time.perf_counter() - t
