"""The base class of every simulation module (native: src/bindings/core/sim_unit.cpp;
declarations of project values: src/bindings/core/project_values.cpp)."""
from quillmere._native import SimUnit

__all__ = ["SimUnit"]
