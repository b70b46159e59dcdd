"""The simulator module seen from Python: start, serial and CAN traffic, faults, logs, lifetime, CLI."""

import math
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest
from waiting import eventually

quorvel_torso_sim = pytest.importorskip("quorvel_torso_sim")
TorsoSim = quorvel_torso_sim.TorsoSim


def _status(servo_id, params=b""):
    body = bytes([servo_id, len(params) + 2, 0]) + params
    return b"\xff\xff" + body + bytes([~sum(body) & 0xFF])


def _exchange(fd, packet, expect, timeout=0.5):
    os.write(fd, packet)
    got = b""
    deadline = time.monotonic() + timeout
    while len(got) < expect:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        got += os.read(fd, 256)
    return got


@pytest.fixture
def port(sim):
    fd = os.open(sim.serial_path, os.O_RDWR | os.O_NOCTTY)
    yield fd
    os.close(fd)


def test_servos_answer_on_the_pty_and_the_log_records_the_host(sim, port):
    sim.clear_logs()
    before = time.monotonic()
    assert _exchange(port, bytes.fromhex("ffff010201fb"), 6) == bytes.fromhex("ffff010200fc")
    sim.set_servo_position(3, 1.5707963267948966)
    assert _exchange(port, bytes.fromhex("ffff0304023802bc"), 8) == _status(3, b"\x00\x0c")

    log = sim.serial_log()
    assert [e.bytes for e in log] == [bytes.fromhex("ffff010201fb"), bytes.fromhex("ffff0304023802bc")]
    assert all(e.parsed and before <= e.time <= time.monotonic() for e in log)
    time_, data, parsed = log[0]  # records are tuples too
    assert isinstance(data, bytes) and parsed is True
    sim.clear_logs()
    assert sim.serial_log() == []


def test_faults_change_what_the_servos_send(sim, port):
    sim.set_servo_silent(3, True)
    assert _exchange(port, bytes.fromhex("ffff030201f9"), 6, timeout=0.05) == b""
    sim.set_corrupt_checksum(1, True)
    reply = _exchange(port, bytes.fromhex("ffff010201fb"), 6)
    assert reply[:5] == bytes.fromhex("ffff010200") and reply[5] != 0xFC
    sim.reset_faults()
    assert _exchange(port, bytes.fromhex("ffff030201f9"), 6) == _status(3)
    sim.set_voltage(75)
    assert sim.servo_register(6, 62) == 75
    with pytest.raises(OverflowError):
        sim.set_servo_silent(256, True)
    with pytest.raises(IndexError):
        sim.set_neck_silent(3, True)
    with pytest.raises(IndexError):  # beyond a C int: out of range, not narrowed
        sim.neck_position(2**32)


def test_neck_motors_answer_on_the_virtual_can_bus(sim):
    sim.set_neck_position(2, 6.1)
    path = sim.can_bus.removeprefix("unix:")
    with socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET) as node:
        node.connect(path)
        node.settimeout(0.5)
        request = bytes([3, 0, 0xCC, 0, 0, 0, 0, 0])
        node.send(struct.pack("=IB3x8s", 0x7FF, 8, request))
        can_id, length, data = struct.unpack("=IB3x8s", node.recv(72))
    assert (can_id, length, data[0]) == (3, 8, 0x03)
    position = ((data[1] << 8) | data[2]) * 25.0 / 65535 - 12.5
    assert position == pytest.approx(6.1, abs=1e-3)
    state = sim.neck_state(2)
    assert state.position == pytest.approx(6.1) and not state.enabled and state.ctrl_mode == 1
    [entry] = sim.can_log()
    assert (entry.id, entry.extended, entry.fd, entry.data) == (0x7FF, False, False, request)


def test_close_ends_the_simulator_and_is_idempotent():
    with TorsoSim(neck_ctrl_mode=3, neck_positions=[0.5, 0.0, -0.5]) as sim:
        socket_path = sim.can_bus.removeprefix("unix:")
        assert os.path.exists(socket_path) and os.path.exists(sim.serial_path)
        assert sim.neck_state(0).ctrl_mode == 3 and sim.neck_position(2) == -0.5
    assert sim.closed and not os.path.exists(socket_path)
    sim.close()
    with pytest.raises(RuntimeError):
        sim.serial_log()
    with pytest.raises(ValueError):
        TorsoSim(neck_positions=[1.0])


def test_links_keep_stable_names_and_go_with_their_simulator(tmp_path, qmc):
    links = tmp_path / "torso"
    serial, can = links / "serial", links / "can"
    first = TorsoSim(link=links)
    assert (first.serial_link, first.can_bus_link) == (str(serial), f"unix:{can}")
    assert os.readlink(serial) == first.serial_path and f"unix:{os.readlink(can)}" == first.can_bus
    with qmc.QuorvelMotorController(first.serial_link, can_bus=first.can_bus_link) as torso:
        assert len(torso.read_all_positions()) == 7 and len(torso.read_neck_positions()) == 3
    # A second simulator on the same names takes them over; the first leaves them alone when it stops.
    with TorsoSim(link=links) as second:
        first.close()
        assert os.readlink(serial) == second.serial_path and os.readlink(can) == second.can_bus[len("unix:"):]
    assert not os.path.lexists(serial) and not os.path.lexists(can)
    with TorsoSim() as plain:
        assert plain.serial_link is None and plain.can_bus_link is None
    serial.write_text("not a link")
    with pytest.raises(OSError, match="is not a symbolic link"):
        TorsoSim(link=links)


def test_command_prints_the_connection_and_stops_on_ctrl_c(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    links = tmp_path / "links"
    # Started with SIGINT ignored, as a shell starts background jobs: Ctrl-C must still stop it.
    proc = subprocess.Popen([sys.executable, "-m", "quorvel_tools.sim_cli", "--voltage", "110", "--link", str(links)],
                            stdout=subprocess.PIPE, text=True, env=env,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
    try:
        lines = [proc.stdout.readline() for _ in range(3)]
        assert lines[0].startswith("quorvel torso simulator running")
        assert lines[1].startswith(f"serial port: {links / 'serial'} -> /dev/")
        assert lines[2].startswith(f"CAN bus:     unix:{links / 'can'} -> ")
        assert os.path.exists(links / "serial")
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=10) == 0
        assert not os.path.lexists(links / "serial")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def _instruction(servo_id, instr, params):
    body = bytes([servo_id, len(params) + 2, instr]) + params
    return b"\xff\xff" + body + bytes([~sum(body) & 0xFF])


def _mit(p, v, kp, kd, t, vmax=30.0, tmax=10.0):
    def field(x, lo, hi, bits):
        return int((min(max(x, lo), hi) - lo) * ((1 << bits) - 1) / (hi - lo))

    ps, vs, kps = field(p, -12.5, 12.5, 16), field(v, -vmax, vmax, 12), field(kp, 0, 500, 12)
    kds, ts = field(kd, 0, 5, 12), field(t, -tmax, tmax, 12)
    return bytes([ps >> 8, ps & 0xFF, vs >> 4, ((vs & 0xF) << 4) | (kps >> 8), kps & 0xFF,
                  kds >> 4, ((kds & 0xF) << 4) | (ts >> 8), ts & 0xFF])


def test_set_point_histories_keep_what_the_motors_took(sim, port):
    before = time.monotonic()
    # A sync write of servos 1 and 2, a write of servo 3's goal, and one with a bad checksum to servo 4.
    _exchange(port, _instruction(0xFE, 0x83, bytes([42, 2, 1, 0x00, 0x0C, 2, 0x00, 0x04])), 0, timeout=0)
    assert _exchange(port, _instruction(3, 0x03, bytes([42, 0x10, 0x08])), 6) == _status(3)
    refused = _instruction(4, 0x03, bytes([42, 0x00, 0x0C]))
    assert _exchange(port, refused[:-1] + bytes([refused[-1] ^ 1]), 6, timeout=0.05) == b""

    goals = {i: sim.servo_goal_history(i) for i in range(1, 8)}
    assert {i: [e.steps for e in h] for i, h in goals.items()} == {1: [3072], 2: [1024], 3: [2064], 4: [], 5: [],
                                                                    6: [], 7: []}
    assert goals[1][0].goal == pytest.approx(math.pi / 2) and goals[2][0].goal == pytest.approx(-math.pi / 2)
    assert before <= goals[1][0].time <= goals[3][0].time <= time.monotonic()
    time_, goal, steps = goals[3][0]  # records are tuples too
    assert steps == 2064 and goal == sim.servo_goal(3)

    sim.send_can_frame(2, _mit(0.3, 0.0, 10.0, 1.0, 0.0, vmax=10.0, tmax=28.0))  # disabled: ignored
    sim.send_can_frame(2, b"\xff" * 7 + b"\xfc")
    sim.send_can_frame(2, _mit(0.3, 0.5, 10.0, 1.0, 0.0, vmax=10.0, tmax=28.0))
    sim.send_can_frame(2, _mit(0.4, 1.5, 12.0, 0.5, -2.0, vmax=10.0, tmax=28.0))
    assert eventually(lambda: len(sim.neck_command_history(1)) == 2)
    first, second = sim.neck_command_history(1)
    assert goals[3][0].time <= first.time <= second.time <= time.monotonic()
    quanta = (25 / 65535, 20 / 4095, 500 / 4095, 5 / 4095, 56 / 4095)  # one step of each field
    for got, sent in ((first, (0.3, 0.5, 10.0, 1.0, 0.0)), (second, (0.4, 1.5, 12.0, 0.5, -2.0))):
        assert all(abs(g - s) <= q for g, s, q in zip(got[1:], sent, quanta)), (got, sent)
    assert sim.neck_command_history(0) == [] and sim.neck_command_history(2) == []

    sim.clear_set_point_history()
    assert sim.servo_goal_history(1) == [] and sim.neck_command_history(1) == []
