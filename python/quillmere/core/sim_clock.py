"""The simulation clock (native: src/bindings/core/sim_clock.cpp)."""
from quillmere._native import SimClock

__all__ = ["SimClock"]
