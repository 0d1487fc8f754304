"""Concrete simulation modules: weather input, PV panel, wind turbine, surface shading.

Each submodule re-exports its native types; bindings under src/bindings/components/."""
