"""Surface shading module: per-surface sun cosine factors from the building model (native: src/bindings/components/shade_group.cpp)."""
from quillmere._native import TABLE_ENCODINGS, SurfaceShadowModule

__all__ = ["SurfaceShadowModule", "TABLE_ENCODINGS"]
