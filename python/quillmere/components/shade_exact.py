"""Project shading module: exact ray-cast factors per step, or a table on a free grid (native).

``ExactShadowModule`` extends ``quillmere.components.shade_group.SurfaceShadowModule``.
"""
from quillmere._native import ExactShadowModule

__all__ = ["ExactShadowModule"]
