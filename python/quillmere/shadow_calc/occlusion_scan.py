"""STL geometry reading, per-surface statistics and sun occlusion by ray casting (native: src/bindings/shadow_calc/occlusion_scan.cpp, model formats in model_files.cpp)."""
from quillmere._native import (
    calculate_shadow,
    calculate_triangle_area,
    occlusion_scan,
    read_stl_with_solids,
    stl_statistics,
)

__all__ = [
    "read_stl_with_solids",
    "calculate_triangle_area",
    "stl_statistics",
    "calculate_shadow",
    "occlusion_scan",
]
