"""Refused input sends nothing, close() and Ctrl-C always answer, a lost device comes back.

All against the virtual torso. Time bounds are generous (several times what an
idle machine needs) so that a busy machine passes too.
"""

import logging
import math
import os
import signal
import sys
import threading
import time
from datetime import timedelta

import pytest

from waiting import eventually

quorvel_torso_sim = pytest.importorskip("quorvel_torso_sim")

NAN = math.nan
PERIOD = timedelta(milliseconds=10)
CONTROLLER_LOGGER = "quorvel_motor_controller.controller"
COMM_FAILURE = "Motor communication error! Check connections and power supply."
CHANNEL_CLOSED = "channel closed"
TOO_MANY_IDS = "^instruction packet with 262 parameter bytes exceeds the limit of 253$"

# The bridge caches each logger's threshold at its first record: set it first.
logging.getLogger(CONTROLLER_LOGGER).setLevel(logging.INFO)


def sent_nothing(sim):
    return sim.serial_log() == [] and sim.can_log() == []


def torque_writes(sim):
    """Sync writes of the torque-enable register (40) the host sent."""
    return [e for e in sim.serial_log() if e.parsed and e.bytes[4] == 0x83 and e.bytes[5] == 40]


@pytest.fixture
def controller(qmc, sim):
    c = qmc.QuorvelMotorController(sim.serial_path, sim.can_bus)
    yield c
    del c


@pytest.fixture
def loop(qmc, sim):
    running = qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus)
    yield running
    running.close()


# ---- Refused input: ValueError or RuntimeError, and not a byte on either bus ----------------

NON_FINITE_SERVO = [
    ("set_all_goal_positions", [0.0, 0.0, 0.0, 0.0, 0.0, NAN, 0.0], r"^set_all_goal_positions\(nose_left\): position must be finite, got NaN$"),
    ("set_arms_position", [0.0, math.inf, 0.0, 0.0], r"^set_arms_position\(left_arm_yaw\): position must be finite, got inf$"),
    ("set_left_arm_position", [NAN, 0.0], r"^set_left_arm_position\(left_arm_pitch\): position must be finite, got NaN$"),
    ("set_right_arm_position", [0.0, -math.inf], r"^set_right_arm_position\(right_arm_yaw\): position must be finite, got -inf$"),
    ("set_nose_position", [0.0, 0.0, NAN], r"^set_nose_position\(nose_right\): position must be finite, got NaN$"),
    ("set_neck_position", [0.0, NAN, 0.0], r"^set_neck_position\(neck_pitch\): position must be finite, got NaN$"),
]


@pytest.mark.parametrize("method, values, text", NON_FINITE_SERVO)
def test_non_finite_positions_are_refused_by_the_direct_class(controller, sim, method, values, text):
    sim.clear_logs()
    with pytest.raises(ValueError, match=text):
        getattr(controller, method)(values)
    assert sent_nothing(sim)


def test_non_finite_positions_are_refused_by_the_loop_before_queueing(qmc, sim, loop):
    sim.clear_logs()
    for method, values, text in NON_FINITE_SERVO:
        arg = values
        if method == "set_all_goal_positions":
            arg = qmc.QuorvelTorsoPosition(values[0:2], values[2:4], values[4:7], [0.0, 0.0, 0.0])
        with pytest.raises(ValueError, match=text):
            getattr(loop, method)(arg)
    for method, position in (("set_neck_yaw_position", NAN), ("set_neck_roll_position", math.inf)):
        with pytest.raises(ValueError, match="^" + method + ": position must be finite, got "):
            getattr(loop, method)(position)
    loop.close()  # runs whatever had been queued
    # The loop kept reading, but wrote no goal and commanded no neck motor.
    assert [e for e in sim.serial_log() if e.parsed and e.bytes[4] == 0x83 and e.bytes[5] == 42] == []
    assert [e for e in sim.can_log() if e.id in (1, 2, 3)] == []


def test_finite_positions_far_outside_a_turn_still_saturate(controller, sim):
    sim.clear_logs()
    controller.set_left_arm_position([100.0, -100.0])
    assert eventually(lambda: len(sim.serial_log()) == 1, 3.0)  # a sync write gets no reply to wait for
    (write,) = sim.serial_log()
    # Goal register 42, 2 bytes per servo: 32767 steps for servo 1, -32768 for servo 2.
    assert write.bytes[5:13] == bytes([42, 2, 1, 0xFF, 0x7F, 2, 0x00, 0x80])


GAIN_AND_HOMING_REFUSALS = [
    ("set_neck_gains", (0, NAN, 1.0), {}, ValueError, r"^set_neck_gains: kp must be finite, got NaN$"),
    ("set_neck_gains", (2, 10.0, math.inf), {}, ValueError, r"^set_neck_gains: kd must be finite, got inf$"),
    ("neck_home", (math.inf,), {}, ValueError, r"^neck_home: speed must be finite, got inf$"),
    ("neck_home", (0.4, math.inf), {}, ValueError, r"^neck_home: tolerance must be finite, got inf$"),
    ("neck_home", (), {"kp": NAN}, ValueError, r"^neck_home: kp must be finite, got NaN$"),
    ("neck_home", (), {"kd": -math.inf}, ValueError, r"^neck_home: kd must be finite, got -inf$"),
    # Beyond the neck motors' velocity range, or too slow to get home within an hour.
    ("neck_home", (1e308,), {}, ValueError, r"^neck_home: speed must be at most \S+ rad/s .*, got 1e308$"),
    ("neck_home", (1e-320,), {}, ValueError, r"^neck_home: speed must be at least \S+ rad/s .*, got 1e-320$"),
    # An infinite tolerance would let a wrong EEPROM offset pass its check.
    ("set_arm_home", (math.inf,), {}, ValueError, r"^set_arm_home: verify_tol must be finite, got inf$"),
    # NaN, zero or negative keep their own message.
    ("neck_home", (NAN,), {}, RuntimeError, r"^neck_home: speed must be positive, got NaN$"),
    ("neck_home", (-math.inf,), {}, RuntimeError, r"^neck_home: speed must be positive, got -inf$"),
    ("neck_home", (0.4, 0.0), {}, RuntimeError, r"^neck_home: tolerance must be positive, got 0$"),
]


@pytest.mark.parametrize("method, args, kwargs, error, text", GAIN_AND_HOMING_REFUSALS)
def test_non_finite_gains_and_homing_parameters_are_refused(controller, sim, method, args, kwargs, error, text):
    sim.clear_logs()
    with pytest.raises(error, match=text):
        getattr(controller, method)(*args, **kwargs)
    assert sent_nothing(sim)
    # Nothing was stored: the next command carries the default gains.
    controller.enable_neck(True)  # a disabled motor ignores MIT frames
    controller.set_neck_position([0.0, 0.1, 0.0])
    assert [sim.neck_state(i).kp for i in range(3)] == pytest.approx([30.0, 60.0, 60.0], abs=0.2)
    assert [sim.neck_state(i).kd for i in range(3)] == pytest.approx([1.0, 2.0, 2.0], abs=0.01)


def test_a_torque_command_over_both_groups_is_all_or_nothing(qmc, sim):
    controller = qmc.QuorvelMotorController(sim.serial_path, sim.can_bus)
    ids = [1] + [5] * 130  # the nose write would need 262 parameter bytes
    sim.clear_logs()
    with pytest.raises(RuntimeError, match=TOO_MANY_IDS):
        controller.enable_torque_on_ids(ids)
    assert sent_nothing(sim) and not sim.servo_torque(1)
    with pytest.raises(RuntimeError, match=TOO_MANY_IDS):
        controller.disable_torque_on_ids([5] * 130 + [2])
    assert sent_nothing(sim)
    del controller  # the loop needs the port

    loop = qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus)
    try:
        sim.clear_logs()
        with pytest.raises(RuntimeError, match=TOO_MANY_IDS):
            loop.enable_torque_on_ids(ids)
        loop.enable_torque_on_ids([1, 5])  # queued behind nothing: the only torque write
        loop.close()
    finally:
        loop.close()
    # Sync writes get no reply: the simulator may take a moment to log them.
    assert eventually(lambda: len(torque_writes(sim)) == 2, 3.0)
    assert sim.servo_torque(1) and sim.servo_torque(5)


class _ClaimsMaxsize:
    """A sequence whose length no process could hold."""

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, index):
        return 0


def _parameters(method):
    signature = method.__text_signature__.strip("()").split(", ")
    return [p.split("=")[0] for p in signature if p not in ("$self", "/")]


def test_a_sequence_whose_length_cannot_exist_is_refused_everywhere(qmc, sim, controller):
    """Every method of every class, with such a sequence in each parameter: MemoryError or
    ValueError where a sequence goes, an ordinary refusal elsewhere, never PanicException."""
    with quorvel_torso_sim.TorsoSim() as other:
        loop = qmc.QuorvelPyControlLoop(other.serial_path, PERIOD, can_bus=other.can_bus)
        try:
            calls = [(f"{type(obj).__name__}.{name}", getattr(obj, name))
                     for obj in (controller, loop) for name in dir(obj)
                     if not name.startswith("_") and getattr(getattr(obj, name), "__text_signature__", None)]
            calls += [("QuorvelTorsoPosition", qmc.QuorvelTorsoPosition),
                      ("ControlLoopStats._from_pickle", qmc.ControlLoopStats._from_pickle)]
            refused = set()
            for label, call in calls:
                # The value classes take only sequences; the methods' other parameters are numbers.
                count, filler = ((4, [0.0]) if call is qmc.QuorvelTorsoPosition
                                 else (3, [0.0]) if label.startswith("ControlLoopStats")
                                 else (len(_parameters(call)), 1))
                for k in range(count):
                    args = [filler] * count
                    args[k] = _ClaimsMaxsize()
                    try:
                        call(*args)
                    except (MemoryError, ValueError):
                        refused.add(label)
                    except Exception:  # noqa: BLE001 - a wrong type elsewhere; PanicException is no Exception
                        pass
        finally:
            loop.close()
    assert refused >= {"QuorvelMotorController.enable_torque_on_ids", "QuorvelMotorController.disable_torque_on_ids",
                       "QuorvelPyControlLoop.enable_torque_on_ids", "QuorvelPyControlLoop.disable_torque_on_ids",
                       "QuorvelPyControlLoop.async_write_raw_bytes", "QuorvelTorsoPosition",
                       "ControlLoopStats._from_pickle"}, refused


# ---- close() --------------------------------------------------------------------------------


def test_close_under_four_producers_returns_and_runs_what_was_queued(sim, loop):
    ping = bytes([0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB])
    refusals = []
    go = threading.Event()

    def producer(n):
        go.wait()
        try:
            while True:
                if n % 2:
                    loop.write_raw_packet(ping)
                else:
                    loop.async_write_raw_bytes(1, 21, [n])
        except RuntimeError as refused:
            refusals.append(str(refused))

    producers = [threading.Thread(target=producer, args=(n,), daemon=True) for n in range(4)]
    for p in producers:
        p.start()
    go.set()
    time.sleep(0.3)
    started = time.monotonic()
    loop.close()
    took = time.monotonic() - started
    for p in producers:
        p.join(timeout=10)
    assert not any(p.is_alive() for p in producers)
    assert took < 3.0  # about 0.1 s on an idle machine
    assert sorted(refusals) == sorted(
        [CHANNEL_CLOSED, CHANNEL_CLOSED, "Failed to write raw bytes: " + COMM_FAILURE, "Failed to write raw bytes: " + COMM_FAILURE]
    )
    # What close() found queued still ran: the register holds a producer's value.
    assert eventually(lambda: sim.servo_register(1, 21) in (0, 2), 3.0)


def test_close_cuts_retries_short(qmc, sim):
    loop = qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus, allowed_retries=10**6)
    try:
        sim.set_servo_silent(3, True)  # every read now fails and is retried without end
        time.sleep(0.2)
        started = time.monotonic()
        loop.close()
        took = time.monotonic() - started
    finally:
        loop.close()
    assert took < 1.0  # about 0.1 s plus one transaction


# ---- Ctrl-C ---------------------------------------------------------------------------------


class Interrupted(Exception):
    pass


@pytest.fixture
def interrupt_after():
    """interrupt_after(seconds) sends SIGINT to this process then; returns when it was sent."""
    sent = []

    def handler(signum, frame):
        raise Interrupted()

    previous = signal.signal(signal.SIGINT, handler)
    timers = []

    def arm(seconds):
        def fire():
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        timer = threading.Timer(seconds, fire)
        timer.daemon = True
        timers.append(timer)
        timer.start()
        return sent

    yield arm
    for timer in timers:
        timer.cancel()
        timer.join()
    signal.signal(signal.SIGINT, previous)


def test_ctrl_c_ends_neck_home_and_leaves_the_neck_holding(controller, sim, interrupt_after):
    sim.set_neck_position(0, 0.5)  # 0.5 rad at 0.1 rad/s: five seconds of homing
    sent = interrupt_after(0.5)
    with pytest.raises(Interrupted):
        controller.neck_home(speed=0.1)
    latency = time.monotonic() - sent[0]
    assert latency < 2.0  # about 0.05 s on an idle machine
    assert controller.is_neck_torque_enabled() and sim.neck_state(0).enabled
    held = sim.neck_state(0).commanded_position
    assert 0.0 < held < 0.5
    frames = len(sim.can_log())
    time.sleep(0.1)
    assert len(sim.can_log()) == frames  # nothing sent any more; the motor holds its last command
    assert controller.read_neck_positions()[0] == pytest.approx(held, abs=1e-3)  # still usable


def test_a_signal_handler_calling_the_homing_controller_is_refused(controller, sim):
    def handler(signum, frame):
        controller.read_neck_positions()

    previous = signal.signal(signal.SIGINT, handler)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    try:
        sim.set_neck_position(0, 0.5)
        timer.start()
        with pytest.raises(RuntimeError, match="^motor controller is busy in a call on this thread"):
            controller.neck_home(speed=0.1)
    finally:
        timer.cancel()
        timer.join()
        signal.signal(signal.SIGINT, previous)
    assert len(controller.read_neck_positions()) == 3


def test_ctrl_c_ends_the_voltage_wait_and_releases_both_ports(qmc, sim, interrupt_after):
    sim.set_voltage(100)  # 10.0 V: start-up would wait 30 s
    sent = interrupt_after(0.5)
    with pytest.raises(Interrupted):
        qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus)
    assert time.monotonic() - sent[0] < 2.0  # about 0.05 s on an idle machine
    # The exclusive serial lock was released.
    assert len(qmc.QuorvelMotorController(sim.serial_path, sim.can_bus).read_all_positions()) == 7


def test_ctrl_c_ends_a_wait_for_queue_space(sim, loop, interrupt_after):
    # Writes to an absent servo wait out their reply time-out: the queue stays full.
    for _ in range(100):
        loop.async_write_raw_bytes(42, 21, [1])
    sent = interrupt_after(0.1)
    with pytest.raises(Interrupted):
        for _ in range(1000):
            loop.async_write_raw_bytes(42, 21, [1])
    assert time.monotonic() - sent[0] < 2.0  # about 0.05 s on an idle machine


# ---- A lost device --------------------------------------------------------------------------


class StablePaths:
    """A serial path and a CAN bus name that point at whichever simulator runs now."""

    def __init__(self, directory):
        self.tty = str(directory / "tty")
        self.socket = str(directory / "can.sock")
        self.can_bus = "unix:" + self.socket

    def point_at(self, torso):
        for link, target in ((self.tty, torso.serial_path), (self.socket, torso.can_bus[len("unix:"):])):
            os.symlink(target, link + ".new")
            os.replace(link + ".new", link)

    def remove(self):
        """The paths go with the device, as a USB adapter's does: a pseudo-terminal number
        left behind can be handed to another terminal, which is not the device coming back."""
        for link in (self.tty, self.socket):
            os.unlink(link)


def records(caplog, level):
    return [r.getMessage() for r in caplog.records if r.name == CONTROLLER_LOGGER and r.levelno == level]


def test_a_lost_device_comes_back_without_a_new_loop(qmc, tmp_path, caplog):
    caplog.set_level(logging.INFO, logger=CONTROLLER_LOGGER)
    paths = StablePaths(tmp_path)
    first = quorvel_torso_sim.TorsoSim()
    paths.point_at(first)
    loop = qmc.QuorvelPyControlLoop(paths.tty, PERIOD, can_bus=paths.can_bus)
    direct = None
    try:
        first.close()  # both buses gone, as when the adapter resets
        paths.remove()
        assert eventually(lambda: _fails(loop), 3.0)
        time.sleep(0.6)  # a few reopen attempts fail meanwhile
        with quorvel_torso_sim.TorsoSim() as second:
            paths.point_at(second)
            back = time.monotonic()
            assert eventually(lambda: not _fails(loop), 5.0)
            took = time.monotonic() - back
            assert took < 3.0  # about 0.5 s: the next reopen attempt

            loop.close()  # also delivers the loop thread's last log records
            warnings, infos = records(caplog, logging.WARNING), records(caplog, logging.INFO)
            assert len([m for m in warnings if m.startswith("Lost the serial port " + paths.tty)]) == 1
            assert len([m for m in warnings if m.startswith("Lost the CAN bus " + paths.can_bus)]) == 1
            assert infos.count("Serial port " + paths.tty + " is back") == 1
            assert infos.count("CAN bus " + paths.can_bus + " is back") == 1

            # The direct controller: every call fails while the device is away, then it reopens.
            direct = qmc.QuorvelMotorController(paths.tty, paths.can_bus)
            second.close()
            paths.remove()
            with quorvel_torso_sim.TorsoSim() as third:
                with pytest.raises(RuntimeError):
                    direct.read_all_positions()
                with pytest.raises(RuntimeError):
                    direct.read_neck_positions()
                paths.point_at(third)
                assert eventually(lambda: _works(direct), 3.0)
                del direct
    finally:
        loop.close()
        first.close()


def _fails(loop):
    try:
        loop.get_last_position()
        return False
    except RuntimeError as error:
        assert str(error) == COMM_FAILURE
        return True


def _works(direct):
    try:
        return len(direct.read_all_positions()) == 7 and len(direct.read_neck_positions()) == 3
    except RuntimeError:
        return False


# ---- The simulator in a forked child --------------------------------------------------------


def test_closing_the_simulator_in_a_forked_child_leaves_the_parents_alone(qmc, sim):
    c = qmc.QuorvelMotorController(sim.serial_path, sim.can_bus)
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        code = 0
        try:
            sim.close()
        except BaseException:
            code = 1
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    for _ in range(50):
        assert len(c.read_all_positions()) == 7
        assert len(c.read_neck_positions()) == 3
    # The bus socket is still there for new nodes.
    assert len(qmc.QuorvelMotorController(None, sim.can_bus).read_neck_positions()) == 3
