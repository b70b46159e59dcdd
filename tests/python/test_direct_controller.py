"""QuorvelMotorController seen from Python, against the virtual torso."""

import logging
import math
import sys
import threading
import time

import pytest

quorvel_torso_sim = pytest.importorskip("quorvel_torso_sim")

NECK_ONLY = "serial port not configured (neck-only controller)"
CONTROLLER_LOGGER = "quorvel_motor_controller.controller"


@pytest.fixture
def controller(qmc, sim):
    c = qmc.QuorvelMotorController(sim.serial_path, sim.can_bus)
    yield c
    del c  # closes both buses before the simulator goes


@pytest.fixture
def neck_only(qmc, sim):
    c = qmc.QuorvelMotorController(None, sim.can_bus)
    yield c
    del c


def servo_flags(controller, sim, read):
    """`read(id)` for ids 1-7 once the simulator has applied every earlier write.

    Sync writes get no reply, so a call can return before the servos act on
    it; a read that does get one proves they have.
    """
    controller.read_all_positions()
    return [read(i) for i in range(1, 8)]


def mit_frames(sim, can_id):
    """Frames the host sent to a neck motor other than enable/disable (all 0xFF then a code)."""
    return [e for e in sim.can_log() if e.id == can_id and e.data[:7] != b"\xff" * 7]


# ---- Construction -------------------------------------------------------------


def test_construction_failures_carry_the_bus_error_text(qmc, sim):
    with pytest.raises(RuntimeError) as missing_can:
        qmc.QuorvelMotorController(None, "nope0")
    assert str(missing_can.value) == (
        "failed to open CAN bus 'nope0': backend error: No such device (os error 19)"
    )
    with pytest.raises(RuntimeError, match="No such file or directory"):
        qmc.QuorvelMotorController("/dev/quorvel-no-such-port", can_bus=sim.can_bus)
    # A CAN failure released the serial port again: a second controller gets it.
    with pytest.raises(RuntimeError, match="failed to open CAN bus 'nope0'"):
        qmc.QuorvelMotorController(sim.serial_path, "nope0")
    assert qmc.QuorvelMotorController(serialport=sim.serial_path, can_bus=sim.can_bus).read_all_positions()
    with pytest.raises(TypeError):
        qmc.QuorvelMotorController(sim.serial_path, sim.can_bus, 1)


def test_neck_only_controller_refuses_servo_methods_and_runs_neck_ones(neck_only, sim):
    c = neck_only
    servo_calls = [
        c.is_torque_enabled, c.enable_torque, c.disable_torque, c.read_all_positions,
        lambda: c.enable_torque_on_ids([3]), lambda: c.disable_torque_on_ids([9, 7]),
        lambda: c.set_all_goal_positions([0.0] * 7), lambda: c.set_left_arm_position([0, 0]),
        lambda: c.set_right_arm_position([0, 0]), lambda: c.set_arms_position([0] * 4),
        lambda: c.set_nose_position([0] * 3), lambda: c.enable_arms(True), lambda: c.enable_nose(False),
        c.set_arm_home, lambda: c.write_raw_packet(b"\xff\xff\x01\x02\x01\xfb"),
    ]
    for call in servo_calls:
        with pytest.raises(RuntimeError) as refused:
            call()
        assert str(refused.value) == NECK_ONLY
    # No servo id listed: nothing to refuse.
    assert c.enable_torque_on_ids([]) is None
    assert c.disable_torque_on_ids([0, 8, 255]) is None
    # verify_tol is checked before the port.
    with pytest.raises(RuntimeError, match=r"^set_arm_home: verify_tol must be positive, got 0$"):
        c.set_arm_home(0.0)
    # Conversion errors come first, even without a port.
    with pytest.raises(ValueError, match=r"^expected a sequence of length 4 \(got 3\)$"):
        c.set_arms_position([0.0, 0.0, 0.0])

    assert c.neck_position_limits() == [(-0.5, 0.5), (0.0, 0.45), (-0.4, 0.4)]
    assert c.is_neck_torque_enabled() is False
    assert c.read_neck_positions() == pytest.approx([0.0, 0.0, 0.0], abs=1e-3)
    c.enable_neck(True)
    assert c.is_neck_torque_enabled() is True
    assert c.set_neck_position([0.1, 0.2, -0.1]) == pytest.approx([0.1, 0.2, -0.1], abs=1e-3)


# ---- Arguments ------------------------------------------------------------------

NAN = float("nan")

BAD_ARGUMENTS = [
    ("set_arms_position", ([0.0, 0.0, 0.0],), {}, ValueError, r"^expected a sequence of length 4 \(got 3\)$"),
    ("set_neck_position", ([0.0, 0.0],), {}, ValueError, r"^expected a sequence of length 3 \(got 2\)$"),
    ("set_all_goal_positions", ("1234567",), {}, TypeError, None),
    ("set_nose_position", ([0.0, "x", 0.0],), {}, TypeError, "position"),
    ("enable_arms", (1,), {}, TypeError, "enable"),
    ("enable_neck", (None,), {}, TypeError, "enable"),
    ("enable_torque_on_ids", ("12",), {}, TypeError, "^Can't extract `str` to `Vec`$"),
    ("enable_torque_on_ids", ([1, 256],), {}, OverflowError, None),
    ("disable_torque_on_ids", ([-1],), {}, OverflowError, None),
    ("set_neck_gains", (-1, 10.0, 1.0), {}, OverflowError, None),
    ("set_neck_gains", (0, "10", 1.0), {}, TypeError, "kp"),
    ("write_raw_packet", (bytearray(b"\xff\xff"),), {}, TypeError, "data"),
    ("write_raw_packet", ([255, 255],), {}, TypeError, "data"),
    ("neck_home", (), {"speed": 0.4, "gain": 1}, TypeError, "gain"),
    ("set_neck_yaw_position", (), {}, TypeError, "position"),
    ("read_neck_positions", (1,), {}, TypeError, None),
    # Non-finite neck positions never reach a motor.
    ("set_neck_position", ([0.0, NAN, 0.0],), {}, ValueError, "finite"),
    ("set_neck_yaw_position", (math.inf,), {}, ValueError, "finite"),
    ("set_neck_pitch_position", (NAN,), {}, ValueError, "finite"),
    ("set_neck_roll_position", (-math.inf,), {}, ValueError, "finite"),
]


@pytest.mark.parametrize("method, args, kwargs, error, text", BAD_ARGUMENTS)
def test_bad_arguments_raise_before_any_bus_traffic(controller, sim, method, args, kwargs, error, text):
    sim.clear_logs()
    with pytest.raises(error, match=text):
        getattr(controller, method)(*args, **kwargs)
    assert sim.serial_log() == [] and sim.can_log() == []


def test_neck_gains_index_and_values(controller, sim):
    with pytest.raises(RuntimeError, match=r"^neck index out of range: 3$"):
        controller.set_neck_gains(3, 10.0, 1.0)
    # Stored for the joint's next command only; ints are accepted as floats.
    assert controller.set_neck_gains(index=1, kp=12, kd=0.5) is None
    controller.enable_neck(True)  # a disabled motor reports but does not move
    assert controller.set_neck_position([0.0, 0.2, 0.0]) == pytest.approx([0.0, 0.2, 0.0], abs=1e-3)
    assert sim.neck_state(1).kp == pytest.approx(12.0, abs=0.2)
    assert sim.neck_state(1).kd == pytest.approx(0.5, abs=0.01)
    assert sim.neck_state(0).kp == pytest.approx(30.0, abs=0.2)  # untouched default


# ---- Results ------------------------------------------------------------------------


def test_servo_methods_reach_the_right_servos(controller, sim):
    c = controller
    for servo_id, position in zip(range(1, 8), [0.1, -0.2, 0.3, -0.4, 0.5, -0.6, 0.7]):
        sim.set_servo_position(servo_id, position)
    assert c.read_all_positions() == pytest.approx([0.1, -0.2, 0.3, -0.4, 0.5, -0.6, 0.7], abs=2e-3)

    assert c.enable_torque() is None and c.is_torque_enabled() is True
    c.disable_torque_on_ids(bytes([6]))  # bytes are a sequence of ids too
    assert c.is_torque_enabled() is False
    assert servo_flags(c, sim, sim.servo_torque) == [True] * 5 + [False, True]
    c.enable_nose(False)
    c.enable_torque_on_ids([2, 9])
    assert servo_flags(c, sim, sim.servo_torque) == [True] * 4 + [False] * 3
    c.enable_arms(enable=False)
    assert servo_flags(c, sim, sim.servo_torque) == [False] * 7

    c.set_left_arm_position(position=(0.25, -0.25))
    c.set_right_arm_position([1, -1])
    c.set_nose_position([0.05, 0.1, 0.15])
    goals = servo_flags(c, sim, sim.servo_goal)
    assert goals == pytest.approx([0.25, -0.25, 1.0, -1.0, 0.05, 0.1, 0.15], abs=2e-3)
    c.set_all_goal_positions([0.0] * 7)
    c.set_arms_position([0.4, 0.3, 0.2, 0.1])
    goals = servo_flags(c, sim, sim.servo_goal)
    assert goals == pytest.approx([0.4, 0.3, 0.2, 0.1, 0.0, 0.0, 0.0], abs=2e-3)

    # Sent exactly as given; the servo's reply is dropped.
    sim.clear_logs()
    ping = b"\xff\xff\x01\x02\x01\xfb"
    assert c.write_raw_packet(ping) is None
    assert [e.bytes for e in sim.serial_log()] == [ping]


def test_neck_setters_clamp_log_and_return_what_the_motors_report(controller, sim, caplog):
    caplog.set_level(logging.WARNING, logger=CONTROLLER_LOGGER)
    controller.enable_neck(True)
    observed = controller.set_neck_position([1.0, 0.6, -0.1])
    assert observed == pytest.approx([0.5, 0.45, -0.1], abs=1e-3)
    assert all(isinstance(x, float) for x in observed)
    assert controller.set_neck_roll_position(-2) == pytest.approx(-0.4, abs=1e-3)
    assert controller.set_neck_yaw_position(position=0.0) == pytest.approx(0.0, abs=1e-3)
    assert controller.read_neck_positions() == pytest.approx([0.0, 0.45, -0.4], abs=1e-3)

    clamps = [(r.name, r.levelno, r.getMessage()) for r in caplog.records if r.name == CONTROLLER_LOGGER]
    assert clamps == [
        (CONTROLLER_LOGGER, 30,
         "neck_yaw requested position 1.0000 rad out of safe range [-0.5000, 0.5000]; clamped to 0.5000"),
        (CONTROLLER_LOGGER, 30,
         "neck_pitch requested position 0.6000 rad out of safe range [0.0000, 0.4500]; clamped to 0.4500"),
        (CONTROLLER_LOGGER, 30,
         "neck_roll requested position -2.0000 rad out of safe range [-0.4000, 0.4000]; clamped to -0.4000"),
    ]


def test_bus_failures_raise_runtime_error_with_the_controller_text(controller, sim):
    sim.set_neck_silent(0, True)
    with pytest.raises(RuntimeError) as failed:
        controller.read_neck_positions()
    assert str(failed.value) == "read_neck_positions(neck_yaw): transport error: timeout waiting for frame"
    with pytest.raises(RuntimeError, match=r"^set_neck_yaw_position: transport error: "):
        controller.set_neck_yaw_position(0.1)
    with pytest.raises(RuntimeError, match=r"^neck_yaw: ensure MIT mode failed: "):
        controller.enable_neck(True)
    assert controller.is_neck_torque_enabled() is False
    with pytest.raises(RuntimeError, match=r"^neck_home: speed must be positive, got NaN$"):
        controller.neck_home(speed=float("nan"))


@pytest.mark.skipif(sys.version_info < (3, 11), reason="exception notes are Python 3.11+")
def test_a_failed_bus_call_names_the_motor_at_fault_in_a_note(controller, sim):
    cases = [
        # The first servo of a sync read silent: the next one's reply comes in its place (or,
        # should the machine be slow to hand it over, nothing in time).
        (lambda: sim.set_servo_silent(1, True), controller.read_all_positions,
         {"Parsing error": " (servo 2 answered in its place): ", "Operation timed out": ": "},
         f"servo 1 (left_arm_pitch) on {sim.serial_path} did not answer"),
        (lambda: sim.set_servo_silent(7, True), controller.read_all_positions, {"Operation timed out": ": "},
         f"servo 7 (nose_right) on {sim.serial_path} did not answer"),
        (lambda: sim.set_neck_silent(1, True), controller.read_neck_positions,
         {"read_neck_positions(neck_pitch): transport error: timeout waiting for frame": ": "},
         f"neck motor neck_pitch (CAN id 2) on {sim.can_bus} did not answer"),
    ]
    for make_silent, call, texts, note in cases:
        make_silent()
        with pytest.raises(RuntimeError) as failed:
            call()
        assert str(failed.value) in texts  # the message stays as it was
        (only,) = failed.value.__notes__
        head = note + texts[str(failed.value)]
        assert only.startswith(head) and only[len(head):].startswith("check "), only  # and what to do
        for index in range(1, 8):
            sim.set_servo_silent(index, False)
        sim.set_neck_silent(1, False)


# ---- Homing ----------------------------------------------------------------------------


def test_neck_home_defaults_home_multi_turn_positions(controller, sim):
    for index, position in enumerate([6.1, -0.2, 6.4]):
        sim.set_neck_position(index, position)
    sim.clear_logs()
    observed = controller.neck_home()
    two_pi = 2 * math.pi
    assert observed == pytest.approx([two_pi, 0.0, two_pi], abs=0.15)
    assert controller.is_neck_torque_enabled() is True  # enabled, and left enabled
    # 0.4 rad/s on a 10 ms cycle: the longest travel, 0.2 rad, takes 50 cycles.
    assert 45 <= len(mit_frames(sim, 2)) <= 56
    # Default gains were kept.
    assert sim.neck_state(0).kp == pytest.approx(30.0, abs=0.2)
    assert sim.neck_state(1).kp == pytest.approx(60.0, abs=0.2)

    sim.set_neck_position(1, 0.1)
    controller.neck_home(1.0, 0.15, kp=10, kd=None)
    assert sim.neck_state(1).kp == pytest.approx(10.0, abs=0.2)
    assert sim.neck_state(1).kd == pytest.approx(2.0, abs=0.01)


def test_python_threads_run_while_neck_home_is_on_the_bus(controller, sim):
    for index, position in enumerate([0.5, 0.3, -0.3]):
        sim.set_neck_position(index, position)
    count = 0
    stop = threading.Event()

    def spin():
        nonlocal count
        while not stop.is_set():
            count += 1

    spinner = threading.Thread(target=spin, daemon=True)
    spinner.start()
    try:
        time.sleep(0.05)
        before = count
        started = time.monotonic()
        controller.neck_home()
        elapsed = time.monotonic() - started
        progress = count - before
    finally:
        stop.set()
        spinner.join()
    assert elapsed > 0.5  # about 125 cycles of 10 ms
    assert progress > 10_000  # the spinner ran throughout, not just at switch points


def test_concurrent_callers_that_log_do_not_stall_each_other(controller, sim, caplog):
    # Each clamp takes the interpreter lock to log while its caller holds the
    # controller mutex; the other callers must wait for that mutex without it.
    caplog.set_level(logging.WARNING, logger=CONTROLLER_LOGGER)
    controller.enable_neck(True)
    errors = []

    def worker():
        try:
            for _ in range(15):
                controller.set_neck_position([1.0, 0.6, 0.5])
                controller.read_neck_positions()
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    workers = [threading.Thread(target=worker, daemon=True) for _ in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(timeout=60)
    assert not any(w.is_alive() for w in workers) and errors == []
    assert len([r for r in caplog.records if r.name == CONTROLLER_LOGGER]) == 4 * 15 * 3


def test_set_arm_home_makes_the_present_pose_zero(controller, sim):
    start = [0.3, -1.2, 2.0, 0.7]
    for servo_id, position in zip(range(1, 5), start):
        sim.set_servo_position(servo_id, position)
    controller.enable_arms(True)
    readings = controller.set_arm_home()
    assert len(readings) == 4 and max(abs(x) for x in readings) <= 0.05
    assert controller.read_all_positions()[:4] == pytest.approx([0.0] * 4, abs=0.01)
    assert servo_flags(controller, sim, sim.servo_torque)[:4] == [False] * 4
    assert [sim.servo_offset(i) for i in range(1, 5)] == pytest.approx(start, abs=0.01)
    with pytest.raises(RuntimeError, match=r"^set_arm_home: verify_tol must be positive, got -1$"):
        controller.set_arm_home(verify_tol=-1)


# ---- Logger cache -----------------------------------------------------------------------

CACHE_SNIPPET = """
import logging, quorvel_torso_sim, quorvel_motor_controller as q
messages = []
class Collect(logging.Handler):
    def emit(self, record):
        messages.append(record.getMessage())
log = logging.getLogger("quorvel_motor_controller.controller")
log.addHandler(Collect())
log.propagate = False
log.setLevel(logging.{first})
with quorvel_torso_sim.TorsoSim() as sim:
    c = q.QuorvelMotorController(None, sim.can_bus)
    c.set_neck_pitch_position(0.6)  # the controller's first record
    seen_first = len(messages)
    log.setLevel(logging.{then})
    c.set_neck_pitch_position(0.7)
    c.set_neck_position([0.0, 0.8, 0.0])
    print(seen_first, len(messages))
"""


@pytest.mark.parametrize(
    "first, then, expected",
    [
        ("WARNING", "ERROR", "1 1"),  # a raised threshold applies at once
        ("ERROR", "WARNING", "0 0"),  # a lowered one does not: the cached threshold still drops warn records
    ],
)
def test_clamp_records_follow_the_logger_cache(run_python, first, then, expected):
    result = run_python(CACHE_SNIPPET.format(first=first, then=then))
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == expected.split()
