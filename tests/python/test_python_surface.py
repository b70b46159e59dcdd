"""The module as a Python library: context managers and close(), errors that
name their device, positions and statistics as values, joint names in code."""

import copy
import errno
import importlib.metadata
import importlib.util
import os
import pickle
import subprocess
import sys
import threading
from datetime import timedelta
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from waiting import eventually

quorvel_torso_sim = pytest.importorskip("quorvel_torso_sim")

PERIOD = timedelta(milliseconds=10)
CLOSED = "controller is closed"


def cause_of(excinfo):
    """The OSError a RuntimeError was raised from."""
    cause = excinfo.value.__cause__
    assert isinstance(cause, OSError), repr(excinfo.value)
    assert excinfo.value.__suppress_context__
    return cause


# ---- Lifecycle -------------------------------------------------------------------


def test_direct_controller_with_and_close(qmc, sim):
    with qmc.QuorvelMotorController(sim.serial_path, sim.can_bus) as torso:
        assert isinstance(torso, qmc.QuorvelMotorController)
        assert len(torso.read_all_positions()) == 7
        assert repr(torso) == (
            f"QuorvelMotorController(serialport={sim.serial_path!r}, can_bus={sim.can_bus!r}, closed=False)"
        )
    assert repr(torso).endswith("closed=True)")
    # Both ports are released while the object lives on: the path opens again.
    again = qmc.QuorvelMotorController(sim.serial_path, sim.can_bus)
    for call in (torso.read_all_positions, torso.read_neck_positions, torso.neck_position_limits,
                 torso.is_neck_torque_enabled, lambda: torso.enable_arms(True)):
        with pytest.raises(RuntimeError, match=f"^{CLOSED}$"):
            call()
    torso.close()  # idempotent
    again.close()
    assert repr(qmc.QuorvelMotorController(None, sim.can_bus)).startswith(
        "QuorvelMotorController(serialport=None, ")

    # __exit__ never swallows the exception, and still closes.
    with pytest.raises(KeyError):
        with qmc.QuorvelMotorController(sim.serial_path, sim.can_bus) as failing:
            raise KeyError("from the block")
    with pytest.raises(RuntimeError, match=CLOSED):
        failing.read_neck_positions()


def test_close_waits_for_a_call_in_progress(qmc, sim):
    torso = qmc.QuorvelMotorController(sim.serial_path, sim.can_bus)
    sim.set_neck_position(1, 0.3)  # homing ramps at 0.4 rad/s: most of a second
    outcome = {}
    started = threading.Event()

    def home():
        started.set()
        try:
            outcome["home"] = torso.neck_home()
        except RuntimeError as e:
            outcome["home"] = e

    thread = threading.Thread(target=home, daemon=True)
    try:
        thread.start()
        started.wait(10)
        torso.close()  # waits for the homing (without the interpreter lock), then closes
        thread.join(30)
        assert not thread.is_alive()
        # Either homing finished before close took the controller, or close
        # came first and homing found it closed; never anything in between.
        home_result = outcome["home"]
        assert isinstance(home_result, list) or str(home_result) == CLOSED
        with pytest.raises(RuntimeError, match=CLOSED):
            torso.read_neck_positions()
    finally:
        torso.close()
        thread.join(30)


def test_control_loop_with(qmc, sim):
    with qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus) as loop:
        assert repr(loop) == (
            f"QuorvelPyControlLoop(serialport={sim.serial_path!r}, can_bus={sim.can_bus!r}, closed=False)"
        )
        loop.enable_arms(True)
        position = loop.get_last_position()
    assert repr(loop).endswith("closed=True)")
    with pytest.raises(RuntimeError, match="^channel closed$"):
        loop.enable_arms(True)
    assert loop.get_last_position().timestamp >= position.timestamp
    # The loop released its ports.
    qmc.QuorvelMotorController(sim.serial_path, sim.can_bus).close()

    with pytest.raises(ZeroDivisionError):
        with qmc.QuorvelPyControlLoop(None, PERIOD, can_bus=sim.can_bus) as neck_only:
            1 / 0
    assert repr(neck_only) == f"QuorvelPyControlLoop(serialport=None, can_bus={sim.can_bus!r}, closed=True)"


# ---- Errors that name their cause --------------------------------------------------


def test_failed_serial_opens_name_the_device(qmc, sim, tmp_path):
    missing = "/dev/quorvel-no-such-port"
    with pytest.raises(RuntimeError) as e:
        qmc.QuorvelMotorController(missing, sim.can_bus)
    assert str(e.value) == "No such file or directory"
    cause = cause_of(e)
    assert isinstance(cause, FileNotFoundError)
    assert (cause.errno, cause.strerror, cause.filename) == (errno.ENOENT, "No such file or directory", missing)
    # The text names no path, so a note does (shown below the message, where the cause is not).
    if sys.version_info >= (3, 11):
        assert e.value.__notes__ == [f"{missing}: No such file or directory"]

    not_a_tty = tmp_path / "plain-file"
    not_a_tty.write_bytes(b"")
    with pytest.raises(RuntimeError) as e:
        qmc.QuorvelMotorController(str(not_a_tty), sim.can_bus)
    assert str(e.value) == "Inappropriate ioctl for device"
    cause = cause_of(e)
    assert (cause.errno, cause.filename) == (errno.ENOTTY, str(not_a_tty))

    with qmc.QuorvelMotorController(sim.serial_path, sim.can_bus):
        with pytest.raises(RuntimeError) as e:
            qmc.QuorvelMotorController(sim.serial_path, sim.can_bus)
    cause = cause_of(e)
    assert cause.filename == sim.serial_path
    if cause.errno == errno.EWOULDBLOCK:  # root passes exclusive mode and meets the lock
        assert str(e.value) == "Unable to acquire exclusive lock on serial port"
    else:  # others are refused by exclusive mode itself
        assert cause.errno == errno.EBUSY and str(e.value) == cause.strerror


def test_failed_can_opens_name_the_interface(qmc, sim, tmp_path):
    with pytest.raises(RuntimeError) as e:
        qmc.QuorvelMotorController(None, "nope0")
    cause = cause_of(e)
    assert str(e.value) == (
        f"failed to open CAN bus 'nope0': backend error: {cause.strerror} (os error {cause.errno})"
    )
    assert cause.filename == "nope0"

    bus = f"unix:{tmp_path}/no-bus.sock"
    with pytest.raises(RuntimeError, match="No such file or directory") as e:
        qmc.QuorvelMotorController(sim.serial_path, bus)
    assert (cause_of(e).errno, cause_of(e).filename) == (errno.ENOENT, bus)


def test_control_loop_start_up_names_the_failing_device(qmc, sim):
    # The text blames the serial port as it always did; the cause says the CAN interface.
    with pytest.raises(RuntimeError) as e:
        qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus="nope0")
    assert str(e.value) == (
        f"Could not open serial port: {sim.serial_path}! Check permissions and if the port is already in use."
    )
    assert cause_of(e).filename == "nope0"

    missing = "/dev/quorvel-no-such-port"
    with pytest.raises(RuntimeError, match="Could not find port") as e:
        qmc.QuorvelPyControlLoop(missing, PERIOD, can_bus=sim.can_bus)
    assert (cause_of(e).errno, cause_of(e).filename) == (errno.ENOENT, missing)


def test_read_errors_of_a_lost_device_name_it(qmc, sim):
    torso = qmc.QuorvelMotorController(sim.serial_path, sim.can_bus)
    serial_path, can_bus = sim.serial_path, sim.can_bus
    sim.close()  # both devices go away under the open controller
    for call, device in ((torso.read_all_positions, serial_path), (torso.read_all_positions, serial_path),
                         (torso.read_neck_positions, can_bus), (torso.read_neck_positions, can_bus)):
        with pytest.raises(RuntimeError) as e:
            call()
        assert cause_of(e).filename == device and cause_of(e).errno
    torso.close()


def test_failures_without_a_system_call_have_no_cause(qmc, sim):
    torso = qmc.QuorvelMotorController(None, sim.can_bus)
    with pytest.raises(RuntimeError, match="neck-only") as e:
        torso.read_all_positions()
    assert e.value.__cause__ is None
    sim.set_neck_silent(0, True)
    with pytest.raises(RuntimeError, match="timeout waiting for frame") as e:
        torso.read_neck_positions()
    assert e.value.__cause__ is None
    torso.close()


# ---- Values ------------------------------------------------------------------------

finite = st.floats(allow_nan=False, width=64)


@settings(max_examples=50, deadline=None)
@given(st.lists(finite, min_size=10, max_size=10), st.floats(min_value=0, max_value=4e9))
def test_positions_are_values(qmc, values, timestamp):
    position = qmc.QuorvelTorsoPosition._from_pickle(values[0:2], values[2:4], values[4:7], values[7:10], timestamp)
    for other in (pickle.loads(pickle.dumps(position, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)):
        assert other == position and not other != position
        assert repr(other) == repr(position)
    assert copy.copy(position) == position and copy.deepcopy(position) == position
    assert position.as_dict() == dict(zip(qmc.SERVO_JOINTS + qmc.NECK_JOINTS + ("timestamp",), values + [timestamp]))


def test_position_equality_and_hashing(qmc):
    a = qmc.QuorvelTorsoPosition([0.1, 0.2], [0.3, 0.4], [0.5, 0.6, 0.7], [0.0, 0.1, -0.1])
    same = pickle.loads(pickle.dumps(a))
    moved = qmc.QuorvelTorsoPosition._from_pickle([0.1, 0.2], [0.3, 0.4], [0.5, 0.6, 0.7], [0.0, 0.1, 0.1],
                                                  a.timestamp)
    later = qmc.QuorvelTorsoPosition._from_pickle(a.left_arm, a.right_arm, a.nose, a.neck, a.timestamp + 1)
    assert a == same and a != moved and a != later and a != (a.left_arm, a.right_arm) and a != None  # noqa: E711
    with pytest.raises(TypeError, match="unhashable"):
        hash(a)
    assert list(a.as_dict()) == [*qmc.SERVO_JOINTS, *qmc.NECK_JOINTS, "timestamp"]
    with pytest.raises(ValueError, match="expected a sequence of length 3"):
        qmc.QuorvelTorsoPosition._from_pickle([0.1, 0.2], [0.3, 0.4], [0.5, 0.6], [0.0, 0.1, 0.1], 0.0)


def test_statistics_and_readings_pickle(qmc, sim):
    with qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus,
                                  stats_pub_period=timedelta(milliseconds=20)) as loop:
        loop.set_neck_position([0.0, 0.1, 0.0])
        loop.async_read_raw_bytes(1, 21, 3)  # the queued command has run: there is a write_dt sample
        # ... in the statistics published after it, every 20 ms
        assert eventually(lambda: (s := loop.get_stats()) is not None and len(s.write_dt) > 0)
        stats = loop.get_stats()
        position = loop.get_last_position()
    assert stats is not None
    for other in (pickle.loads(pickle.dumps(stats)), copy.copy(stats), copy.deepcopy(stats)):
        assert type(other) is qmc.ControlLoopStats
        assert other == stats and not other != stats and repr(other) == repr(stats)
        assert (other.period, other.read_dt, other.write_dt) == (stats.period, stats.read_dt, stats.write_dt)
    empty = qmc.ControlLoopStats._from_pickle([], [], [])
    assert empty != stats and repr(empty) == "ControlLoopStats(period=~NaNms, read_dt=~NaN ms, write_dt=~NaN ms)"
    with pytest.raises(TypeError, match="unhashable"):
        hash(stats)
    assert pickle.loads(pickle.dumps(position)) == position


# ---- Names in code -------------------------------------------------------------------


def test_joint_names_and_version(qmc, sim):
    assert qmc.SERVO_JOINTS == ("left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
                                "nose_top", "nose_left", "nose_right")
    assert qmc.NECK_JOINTS == ("neck_yaw", "neck_pitch", "neck_roll")
    assert list(qmc.SERVO_IDS.items()) == list(zip(qmc.SERVO_JOINTS, range(1, 8)))
    assert qmc.__version__ == importlib.metadata.version("quorvel_motor_controller")
    for name in ("SERVO_JOINTS", "NECK_JOINTS", "SERVO_IDS", "__version__"):
        assert name not in qmc.__all__
    with qmc.QuorvelPyControlLoop(None, PERIOD, can_bus=sim.can_bus) as loop:
        assert list(loop.get_motor_name_id().items()) == list(qmc.SERVO_IDS.items())


def test_stub_packages_are_installed_beside_the_modules(qmc):
    site = Path(qmc.__file__).parent
    for module in ("quorvel_motor_controller", "quorvel_torso_sim"):
        assert (site / f"{module}-stubs" / "__init__.pyi").is_file()
    assert not (site / "quorvel_motor_controller.pyi").exists()  # one stub, in the stub package


TYPED_SCRIPTS = Path(__file__).resolve().parents[1] / "typing"


@pytest.mark.parametrize("script", ["user_script.py", "numpy_positions.py"])
def test_typed_scripts_run(script):
    # CI type-checks these with mypy --strict; here they run on the simulator.
    if script.startswith("numpy") and importlib.util.find_spec("numpy") is None:
        pytest.skip("NumPy is not installed")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, str(TYPED_SCRIPTS / script)], capture_output=True, text=True,
                            env=env, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip().endswith(": ok")
