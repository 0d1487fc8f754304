"""Concrete simulation modules: weather input, PV panel, wind turbine, surface shading."""
