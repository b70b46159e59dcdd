"""Health readings (ServoStatus, NeckStatus) and the quorvel-doctor command."""

import json
import os
import subprocess
import sys
import time
from datetime import timedelta

import pytest

from quorvel_tools import doctor

NECK_ONLY = "serial port not configured (neck-only controller)"


# ---- the value classes and the reads -----------------------------------------------------


def test_servo_status_values(qmc, sim):
    sim.set_servo_position(3, 1.0)
    sim.set_servo_temperature(6, 75)
    ctl = qmc.QuorvelMotorController(sim.serial_path, can_bus=sim.can_bus)
    sim.clear_logs()
    first, second = ctl.read_servo_status(), ctl.read_servo_status()
    assert [entry.bytes[4] for entry in sim.serial_log()] == [0x82] * 4  # two sync reads per status read
    assert [s.name for s in first] == list(doctor.SERVO_NAMES) and [s.id for s in first] == list(range(1, 8))
    assert first == second and hash(first[0]) == hash(second[0]) and first[0] != first[1]
    right_pitch, nose_left = first[2], first[5]
    assert right_pitch.position == pytest.approx(1.0, abs=2e-3)
    assert (right_pitch.velocity, right_pitch.load, right_pitch.moving, right_pitch.errors) == (0.0, 0.0, False, ())
    assert right_pitch.voltage == pytest.approx(12.0) and right_pitch.temperature == 32
    assert nose_left.errors == ("overheat",) and nose_left.temperature == 75
    assert list(nose_left.as_dict()) == ["name", "id", "position", "velocity", "load", "voltage", "temperature",
                                         "current", "moving", "errors"]
    assert repr(nose_left).startswith("ServoStatus(name='nose_left', id=6, position=")
    assert "errors=('overheat',))" in repr(nose_left)
    with pytest.raises(AttributeError):
        nose_left.temperature = 20
    with pytest.raises(TypeError):
        qmc.ServoStatus()
    assert "ServoStatus" not in qmc.__all__ and "NeckStatus" not in qmc.__all__


def test_neck_status_values_and_probes(qmc, sim):
    sim.set_neck_position(1, 6.1)
    sim.set_neck_fault(2, 0xC)
    ctl = qmc.QuorvelMotorController(sim.serial_path, can_bus=sim.can_bus)
    yaw, pitch, roll = ctl.read_neck_status()
    assert (yaw.name, yaw.can_id, yaw.fault, yaw.turns_off_zero, yaw.enabled) == ("neck_yaw", 1, None, 0, False)
    assert pitch.turns_off_zero == 1 and pitch.position == pytest.approx(6.1, abs=1e-3)
    assert roll.fault == "rotor_overheat" and (roll.temperature_mos, roll.temperature_rotor) == (30, 32)
    assert roll.as_dict()["fault"] == "rotor_overheat"
    assert repr(yaw).startswith("NeckStatus(name='neck_yaw', can_id=1, ")
    assert ctl.probe_servo(5)[0] == 0x0909 and ctl.probe_servo(1)[1].name == "left_arm_pitch"
    mode, status = ctl.probe_neck_motor(2)
    assert (mode, status) == (1, roll)
    with pytest.raises(ValueError):
        ctl.probe_servo(9)
    neck_only = qmc.QuorvelMotorController(None, can_bus=sim.can_bus)
    with pytest.raises(RuntimeError, match=r"^serial port not configured \(neck-only controller\)$"):
        neck_only.read_servo_status()


def test_control_loop_status_reads(qmc, sim):
    period = timedelta(milliseconds=10)
    loop = qmc.QuorvelPyControlLoop(sim.serial_path, period, can_bus=sim.can_bus)
    try:
        sim.set_servo_temperature(1, 80)
        servos = loop.async_read_servo_status()
        assert [s.id for s in servos] == list(range(1, 8)) and servos[0].errors == ("overheat",)
        assert [s.name for s in loop.async_read_neck_status()] == list(doctor.NECK_NAMES)
        sim.set_servo_silent(4, True)  # retried, then given up like a raw read
        with pytest.raises(RuntimeError, match="^Failed to read servo status: Motor communication error!"):
            loop.async_read_servo_status()
    finally:
        loop.close()
    neck_only = qmc.QuorvelPyControlLoop(None, period, can_bus=sim.can_bus)
    try:
        with pytest.raises(RuntimeError, match=r"^serial port not configured \(neck-only controller\)$"):
            neck_only.async_read_servo_status()
        assert len(neck_only.async_read_neck_status()) == 3
    finally:
        neck_only.close()


# ---- the doctor on the simulator -----------------------------------------------------------


def run_doctor(capsys, *args):
    started = time.monotonic()
    code = doctor.main(["--sim", *args])
    elapsed = time.monotonic() - started
    return code, capsys.readouterr().out.splitlines(), elapsed


def failing(lines):
    return [line for line in lines if line.startswith("FAIL")]


def test_doctor_on_a_healthy_torso(capsys):
    code, lines, elapsed = run_doctor(capsys)
    assert code == 0, "\n".join(lines)
    assert all(line.startswith(("PASS", "SKIP")) for line in lines[:-1]) and len(lines) == 21
    assert lines[-1] == "OK: 20 checks: 16 passed, 0 warnings, 0 failed, 4 skipped"
    assert any(line.startswith("PASS  servo 1 left_arm_pitch: model 2580, 12.0 V, 32 \u00b0C, no error flags")
               for line in lines)
    assert elapsed < 10  # about 0.1 s on an idle machine; the target is 2 s

    code = doctor.main(["--sim", "--json"])
    report = json.loads(capsys.readouterr().out)
    assert code == 0 and report["summary"]["ok"] and len(report["checks"]) == 20
    assert report["checks"][0] == {"check": "serial.exists", "status": "pass",
                                   "message": f"serial port {report['target']['serial']} exists", "fix": None}


@pytest.mark.parametrize(
    "fault, line",
    [
        ("silent-servo=3", "FAIL  servo 3 right_arm_pitch does not answer ("),
        ("hot-servo=6", "FAIL  servo 6 nose_left: model 2313, 12.0 V, 75 \u00b0C, error flags overheat -- fix: "
                        "Let the servo cool down"),
        ("neck-turn=pitch", "FAIL  neck_pitch (CAN id 2): MIT mode, disabled, no fault, MOS 30 \u00b0C, rotor 32 \u00b0C, "
                            "1 turn off zero (6.38 rad) -- fix: Power-cycle the neck motors"),
        ("neck-fault=roll:undervoltage", "FAIL  neck_roll (CAN id 3): MIT mode, disabled, fault undervoltage"),
    ],
)
def test_doctor_names_the_failing_motor(capsys, fault, line):
    code, lines, _ = run_doctor(capsys, "--inject", fault)
    assert code == 1
    assert len(failing(lines)) == 1 and failing(lines)[0].startswith(line), "\n".join(lines)
    # A servo that does not answer also leaves the round trips unmeasured (skipped).
    silent = fault.startswith("silent-servo")
    assert lines[-1].startswith(f"NOT OK: 20 checks: {14 if silent else 15} passed, 0 warnings, 1 failed, "
                                f"{5 if silent else 4} skipped (")


def test_doctor_names_the_process_holding_the_port(capsys):
    code, lines, _ = run_doctor(capsys, "--inject", "locked-port")
    assert code == 1
    lock = failing(lines)[0]
    assert lock.startswith("FAIL  /dev/pts/") and " is locked by pid " in lock and " -c import fcntl, os, sys;" in lock
    assert sum(line.startswith("SKIP  servo ") for line in lines) == 7
    assert lines[-1].startswith("NOT OK: ") and "(serial.lock)" in lines[-1]


def test_doctor_reports_a_motor_silent_only_after_every_ask_went_unanswered():
    asks = []

    def probe(servo_id):  # misses its window twice, as on a busy computer, then answers
        asks.append(servo_id)
        if len(asks) < doctor.ASKS_BEFORE_SILENT:
            raise RuntimeError("Operation timed out")
        return 2580, type("Status", (), {"voltage": 12.0, "temperature": 30, "errors": []})()

    assert doctor.servo_check(1, probe).status == "pass" and asks == [1] * doctor.ASKS_BEFORE_SILENT

    def silent(servo_id):
        asks.append(servo_id)
        raise RuntimeError("Operation timed out")

    asks.clear()
    check = doctor.servo_check(2, silent)
    assert check.status == "fail" and "does not answer (Operation timed out)" in check.message
    assert asks == [2] * doctor.ASKS_BEFORE_SILENT


def test_doctor_only_reads(sim):
    checks = doctor.run_checks(sim.serial_path, sim.can_bus)
    assert all(c.status in ("pass", "skip") for c in checks)
    assert {entry.bytes[4] for entry in sim.serial_log()} == {0x02, 0x82}  # read and sync read packets only
    assert {(f.id, f.data[2]) for f in sim.can_log()} == {(0x7FF, 0xCC), (0x7FF, 0x33)}  # feedback, register read
    assert all(not sim.servo_torque(i) for i in range(1, 8))


def test_doctor_command_line():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-m", "quorvel_tools.doctor", "--sim", "--inject", "silent-servo=2"],
                            capture_output=True, text=True, timeout=60, env=env)
    assert result.returncode == 1 and "FAIL  servo 2 left_arm_yaw does not answer" in result.stdout
    result = subprocess.run([sys.executable, "-m", "quorvel_tools.doctor", "--inject", "silent-servo=2"],
                            capture_output=True, text=True, timeout=60, env=env)
    assert result.returncode == 2 and "--inject needs --sim" in result.stderr


# ---- the system checks, from fixture files ----------------------------------------------------


def test_lock_holders_from_proc_locks():
    st = os.stat_result((0o20620, 7, os.makedev(0, 26), 1, 0, 5, 0, 0, 0, 0))  # inode 7 on device 00:1a
    text = ("1: FLOCK  ADVISORY  WRITE 4242 00:1a:7 0 EOF\n"
            "1: -> FLOCK  ADVISORY  WRITE 999 00:1a:7 0 EOF\n"
            "2: POSIX  ADVISORY  WRITE 17 00:1a:8 0 EOF\n")
    assert doctor.lock_holders(text, st) == [4242]


def test_latency_timer(tmp_path):
    timer = tmp_path / "bus" / "usb-serial" / "devices" / "ttyUSB0"
    timer.mkdir(parents=True)
    (timer / "latency_timer").write_text("16\n")
    check = doctor.latency_timer_check("/dev/ttyUSB0", str(tmp_path))
    assert check.status == "warn" and "is 16 ms" in check.message and 'ATTR{latency_timer}="1"' in check.fix
    (timer / "latency_timer").write_text("1\n")
    assert doctor.latency_timer_check("/dev/ttyUSB0", str(tmp_path)).status == "pass"
    assert doctor.latency_timer_check("/dev/ttyACM0", str(tmp_path)).status == "skip"


IP_LINK = """[{"ifname":"can0","flags":["NOARP","UP","LOWER_UP","ECHO"],"linkinfo":{"info_kind":"can",
"info_data":{"ctrlmode":[],"state":"%s","berr_counter":{"tx":0,"rx":0},"restart_ms":0,
"bittiming":{"bitrate":%d,"sample_point":"0.875","tq":25,"prop_seg":17,"phase_seg1":17,"phase_seg2":5,"sjw":1}}}}]"""


@pytest.mark.parametrize(
    "state, bitrate, flags, expected",
    [
        ("ERROR-ACTIVE", 1000000, "0x40c1", {"can.exists": "pass", "can.up": "pass", "can.bitrate": "pass",
                                             "can.state": "pass"}),
        ("ERROR-WARNING", 500000, "0x40c1", {"can.bitrate": "fail", "can.state": "warn"}),
        ("BUS-OFF", 1000000, "0x40c1", {"can.state": "fail"}),
        ("ERROR-ACTIVE", 1000000, "0x80", {"can.up": "fail"}),
    ],
)
def test_can_interface_checks(tmp_path, state, bitrate, flags, expected):
    net = tmp_path / "class" / "net" / "can0"
    net.mkdir(parents=True)
    (net / "flags").write_text(flags + "\n")
    checks = doctor.can_checks("can0", str(tmp_path), ip_link=lambda iface: IP_LINK % (state, bitrate))
    found = {c.check: c.status for c in checks}
    assert {k: found.get(k) for k in expected} == expected
    if state == "BUS-OFF":
        assert "restart-ms 100" in checks[-1].fix
    assert doctor.can_checks("can9", str(tmp_path))[0].status == "fail"
    missing_ip = doctor.can_checks("can0", str(tmp_path), ip_link=lambda iface: None)
    assert flags == "0x80" or missing_ip[-1].status == "warn"
