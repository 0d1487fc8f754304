"""Project shading module: exact ray-cast factors per step, or a table on a free grid (native).

``ExactShadowModule`` extends ``quillmere.components.shade_group.SurfaceShadowModule``.
"""
from quillmere._native import ExactShadowModule, cos_table_positions, write_cos_table

__all__ = ["ExactShadowModule", "cos_table_positions", "write_cos_table"]
