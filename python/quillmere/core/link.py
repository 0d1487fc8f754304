"""Variable links between simulation modules (native: src/bindings/core/link.cpp)."""
from quillmere._native import Link

__all__ = ["Link"]
