"""quillmere: hour-by-hour simulation of small building-scale PV and wind installations,
with the panels' direct sun reduced by the shade the building casts on itself.

Re-exports the core types; ``QuillMere`` is bound in src/bindings/entry.cpp (the extension's
registration: src/bindings/module.cpp)."""
from quillmere.core.sim_clock import SimClock
from quillmere.core.sim_unit import SimUnit
from quillmere.core.link import Link
from quillmere.core.manager import Manager, ProjectError
from quillmere._native import QuillMere

__all__ = ["SimClock", "SimUnit", "Link", "Manager", "ProjectError", "QuillMere"]
__version__ = "0.1.0"
