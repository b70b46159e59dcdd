"""Recordings of the loop on the virtual torso, read back with the `mcap`
reader and with `rosbags`."""

import json
import math
import os
import signal
import subprocess
import sys
import threading
import time
from collections import Counter
from datetime import timedelta
from pathlib import Path

import pytest

from waiting import eventually

quorvel_torso_sim = pytest.importorskip("quorvel_torso_sim")
pytest.importorskip("mcap_ros2")
from mcap.reader import make_reader  # noqa: E402
from mcap_ros2.decoder import DecoderFactory  # noqa: E402

from quorvel_tools import recording, report  # noqa: E402
from quorvel_tools.ros2_schemas import JOINTS  # noqa: E402

PERIOD = timedelta(milliseconds=2)
STEP = 2 * math.pi / 4096  # one servo step


def read_back(path):
    """topic -> [(log_time, message)] with the mcap reader and the ROS 2 decoder."""
    topics = {}
    with open(path, "rb") as f:
        for _s, channel, message, msg in make_reader(f, decoder_factories=[DecoderFactory()]).iter_decoded_messages():
            topics.setdefault(channel.topic, []).append((message.log_time, msg))
    return topics


@pytest.fixture(scope="module")
def run(qmc, tmp_path_factory):
    """One recorded run: goals, a motion on all joints, a silent servo, a
    refused command and a status read; with what the simulator received."""
    path = tmp_path_factory.mktemp("recording") / "run.mcap"
    with quorvel_torso_sim.TorsoSim() as sim:
        with qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus) as loop:
            loop.enable_torque()
            loop.enable_neck(True)
            assert eventually(lambda: loop.motion_state() is not None and loop.is_torque_enabled())
            sim.clear_set_point_history()
            loop.start_recording(path)
            loop.set_arms_position([0.1, -0.1, 0.2, -0.2])
            loop.set_nose_position([0.05, 0.1, -0.05])
            loop.set_neck_position([0.1, 0.2, -0.1])
            time.sleep(0.2)
            loop.move_to(dict(zip(JOINTS, [0.3, 0.2, -0.3, 0.1, 0.2, -0.2, 0.1, -0.2, 0.3, 0.2])))
            assert loop.wait_motion(10.0)
            time.sleep(0.05)
            # What the motors received up to here, and when that was.
            servo_goals = {sid: [e.goal for e in sim.servo_goal_history(sid)] for sid in range(1, 8)}
            neck_commands = {i: [e.position for e in sim.neck_command_history(i)] for i in range(3)}
            moved_until = time.time_ns()
            sim.set_servo_silent(6, True)
            assert eventually(lambda: _read_fails(loop))
            sim.set_servo_silent(6, False)
            assert eventually(lambda: not _read_fails(loop))
            with pytest.raises(ValueError):
                loop.set_neck_position([float("nan"), 0.0, 0.0])
            loop.async_read_servo_status()
    return path, read_back(path), servo_goals, (neck_commands, moved_until)


def _read_fails(loop):
    try:
        loop.get_last_position()
        return False
    except RuntimeError:
        return True


def test_every_tick_is_recorded_once_and_in_order(run):
    _path, topics, _s, _n = run
    ticks = [m.tick for _, m in topics["/loop/timing"]]
    assert ticks == list(range(ticks[0], ticks[0] + len(ticks)))
    assert len(ticks) > 100
    failures = [m for _, m in topics["/loop/events"] if m.name.endswith("read_failure")]
    assert len(topics["/joint_states"]) == len(ticks) - len(failures)
    stamps = [t for t, _ in topics["/loop/timing"]]
    assert stamps == sorted(stamps)
    assert all(m.dropped_records == 0 for _, m in topics["/loop/timing"])


def test_rosbags_reads_the_same_messages(run):
    from rosbags.highlevel import AnyReader

    path, topics, _s, _n = run
    counts = Counter()
    with AnyReader([Path(path)]) as reader:
        for connection, _t, raw in reader.messages():
            msg = reader.deserialize(raw, connection.msgtype)
            counts[connection.topic] += 1
            if connection.topic == "/joint_states":
                assert list(msg.name) == list(JOINTS) and len(msg.position) == 10
    assert counts == Counter({topic: len(msgs) for topic, msgs in topics.items()})


def test_commands_and_set_points_match_what_the_simulator_received(run):
    _path, topics, servo_goals, (neck_commands, moved_until) = run
    sent = {joint: [] for joint in JOINTS}
    for log_time, msg in topics["/joint_commands"]:
        if log_time > moved_until:
            continue
        for name, position in zip(msg.name, msg.position):
            sent[name].append(position)
    assert all(sent[j] for j in JOINTS)
    for sid in range(1, 8):
        received = servo_goals[sid]
        recorded = sent[JOINTS[sid - 1]]
        assert len(received) == len(recorded), JOINTS[sid - 1]
        # A servo takes whole steps; the recording keeps positions to about 1 urad.
        assert all(abs(a - b) <= 1.01 * STEP for a, b in zip(received, recorded)), JOINTS[sid - 1]
    for i in range(3):
        # Every recorded neck command reached the motor, in order (enabling
        # the neck sends commands of its own).
        received = iter(neck_commands[i])
        for value in sent[JOINTS[7 + i]]:
            assert any(abs(value - r) < 1e-3 for r in received), JOINTS[7 + i]


def test_silent_servo_shows_as_failed_reads_and_the_report_counts_them(run, tmp_path):
    path, topics, _s, _n = run
    failures = [m.msg for _, m in topics["/loop/events"] if m.name.endswith("read_failure")]
    assert failures and all("nose_left did not answer" in text for text in failures)
    out = tmp_path / "run.png"
    summary = report.summary(report.load(str(path)))
    assert summary["failed_reads_by_joint"] == {"nose_left": len(failures)}
    assert summary["ticks_missing"] == 0 and summary["dropped_records"] == 0
    assert report.main([str(path), "--png", str(out), "--json"]) == 0
    assert out.stat().st_size > 10_000


def test_refusals_status_reads_and_metadata_are_recorded(run, qmc):
    path, topics, _s, _n = run
    assert any(m.name.endswith("refused") and "neck_yaw" in m.msg for _, m in topics["/loop/events"])
    (_, diagnostics), = topics["/diagnostics"][:1]
    assert [s.name for _, d in topics["/diagnostics"] for s in d.status] == list(JOINTS[:7])
    assert {kv.key for kv in diagnostics.status[0].values} >= {"pos", "V", "T"}
    with open(path, "rb") as f:
        metadata = {m.name: m.metadata for m in make_reader(f).iter_metadata()}
    info = metadata["quorvel_motor_controller"]
    assert info["module_version"] == qmc.__version__
    assert float(info["period_s"]) == PERIOD.total_seconds()
    assert json.loads(info["servo_ids"])["nose_left"] == 6


def test_overflow_drops_the_oldest_and_counts_them(qmc, sim, tmp_path, monkeypatch):
    path = tmp_path / "overflow.mcap"
    monkeypatch.setattr(recording, "RING_CAPACITY", 64)
    release = threading.Event()
    original = recording.Recording._write_batch

    def stalled(self, blob):
        release.wait(10.0)
        original(self, blob)

    monkeypatch.setattr(recording.Recording, "_write_batch", stalled)
    with qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus, record=path) as loop:
        time.sleep(0.6)  # about 600 records against a ring of 64
        release.set()
        time.sleep(1.2)
    topics = read_back(path)
    ticks = [m.tick for _, m in topics["/loop/timing"]]
    assert ticks == sorted(set(ticks))
    dropped = max(m.dropped_records for _, m in topics["/loop/timing"])
    assert dropped > 0
    assert any("recording dropped" in m.msg for _, m in topics["/loop/events"])
    with open(path, "rb") as f:
        metadata = {m.name: m.metadata for m in make_reader(f).iter_metadata()}
    assert int(metadata["quorvel_recording"]["dropped_records"]) >= dropped
    assert loop is not None


def test_a_file_cut_short_by_sigkill_reads_up_to_its_last_chunk(tmp_path):
    path = tmp_path / "killed.mcap"
    code = (
        "import sys, time, datetime\n"
        "import quorvel_motor_controller as qmc, quorvel_torso_sim as ts\n"
        "sim = ts.TorsoSim()\n"
        "loop = qmc.QuorvelPyControlLoop(sim.serial_path, datetime.timedelta(milliseconds=2),\n"
        f"                                can_bus=sim.can_bus, record={str(path)!r})\n"
        "time.sleep(2.0)\n"
        "print('recorded', flush=True)\n"
        "time.sleep(60)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline().strip() == "recorded"
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=30)
    summary = report.summary(report.load(str(path)))
    # A chunk closes at least every second: at most the last second is lost.
    assert summary["ticks"] >= 100 and summary["ticks_in_order"] and summary["ticks_missing"] == 0


def test_interpreter_exit_finishes_the_file(run_python, tmp_path):
    path = tmp_path / "exit.mcap"
    result = run_python(
        "import time, datetime\n"
        "import quorvel_motor_controller as qmc, quorvel_torso_sim as ts\n"
        "sim = ts.TorsoSim()\n"
        "loop = qmc.QuorvelPyControlLoop(sim.serial_path, datetime.timedelta(milliseconds=2),\n"
        f"                                can_bus=sim.can_bus, record={str(path)!r})\n"
        "time.sleep(0.5)\n"
    )
    assert result.returncode == 0, result.stderr
    with open(path, "rb") as f:
        summary = make_reader(f).get_summary()
    assert summary is not None and summary.statistics.message_count > 0
