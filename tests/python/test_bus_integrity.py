"""Late, stale and foreign replies are never taken as answers, on the virtual torso."""

import struct
import threading
import time
from datetime import timedelta

import pytest

quorvel_torso_sim = pytest.importorskip("quorvel_torso_sim")

GAINS = bytes([0x20, 0x10])  # registers 21-22 of servo 1, unlike its position bytes
NECK_RESOLUTION = 25.0 / 65535 * 2  # two steps of the 16-bit feedback position


def prepare_servos(sim):
    sim.set_servo_register(1, 21, GAINS[0])
    sim.set_servo_register(1, 22, GAINS[1])
    for servo_id in range(1, 8):
        sim.set_servo_position(servo_id, 0.1 * servo_id)


def position_bytes(sim, servo_id):
    return bytes([sim.servo_register(servo_id, 56), sim.servo_register(servo_id, 57)])


def read_packet(servo_id, address, count):
    body = [servo_id, 4, 0x02, address, count]
    return bytes([0xFF, 0xFF] + body + [~sum(body) & 0xFF])


def positions_wrong(positions):
    return any(abs(p - 0.1 * (i + 1)) > 0.002 for i, p in enumerate(positions))


@pytest.mark.parametrize("late_ms", [12, 15, 25])
def test_late_servo_replies_are_never_taken_for_the_next_answer(qmc, sim, late_ms):
    """Each read gives the addressed value or raises, whatever came late before it."""
    prepare_servos(sim)
    direct = qmc.QuorvelMotorController(sim.serial_path, sim.can_bus)
    sim.set_reply_delay(late_ms / 1000)
    try:
        wrong = []
        for _ in range(6):
            # The gains of servo 1 look just like its reply in a sync read of positions.
            direct.write_raw_packet(read_packet(1, 21, 2))
            try:
                positions = direct.read_all_positions()
            except RuntimeError:
                continue
            if positions_wrong(positions):
                wrong.append(positions)
        assert wrong == []
        sim.set_reply_delay(0)
        try:  # this call may still meet a late reply; the next one must not
            direct.read_all_positions()
        except RuntimeError:
            pass
        assert not positions_wrong(direct.read_all_positions())
    finally:
        del direct

    loop = qmc.QuorvelPyControlLoop(
        sim.serial_path, timedelta(milliseconds=10), can_bus=sim.can_bus, allowed_retries=1
    )
    try:
        sim.set_reply_delay(late_ms / 1000)
        sim.set_servo_reply_delay(3, 0.004)  # one servo later still within a sync read
        wrong = []
        for _ in range(4):
            for address, expected in ((21, GAINS), (56, position_bytes(sim, 1))):
                try:
                    got = loop.async_read_raw_bytes(1, address, 2)
                except RuntimeError:
                    continue
                if got != expected:
                    wrong.append((address, got))
            try:
                pos = loop.get_last_position()
            except RuntimeError:
                continue
            if positions_wrong(pos.left_arm + pos.right_arm + pos.nose):
                wrong.append(pos)
        assert wrong == []
    finally:
        loop.close()


def read_fails_or_not(read):
    """A read whose answer is due just past its time-out: it fails, unless this
    thread ran so late that the answer was already there when it looked."""
    try:
        read()
    except RuntimeError as error:
        assert str(error).startswith("read_neck_positions(neck_yaw): transport error: timeout")


def test_late_neck_feedback_is_never_taken_for_the_next_answer(qmc, sim):
    torso = qmc.QuorvelMotorController(None, sim.can_bus)
    sim.set_neck_motor_reply_delay(0, 0.025)  # yaw answers 25 ms late; time-out 20 ms
    read_fails_or_not(torso.read_neck_positions)
    # Straight away, while yaw's late answer (the old position) is on its way,
    # yaw moves and now answers 10 ms late: the late answer would come first.
    sim.set_neck_motor_reply_delay(0, 0.010)
    sim.set_neck_position(0, 0.3)
    assert torso.read_neck_positions()[0] == pytest.approx(0.3, abs=NECK_RESOLUTION)
    # A late answer that sits in the socket is not taken either.
    sim.set_neck_motor_reply_delay(0, 0.025)
    read_fails_or_not(torso.read_neck_positions)
    sim.set_neck_motor_reply_delay(0, 0)
    time.sleep(0.03)
    sim.set_neck_position(0, -0.2)
    assert torso.read_neck_positions()[0] == pytest.approx(-0.2, abs=NECK_RESOLUTION)


def test_register_replies_must_come_from_the_motor_and_register_asked(qmc, sim):
    torso = qmc.QuorvelMotorController(None, sim.can_bus)
    sim.set_neck_ctrl_mode(1, 2)  # pitch in position-velocity mode
    sim.set_neck_answered_by(1, 0)  # ... and yaw, in MIT mode, answers in its place
    with pytest.raises(RuntimeError, match=r"^neck_pitch: ensure MIT mode failed: transport error: timeout"):
        torso.enable_neck(True)
    assert sim.neck_state(1).ctrl_mode == 2

    sim.set_neck_answered_by(1, None)
    sim.set_neck_register_reply_as(1, 0x0B)  # pitch names another register in its replies
    with pytest.raises(RuntimeError, match=r"^neck_pitch: ensure MIT mode failed"):
        torso.enable_neck(True)

    sim.set_neck_register_reply_as(1, None)
    torso.enable_neck(True)
    assert [sim.neck_state(i).ctrl_mode for i in range(3)] == [1, 1, 1]


def mit_command(position):
    """An MIT frame as another program would send it: the position, zero velocity and torque, kp 20, kd 1."""
    p = int((12.5 + position) * 65535 / 25)
    return struct.pack(">HBBBBBB", p, 0x7F, 0xF0, 0xA3, 0x33, 0x37, 0xFF)


def test_frames_of_another_node_are_not_feedback(qmc, sim):
    expected = [0.1, 0.2, -0.3]
    for index, position in enumerate(expected):
        sim.set_neck_position(index, position)
    torso = qmc.QuorvelMotorController(None, sim.can_bus)
    # Positions whose first byte does not carry a neck id in its low bits: the
    # same content as a motor's feedback otherwise.
    commands = [mit_command(p) for p in (0.0, -0.3, 0.45, -0.1)]
    stop = threading.Event()
    rounds = []

    def other_program():
        while not stop.is_set():
            n = len(rounds)
            for can_id in (1, 2, 3):
                sim.send_can_frame(can_id, commands[n % len(commands)])
                sim.send_can_frame(can_id, bytes([0x10 | can_id]) + bytes(63), fd=True)
                sim.send_can_frame(can_id, bytes([0x10 | can_id, 0x10, 0, 0, 0, 0, 30, 30]), extended=True)
            rounds.append(n)
            time.sleep(0.001)

    sender = threading.Thread(target=other_program, daemon=True)
    sender.start()
    try:
        wrong, reads = [], 0
        # Reads go on while the other program has sent 300 rounds (bounded).
        while len(rounds) < 300 and reads < 100_000:
            got = torso.read_neck_positions()
            reads += 1
            if any(abs(g - e) > NECK_RESOLUTION for g, e in zip(got, expected)):
                wrong.append(got)
        assert wrong == []
        assert len(rounds) >= 300
    finally:
        stop.set()
        sender.join(timeout=5)
