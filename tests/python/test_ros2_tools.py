"""The ROS 2 node's plain parts: waypoint timing, braking, environment, loop status."""

import math
import os
import random

import pytest
from hypothesis import given, strategies as st

ros2_node = pytest.importorskip("quorvel_tools.ros2_node")
from quorvel_tools import ros2_diagnostics, ros2_env  # noqa: E402

increasing_times = st.lists(st.floats(0.01, 100.0), min_size=1, max_size=8, unique=True).map(sorted)


@given(increasing_times, st.floats(-50.0, 50.0))
def test_waypoint_times_follow_the_stamp(times, offset):
    now = 1000.0
    try:
        first, due = ros2_node.trajectory_times(now + offset, now, times)
    except ros2_node.Refused:
        assert times[-1] + offset <= 0.0  # only when every waypoint has passed
        return
    assert all(t > 0.0 for t in due)
    assert first == sum(1 for t in times if t + offset <= 0.0)  # exactly the passed ones skipped
    assert due == pytest.approx([t + offset for t in times[first:]], abs=1e-9)


def test_a_zero_stamp_starts_now():
    assert ros2_node.trajectory_times(0.0, 1_700_000_000.0, [0.5, 1.0]) == (0, [0.5, 1.0])


def test_braking_targets_lie_ahead_of_the_motion():
    limits = {"nose_top": (2.0, 10.0, 80.0), "neck_yaw": (1.5, 6.0, 40.0)}
    for _ in range(100):
        v = random.uniform(-2.0, 2.0)
        targets = ros2_node.braking_targets({"nose_top": (0.1, v, 0.0), "neck_yaw": (0.0, 1.0, 0.0)}, limits,
                                            ["nose_top"])
        assert list(targets) == ["nose_top"]  # only the named joints
        assert math.copysign(1.0, targets["nose_top"] - 0.1) == math.copysign(1.0, v) or v == 0.0


def test_environment_adds_the_wheels_libraries_once(tmp_path):
    (tmp_path / "ros_rcl.libs").mkdir()
    (tmp_path / "ros_fastdds.libs").mkdir()
    dirs = ros2_env.library_dirs([str(tmp_path)])
    assert str(tmp_path / "ros_rcl.libs") in dirs
    env = ros2_env.prepared_environment({"LD_LIBRARY_PATH": "/opt/x"}, dirs)
    assert env["LD_LIBRARY_PATH"].split(os.pathsep)[-1] == "/opt/x"
    assert ros2_env.missing_library_dirs(env, dirs) == []
    assert env["RMW_IMPLEMENTATION"] == "rmw_fastrtps_cpp"
    assert env["ROS_AUTOMATIC_DISCOVERY_RANGE"] == "LOCALHOST"
    # What the user chose stays.
    chosen = ros2_env.prepared_environment({"ROS_AUTOMATIC_DISCOVERY_RANGE": "SUBNET"}, dirs)
    assert chosen["ROS_AUTOMATIC_DISCOVERY_RANGE"] == "SUBNET"


def test_loop_status_levels():
    ok = ros2_diagnostics.loop_status([0.002] * 500, 0.002, readings=500, failed_reads=0)
    assert ok.level == ros2_diagnostics.OK_LEVEL and "0 late ticks" in ok.message
    late = ros2_diagnostics.loop_status([0.002] * 499 + [0.01], 0.002, readings=500, failed_reads=0)
    assert late.level == ros2_diagnostics.WARN_LEVEL and late.values["late_ticks"] == "1"
    dead = ros2_diagnostics.loop_status([0.002] * 500, 0.002, readings=0, failed_reads=500)
    assert dead.level == ros2_diagnostics.ERROR_LEVEL
