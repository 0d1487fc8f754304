"""The report's figures come from the module declarations of a real run."""
import pytest

from quillmere import cli
from quillmere.core.manager import Manager


def test_heading_and_irradiation_read_the_declared_files(tmp_path, monkeypatch):
    # imported here, not at collection: other tests import the package without matplotlib
    report = pytest.importorskip("quillmere.report")
    monkeypatch.chdir(tmp_path)
    assert cli.main(["demo", "d", "--no-plot", "--quiet"]) == 0
    m = Manager(str(tmp_path / "d" / "project.toml"))
    m.quiet = True
    m.run_simulation()
    facts = report.run_facts(m.results, m.project, m.summary)
    assert any(line.startswith("Weather file: ") and line.endswith("weather.epw") for line in facts)
    irr = report.direct_irradiation(m.results, m.project)
    # every analysed surface of the shading module, with sun on it
    assert set(irr) == {("house", s) for s in ("roof_south_east", "roof_south_west", "roof_north")}
    assert all(v > 0 for v in irr.values())
