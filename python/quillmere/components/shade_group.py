"""Surface shading module: per-surface sun cosine factors from the building model (native)."""
from quillmere._native import SurfaceShadowModule

__all__ = ["SurfaceShadowModule"]
