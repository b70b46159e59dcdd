import importlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

# Registration order of every class the module exposes; __all__ holds the
# registered ones in exactly this order.
CLASS_ORDER = [
    "QuorvelMotorController",
    "QuorvelPyControlLoop",
    "QuorvelTorsoPosition",
    "ControlLoopStats",
]


def test_all_lists_the_classes_in_registration_order(qmc):
    assert isinstance(qmc.__all__, list)
    assert qmc.__all__ == [name for name in CLASS_ORDER if name in qmc.__all__]
    assert {"QuorvelTorsoPosition", "ControlLoopStats"} <= set(qmc.__all__)
    for name in qmc.__all__:
        cls = getattr(qmc, name)
        assert isinstance(cls, type) and cls.__module__ == "quorvel_motor_controller"
    public = [n for n in dir(qmc) if not n.startswith("_")]
    assert sorted(public) == sorted(qmc.__all__)  # no PanicException or helpers


def test_module_docstring_is_empty(qmc):
    assert qmc.__doc__ == ""


def test_second_import_returns_the_same_module(qmc):
    all_before = list(qmc.__all__)
    del sys.modules["quorvel_motor_controller"]
    again = importlib.import_module("quorvel_motor_controller")
    assert again is qmc
    assert again.__all__ == all_before  # nothing registered twice


def test_classes_are_immutable(qmc):
    for name in qmc.__all__:
        with pytest.raises(TypeError):
            setattr(getattr(qmc, name), "extra", 1)


def test_subinterpreter_import_is_refused(run_python):
    result = run_python(
        """
import quorvel_motor_controller
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
interp = interpreters.create()
try:
    failure = interpreters.run_string(interp, "import quorvel_motor_controller")
except Exception as error:  # raised by the older interpreters
    failure = error
print("RESULT", failure)
"""
    )
    assert result.returncode == 0, result.stderr
    line = [l for l in result.stdout.splitlines() if l.startswith("RESULT")][0]
    assert "ImportError" in line, line


def test_import_forwards_nothing_and_leaves_logging_usable(run_python):
    # Importing installs the logging bridge; it must not configure handlers
    # or emit records by itself, and a clean exit must not hang.
    result = run_python(
        "import logging, quorvel_motor_controller\n"
        "assert logging.getLogger().handlers == []\n"
        "print('ok')\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok" and result.stderr == ""


def test_type_stub_matches_the_module():
    pytest.importorskip("mypy")
    stub_dir = Path(__file__).resolve().parents[2] / "python"
    env = dict(os.environ, MYPYPATH=str(stub_dir), PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quorvel_motor_controller", "--ignore-missing-stub"],
        capture_output=True, text=True, env=env, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
