"""The run manager (native): reads a project file, builds and drives the modules."""
from quillmere._native import Manager, ProjectError, RunPeriodError

__all__ = ["Manager", "ProjectError", "RunPeriodError"]
