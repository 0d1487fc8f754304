"""quillmere: hour-by-hour simulation of small building-scale PV and wind installations,
with the panels' direct sun reduced by the shade the building casts on itself."""
from quillmere.core.sim_clock import SimClock
from quillmere.core.sim_unit import SimUnit
from quillmere.core.link import Link

__all__ = ["SimClock", "SimUnit", "Link"]
__version__ = "0.1.0"
