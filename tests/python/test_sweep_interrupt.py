"""Ctrl-C during `quillmere sweep`, as from a terminal (SIGINT to the whole
process group), while the local cluster starts and while its workers run
variants: the command ends with the one line 已中断 and exit status 130, no
worker writes after it, and no process of the sweep is left behind."""
import os
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("distributed")

from demo_inputs import write_inputs  # noqa: E402

PROJECT = '''\
period = [2025, 6, 20, 2025, 6, 21]
[site]
latitude = 48.0
longitude = 16.0
time_zone = 1
[[modules]]
name = "weather"
type = "WaetherFeed"
file = "weather.epw"
[[modules]]
name = "u"
type = "chatty:Chatty"
x = 1
'''

CHATTY = '''
import os, time
from quillmere import SimUnit
class Chatty(SimUnit):
    """Writes to its process's standard error (as a library in C would),
    every 0.1 s for up to 60 s, from its first step on."""
    project_values = [{"key": "x", "kind": "number"}]
    def _get_module_info(self):
        return {"name": "Chatty", "vars": [{"category": "param", "name": "x", "default": 0.0}]}
    def awake(self, state):
        self.params["x"]["value"] = self.in_file_params[0]
    def update(self, time_, state):
        folder = os.path.dirname(os.path.abspath(__file__))
        open(os.path.join(folder, "started"), "w").close()
        end = time.monotonic() + 60
        while time.monotonic() < end:
            os.write(2, b"chatty worker still here\\n")
            time.sleep(0.1)
'''


def live_processes(session):
    """Processes of the session that have not ended (zombies have)."""
    # ps runs without the sanitizer runtime the sanitized suite preloads: under it, ps deadlocks at start.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    out = subprocess.run(["ps", "-eo", "pid=,sid=,stat=,args="], capture_output=True, text=True, env=env,
                         timeout=30).stdout
    rows = [line.split(None, 3) for line in out.splitlines()]
    return [r for r in rows if len(r) >= 3 and r[1] == str(session) and not r[2].startswith("Z")]


@pytest.mark.parametrize("moment", ["cluster starting", "variants running"])
def test_ctrl_c_ends_with_one_line_and_leaves_no_process(tmp_path, moment):
    write_inputs(tmp_path, house=False)
    (tmp_path / "chatty.py").write_text(CHATTY, encoding="utf-8")
    (tmp_path / "p.toml").write_text(PROJECT, encoding="utf-8")
    p = subprocess.Popen([sys.executable, "-m", "quillmere", "sweep", str(tmp_path / "p.toml"), "--vary", "u.x=1,2",
                          "--workers", "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                         start_new_session=True, cwd=tmp_path)
    try:
        if moment == "cluster starting":
            time.sleep(2.0)
        else:
            end = time.monotonic() + 90
            while not (tmp_path / "started").exists() and time.monotonic() < end and p.poll() is None:
                time.sleep(0.05)
            assert (tmp_path / "started").exists(), "no variant started"
            time.sleep(0.5)
        os.killpg(p.pid, signal.SIGINT)
        out, err = p.communicate(timeout=60)
        end = time.monotonic() + 10
        while live_processes(p.pid) and time.monotonic() < end:
            time.sleep(0.2)
        left = live_processes(p.pid)
    finally:
        if p.poll() is None:
            p.kill()
        for pid, *_ in live_processes(p.pid):
            try:
                os.kill(int(pid), signal.SIGKILL)
            except OSError:
                pass
    assert p.returncode == 130, out + err
    assert (out + err).splitlines() == ["已中断"], out + err
    assert left == [], left


INTERRUPTED_IN_STRING_CODE = '''
from quillmere import SimUnit
class Interrupted(SimUnit):
    """A Ctrl-C that lands while code evaluated from a string runs (as the
    methods of dataclasses and named tuples are made, on import)."""
    def _get_module_info(self):
        return {"name": "Interrupted", "vars": []}
    def update(self, time_, state):
        exec("raise KeyboardInterrupt")
'''


def test_ctrl_c_in_string_evaluated_code_still_exits_130(tmp_path):
    write_inputs(tmp_path, house=False)
    (tmp_path / "interrupted.py").write_text(INTERRUPTED_IN_STRING_CODE, encoding="utf-8")
    project = PROJECT.replace('type = "chatty:Chatty"\nx = 1', 'type = "interrupted:Interrupted"')
    (tmp_path / "p.toml").write_text(project, encoding="utf-8")
    # Under python -m, the interpreter would end by the signal (exit status -2) after the command chose 130.
    p = subprocess.run([sys.executable, "-m", "quillmere", "run", "p.toml"], capture_output=True, text=True,
                       cwd=tmp_path, timeout=120)
    assert p.returncode == 130, p.stdout + p.stderr
    assert p.stdout.splitlines()[-1] == "已中断" and p.stderr == ""
