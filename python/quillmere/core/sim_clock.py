"""The simulation clock (native)."""
from quillmere._native import SimClock

__all__ = ["SimClock"]
