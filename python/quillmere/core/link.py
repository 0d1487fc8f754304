"""Variable links between simulation modules (native)."""
from quillmere._native import Link

__all__ = ["Link"]
