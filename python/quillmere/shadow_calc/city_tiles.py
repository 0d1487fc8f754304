"""Tiles of a city model (reading, plan-view extents, the triangles of other
tiles within a margin, a shared frame) and the direct sun on chosen triangles
of a built scene (native: src/bindings/shadow_calc/city_tiles.cpp)."""
from quillmere._native import (
    SunScene,
    extent_distance,
    margin_triangles,
    read_tile,
    shift_triangles,
    xy_extent,
)

__all__ = ["read_tile", "xy_extent", "margin_triangles", "shift_triangles", "extent_distance", "SunScene"]
