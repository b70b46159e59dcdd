import os
import subprocess
import sys

import pytest


@pytest.fixture(scope="session")
def qmc():
    import quorvel_motor_controller

    return quorvel_motor_controller


@pytest.fixture(scope="session")
def run_python():
    """Runs a snippet in a fresh interpreter with this one's module path."""

    def run(code: str, timeout: float = 60.0) -> subprocess.CompletedProcess:
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        return subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, env=env
        )

    return run


@pytest.fixture
def sim():
    """A running virtual torso, stopped when the test ends."""
    quorvel_torso_sim = pytest.importorskip("quorvel_torso_sim")
    with quorvel_torso_sim.TorsoSim() as torso:
        yield torso
