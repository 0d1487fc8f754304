"""The building's load module (native: src/bindings/components/load_module.cpp)."""
from quillmere._native import LoadModule

__all__ = ["LoadModule"]
