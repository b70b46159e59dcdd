"""quorvel-doctor against what a new user points it at: odd paths and names,
someone else's terminal, no arguments, a closed pipe."""

import json
import os
import socket
import subprocess
import sys
import termios
import time

import pytest

from quorvel_tools import doctor

quorvel_torso_sim = pytest.importorskip("quorvel_torso_sim")


def _env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def _doctor(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "quorvel_tools.doctor", *args], capture_output=True, timeout=120,
                          env=_env(), **kwargs)


def _drain(fd):
    os.set_blocking(fd, False)
    data = b""
    try:
        while chunk := os.read(fd, 4096):
            data += chunk
    except BlockingIOError:
        pass
    return data


def test_json_stays_valid_utf8_for_a_path_that_is_not(sim, tmp_path):
    port = os.fsencode(tmp_path) + b"/servos\xff"
    os.symlink(os.fsencode(sim.serial_path), port)
    result = _doctor(b"--serial", port, b"--can", os.fsencode(sim.can_bus), b"--json")
    report = json.loads(result.stdout.decode("utf-8"))  # strict: raises on bytes that are not UTF-8
    assert result.returncode == 0, result.stdout
    assert report["target"]["serial"].endswith("/servos\\xff")
    assert report["checks"][0]["message"] == f"serial port {report['target']['serial']} exists"


def test_a_virtual_can_bus_must_be_a_socket_and_a_name_stays_a_name(tmp_path):
    (tmp_path / "class" / "net").mkdir(parents=True)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    listener.bind(str(tmp_path / "bus.sock"))
    try:
        checks = doctor.can_checks(f"unix:{tmp_path / 'bus.sock'}", str(tmp_path))
        assert [c.status for c in checks] == ["pass", "skip", "skip", "skip"]  # no kernel interface to judge
    finally:
        listener.close()
    for name in (f"unix:{tmp_path}", "unix:/dev/null", f"unix:{tmp_path / 'missing'}", "../../../tmp", "..", ".",
                 "", "a/b", "can0:1", "can 0", "x" * 16):
        assert doctor.can_checks(name, str(tmp_path))[0].status == "fail", name
    assert all(doctor.valid_interface_name(n) for n in ("can0", "vcan0", "x" * 15, "can-neck_1"))


@pytest.mark.parametrize("fault", ["silent-servo=99", "hot-servo=0", "hot-servo=x", "silent-servo=",
                                   "neck-turn=nose", "neck-fault=yaw:hot", "low-voltage=1", "warm-servo=2"])
def test_an_inject_that_would_inject_nothing_is_refused(capsys, fault):
    with pytest.raises(SystemExit) as exit_:
        doctor.main(["--sim", "--inject", fault])
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and err.startswith("usage: quorvel-doctor") and f"--inject {fault}: " in err


def test_a_port_with_no_servos_gets_one_ask_each_and_its_settings_back():
    master, slave = os.openpty()
    try:
        before = termios.tcgetattr(slave)  # a fresh pty: echo and canonical mode on
        checks = doctor.run_checks(os.ttyname(slave), None)
        sent = _drain(master)
        assert termios.tcgetattr(slave) == before
    finally:
        os.close(master)
        os.close(slave)
    servos = [c for c in checks if c.check.startswith("servo.")]
    assert all(c.status == "fail" and "No servo answers on" in c.fix for c in servos)
    packets = [p for p in sent.split(b"\xff\xff") if p]
    assert sorted(p[0] for p in packets) == list(range(1, 8))  # one read per id, no retries


def test_nothing_is_sent_to_a_sessions_terminal():
    master, slave = os.openpty()
    path = os.ttyname(slave)
    # A session leader that opens a terminal without O_NOCTTY makes it its controlling terminal.
    holder = subprocess.Popen([sys.executable, "-c", "import os, sys; os.setsid(); os.open(sys.argv[1], os.O_RDWR); "
                               "print('ready', flush=True); sys.stdin.read()", path],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "ready"
        checks = doctor.run_checks(path, None)
        assert _drain(master) == b""
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)
        os.close(master)
        os.close(slave)
    lock = next(c for c in checks if c.check == "serial.lock")
    assert lock.status == "fail" and f"pid {holder.pid}" in lock.message
    assert all(c.status == "skip" for c in checks if c.check.startswith("servo."))


def _fake_roots(tmp_path, sim):
    dev, sysfs = tmp_path / "dev", tmp_path / "sys"
    (dev / "serial" / "by-id").mkdir(parents=True)
    (sysfs / "class" / "net").mkdir(parents=True)
    for name, kind in (("lo", 772), ("can0", 280), ("eth0", 1)):
        (sysfs / "class" / "net" / name).mkdir()
        (sysfs / "class" / "net" / name / "type").write_text(f"{kind}\n")
    by_id = dev / "serial" / "by-id" / "usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0"
    os.symlink(sim.serial_path, by_id)
    os.symlink(sim.serial_path, dev / "ttyUSB1")  # the same adapter under its kernel name
    return dev, sysfs, by_id


def test_without_ports_the_doctor_finds_the_adapter_the_servos_answer_on(capsys, sim, tmp_path):
    dev, sysfs, by_id = _fake_roots(tmp_path, sim)
    master, other = os.openpty()  # an adapter with nothing on it
    os.symlink(os.ttyname(other), dev / "ttyACM0")
    try:
        assert doctor.serial_candidates(str(dev)) == [str(by_id), str(dev / "ttyACM0")]
        assert doctor.can_candidates(str(sysfs)) == ["can0"]
        code = doctor.main(["--json", "--can", sim.can_bus], dev=str(dev), sysfs=str(sysfs))
    finally:
        os.close(master)
        os.close(other)
    report = json.loads(capsys.readouterr().out)
    found = report["checks"][0]
    assert code == 0 and report["target"]["serial"] == str(by_id)
    assert found["status"] == "pass" and f"found on {by_id}: 7 of 7 servos answer" in found["message"]
    assert [c["servos"] for c in report["target"]["serial_candidates"]] == [7, 0]


def test_with_nothing_plugged_in_the_doctor_says_so(capsys, tmp_path):
    code = doctor.main([], dev=str(tmp_path / "dev"), sysfs=str(tmp_path / "sys"))
    lines = capsys.readouterr().out.splitlines()
    assert code == 1 and lines[0].startswith("FAIL  no serial adapter found") and "--serial PATH" in lines[0]
    assert lines[1].startswith("FAIL  no CAN interface found") and "--can IFACE" in lines[1]
    assert lines[-1].endswith("failed, 10 skipped (find.serial, find.can)")


def test_a_closed_pipe_ends_the_doctor_quietly():
    proc = subprocess.Popen([sys.executable, "-m", "quorvel_tools.doctor", "--sim", "--json"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=_env())
    proc.stdout.close()  # the reader is gone before the first line
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 1 and b"Traceback" not in err and b"BrokenPipeError" not in err


def test_the_round_trip_line_names_single_sync_read_only_where_the_latency_dominates():
    behind_adapter = doctor.round_trip_check(2.0, 1.0)
    assert behind_adapter.status == "pass" and "single_sync_read=True halves" in behind_adapter.message
    for two, one in ((0.11, 0.05), (0.9, 0.75), (1.0, 1.0)):
        direct = doctor.round_trip_check(two, one)
        assert direct.status == "pass" and "single_sync_read" not in direct.message
    result = _doctor("--sim", "--usb-latency-ms", "1", "--json")
    report = json.loads(result.stdout)
    line = next(c for c in report["checks"] if c["check"] == "serial.round_trips")
    assert result.returncode == 0 and line["status"] == "pass", line
