"""QuorvelPyControlLoop seen from Python, against the virtual torso."""

import gc
import logging
import math
import os
import sys
import threading
import time
from datetime import timedelta

import pytest

from waiting import eventually

quorvel_torso_sim = pytest.importorskip("quorvel_torso_sim")

COMM_FAILURE = "Motor communication error! Check connections and power supply."
LOOP_LOGGER = "quorvel_motor_controller.control_loop"
PERIOD = timedelta(milliseconds=10)

# The bridge caches each logger's threshold at its first record: set it first.
logging.getLogger(LOOP_LOGGER).setLevel(logging.INFO)


def loop_threads():
    return len(os.listdir("/proc/self/task"))


@pytest.fixture
def loop(qmc, sim):
    running = qmc.QuorvelPyControlLoop(
        sim.serial_path, PERIOD, can_bus=sim.can_bus, stats_pub_period=timedelta(milliseconds=50)
    )
    yield running
    running.close()


def test_argument_errors(qmc, sim):
    Loop = qmc.QuorvelPyControlLoop
    with pytest.raises(TypeError):
        Loop(sim.serial_path)  # the period is required
    with pytest.raises(TypeError):
        Loop(sim.serial_path, PERIOD, can_bus=None)
    with pytest.raises(TypeError):
        Loop(sim.serial_path, 0.01, can_bus=sim.can_bus)  # durations are timedeltas
    with pytest.raises(TypeError):
        Loop(sim.serial_path, PERIOD, can_bus=sim.can_bus, voltage_rampup_timeout=None)
    with pytest.raises(ValueError):
        Loop(sim.serial_path, timedelta(seconds=-1), can_bus=sim.can_bus)
    with pytest.raises(ValueError):
        Loop(sim.serial_path, timedelta(0), can_bus=sim.can_bus)
    with pytest.raises(ValueError):
        Loop(sim.serial_path, PERIOD, can_bus=sim.can_bus, allowed_retries=0)
    with pytest.raises(OverflowError):
        Loop(sim.serial_path, PERIOD, can_bus=sim.can_bus, allowed_retries=-1)
    with pytest.raises(RuntimeError, match="^Check if your USB cable is connected. Could not find port: /dev/none!$"):
        Loop("/dev/none", PERIOD, can_bus=sim.can_bus)
    assert sim.serial_log() == [] and sim.can_log() == []


def test_defaults(qmc, sim):
    assert qmc.QuorvelPyControlLoop.__doc__ == ""
    assert qmc.QuorvelPyControlLoop.__text_signature__ == (
        "(serialport, read_position_loop_period, can_bus=..., allowed_retries=5, "
        "stats_pub_period=None, voltage_rampup_timeout=...)"
    )
    # The CAN bus defaults to "can0", which this machine cannot open.
    with pytest.raises(RuntimeError, match="^Could not open serial port: " + sim.serial_path + "!"):
        qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD)
    loop = qmc.QuorvelPyControlLoop(None, PERIOD, sim.can_bus, stats_pub_period=None)
    assert loop.get_stats() is None
    assert loop.is_torque_enabled() is False
    position = loop.get_last_position()
    assert position.left_arm == [0.0, 0.0] and position.nose == [0.0, 0.0, 0.0]
    loop.close()


# The class's methods in table order: parameters after self, and docstring.
METHODS = [
    ("close", "", "Close the control loop and release resources."),
    ("get_motor_name_id", "", "Get the id/name motors used in this controller."),
    ("get_last_position", "", "Get the last successfully read motor positions."),
    ("set_all_goal_positions", "positions", "Set goal positions for all motors."),
    ("set_left_arm_position", "position", "Set goal positions for the left arm (2 values: pitch, yaw)."),
    ("set_right_arm_position", "position", "Set goal positions for the right arm (2 values: pitch, yaw)."),
    ("set_arms_position", "position", "Set goal positions for both arms (4 values)."),
    ("set_nose_position", "position", "Set goal positions for the nose (3 values)."),
    ("set_neck_position", "position", "Set goal positions for the neck (3 values: yaw, pitch, roll)."),
    ("set_neck_yaw_position", "position", None),
    ("set_neck_pitch_position", "position", None),
    ("set_neck_roll_position", "position", None),
    ("enable_neck", "enable", "Enable or disable the neck motors."),
    ("is_torque_enabled", "", "Check torque enabled status."),
    ("enable_torque", "", "Enable torque on all motors."),
    ("enable_torque_on_ids", "ids", "Enable torque on ids."),
    ("disable_torque", "", "Disable torque on all motors."),
    ("disable_torque_on_ids", "ids", "Disable torque on ids."),
    ("enable_arms", "enable", "Enable or disable the arm motors."),
    ("enable_nose", "enable", "Enable or disable the nose motors."),
    ("get_stats", "", "Get the latest control loop statistics, if available."),
    ("async_read_raw_bytes", "id, addr, length", "Perform an asynchronous raw read of motor bytes."),
    ("async_write_raw_bytes", "id, addr, data", "Perform an asynchronous raw write of motor bytes."),
    ("async_read_pid_gains", "id", "Read PID gains for a given motor id. Returns (P, I, D)."),
    ("async_write_pid_gains", "id, p, i, d", "Write PID gains for a given motor id."),
    ("write_raw_packet", "data", None),
    ("start_recording", "path", "Record every tick, reading, command, set point and event of the loop to an\n"
                                "MCAP file at path (ROS 2 message encoding) until stop_recording() or close()."),
    ("stop_recording", "", "Finish the recording in progress, if any."),
    ("async_read_servo_status", "", "Queue a read of the seven servos' status registers and wait for the\n"
     "ServoStatus values (servo order)."),
    ("async_read_neck_status", "", "Queue a feedback request to each neck motor and wait for the NeckStatus\n"
     "values (yaw, pitch, roll)."),
    ('move_to', 'target, *, duration=None', 'Move the named joints to their targets (a mapping from joint name to radians,\nor a QuorvelTorsoPosition for all ten), with limited velocity, acceleration\nand jerk, all arriving together; with duration, taking at least that long.\nReturns at once; a new target replaces the present one smoothly.'),
    ('follow_trajectory', 'joint_names, points, times, velocities=None', "Follow timed waypoints: points[k] holds one position per named joint, reached\ntimes[k] seconds after the call. Returns once the loop has accepted it;\nValueError when it would exceed a joint's limit."),
    ('stop_motion', '', 'Bring every joint under motion to rest as fast as its limits allow.'),
    ('wait_motion', 'timeout=None', 'Wait until no motion is active: True then (at once when none is), False when\ntimeout (seconds or a timedelta) passed first. Ctrl-C ends the wait.'),
    ('motion_state', '', "The loop's generated motion as a MotionState."),
    ('set_motion_limits', 'limits', 'Change the motion limits of the named joints: a mapping from joint name to\n(max_velocity, max_acceleration, max_jerk).'),
    ('motion_limits', '', 'The motion limits of every joint: name -> (max_velocity, max_acceleration, max_jerk).'),
    ('wait_for_position', 'after=None, timeout=None',
     'Wait for the first reading newer than the time stamp after (None: the next\n'
     'reading) and return it as a QuorvelTorsoPosition. Pass the timestamp of the\n'
     'reading you last processed to see every reading once. None when timeout\n'
     '(seconds or a timedelta) passed first; RuntimeError when that reading failed\n'
     'or the loop is closed. Ctrl-C ends the wait.'),
]


def test_method_table(qmc):
    cls = qmc.QuorvelPyControlLoop
    assert [n for n in vars(cls) if not n.startswith("__")] == [m[0] for m in METHODS]
    for name, params, doc in METHODS:
        method = getattr(cls, name)
        assert method.__text_signature__ == "($self" + (", " + params if params else "") + ")", name
        assert method.__doc__ == doc, name


def test_start_up_releases_the_interpreter_and_logs(qmc, sim, caplog):
    caplog.set_level(logging.INFO, logger=LOOP_LOGGER)
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.001)

    counter = threading.Thread(target=count, daemon=True)
    counter.start()
    try:
        started = time.monotonic()
        loop = qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus)
        took = time.monotonic() - started
    finally:
        done.set()
        counter.join()
    assert took > 0.05 and len(ticks) > 10  # the reboot alone waits 100 ms
    messages = [r.getMessage() for r in caplog.records if r.name == LOOP_LOGGER]
    assert "Waiting for voltage to be stable at 12V..." in messages
    assert any(m.startswith("Voltage is stable at ~12V: [120, 120, 120, 120, 120, 120, 120] (took ") for m in messages)
    assert loop.get_motor_name_id() == {
        "left_arm_pitch": 1, "left_arm_yaw": 2, "right_arm_pitch": 3, "right_arm_yaw": 4,
        "nose_top": 5, "nose_left": 6, "nose_right": 7,
    }
    loop.close()


def test_queued_commands_reach_the_simulator(qmc, sim, loop):
    loop.enable_neck(True)
    assert eventually(lambda: all(sim.neck_state(i).enabled for i in range(3)))
    loop.set_left_arm_position([0.1, 0.2])
    loop.set_nose_position((0.3, 0.4, 0.5))
    loop.set_neck_position([0.9, 0.2, 0.0])  # yaw beyond its bound is clamped
    loop.set_neck_roll_position(-0.1)
    assert eventually(lambda: abs(sim.neck_state(2).commanded_position + 0.1) < 1e-3)
    assert sim.servo_goal(2) == pytest.approx(0.2, abs=0.002)
    assert sim.servo_goal(7) == pytest.approx(0.5, abs=0.002)
    assert sim.neck_state(0).commanded_position == pytest.approx(0.5, abs=1e-3)

    sim.clear_logs()
    target = qmc.QuorvelTorsoPosition([0.0, 0.1], [0.2, 0.3], [0.0, 0.0, 0.0], [0.4, 0.4, 0.4])
    loop.set_all_goal_positions(target)
    loop.enable_torque_on_ids([3])
    assert eventually(lambda: loop.is_torque_enabled())
    # Sync writes get no reply: the servos act on them a moment after the loop sent them.
    assert eventually(lambda: sim.servo_torque(3) and sim.servo_goal(4) == pytest.approx(0.3, abs=0.002))
    assert not sim.servo_torque(1)
    assert [f for f in sim.can_log() if 1 <= f.id <= 3] == []  # the neck did not move

    # Refused arguments queue nothing.
    with pytest.raises(ValueError, match=r"expected a sequence of length 4 \(got 3\)"):
        loop.set_arms_position([0.0, 0.1, 0.2])
    with pytest.raises(TypeError):
        loop.set_all_goal_positions([0.0] * 7)
    with pytest.raises(ValueError):
        loop.set_neck_position([math.nan, 0.0, 0.0])
    with pytest.raises(ValueError):
        loop.set_neck_yaw_position(math.inf)
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        loop.enable_torque_on_ids("13")
    with pytest.raises(TypeError):
        loop.enable_arms(1)
    loop.disable_torque_on_ids([3])
    assert eventually(lambda: not loop.is_torque_enabled())
    assert [f for f in sim.can_log() if 1 <= f.id <= 3] == []


def test_raw_reads_pid_gains_and_packets(sim, loop):
    for address, value in ((21, 32), (22, 0), (23, 5)):
        sim.set_servo_register(1, address, value)
    assert loop.async_read_pid_gains(1) == (32, 5, 0)
    # A gain beyond one register byte is refused (its low 8 bits could be 0: a limp servo).
    sim.clear_logs()
    for gains, name in (((256, 0, 32), "p"), ((32, 0, 300), "d")):
        with pytest.raises(ValueError, match=f"^async_write_pid_gains: {name} must be between 0 and 255"):
            loop.async_write_pid_gains(1, *gains)
    loop.async_write_pid_gains(1, 255, 0, 32)
    assert eventually(lambda: [sim.servo_register(1, a) for a in (21, 22, 23)] == [255, 32, 0])
    gain_writes = [e for e in sim.serial_log() if e.parsed and e.bytes[4] == 0x03 and e.bytes[5] == 21]
    assert len(gain_writes) == 1  # nothing of the refused ones was queued

    raw = loop.async_read_raw_bytes(5, 56, 2)
    assert isinstance(raw, bytes) and raw == bytes([sim.servo_register(5, 56), sim.servo_register(5, 57)])
    loop.async_write_raw_bytes(2, 21, bytes([7]))
    loop.async_write_raw_bytes(2, 22, [8])
    assert eventually(lambda: (sim.servo_register(2, 21), sim.servo_register(2, 22)) == (7, 8))
    with pytest.raises(ValueError):
        loop.async_write_raw_bytes(2, 21, bytes(253))
    with pytest.raises(OverflowError):
        loop.async_read_raw_bytes(256, 56, 2)
    with pytest.raises(OverflowError):
        loop.async_write_pid_gains(1, 65536, 0, 0)

    ping = bytes([0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB])
    assert loop.write_raw_packet(ping) == bytes([0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC])
    with pytest.raises(TypeError):
        loop.write_raw_packet(bytearray(ping))

    sim.set_servo_silent(4, True)
    with pytest.raises(RuntimeError, match="^Failed to read raw bytes: " + COMM_FAILURE):
        loop.async_read_raw_bytes(4, 56, 2)
    with pytest.raises(RuntimeError, match="^Failed to read pid gains: " + COMM_FAILURE):
        loop.async_read_pid_gains(4)
    sim.set_servo_silent(4, False)
    with pytest.raises(RuntimeError, match="^Failed to read pid gains: " + COMM_FAILURE):
        loop.async_read_pid_gains(200)  # no such servo


def test_accessors_follow_the_loop(sim, loop):
    first = loop.get_stats()
    assert eventually(lambda: len(loop.get_stats().read_dt) > 3)
    stats = loop.get_stats()
    assert len(stats.period) >= len(stats.read_dt) > 0 and len(stats.period) > len(first.period)
    assert all(0 <= p < 1 for p in stats.period)

    sim.set_servo_position(1, 0.25)
    assert eventually(lambda: abs(loop.get_last_position().left_arm[0] - 0.25) < 0.002)
    assert abs(loop.get_last_position().timestamp - time.time()) < 5


def test_failed_reads_are_reported_until_one_succeeds(qmc, sim, caplog):
    loop = qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus, allowed_retries=1)
    try:
        sim.set_servo_silent(7, True)
        silent_servo = f"servo 7 (nose_right) on {sim.serial_path} did not answer"
        failures = []

        def failing():
            try:
                loop.get_last_position()
            except RuntimeError as error:
                failures.append(error)
                return str(error) == COMM_FAILURE
            return False

        assert eventually(failing)
        assert eventually(lambda: failing() and len(failures) > 5)  # several failed ticks
        if sys.version_info >= (3, 11):
            assert [n[: len(silent_servo)] for n in failures[-1].__notes__] == [silent_servo]
        sim.set_servo_silent(7, False)
        assert eventually(lambda: not failing())
    finally:
        loop.close()  # returns once the loop's records have reached Python
    # One warning when the reads start failing, one info record once they work again: never two
    # in a row, however many ticks failed. (A busy machine may add a pair for a late reply.)
    records = [r for r in caplog.records if r.getMessage().startswith("Periodic read")]
    levels = [r.levelno for r in records]
    assert levels == [logging.WARNING, logging.INFO] * (len(levels) // 2) and levels, levels
    assert any(r.getMessage().startswith("Periodic read failed: " + silent_servo) for r in records)
    assert all(r.getMessage().startswith("Periodic read works again after ") for r in records[1::2])


def test_after_close(sim, loop):
    assert eventually(lambda: loop.get_last_position() is not None)
    loop.close()
    loop.close()
    # Captured after close: a tick may still land while close waits for the thread.
    last = loop.get_last_position()
    with pytest.raises(RuntimeError, match="^channel closed$"):
        loop.enable_arms(True)
    with pytest.raises(RuntimeError, match="^channel closed$"):
        loop.write_raw_packet(b"\xff")
    with pytest.raises(RuntimeError, match="^Failed to write raw bytes: " + COMM_FAILURE + "$"):
        loop.async_write_raw_bytes(1, 21, [1])
    with pytest.raises(RuntimeError, match="^Failed to write pid gains: " + COMM_FAILURE + "$"):
        loop.async_write_pid_gains(1, 1, 2, 3)
    with pytest.raises(RuntimeError, match="^Failed to read raw bytes: " + COMM_FAILURE + "$"):
        loop.async_read_raw_bytes(1, 56, 2)
    with pytest.raises(RuntimeError, match="^Failed to read pid gains: " + COMM_FAILURE + "$"):
        loop.async_read_pid_gains(1)
    for status_read in (loop.async_read_servo_status, loop.async_read_neck_status):
        with pytest.raises(RuntimeError, match="^channel closed$"):
            status_read()
    time.sleep(0.05)
    assert loop.get_last_position().timestamp == last.timestamp
    assert isinstance(loop.is_torque_enabled(), bool)


def test_neck_only_loop_fails_servo_work_in_the_loop(qmc, sim):
    loop = qmc.QuorvelPyControlLoop(None, PERIOD, can_bus=sim.can_bus)
    loop.set_left_arm_position([0.1, 0.2])  # queued, then fails in the loop
    with pytest.raises(RuntimeError, match="^Failed to receive raw packet response: receiving on a closed channel$"):
        loop.write_raw_packet(b"\xff\xff\x01\x02\x01\xfb")
    with pytest.raises(RuntimeError, match="^Failed to read raw bytes: "):
        loop.async_read_raw_bytes(1, 56, 2)
    assert loop.is_torque_enabled() is False
    assert sim.serial_log() == []
    loop.close()


def test_a_dropped_loop_stops_its_thread(qmc, sim):
    threads = loop_threads()
    loop = qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus)
    assert loop_threads() == threads + 1
    del loop
    gc.collect()
    assert loop_threads() == threads
    # The port was released: a new loop can open it.
    again = qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus)
    again.close()


def test_exit_with_a_loop_running(run_python):
    code = """
import atexit, datetime, sys
import quorvel_torso_sim
sim = quorvel_torso_sim.TorsoSim()
# Registered before the module is imported, so it runs after the module's hook.
atexit.register(lambda: print("yaw", round(sim.neck_state(0).commanded_position, 3), flush=True))
import quorvel_motor_controller as q
loop = q.QuorvelPyControlLoop(sim.serial_path, datetime.timedelta(milliseconds=10), can_bus=sim.can_bus)
loop.enable_neck(True)
for i in range(1, 41):
    loop.set_neck_yaw_position(0.01 * i)
print("exiting", flush=True)
"""
    result = run_python(code, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["exiting", "yaw", "0.4"]  # every queued command ran first


def test_wait_for_position_hands_out_every_reading_once(loop, sim):
    first = loop.wait_for_position(timeout=5)
    stamps = [first.timestamp]
    for _ in range(30):
        # A busy consumer still misses none: the loop keeps the recent readings.
        if len(stamps) % 10 == 0:
            time.sleep(0.05)
        stamps.append(loop.wait_for_position(after=stamps[-1], timeout=5).timestamp)
    assert all(b > a for a, b in zip(stamps, stamps[1:]))
    latest = loop.wait_for_position(after=stamps[-1], timeout=5)
    assert latest.neck[0] == pytest.approx(sim.neck_state(0).position, abs=1e-3)

    assert loop.wait_for_position(after=time.time() + 3600, timeout=0) is None
    with pytest.raises(ValueError):
        loop.wait_for_position(after=math.nan)

    sim.set_servo_silent(3, True)
    with pytest.raises(RuntimeError, match=f"^{COMM_FAILURE}$"):
        after = latest.timestamp
        while True:
            after = loop.wait_for_position(after=after, timeout=10).timestamp
    sim.set_servo_silent(3, False)
    loop.close()
    with pytest.raises(RuntimeError, match="^channel closed$"):
        loop.wait_for_position(timeout=1)


def test_ctrl_c_ends_wait_for_position(qmc, sim):
    import signal

    with qmc.QuorvelPyControlLoop(sim.serial_path, timedelta(seconds=30), can_bus=sim.can_bus) as slow:
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                after = None
                while True:  # the first tick comes at once, the next in 30 s
                    after = slow.wait_for_position(after=after).timestamp
        finally:
            timer.join()
            signal.signal(signal.SIGINT, previous)
