"""The run manager (native): reads a project file, builds and drives the modules."""
from quillmere._native import Manager, ProjectError, write_csv, write_text_file

__all__ = ["Manager", "ProjectError", "load_project", "write_csv", "write_text_file"]


def load_project(path):
    """The project file at path as a dict with the file's structure, checked
    as a run checks it, with "folder" (the file's folder, against which its
    relative paths resolve) added."""
    import json
    import os
    import tomllib

    Manager(path).load_project()
    path = os.fspath(path)
    with open(path, "rb") as f:
        data = f.read().decode("utf-8")
    raw = json.loads(data) if path.endswith(".json") else tomllib.loads(data)
    raw["folder"] = os.path.dirname(os.path.abspath(path))
    return raw
