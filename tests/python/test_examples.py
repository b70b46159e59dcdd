"""The examples and the demo run to completion on the simulated torso, so they cannot rot."""

import importlib.util
import math
import os
import pathlib
import pty
import re
import select
import signal
import subprocess
import sys
import time

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
DEMO = [sys.executable, "-m", "quorvel_tools.demo"]
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def run(args, timeout=120, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout, env=ENV, **kwargs)


@pytest.mark.parametrize("example, expected", [
    ("read_positions.py", "left_arm_pitch=+0.250"),
    ("neck_home.py", "neck homed at"),
    ("control_loop_wave.py", "ControlLoopStats(period="),
])
def test_example_runs_on_the_simulator(example, expected):
    result = run([sys.executable, str(EXAMPLES / example), "--duration", "1"])
    assert result.returncode == 0, result.stdout + result.stderr
    assert expected in result.stdout


def test_demo_without_a_terminal_prints_plain_lines_and_the_summary():
    result = run(DEMO + ["--duration", "2"])
    assert result.returncode == 0, result.stdout + result.stderr
    out = result.stdout
    assert "\x1b[" not in out                         # no cursor movement into a pipe
    assert re.search(r"neck homed at \[\+6\.2\d\d, [+-]0\.\d+, \+6\.2\d\d\]", out)   # a turn away, homed
    assert re.search(r"^t=\s*\d+\.\ds\s+loop", out, re.M)
    for line in ("control loop statistics  ControlLoopStats(", "  ticks ", "  period ", "  jitter ", "  commands "):
        assert line in out
    assert "torque off" in out


def test_demo_rate_leaves_out_the_first_period_sample():
    from types import SimpleNamespace

    from quorvel_tools.demo_view import LoopFigures, summary

    # The first sample runs from the loop body's start to its first tick, due at once: microseconds.
    for tail in ([], [0.01], [0.01] * 150):
        stats = SimpleNamespace(period=[3e-6] + tail, read_dt=[], write_dt=[])
        rate = LoopFigures.from_stats(stats, nominal=0.01).rate_hz
        assert (rate != rate) if not tail else rate == pytest.approx(100.0)
    assert "(100.0 Hz, nominal 100 Hz)" in "\n".join(summary(stats, sent=0, elapsed=1.5, nominal=0.01))


def _run_in_terminal(args, seconds_before_interrupt=None, timeout=120):
    """Runs `args` on a pseudo-terminal; returns (exit status, everything it printed)."""
    pid, fd = pty.fork()
    if pid == 0:  # child
        os.execvpe(args[0], args, ENV)
    output, interrupted, deadline = b"", False, time.monotonic() + timeout
    started = time.monotonic()
    while time.monotonic() < deadline:
        if (seconds_before_interrupt is not None and not interrupted and b"\x1b[" in output
                and time.monotonic() - started > seconds_before_interrupt):
            os.kill(pid, signal.SIGINT)
            interrupted = True
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
            output += chunk
    else:
        os.kill(pid, signal.SIGKILL)
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    return os.waitstatus_to_exitcode(status), output.decode(errors="replace")


def test_demo_on_a_terminal_updates_in_place():
    status, out = _run_in_terminal(DEMO + ["--duration", "2"])
    assert status == 0, out
    assert re.search(r"\x1b\[\d+F", out)            # cursor moved back up to redraw
    assert "commands sent" in out and "period jitter" in out
    assert out.count("control loop statistics") == 1
    assert "\x1b[?25h" in out                       # cursor shown again


def test_ctrl_c_returns_to_zero_and_leaves_nothing_running():
    status, out = _run_in_terminal(DEMO + ["--duration", "60"], seconds_before_interrupt=1.0)
    assert status == 130, out
    assert "control loop statistics" in out and "torque off" in out
    bus = re.search(r"CAN (unix:(\S+)/can\.sock)", out)
    assert bus and not os.path.exists(bus.group(2))   # the simulator's directory is gone


def test_hardware_run_asks_first_and_moves_nothing_without_an_answer():
    result = run(DEMO + ["--serial", "/dev/ttyUSB-none", "--can", "can0"], stdin=subprocess.DEVNULL)
    assert result.returncode == 1
    assert "nothing moved" in result.stdout and "--yes" in result.stderr
    missing = run(DEMO + ["--serial", "/dev/ttyUSB-none", "--yes"])
    assert missing.returncode == 1
    assert "Could not find port: /dev/ttyUSB-none!" in missing.stderr


def test_plot(tmp_path):
    target = tmp_path / "motion.png"
    result = run(DEMO + ["--duration", "1", "--plot", str(target)])
    if importlib.util.find_spec("matplotlib") is None:
        assert result.returncode == 2 and "pip install" in result.stderr
        assert not target.exists()
    else:
        assert result.returncode == 0, result.stdout + result.stderr
        assert target.read_bytes().startswith(b"\x89PNG")


def test_demo_moves_through_generated_motion(qmc, monkeypatch):
    """What reached the simulated motors came from the loop's motion generator:
    goals at tick rate within the velocity limit, neck commands with a velocity
    feed-forward."""
    quorvel_torso_sim = pytest.importorskip("quorvel_torso_sim")
    from quorvel_tools import demo

    seen = {}
    real_sim, real_loop = quorvel_torso_sim.TorsoSim, qmc.QuorvelPyControlLoop

    class RecordedSim:
        def __init__(self, **kwargs):
            self._sim = real_sim(**kwargs)

        def __getattr__(self, name):
            return getattr(self._sim, name)

        def close(self):
            seen["servos"] = {name: self._sim.servo_goal_history(i) for name, i in qmc.SERVO_IDS.items()}
            seen["neck"] = dict(zip(qmc.NECK_JOINTS, map(self._sim.neck_command_history, range(3))))
            self._sim.close()

    def recorded_loop(*args, **kwargs):
        loop = real_loop(*args, **kwargs)
        seen["limits"], seen["period"] = loop.motion_limits(), args[1].total_seconds()
        return loop

    monkeypatch.setattr(quorvel_torso_sim, "TorsoSim", RecordedSim)
    monkeypatch.setattr(qmc, "QuorvelPyControlLoop", recorded_loop)
    assert demo.main(["--duration", "3"]) == 0

    limits, period = seen["limits"], seen["period"]
    step = 2 * math.pi / 4096   # one goal step of the servos
    loop_started = min(goals[0].time for goals in seen["servos"].values())
    for name, goals in seen["servos"].items():
        assert len(goals) > 2.0 / period, name   # one goal per tick while it moves
        for a, b in zip(goals, goals[1:]):
            # A late tick moves the set point on by as much: two periods of slack, and one goal step.
            assert abs(b.goal - a.goal) <= limits[name][0] * (b.time - a.time + 2 * period) + step, (name, a, b)
    for name, commands in seen["neck"].items():
        commands = [c for c in commands if c.time > loop_started]   # not the homing's
        assert len(commands) > 2.0 / period, name
        assert max(abs(c.velocity) for c in commands) <= limits[name][0] * (1 + 1e-6) + 1e-4
        assert any(abs(c.velocity) > 0.01 for c in commands), name   # a feed-forward: not step goals
