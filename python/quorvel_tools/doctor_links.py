"""The doctor's checks of the links to the motors: the serial port of the servo
bus and the CAN interface of the neck. Each check is one `Check` line."""

from __future__ import annotations

import errno
import fcntl
import json
import os
import shutil
import stat
import subprocess
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence

EXPECTED_BITRATE = 1_000_000

LATENCY_RULE = ('ACTION=="add", SUBSYSTEM=="usb-serial", DRIVER=="ftdi_sio", ATTR{latency_timer}="1"')

PASS, WARN, FAIL, SKIP = "pass", "warn", "fail", "skip"


@dataclass
class Check:
    check: str                 # stable key, e.g. "serial.lock", "servo.3", "neck.neck_yaw"
    status: str                # pass, warn, fail or skip
    message: str               # what was found
    fix: Optional[str] = None  # one sentence, for warn and fail

    def line(self) -> str:
        text = f"{self.status.upper():4}  {self.message}"
        if self.fix and self.status in (WARN, FAIL):
            text += f" -- fix: {self.fix}"
        return text


# ---- serial port -------------------------------------------------------------------------


def _proc_cmdline(pid: int, proc: str = "/proc") -> str:
    try:
        with open(f"{proc}/{pid}/cmdline", "rb") as f:
            words = [w.decode(errors="replace") for w in f.read().split(b"\0") if w]
    except OSError:
        return "?"
    text = " ".join(" ".join(words).split())  # one line, whatever the arguments hold
    return (text[:117] + "...") if len(text) > 120 else (text or "?")


def lock_holders(locks_text: str, device: os.stat_result) -> List[int]:
    """Pids that hold a lock on the file `device` describes, from /proc/locks text.

    A line reads "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF"; blocked
    waiters ("1: -> FLOCK ...") are not holders.
    """
    want = (os.major(device.st_dev), os.minor(device.st_dev), device.st_ino)
    pids = []
    for line in locks_text.splitlines():
        fields = line.split()
        if len(fields) < 6 or fields[1] == "->":
            continue
        try:
            pid = int(fields[4])
            major, minor, inode = fields[5].split(":")
            found = (int(major, 16), int(minor, 16), int(inode))
        except ValueError:
            continue
        if found == want and pid not in pids:
            pids.append(pid)
    return pids


def openers(path: str, proc: str = "/proc") -> List[int]:
    """Pids of other processes with `path` open (those whose descriptors we may look at)."""
    target = os.path.realpath(path)
    found = []
    try:
        entries = os.listdir(proc)
    except OSError:
        return found
    for entry in entries:
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        fd_dir = f"{proc}/{entry}/fd"
        try:
            for fd in os.listdir(fd_dir):
                if os.readlink(f"{fd_dir}/{fd}") == target:
                    found.append(int(entry))
                    break
        except OSError:
            continue
    return found


def _describe(pids: Sequence[int]) -> str:
    return ", ".join(f"pid {pid} ({_proc_cmdline(pid)})" for pid in pids)


def latency_timer_check(path: str, sysfs: str = "/sys") -> Check:
    name = os.path.basename(os.path.realpath(path))
    timer_file = os.path.join(sysfs, "bus", "usb-serial", "devices", name, "latency_timer")
    if not os.path.exists(timer_file):
        return Check("serial.latency_timer", PASS,
                     f"latency timer: {path} is not a USB serial adapter (no latency timer to set)")
    try:
        with open(timer_file) as f:
            ms = int(f.read().strip())
    except (OSError, ValueError) as e:
        return Check("serial.latency_timer", WARN, f"latency timer of {name} cannot be read ({e})",
                     f"Check {timer_file} by hand: it should read 1.")
    if ms > 1:
        return Check("serial.latency_timer", WARN,
                     f"latency timer of {name} is {ms} ms: every servo reply waits up to that long",
                     f"Set it to 1 ms (echo 1 | sudo tee {timer_file}) and keep it so with the udev rule "
                     f"from the README: {LATENCY_RULE}")
    return Check("serial.latency_timer", PASS, f"latency timer of {name} is {ms} ms")


def serial_checks(path: str, proc: str = "/proc", sysfs: str = "/sys") -> List[Check]:
    """Checks of the serial port; the servo checks need all but the latency timer to pass."""
    checks = []
    if not os.path.exists(path):
        return [Check("serial.exists", FAIL, f"serial port {path} does not exist",
                      "Plug the servo bus adapter in and check its name with "
                      "`ls /dev/ttyUSB* /dev/ttyACM*` (or use the udev symlink /dev/quorvel-servos).")]
    checks.append(Check("serial.exists", PASS, f"serial port {path} exists"))
    device = os.stat(path)
    if not stat.S_ISCHR(device.st_mode):
        checks.append(Check("serial.terminal", FAIL, f"{path} is not a terminal device",
                            "Give the servo adapter's device (/dev/ttyUSB0, /dev/ttyACM0 or its udev symlink)."))
        return checks
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as e:
        if e.errno == errno.EBUSY:
            checks.append(Check("serial.terminal", PASS, f"{path} is a terminal"))
            checks.append(Check("serial.open", FAIL,
                                f"{path} cannot be opened: another program holds it in exclusive mode",
                                "Stop the program named on the next line, then run the doctor again."))
            holders = openers(path, proc)
            checks.append(Check("serial.lock", FAIL,
                                f"{path} is in use by " + (_describe(holders) if holders else "another process"),
                                "Stop that program (or release its QuorvelMotorController) before using the port."))
            return checks
        fix = ("Join the dialout group (sudo usermod -aG dialout $USER, then log in again) or fix the udev rule."
               if e.errno in (errno.EACCES, errno.EPERM) else "Check the adapter and its driver (dmesg).")
        checks.append(Check("serial.terminal", PASS, f"{path} is a character device"))
        checks.append(Check("serial.open", FAIL, f"{path} cannot be opened read-write: {e.strerror}", fix))
        return checks
    try:
        if not os.isatty(fd):
            checks.append(Check("serial.terminal", FAIL, f"{path} is a character device but not a terminal",
                                "Give the servo adapter's device (/dev/ttyUSB0, /dev/ttyACM0 or its udev symlink)."))
            return checks
        checks.append(Check("serial.terminal", PASS, f"{path} is a terminal"))
        checks.append(Check("serial.open", PASS, f"{path} opens read-write"))
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            try:
                with open(f"{proc}/locks") as f:
                    holders = lock_holders(f.read(), device)
            except OSError:
                holders = []
            holders = holders or openers(path, proc)
            checks.append(Check("serial.lock", FAIL,
                                f"{path} is locked by " + (_describe(holders) if holders else "another process"),
                                "Stop that program (or release its QuorvelMotorController) before using the port."))
            return checks
        fcntl.flock(fd, fcntl.LOCK_UN)
        checks.append(Check("serial.lock", PASS, f"{path} is not locked by another process"))
    finally:
        os.close(fd)
    checks.append(latency_timer_check(path, sysfs))
    return checks


# ---- CAN interface ---------------------------------------------------------------------------


@dataclass
class CanLink:
    kind: Optional[str]      # "can", "vcan", ... (None if unknown)
    state: Optional[str]     # "ERROR-ACTIVE", "ERROR-WARNING", "ERROR-PASSIVE", "BUS-OFF", "STOPPED"
    bitrate: Optional[int]


def parse_ip_link_json(text: str) -> CanLink:
    """The CAN details of `ip -details -json link show IFACE` output."""
    data = json.loads(text)
    link = data[0] if isinstance(data, list) and data else {}
    info = link.get("linkinfo", {}) if isinstance(link, dict) else {}
    info_data = info.get("info_data", {}) or {}
    timing = info_data.get("bittiming", {}) or {}
    bitrate = timing.get("bitrate")
    return CanLink(info.get("info_kind"), info_data.get("state"), int(bitrate) if bitrate is not None else None)


def _ip_link(iface: str) -> Optional[str]:
    ip = shutil.which("ip") or next((p for p in ("/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip") if os.path.exists(p)),
                                   None)
    if ip is None:
        return None
    result = subprocess.run([ip, "-details", "-json", "link", "show", iface], capture_output=True, text=True,
                            timeout=5, check=False)
    return result.stdout if result.returncode == 0 else None


def can_checks(iface: str, sysfs: str = "/sys", ip_link: Callable[[str], Optional[str]] = _ip_link) -> List[Check]:
    up_cmd = f"sudo ip link set {iface} up type can bitrate {EXPECTED_BITRATE}"
    restart_cmd = f"sudo ip link set {iface} down && {up_cmd}"
    if iface.startswith("unix:"):
        path = iface[len("unix:"):]
        if not os.path.exists(path):
            return [Check("can.exists", FAIL, f"virtual CAN bus {path} does not exist",
                          "Start the simulator (quorvel-torso-sim) and pass the CAN bus name it prints.")]
        note = "virtual bus of the simulator: no kernel interface to check"
        return [Check("can.exists", PASS, f"virtual CAN bus {path} exists"),
                Check("can.up", PASS, f"CAN bus state: {note}"),
                Check("can.bitrate", PASS, f"CAN bitrate: {note}"),
                Check("can.state", PASS, f"CAN error state: {note}")]
    net = os.path.join(sysfs, "class", "net", iface)
    if not os.path.isdir(net):
        return [Check("can.exists", FAIL, f"CAN interface {iface} does not exist",
                      "Plug the CAN adapter in and check its name with `ip link show` (names are case-sensitive).")]
    checks = [Check("can.exists", PASS, f"CAN interface {iface} exists")]
    try:
        with open(os.path.join(net, "flags")) as f:
            up = int(f.read().strip(), 16) & 0x1 != 0
    except (OSError, ValueError):
        up = False
    if not up:
        checks.append(Check("can.up", FAIL, f"CAN interface {iface} is down", f"Bring it up: {up_cmd}"))
        return checks
    checks.append(Check("can.up", PASS, f"CAN interface {iface} is up"))
    try:
        text = ip_link(iface)
        link = parse_ip_link_json(text) if text else None
    except (OSError, ValueError, subprocess.SubprocessError):
        link = None
    if link is None:
        note = "cannot be read (the `ip` command of iproute2 is missing or failed)"
        fix = "Install iproute2 (sudo apt install iproute2) and check by hand: ip -details link show " + iface + "."
        checks.append(Check("can.bitrate", WARN, f"CAN bitrate {note}", fix))
        checks.append(Check("can.state", WARN, f"CAN error state {note}", fix))
        return checks
    if link.kind != "can":
        note = f"{iface} is a {link.kind or 'non-CAN'} interface: it has no bitrate or error state"
        checks.append(Check("can.bitrate", WARN, note, "Use the real CAN adapter's interface for the torso."))
        checks.append(Check("can.state", PASS, f"CAN error state: {note}"))
        return checks
    if link.bitrate == EXPECTED_BITRATE:
        checks.append(Check("can.bitrate", PASS, f"CAN bitrate is {link.bitrate} bit/s"))
    else:
        checks.append(Check("can.bitrate", FAIL,
                            f"CAN bitrate is {link.bitrate} bit/s, the neck motors run at {EXPECTED_BITRATE}",
                            f"Set it: {restart_cmd}"))
    wiring = "check the wiring, the 120 ohm termination at each end and that every node runs at 1 Mbit/s"
    state = (link.state or "unknown").upper()
    if state == "ERROR-ACTIVE":
        checks.append(Check("can.state", PASS, "CAN error state is error-active (healthy)"))
    elif state == "ERROR-WARNING":
        checks.append(Check("can.state", WARN, "CAN error state is error-warning: bus errors are piling up",
                            wiring[0].upper() + wiring[1:] + "."))
    elif state == "ERROR-PASSIVE":
        checks.append(Check("can.state", FAIL, "CAN error state is error-passive: frames are failing",
                            wiring[0].upper() + wiring[1:] + "."))
    elif state == "BUS-OFF":
        checks.append(Check("can.state", FAIL, "CAN error state is bus-off: the adapter stopped sending",
                            f"{wiring[0].upper() + wiring[1:]}, then restart it: {restart_cmd} restart-ms 100."))
    else:
        checks.append(Check("can.state", FAIL, f"CAN error state is {state.lower()}", f"Restart it: {restart_cmd}"))
    return checks
