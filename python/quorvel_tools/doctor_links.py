"""The doctor's checks of the links to the motors: the serial port of the servo
bus and the CAN interface of the neck. Each check is one `Check` line. Also
what the doctor needs to find those links when it is not told them, and to
leave a terminal as it found it."""

from __future__ import annotations

import contextlib
import errno
import fcntl
import glob
import json
import os
import platform
import re
import shutil
import stat
import subprocess
import termios
from dataclasses import dataclass
from typing import Any, Callable, Iterator, List, Optional, Sequence, Tuple

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


def _pids(proc: str) -> List[int]:
    try:
        return sorted(int(entry) for entry in os.listdir(proc) if entry.isdigit())
    except OSError:
        return []


def openers(path: str, proc: str = "/proc") -> List[int]:
    """Pids of other processes with `path` open (those whose descriptors we may look at)."""
    target = os.path.realpath(path)
    found: List[int] = []
    for pid in _pids(proc):
        if pid == os.getpid():
            continue
        fd_dir = f"{proc}/{pid}/fd"
        try:
            for fd in os.listdir(fd_dir):
                if os.readlink(f"{fd_dir}/{fd}") == target:
                    found.append(pid)
                    break
        except OSError:
            continue
    return found


def _describe(pids: Sequence[int]) -> str:
    return ", ".join(f"pid {pid} ({_proc_cmdline(pid)})" for pid in pids)


def _tty_numbers(tty_nr: int) -> Tuple[int, int]:
    """(major, minor) of a controlling terminal as /proc/PID/stat encodes it."""
    return (tty_nr >> 8) & 0xFFF, (tty_nr & 0xFF) | ((tty_nr >> 12) & 0xFFF00)


def session_holders(device: os.stat_result, proc: str = "/proc") -> List[int]:
    """Pids whose controlling terminal is the terminal `device` describes: a
    login shell's or a getty's. A servo adapter is no one's."""
    want = (os.major(device.st_rdev), os.minor(device.st_rdev))
    found: List[int] = []
    for pid in _pids(proc):
        try:
            with open(f"{proc}/{pid}/stat", "rb") as f:
                text = f.read()
            # "pid (comm) state ppid pgrp session tty_nr ...": comm may hold anything, so split after its ')'.
            fields = text[text.rindex(b")") + 1:].split()
            tty_nr = int(fields[4])
        except (OSError, ValueError, IndexError):
            continue
        if tty_nr != 0 and _tty_numbers(tty_nr) == want:
            found.append(pid)
    return found


def latency_timer_check(path: str, sysfs: str = "/sys") -> Check:
    name = os.path.basename(os.path.realpath(path))
    timer_file = os.path.join(sysfs, "bus", "usb-serial", "devices", name, "latency_timer")
    if not os.path.exists(timer_file):
        return Check("serial.latency_timer", SKIP,
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
        sessions = session_holders(device, proc)
        if sessions:
            # Someone's terminal, not a servo adapter: nothing is written to it.
            checks.append(Check("serial.lock", FAIL,
                                f"{path} is the terminal of a session: {_describe(sessions)}; nothing was sent to it",
                                "Give the servo bus adapter's port (/dev/ttyUSB0, /dev/ttyACM0 or its udev symlink)."))
            return checks
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
        start_sim = "Start the simulator (quorvel-torso-sim) and pass the CAN bus name it prints."
        try:
            mode = os.stat(path).st_mode
        except OSError as e:
            return [Check("can.exists", FAIL, f"virtual CAN bus {path} does not exist ({e.strerror})", start_sim)]
        if not stat.S_ISSOCK(mode):
            return [Check("can.exists", FAIL, f"virtual CAN bus {path} is not a socket", start_sim)]
        note = "does not apply to the simulator's virtual bus (no kernel interface)"
        return [Check("can.exists", PASS, f"virtual CAN bus {path} exists"),
                Check("can.up", SKIP, f"CAN interface state: {note}"),
                Check("can.bitrate", SKIP, f"CAN bitrate: {note}"),
                Check("can.state", SKIP, f"CAN error state: {note}")]
    if not valid_interface_name(iface):
        return [Check("can.exists", FAIL,
                      f"CAN interface {iface!r} does not exist: not an interface name (1 to 15 characters, "
                      f"no '/', ':' or spaces, not '.' or '..')",
                      "Give the interface as `ip link show` lists it (e.g. can0), or a simulator's unix:PATH.")]
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
        checks.append(Check("can.state", SKIP, f"CAN error state: {note}"))
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


def valid_interface_name(name: str) -> bool:
    """Whether the kernel would accept `name` for a network interface (so that
    it can never reach outside /sys/class/net)."""
    return (0 < len(name.encode("utf-8", "surrogateescape")) <= 15 and name not in (".", "..")
            and not any(c in "/:" or c.isspace() for c in name))


# ---- finding the torso's links ---------------------------------------------------------------

ARPHRD_CAN = 280   # /sys/class/net/IFACE/type of a CAN interface


def _natural(path: str) -> Tuple[str, int]:
    match = re.match(r"(.*?)(\d*)$", path)
    head, number = (match.group(1), match.group(2)) if match else (path, "")
    return head, int(number) if number else -1


def serial_candidates(dev: str = "/dev") -> List[str]:
    """The serial adapters present: their stable /dev/serial/by-id names first,
    then /dev/ttyUSB* and /dev/ttyACM* not already named by one."""
    found: List[str] = []
    seen = set()
    by_id = os.path.join(dev, "serial", "by-id")
    try:
        names = sorted(os.listdir(by_id))
    except OSError:
        names = []
    paths = [os.path.join(by_id, name) for name in names]
    for pattern in ("ttyUSB*", "ttyACM*"):
        paths += sorted(glob.glob(os.path.join(glob.escape(dev), pattern)), key=_natural)
    for path in paths:
        real = os.path.realpath(path)
        if real not in seen and os.path.exists(path):
            seen.add(real)
            found.append(path)
    return found


def can_candidates(sysfs: str = "/sys") -> List[str]:
    """Network interfaces of type CAN (real adapters and vcan alike)."""
    net = os.path.join(sysfs, "class", "net")
    try:
        names = sorted(os.listdir(net), key=_natural)
    except OSError:
        return []
    found = []
    for name in names:
        try:
            with open(os.path.join(net, name, "type")) as f:
                if int(f.read().strip()) == ARPHRD_CAN:
                    found.append(name)
        except (OSError, ValueError):
            continue
    return found


# ---- leaving a terminal as it was found ---------------------------------------------------------

# TCGETS2 and TCSETS2 where the ioctl numbers are the generic ones: termios2
# carries any speed, which tcgetattr cannot; elsewhere tcgetattr does.
_TERMIOS2: Optional[Tuple[int, int, int]] = (
    (0x802C542A, 0x402C542B, 44)
    if platform.machine() in ("x86_64", "i386", "i686", "aarch64", "armv7l", "armv6l", "riscv64") else None)


def _read_settings(fd: int) -> Tuple[str, Any]:
    if _TERMIOS2 is not None:
        get, _, size = _TERMIOS2
        with contextlib.suppress(OSError):
            return "termios2", fcntl.ioctl(fd, get, bytes(size))
    return "termios", termios.tcgetattr(fd)


def _write_settings(fd: int, saved: Tuple[str, Any]) -> None:
    kind, value = saved
    if kind == "termios2" and _TERMIOS2 is not None:
        fcntl.ioctl(fd, _TERMIOS2[1], value)
    else:
        termios.tcsetattr(fd, termios.TCSANOW, value)


@contextlib.contextmanager
def terminal_settings_kept(path: str) -> Iterator[None]:
    """Puts `path`'s terminal settings (modes, speed, control characters) back
    as they were when the block ends: the controller leaves its port raw at
    1 Mbaud, which would spoil a terminal the doctor was pointed at by mistake."""
    fd: Optional[int] = None
    saved: Optional[Tuple[str, Any]] = None
    with contextlib.suppress(OSError, termios.error):
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
        saved = _read_settings(fd)
    try:
        yield
    finally:
        if fd is not None:
            with contextlib.suppress(OSError, termios.error):
                if saved is not None:
                    _write_settings(fd, saved)
            os.close(fd)
