"""docs/writing_modules.md: its files are written and its run blocks executed
as a reader would, on the demo project."""
import pathlib
import re
import sys

from quillmere import cli

DOC = pathlib.Path(__file__).resolve().parents[2] / "docs" / "writing_modules.md"
BLOCK = re.compile(r"<!-- (file: (?P<file>\S+)|run) -->\n```python\n(?P<code>.*?)```", re.S)


def test_worked_battery_example(tmp_path, monkeypatch, capsys):
    blocks = list(BLOCK.finditer(DOC.read_text(encoding="utf-8")))
    assert [b["file"] for b in blocks] == ["quillmere-demo/batteries.py", None]
    monkeypatch.chdir(tmp_path)
    assert cli.main(["demo", "quillmere-demo", "--no-plot", "--quiet"]) == 0
    try:
        for b in blocks:
            if b["file"]:
                (tmp_path / b["file"]).write_text(b["code"], encoding="utf-8")
            else:
                exec(compile(b["code"], str(DOC), "exec"), {"__name__": "guide"})
    finally:
        sys.modules.pop("batteries", None)
    assert "self-consumed share of the east array" in capsys.readouterr().out
    assert (tmp_path / "quillmere-demo" / "results-battery.csv").is_file()
