"""Programs that end while the module is busy, processes forked while a loop
runs, and close() called from a logging handler."""

import logging
import re
import time
from datetime import timedelta

import pytest

from exit_scenarios import EXIT_SCENARIOS, FORK_SCENARIOS, fork_program, run_program
from waiting import eventually

pytest.importorskip("quorvel_torso_sim")

# An abort at exit depends on where each thread is when finalisation
# begins: every scenario runs several times.
RUNS = 5
# Exit waits at most about a second for the module; the rest is the
# interpreter's own finalisation, slower on a busy machine.
EXIT_SECONDS = 3.0


@pytest.mark.parametrize("name", EXIT_SCENARIOS)
def test_exit_while_a_thread_is_busy_in_the_module(name):
    for _ in range(RUNS):
        outcome = run_program(EXIT_SCENARIOS[name])
        assert not outcome.timed_out and not outcome.aborted, outcome.stderr[-3000:]
        assert outcome.returncode == 0, outcome.stderr[-3000:]
        assert outcome.exit_seconds < EXIT_SECONDS
        if name == "slow log handler":
            assert re.search(r"quorvel_motor_controller: \d+ log records dropped at exit", outcome.stderr)


@pytest.mark.parametrize("name", FORK_SCENARIOS)
def test_forked_child_forgets_the_parents_loop(name):
    outcome = run_program(fork_program(name))
    assert not outcome.timed_out and not outcome.aborted, outcome.stderr[-3000:]
    assert outcome.returncode == 0, outcome.stderr[-3000:]
    assert re.search(
        r"^child refused: control loop belongs to the parent process \(pid \d+\); create a new loop after fork$",
        outcome.stdout,
        re.M,
    )
    assert outcome.child_exit_seconds < EXIT_SECONDS
    if FORK_SCENARIOS[name]["after_child"]:
        assert "parent loop reads" in outcome.stdout  # the parent's loop still answers


def test_close_from_a_logging_handler_returns_at_once(qmc, sim):
    loop = qmc.QuorvelPyControlLoop(sim.serial_path, timedelta(milliseconds=10), can_bus=sim.can_bus)
    seen, close_took = [], []

    class CloseOnFirstRecord(logging.Handler):
        def emit(self, record):
            seen.append(record.getMessage())
            if len(seen) == 1:
                start = time.monotonic()
                loop.close()
                close_took.append(time.monotonic() - start)

    logger = logging.getLogger("quorvel_motor_controller.controller")
    handler = CloseOnFirstRecord()
    logger.addHandler(handler)
    try:
        for _ in range(5):
            loop.set_neck_yaw_position(10.0)  # out of range: a warning from the loop thread
        # close() runs the commands queued before it; their records follow.
        assert eventually(lambda: len(seen) == 5)
    finally:
        logger.removeHandler(handler)
        loop.close()
    assert all("out of safe range" in message for message in seen)
    assert close_took[0] < 1.0  # it waited 2 s on its own thread before
