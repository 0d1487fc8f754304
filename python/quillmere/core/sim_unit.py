"""The base class of every simulation module (native)."""
from quillmere._native import SimUnit

__all__ = ["SimUnit"]
