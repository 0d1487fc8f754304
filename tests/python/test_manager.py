"""The run manager and the entry object, driven through project files with
modules defined here (host subclasses of SimUnit)."""
import json
import math
import sys
import textwrap

import pandas as pd
import pytest

import quillmere
from quillmere import QuillMere, SimUnit
from quillmere.core.manager import Manager, ProjectError

MODULES = textwrap.dedent('''
    from quillmere import SimUnit

    LOG = []

    class Source(SimUnit):
        """x = scale * hour of the year."""
        def _get_module_info(self):
            return {"name": "Source", "vars": [
                {"category": "output", "name": "x", "default": 0.0},
                {"category": "param", "name": "scale", "default": 1.0}]}
        def awake(self, state):
            LOG.append(("awake", self.name))
            self.params["scale"]["value"] = float(self.in_file_params[0])
        def update(self, time, state):
            self.outputs["x"]["value"] = self.params["scale"]["value"] * time.current_time / 3600.0
        def finish(self, time):
            LOG.append(("finish", self.name))

    class Gen(SimUnit):
        """power = x / 1000 kW; energy accumulates (not instantaneous)."""
        def _get_module_info(self):
            return {"name": "Gen", "vars": [
                {"category": "input", "name": "x", "default": 0.0},
                {"category": "param", "name": "capacity", "default": 2.0},
                {"category": "output", "name": "power", "default": 0.0},
                {"category": "output", "name": "energy", "default": 0.0, "notInstantaneous": 1}]}
        def awake(self, state):
            LOG.append(("awake", self.name))
        def update(self, time, state):
            p = self.inputs["x"]["value"] * 0.001
            self.outputs["power"]["value"] = p
            self.outputs["energy"]["value"] += p * time.time_step / 3600.0

    class Half(SimUnit):
        """y = 0.5 * u + 1: in a feedback loop with Copy it converges to y = 2."""
        def _get_module_info(self):
            return {"name": "Half", "vars": [
                {"category": "input", "name": "u", "default": 0.0},
                {"category": "output", "name": "y", "default": 0.0},
                {"category": "output", "name": "count", "default": 0, "notInstantaneous": 1}]}
        def update(self, time, state):
            self.outputs["y"]["value"] = 0.5 * self.inputs["u"]["value"] + 1.0
            self.outputs["count"]["value"] += 1

    class Copy(SimUnit):
        def _get_module_info(self):
            return {"name": "Copy", "vars": [
                {"category": "input", "name": "u", "default": 0.0},
                {"category": "output", "name": "y", "default": 0.0}]}
        def update(self, time, state):
            self.outputs["y"]["value"] = self.inputs["u"]["value"]

    class Flip(SimUnit):
        """Never settles: y alternates between 0 and 1."""
        def _get_module_info(self):
            return {"name": "Flip", "vars": [
                {"category": "input", "name": "u", "default": 0.0},
                {"category": "output", "name": "y", "default": 0.0}]}
        def update(self, time, state):
            self.outputs["y"]["value"] = 1.0 - self.inputs["u"]["value"]

    class FakeShade(SimUnit):
        """Reports itself as a shading module; panels need it awake first."""
        def _get_module_info(self):
            return {"name": "SurfaceShadow", "vars": []}
        def awake(self, state):
            LOG.append(("awake", self.name))
        def update(self, time, state):
            pass

    class Label(SimUnit):
        def _get_module_info(self):
            return {"name": "Label", "vars": [{"category": "output", "name": "text", "default": ""}]}
        def update(self, time, state):
            self.outputs["text"]["value"] = "h%d" % (time.current_time // 3600)
            LOG.append(("site", state["site"]["time_zone"], sorted(state["modules"])))

    class Odd(SimUnit):
        """Outputs of several host types; its finish takes every module out of the state."""
        def _get_module_info(self):
            return {"name": "Odd", "vars": [
                {"category": "output", "name": "f32", "default": 0.0},
                {"category": "output", "name": "flag", "default": False},
                {"category": "output", "name": "maybe", "default": None}]}
        def update(self, time, state):
            import numpy as np
            h = time.current_time / 3600
            self.outputs["f32"]["value"] = np.float32(h / 4)
            self.outputs["flag"]["value"] = h % 2 == 0
            self.outputs["maybe"]["value"] = None if h < 2 else 1.5
        def finish(self, time):
            self.state_seen = True

    class Vanish(SimUnit):
        """Drops its own outputs at the third step."""
        def _get_module_info(self):
            return {"name": "Vanish", "vars": [{"category": "output", "name": "y", "default": 0.0}]}
        def update(self, time, state):
            if time.current_time >= 7200:
                self.outputs = None

    class Boom(SimUnit):
        def _get_module_info(self):
            return {"name": "Boom", "vars": [{"category": "output", "name": "y", "default": 0.0}]}
        def update(self, time, state):
            if time.current_time >= 7200:
                raise LookupError("boom at 2")
''')

SITE = "[site]\nlongitude = 10.0\nlatitude = 50.0\ntime_zone = 1\n"


@pytest.fixture
def proj(tmp_path, monkeypatch):
    """Writes a project file (and the module file next to it); returns its path."""
    (tmp_path / "tmods.py").write_text(MODULES, encoding="utf-8")
    monkeypatch.delitem(sys.modules, "tmods", raising=False)

    def write(body, name="p.toml", site=True):
        p = tmp_path / name
        p.write_text(textwrap.dedent(body) + "\n" + (SITE if site else ""), encoding="utf-8")
        return str(p)

    yield write
    sys.modules.pop("tmods", None)


def log():
    return sys.modules["tmods"].LOG


GEN_PROJECT = '''
    period = [2025, 1, 1, 2025, 1, 2]
    links = ["src.x -> gen.x"]
    [[modules]]
    name = "gen"
    type = "tmods:Gen"
    [[modules]]
    name = "src"
    type = "tmods:Source"
    params = [2.0]
'''


def prepend(body, top):
    """Top-level keys must come before the first table."""
    return top + "\n" + body


class TestEntryObject:
    def test_default_path_is_empty_text_and_run_says_so(self):
        q = QuillMere()
        with pytest.raises(FileNotFoundError, match="项目文件路径为空"):
            q.run()

    def test_keyword_and_positional_are_the_same(self, proj, capsys):
        p = proj(GEN_PROJECT)
        assert QuillMere(p).run() is None
        first = capsys.readouterr().out
        assert QuillMere(file_path=p).run() is None
        assert capsys.readouterr().out == first
        with pytest.raises(TypeError):
            QuillMere(p, p)
        with pytest.raises(TypeError):
            QuillMere(path=p)

    def test_manager_is_internal(self, proj):
        q = QuillMere(proj(GEN_PROJECT))
        assert not hasattr(q, "manager")
        with pytest.raises(AttributeError):
            q.manager = None

    def test_run_exception_passes_unchanged(self, proj):
        p = proj('''
            [[modules]]
            name = "b"
            type = "tmods:Boom"
        ''')
        with pytest.raises(LookupError) as info:
            QuillMere(p).run()
        assert str(info.value) == "boom at 2"
        # where it happened is added as a note, not to the message
        assert any("第 3 步" in n and "模块 b 的 update" in n for n in info.value.__notes__)

    def test_repeated_runs_start_afresh(self, proj, tmp_path):
        m = Manager(proj(GEN_PROJECT))
        a = m.run_simulation()
        b = m.run_simulation()
        pd.testing.assert_frame_equal(a, b)
        assert b["gen.energy"].iloc[-1] == pytest.approx(sum(2 * h / 1000 for h in range(48)))

    def test_host_subclasses_reach_the_table(self, proj, monkeypatch):
        calls = []

        class Run(QuillMere):
            def run(self):
                calls.append("run")
                return super().run()

        class M(Manager):
            def create_modules(self):
                calls.append("create_modules")
                return super().create_modules()

            def run_simulation(self):
                calls.append("run_simulation")
                return "done"

        p = proj(GEN_PROJECT)
        Run(p).run()
        assert calls == ["run"]
        assert M(p).run_simulation() == "done"
        calls.clear()

        class N(Manager):
            def create_modules(self):
                calls.append("create_modules")
                return super().create_modules()

        N(p).run_simulation()
        assert calls == ["create_modules"]

    def test_prepare_stops_before_the_step_loop_at_the_stage_asked(self, proj):
        calls = []

        class M(Manager):
            def create_links(self):
                calls.append("create_links")
                return super().create_links()

            def awake_modules(self):
                calls.append("awake_modules")
                super().awake_modules()

            def run_steps(self):
                calls.append("run_steps")
                return super().run_steps()

        m = M(proj(GEN_PROJECT))
        m.prepare("modules")
        assert calls == [] and list(m.modules) == ["gen", "src"] and m.links is None and m.clock is not None
        m.prepare()
        assert calls == ["create_links"] and len(m.links) == 1 and m.results is None
        calls.clear()
        m.prepare("awake")
        assert calls == ["create_links", "awake_modules"]
        with pytest.raises(ValueError, match="until"):
            m.prepare("steps")
        with pytest.raises(ProjectError):  # what the run would raise before its first step
            Manager(proj(GEN_PROJECT.replace("src.x -> gen.x", "src.nope -> gen.x"))).prepare()

    def test_path_types(self, proj, tmp_path):
        import pathlib
        marker = object()
        assert Manager(marker).file_path is marker  # kept as given, checked when the run starts
        with pytest.raises(AttributeError):
            Manager("x").file_path = "y"
        out = Manager(pathlib.Path(proj(GEN_PROJECT))).run_simulation()
        assert len(out) == 48
        with pytest.raises(TypeError, match="项目文件路径"):
            Manager(None).run_simulation()
        with pytest.raises(TypeError, match="项目文件路径"):
            QuillMere(12).run()
        with pytest.raises(FileNotFoundError, match="项目文件不存在"):
            Manager(str(tmp_path / "nope.toml")).run_simulation()


class TestProjectChecks:
    def check(self, proj, body, *parts, site=True):
        p = proj(body, site=site)
        with pytest.raises(ProjectError) as info:
            Manager(p).run_simulation()
        msg = str(info.value)
        assert msg.startswith("项目文件 " + p), msg
        for part in parts:
            assert part in msg, msg
        return msg

    def test_unknown_type_lists_the_known_ones(self, proj):
        msg = self.check(proj, '[[modules]]\nname = "a"\ntype = "Windmill"\n', "modules[0](a).type", "Windmill")
        for known in ("WaetherFeed", "SunPanel", "WindTurbine", "SurfaceShadow", "包.模块:类名"):
            assert known in msg

    def test_user_class_problems(self, proj):
        self.check(proj, '[[modules]]\nname = "a"\ntype = "no_such_pkg_x:Foo"\n', "无法导入模块", "no_such_pkg_x")
        self.check(proj, '[[modules]]\nname = "a"\ntype = "tmods:Missing"\n', "没有类", "Missing")
        self.check(proj, '[[modules]]\nname = "a"\ntype = "tmods:SimUnit"\n[[modules]]\nname="b"\ntype="json:JSONDecoder"\n',
                   "modules[1](b).type", "不是 SimUnit 的子类")

    def test_duplicate_names(self, proj):
        self.check(proj, '[[modules]]\nname = "a"\ntype = "tmods:Copy"\n[[modules]]\nname = "a"\ntype = "tmods:Copy"\n',
                   "modules[1].name", "重复", "modules[0](a)")

    def test_links_naming_unknown_modules_or_variables(self, proj):
        two = '[[modules]]\nname = "a"\ntype = "tmods:Copy"\n[[modules]]\nname = "b"\ntype = "tmods:Copy"\n'
        self.check(proj, prepend(two, 'links = ["a.y -> c.u"]'), "links[0]", '"c"')
        self.check(proj, prepend(two, 'links = ["a.y -> b.u", "a.nope -> b.u"]'), "links[1]", "输出变量 \"nope\"", "y")
        self.check(proj, prepend(two, 'links = ["a.y -> b.y"]'), "links[0]", "输入变量 \"y\"", "可用: u")
        self.check(proj, prepend(two, 'links = ["a.y b.u"]'), "links[0]", "源模块.输出变量 -> 目标模块.输入变量")
        self.check(proj, prepend(two, 'links = "a.y -> b.u"'), "links", "数组")

    def test_missing_and_wrong_typed_values(self, proj):
        wind = '[[modules]]\nname = "t"\ntype = "WindTurbine"\n'
        pytest.importorskip("quillmere.components.gale_module")
        self.check(proj, wind, "缺少键 modules[0](t).capacity")
        self.check(proj, wind + 'capacity = "big"\n', "modules[0](t).capacity", "应为数值", "'big'")
        self.check(proj, wind + 'params = [1.5, 2, 3]\n', "modules[0](t).params", "值过多")
        self.check(proj, wind + 'capacity = 1.0\ncolour = "red"\n', "modules[0](t).colour", "未知的键")
        self.check(proj, wind + "capacity = true\n", "应为数值", "True")

    def test_site_and_settings(self, proj):
        one = '[[modules]]\nname = "a"\ntype = "tmods:Copy"\n'
        self.check(proj, one, "缺少键 site", site=False)
        self.check(proj, "[site]\nlongitude = 1.0\nlatitude = 95.0\ntime_zone = 0\n" + one, "site.latitude", "-90 到 90",
                   site=False)
        self.check(proj, "[site]\nlongitude = 1.0\nlatitude = 5.0\ntime_zone = 1.5\n" + one, "site.time_zone", "整数",
                   site=False)
        self.check(proj, prepend(one, "time_step = 0"), "time_step", "正数")
        self.check(proj, prepend(one, "time_step = nan"), "time_step", "有限")
        self.check(proj, prepend(one, 'period = "2025"'), "period", "六个整数")
        self.check(proj, prepend(one, "colour = 1"), "键 colour", "未知的键")
        self.check(proj, one + "[convergence]\nmax_iterations = 0\n", "convergence.max_iterations")
        self.check(proj, "modules = []\n", "modules", "至少需要一个模块")

    def test_recorded_outputs_must_exist(self, proj):
        self.check(proj, '[[modules]]\nname = "a"\ntype = "tmods:Copy"\n[output]\nrecord = ["a.z"]\n',
                   "output.record[0]", "没有输出变量 \"z\"", "可用: y")
        self.check(proj, '[[modules]]\nname = "a"\ntype = "tmods:Copy"\n[output]\nrecord = ["q.y"]\n',
                   "output.record[0]", '"q"')

    def test_missing_files_and_syntax(self, proj, tmp_path):
        pytest.importorskip("quillmere.components.weather_feed")
        msg = self.check(proj, '[[modules]]\nname = "w"\ntype = "WaetherFeed"\nfile = "data/none.epw"\n',
                         "modules[0](w).file", "文件不存在")
        assert str(tmp_path / "data" / "none.epw") in msg
        self.check(proj, "[[modules]\n", "TOML 格式错误")
        bad = tmp_path / "bad.toml"
        bad.write_bytes(b"\xff\xfe")
        with pytest.raises(ProjectError, match="UTF-8"):
            Manager(str(bad)).run_simulation()

    def test_nothing_runs_before_checks_pass(self, proj):
        body = GEN_PROJECT + '[[modules]]\nname = "x"\ntype = "tmods:Copy"\n[output]\nrecord = ["x.nope"]\n'
        with pytest.raises(ProjectError):
            Manager(proj(body)).run_simulation()
        assert log() == []

    def test_invalid_period_keeps_the_clock_message_and_status(self, proj, capsys):
        p = proj(prepend('[[modules]]\nname = "a"\ntype = "tmods:Copy"\n', "period = [2025, 2, 30, 2025, 3, 1]"))
        with pytest.raises(SystemExit) as info:
            Manager(p).run_simulation()
        assert info.value.code == 1
        assert capsys.readouterr().out == "日期不合法，请检查日期的有效性\n"

    def test_json_project(self, tmp_path, proj):
        proj("")  # writes the module file
        data = {"site": {"longitude": 1.0, "latitude": 2.0, "time_zone": 0}, "period": [2025, 1, 1, 2025, 1, 1],
                "modules": [{"name": "s", "type": "tmods:Source", "params": [1]}]}
        p = tmp_path / "p.json"
        p.write_text(json.dumps(data), encoding="utf-8")
        out = Manager(str(p)).run_simulation()
        assert list(out["s.x"]) == list(range(24))
        p.write_text("{bad", encoding="utf-8")
        with pytest.raises(ProjectError, match="JSON 格式错误"):
            Manager(str(p)).run_simulation()


class TestStepLoop:
    def test_links_flow_within_the_step_whatever_the_file_order(self, proj):
        out = Manager(proj(GEN_PROJECT)).run_simulation()
        # gen comes first in the file but reads src: it must see this step's x, not last step's
        assert list(out["gen.power"]) == pytest.approx([2 * h / 1000 for h in range(48)])

    def test_results_table_and_csv(self, proj, tmp_path, capsys):
        body = prepend(GEN_PROJECT, "time_step = 1800") + '[output]\ncsv = "out/r.csv"\nrecord = ["gen.power", "src.x"]\n'
        m = Manager(proj(body))
        out = m.run_simulation()
        # indexed by the step's time in the site's standard time (UTC+1 here), units and summary attached
        assert out.index.name == "timestamp" and list(out.columns) == ["gen.power", "src.x"]
        assert str(out.index.tz) == "UTC+01:00"
        assert out.attrs["units"] == {"gen.power": None, "src.x": None}  # their records declare none
        assert out.attrs["summary"] == m.summary
        assert len(out) == 96
        assert out.index[3] == pd.Timestamp("2025-01-01 01:30:00+01:00")
        disk = pd.read_csv(tmp_path / "out" / "r.csv")
        assert list(disk.columns) == ["timestamp", *out.columns]
        assert disk["timestamp"].iloc[-1] == "2025-01-02 23:30:00"
        assert disk["src.x"].tolist() == pytest.approx(out["src.x"].tolist())
        printed = capsys.readouterr().out
        assert "结果已写入: " + str(tmp_path / "out" / "r.csv") in printed
        assert "共 96 步" in printed
        # the command line's path wins over the project's
        m.output_path = tmp_path / "other.csv"
        m.quiet = True
        m.run_simulation()
        assert (tmp_path / "other.csv").exists()
        assert capsys.readouterr().out == ""

    def test_period_not_starting_in_january(self, proj):
        body = '[[modules]]\nname = "s"\ntype = "tmods:Source"\nparams = [1]\n'
        out = Manager(proj(prepend(body, "period = [2024, 3, 1, 2024, 3, 1]"))).run_simulation()
        assert out.index[0] == pd.Timestamp("2024-03-01 00:00+01:00")
        assert out["s.x"].iloc[0] == (31 + 29) * 24

    def test_summary(self, proj, capsys):
        m = Manager(proj(GEN_PROJECT))
        m.run_simulation()
        s = m.summary["gen"]
        energy = sum(2 * h / 1000 for h in range(48))
        assert s["energy_kwh"] == pytest.approx(energy)
        assert s["peak_kw"] == pytest.approx(0.094)
        assert s["rated_kw"] == 2.0
        assert s["full_load_hours"] == pytest.approx(energy / 2.0)
        assert "发电模块 gen（Gen）：发电量 2.26 kWh，峰值功率 0.094 kW" in capsys.readouterr().out

    def test_awake_order_state_and_finish(self, proj):
        body = '''
            [[modules]]
            name = "gen"
            type = "tmods:Gen"
            [[modules]]
            name = "shade"
            type = "tmods:FakeShade"
            [[modules]]
            name = "lab"
            type = "tmods:Label"
            [output]
            record = ["lab.text"]
        '''
        out = Manager(proj(prepend(body, "period = [2025, 1, 1, 2025, 1, 1]"))).run_simulation()
        events = log()
        assert events[:2] == [("awake", "shade"), ("awake", "gen")]
        assert events[2] == ("site", 1, ["gen", "lab", "shade"])
        # text outputs are kept as they are, in an object column
        assert out["lab.text"].tolist() == ["h%d" % h for h in range(24)]

    def test_columns_keep_what_the_modules_wrote(self, proj):
        body = '[[modules]]\nname = "o"\ntype = "tmods:Odd"\n'
        out = Manager(proj(prepend(body, "period = [2025, 1, 1, 2025, 1, 1]"))).run_simulation()
        assert out["o.f32"].dtype == float and out["o.f32"].iloc[3] == 0.75  # numpy scalars are numbers
        assert out["o.flag"].tolist()[:3] == [True, False, True]  # booleans are not turned into 1.0/0.0
        assert out["o.maybe"].tolist()[:3] == [None, None, 1.5]

    def test_a_module_that_breaks_its_own_dicts_ends_the_run_cleanly(self, proj):
        body = '[[modules]]\nname = "v"\ntype = "tmods:Vanish"\n'
        with pytest.raises(TypeError) as info:
            Manager(proj(body)).run_simulation()
        assert any("第 3 步" in n and "record" in n for n in info.value.__notes__)

    def test_feedback_loop_iterates_to_convergence(self, proj):
        body = '''
            links = ["h.y -> c.u", "c.y -> h.u"]
            [[modules]]
            name = "h"
            type = "tmods:Half"
            [[modules]]
            name = "c"
            type = "tmods:Copy"
            [convergence]
            threshold = 1e-9
            max_iterations = 100
        '''
        m = Manager(proj(prepend(body, "period = [2025, 1, 1, 2025, 1, 1]")))
        out = m.run_simulation()
        assert out["h.y"].iloc[-1] == pytest.approx(2.0, abs=1e-8)
        assert m.timings["non_converged_steps"] == 0
        # the not-instantaneous counter is restored before every repeat: one count per step
        assert out["h.count"].tolist() == list(range(1, 25))
        assert m.modules["h"].is_converged == 1

    def test_non_convergence_is_reported_once(self, proj, capsys):
        body = '''
            links = ["f.y -> g.u", "g.y -> f.u"]
            [[modules]]
            name = "f"
            type = "tmods:Flip"
            [[modules]]
            name = "g"
            type = "tmods:Copy"
            [convergence]
            max_iterations = 5
        '''
        m = Manager(proj(prepend(body, "period = [2025, 1, 1, 2025, 1, 1]")))
        m.run_simulation()
        lines = [l for l in capsys.readouterr().out.splitlines() if "未收敛" in l]
        assert lines == ["警告：第 1 步（2025-01-01 00:00:00）在 5 次迭代内未收敛", "警告：共 24 步未收敛"]
        assert m.timings["non_converged_steps"] == 24

    def test_clock_from_a_subclass_is_driven_through_its_table(self, proj):
        advanced = []

        class Clock(quillmere.SimClock):
            def advance_time(self):
                advanced.append(self.current_time)
                super().advance_time()

        class M(Manager):
            def create_clock(self):
                c = Clock(0.0, 7200.0)
                c.set_period({"params": [2025, 1, 2, 2025, 1, 2]})
                return c

        m = M(proj(GEN_PROJECT))
        out = m.run_simulation()
        assert advanced == [86400.0 + 7200.0 * i for i in range(12)]
        assert out.index[1] == pd.Timestamp("2025-01-02 02:00+01:00")

    def test_links_and_modules_replaced_by_a_subclass_are_checked(self, proj):
        class M(Manager):
            def create_links(self):
                self.links = [1]
                return self.links

        with pytest.raises(TypeError, match="Link"):
            M(proj(GEN_PROJECT)).run_simulation()
        m = Manager(proj(GEN_PROJECT))
        with pytest.raises(TypeError):
            m.modules = []
        with pytest.raises(RuntimeError, match="create_modules"):
            m.run_steps()
