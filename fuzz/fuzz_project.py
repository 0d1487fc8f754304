"""Fuzzes the project-file checks: each input, read as text, becomes
project.toml in a folder that also holds a small valid weather file and
model, and is loaded with load_project. A refusal (the errors a host is
promised for a bad file) is fine; a crash or any other exception is a
finding.

    .venv/bin/python fuzz/fuzz_project.py -max_total_time=30 fuzz/seeds/fuzz_project
"""

import os
import sys
import tempfile

import atheris

# The parser is the only Python code on the path: instrumenting it gives
# libFuzzer coverage to steer by (the native checks carry none).
with atheris.instrument_imports(include=["tomllib"]):
    import tomllib  # noqa: F401

from quillmere.core.demo import clear_sky_epw, house_stl
from quillmere.core.manager import ProjectError, RunPeriodError, load_project

REFUSALS = (ValueError, TypeError, OSError, KeyError, ProjectError, RunPeriodError)

_folder = tempfile.TemporaryDirectory(prefix="qm-fuzz-project-")
_project = os.path.join(_folder.name, "project.toml")


def _write(name, text):
    with open(os.path.join(_folder.name, name), "w", encoding="utf-8", newline="") as f:
        f.write(text)


_write("weather.epw", clear_sky_epw(48.2, 16.4, 1))
_write("house.stl", house_stl())


def test_one(data):
    text = data.decode("utf-8", errors="replace")
    with open(_project, "w", encoding="utf-8", errors="surrogatepass", newline="") as f:
        f.write(text)
    try:
        load_project(_project)
    except REFUSALS:
        pass


def main():
    atheris.Setup(sys.argv, test_one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
