"""Programs that end while the module is busy, and processes forked while a
control loop runs. Each runs in a fresh interpreter with its own virtual
torso and reports how it ended: whether it aborted, and how long its exit
took (from the end of its own work to the end of the process)."""

import os
import signal
import subprocess
import sys
import time
from dataclasses import dataclass

PRELUDE = """
import logging, os, sys, threading, time
from datetime import timedelta
import quorvel_motor_controller as qmc
from quorvel_torso_sim import TorsoSim

sim = TorsoSim()
PERIOD = timedelta(milliseconds=10)
PING = bytes([0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB])

def forever(*calls):
    # A daemon thread that keeps calling, whatever the calls raise.
    def run():
        while True:
            for call in calls:
                try:
                    call()
                except Exception:
                    pass
    threading.Thread(target=run, daemon=True).start()

def exit_begins(who="exit"):
    print("@" + who, time.monotonic(), flush=True)
"""

# The program's main thread ends while a daemon thread is inside a call.
EXIT_SCENARIOS = {
    "direct call": """
ctl = qmc.QuorvelMotorController(sim.serial_path, can_bus=sim.can_bus)
forever(ctl.read_all_positions)
time.sleep(0.1)
exit_begins()
""",
    "neck_home": """
ctl = qmc.QuorvelMotorController(sim.serial_path, can_bus=sim.can_bus)
forever(ctl.neck_home)
time.sleep(0.1)
exit_begins()
""",
    "loop raw read": """
loop = qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus)
forever(lambda: loop.async_read_raw_bytes(1, 56, 2), lambda: loop.write_raw_packet(PING))
time.sleep(0.1)
exit_begins()
""",
    # A backlog of loop records (each out-of-range goal is a warning) for a
    # handler that takes 2 ms a record, while a CPU-bound thread competes
    # for the interpreter lock: more than exit waits for.
    "slow log handler": """
class Slow(logging.Handler):
    def emit(self, record):
        time.sleep(0.002)

logging.getLogger("quorvel_motor_controller").addHandler(Slow())
loop = qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus)
forever(lambda: None)
for _ in range(600):
    loop.set_neck_yaw_position(10.0)
exit_begins()
""",
}

# A process forks while a loop runs (or after it ran and was closed); the
# child tries the inherited loop, then ends in one of the ordinary ways; the
# parent's loop must keep answering.
FORK_BODY = """
loop = qmc.QuorvelPyControlLoop(sim.serial_path, PERIOD, can_bus=sim.can_bus)
{before_fork}
pid = os.fork()
if pid == 0:
    try:
        loop.get_last_position()
        print("child used the loop", flush=True)
    except RuntimeError as refused:
        print("child refused:", refused, flush=True)
    exit_begins("child-exit")
    {child_exit}
    sys.exit(0)
_, status = os.waitpid(pid, 0)
print("@child-ended", time.monotonic(), os.waitstatus_to_exitcode(status), flush=True)
{after_child}
"""

FORK_SCENARIOS = {
    "fork, child sys.exit": dict(before_fork="", child_exit="", after_child="PARENT_CHECK"),
    "fork, child close()": dict(before_fork="", child_exit="loop.close()", after_child="PARENT_CHECK"),
    "fork, child del": dict(before_fork="", child_exit="del loop", after_child="PARENT_CHECK"),
    "fork after close": dict(before_fork="loop.close()", child_exit="", after_child=""),
}

PARENT_CHECK = 'print("parent loop reads", loop.async_read_raw_bytes(1, 56, 2).hex(), flush=True)'


@dataclass
class Outcome:
    returncode: int
    stdout: str
    stderr: str
    exit_seconds: float  # from "@exit" to the end of the process
    timed_out: bool

    @property
    def aborted(self) -> bool:
        markers = ("terminate called", "FATAL", "Fatal Python error", "exception not rethrown")
        if self.timed_out:
            return False
        return self.returncode < 0 or self.returncode == 134 or any(m in self.stderr for m in markers)

    def moment(self, tag: str) -> float:
        """The time printed on the program's "@tag <time>" line."""
        for line in self.stdout.splitlines():
            if line.startswith("@" + tag + " "):
                return float(line.split()[1])
        raise AssertionError(f"no @{tag} line in:\n{self.stdout}\n{self.stderr}")

    @property
    def child_exit_seconds(self) -> float:
        return self.moment("child-ended") - self.moment("child-exit")


def fork_program(name: str) -> str:
    parts = FORK_SCENARIOS[name]
    return FORK_BODY.format(**{k: v.replace("PARENT_CHECK", PARENT_CHECK) for k, v in parts.items()})


def run_program(body: str, timeout: float = 60.0) -> Outcome:
    """Runs PRELUDE + body in a fresh interpreter (this one's executable and
    module path)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    # A session of its own, so that a stuck program and its forked child
    # can be ended together.
    proc = subprocess.Popen(
        [sys.executable, "-c", PRELUDE + body],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        start_new_session=True,
    )
    try:
        stdout, stderr = proc.communicate(timeout=timeout)
        timed_out = False
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        stdout, stderr = proc.communicate()
        timed_out = True
    ended = time.monotonic()
    outcome = Outcome(proc.returncode, stdout, stderr, float("nan"), timed_out)
    if "@exit " in stdout:
        outcome.exit_seconds = ended - outcome.moment("exit")
    return outcome
