"""Simulation core: module base class, clock, links, run manager and shared utilities."""
