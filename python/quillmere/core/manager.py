"""The run manager (native): reads a project (a file or a dict), builds and drives the modules.

Bindings: src/bindings/manager/manager.cpp (the type); beside it project_reader.cpp and
project_checks.cpp (reading and checks), step_loop.cpp, results.cpp and results_csv.cpp (table, summary, CSV)."""
from quillmere._native import Manager, ProjectError, RunPeriodError, load_project, write_csv, write_text_file

__all__ = ["Manager", "ProjectError", "RunPeriodError", "load_project", "write_csv", "write_text_file"]
