"""Simulation core: module base class, clock, links, run manager and shared utilities.

Each submodule re-exports its native types; bindings under src/bindings/core/ (the run
manager: src/bindings/manager/)."""
