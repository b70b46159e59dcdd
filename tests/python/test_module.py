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
    assert qmc.__all__ == CLASS_ORDER
    for name in qmc.__all__:
        cls = getattr(qmc, name)
        assert isinstance(cls, type) and cls.__module__ == "quorvel_motor_controller"
    public = [n for n in dir(qmc) if not n.startswith("_")]
    constants = ["NECK_JOINTS", "SERVO_IDS", "SERVO_JOINTS"]  # joint names in code, not exported
    health = ["NeckStatus", "ServoStatus"]  # the health readings' values, not exported
    motion = ["MotionState"]  # the generated motion's state, not exported
    assert sorted(public) == sorted(qmc.__all__ + constants + health + motion)  # no PanicException or helpers


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


ALLOWLIST = Path(__file__).resolve().parents[2] / "python" / "stubtest-allowlist.txt"


def test_type_stubs_match_the_modules(tmp_path):
    # The stubs come from the installed stub-only packages, as a type checker finds them.
    pytest.importorskip("mypy")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("MYPYPATH", None)
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quorvel_motor_controller", "quorvel_torso_sim",
         "--ignore-missing-stub", "--allowlist", str(ALLOWLIST)],
        capture_output=True, text=True, env=env, timeout=300, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_class_text_signatures(qmc):
    assert qmc.QuorvelMotorController.__text_signature__ == "(serialport=None, can_bus=...)"
    assert qmc.QuorvelMotorController.__doc__ == ""
    assert qmc.QuorvelPyControlLoop.__text_signature__ == (
        "(serialport, read_position_loop_period, can_bus=..., allowed_retries=5, "
        "stats_pub_period=None, voltage_rampup_timeout=...)"
    )


# The direct controller's methods in the order of its method table, with the
# parameters Python reports for each.
DIRECT_METHODS = [
    ("is_torque_enabled", "($self)"),
    ("enable_torque", "($self)"),
    ("enable_torque_on_ids", "($self, ids)"),
    ("disable_torque", "($self)"),
    ("disable_torque_on_ids", "($self, ids)"),
    ("read_all_positions", "($self)"),
    ("set_all_goal_positions", "($self, positions)"),
    ("set_left_arm_position", "($self, position)"),
    ("set_right_arm_position", "($self, position)"),
    ("set_arms_position", "($self, position)"),
    ("set_nose_position", "($self, position)"),
    ("set_neck_position", "($self, position)"),
    ("set_neck_yaw_position", "($self, position)"),
    ("set_neck_pitch_position", "($self, position)"),
    ("set_neck_roll_position", "($self, position)"),
    ("neck_position_limits", "($self)"),
    ("read_neck_positions", "($self)"),
    ("set_neck_gains", "($self, index, kp, kd)"),
    ("neck_home", "($self, speed=0.4, tolerance=0.15, kp=None, kd=None)"),
    ("enable_neck", "($self, enable)"),
    ("is_neck_torque_enabled", "($self)"),
    ("enable_arms", "($self, enable)"),
    ("set_arm_home", "($self, verify_tol=0.05)"),
    ("enable_nose", "($self, enable)"),
    ("write_raw_packet", "($self, data)"),
    ("close", "($self)"),
    ("read_servo_status", "($self)"),
    ("read_neck_status", "($self)"),
    ("probe_servo", "($self, id)"),
    ("probe_neck_motor", "($self, index)"),
]


def test_direct_controller_method_table(qmc):
    cls = qmc.QuorvelMotorController
    methods = [name for name in vars(cls) if not name.startswith("__")]
    assert methods == [name for name, _ in DIRECT_METHODS]
    assert [(name, getattr(cls, name).__text_signature__) for name in methods] == DIRECT_METHODS
    assert not cls.set_neck_roll_position.__doc__  # the single-joint setters carry no text
    # Non-ASCII characters and line breaks come through intact.
    home = cls.neck_home.__doc__
    assert "nearest multiple of 2\u03c0 of the joint's current\nreported position \u2014 after" in home
    assert "within \u00b1\u03c0 and" in home and 'commanding "go to 0" naively' in home
    assert cls.set_neck_position.__doc__ == (
        "Set goal positions for the neck (3 values: yaw, pitch, roll). Returns\n"
        "the observed positions reported by the motor replies."
    )
