"""The run manager (native): reads a project (a file or a dict), builds and drives the modules."""
from quillmere._native import Manager, ProjectError, RunPeriodError, load_project, write_csv, write_text_file

__all__ = ["Manager", "ProjectError", "RunPeriodError", "load_project", "write_csv", "write_text_file"]
