"""Counts wrong answers under late, stale and foreign replies on the simulated torso.

    python bench/bus_integrity_check.py [calls]     (default 500; the package installed)

Every read must return the addressed register's current value or raise; this
prints, per situation, how many calls returned a wrong value, how many raised
and how many were right, and how long healthy reads take.
"""

import struct
import sys
import threading
import time
from datetime import timedelta

import quorvel_motor_controller as qmc
from quorvel_torso_sim import TorsoSim

GAINS = bytes([0x20, 0x10])
NECK_RESOLUTION = 25.0 / 65535 * 2


def read_packet(servo_id, address, count):
    body = [servo_id, 4, 0x02, address, count]
    return bytes([0xFF, 0xFF] + body + [~sum(body) & 0xFF])


def prepare(sim):
    sim.set_servo_register(1, 21, GAINS[0])
    sim.set_servo_register(1, 22, GAINS[1])
    for servo_id in range(1, 8):
        sim.set_servo_position(servo_id, 0.1 * servo_id)


def positions_right(positions):
    return all(abs(p - 0.1 * (i + 1)) <= 0.002 for i, p in enumerate(positions))


class Tally:
    def __init__(self):
        self.right = self.wrong = self.raised = 0
        self.examples = []  # the first wrong values

    def check(self, call, is_right):
        try:
            value = call()
        except RuntimeError:
            self.raised += 1
            return
        if is_right(value):
            self.right += 1
        else:
            self.wrong += 1
            if len(self.examples) < 3:
                self.examples.append(value)

    def __str__(self):
        text = f"wrong {self.wrong:4d}  raised {self.raised:4d}  right {self.right:4d}"
        return text + (f"  e.g. {self.examples}" if self.examples else "")


def serial_direct(sim, late_ms, calls):
    tally = Tally()
    torso = qmc.QuorvelMotorController(sim.serial_path, sim.can_bus)
    sim.set_reply_delay(late_ms / 1000)
    for _ in range(calls // 2):
        # The gains reply looks just like servo 1's reply in a sync read of positions.
        tally.check(lambda: torso.write_raw_packet(read_packet(1, 21, 2)), lambda _: True)
        tally.check(torso.read_all_positions, positions_right)
    sim.set_reply_delay(0)
    recovered = 0
    for attempt in (1, 2):
        try:
            if positions_right(torso.read_all_positions()):
                recovered = attempt
                break
        except RuntimeError:
            pass
    del torso
    return tally, recovered


def serial_loop(sim, late_ms, calls):
    tally = Tally()
    loop = qmc.QuorvelPyControlLoop(sim.serial_path, timedelta(milliseconds=10), can_bus=sim.can_bus,
                                    allowed_retries=1)
    sim.set_reply_delay(late_ms / 1000)
    position = bytes([sim.servo_register(1, 56), sim.servo_register(1, 57)])
    for _ in range(calls // 3):
        tally.check(lambda: loop.async_read_raw_bytes(1, 21, 2), lambda v: v == GAINS)
        tally.check(lambda: loop.async_read_raw_bytes(1, 56, 2), lambda v: v == position)

        def last():
            p = loop.get_last_position()
            return p.left_arm + p.right_arm + p.nose

        tally.check(last, positions_right)
    sim.set_reply_delay(0)
    recovered = 0
    for attempt in (1, 2):
        try:
            if loop.async_read_raw_bytes(1, 21, 2) == GAINS:
                recovered = attempt
                break
        except RuntimeError:
            pass
    loop.close()
    return tally, recovered


def mit_command(position):
    p = int((12.5 + position) * 65535 / 25)
    return struct.pack(">HBBBBBB", p, 0x7F, 0xF0, 0xA3, 0x33, 0x37, 0xFF)


def foreign_node(sim, calls, positions):
    expected = [0.1, 0.2, -0.3]
    for index, p in enumerate(expected):
        sim.set_neck_position(index, p)
    torso = qmc.QuorvelMotorController(None, sim.can_bus)
    commands = [mit_command(p) for p in positions]
    stop = threading.Event()

    def other_program():
        n = 0
        while not stop.is_set():
            for can_id in (1, 2, 3):
                sim.send_can_frame(can_id, commands[n % len(commands)])
            sim.send_can_frame(1, bytes([0x11]) + bytes(63), fd=True)
            n += 1
            time.sleep(0.001)

    sender = threading.Thread(target=other_program, daemon=True)
    sender.start()
    tally = Tally()
    for _ in range(calls):
        tally.check(torso.read_neck_positions,
                    lambda got: all(abs(g - e) <= NECK_RESOLUTION for g, e in zip(got, expected)))
        time.sleep(0.0005)
    stop.set()
    sender.join()
    del torso
    return tally


def late_neck(sim, calls):
    torso = qmc.QuorvelMotorController(None, sim.can_bus)
    tally = Tally()
    for i in range(calls):
        sim.set_neck_motor_reply_delay(0, 0.025)
        try:
            torso.read_neck_positions()
        except RuntimeError:
            pass
        sim.set_neck_motor_reply_delay(0, 0.010)
        target = 0.3 if i % 2 else -0.3
        sim.set_neck_position(0, target)
        tally.check(torso.read_neck_positions, lambda got: abs(got[0] - target) <= NECK_RESOLUTION)
    sim.set_neck_motor_reply_delay(0, 0)
    del torso
    return tally


def healthy_timing(sim, calls):
    torso = qmc.QuorvelMotorController(sim.serial_path, sim.can_bus)
    result = {}
    for name, call in (("read_all_positions", torso.read_all_positions),
                       ("read_neck_positions", torso.read_neck_positions)):
        call()
        samples = []
        for _ in range(calls):
            began = time.perf_counter()
            call()
            samples.append(time.perf_counter() - began)
        samples.sort()
        result[name] = (samples[len(samples) // 2] * 1e6, sum(samples) / len(samples) * 1e6)
    del torso
    return result


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 500
    print(f"module {qmc.__file__}")
    with TorsoSim() as sim:
        for name, (p50, mean) in healthy_timing(sim, 2000).items():
            print(f"healthy {name:20s} p50 {p50:7.1f} us  mean {mean:7.1f} us")
    for late_ms in (12, 15, 25):
        for cls, run in (("direct", serial_direct), ("loop", serial_loop)):
            with TorsoSim() as sim:
                prepare(sim)
                tally, recovered = run(sim, late_ms, calls)
            print(f"serial {late_ms:2d} ms late, {cls:6s} {calls} calls: {tally}  "
                  f"(delay removed: call {recovered or 'none'} of 2 succeeded)")
    with TorsoSim() as sim:
        print(f"neck, yaw 25 ms late then 10 ms late, {calls} reads: {late_neck(sim, calls)}")
    for label, positions in (("positions whose byte 0 names no motor", (0.0, -0.3, 0.45, -0.1)),
                             ("positions across the neck range", [i / 10 - 0.5 for i in range(11)])):
        with TorsoSim() as sim:
            print(f"neck, another node's MIT frames every 1 ms ({label}), {2 * calls} reads: "
                  f"{foreign_node(sim, 2 * calls, positions)}")


if __name__ == "__main__":
    main()
