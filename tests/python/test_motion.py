"""Generated motion on the control loop, as the virtual torso's motors received it."""

import math
import random
import sys
import threading
import time
from datetime import timedelta

import pytest

from waiting import eventually

quorvel_torso_sim = pytest.importorskip("quorvel_torso_sim")

PERIOD = 0.01
STEP = 2 * math.pi / 4096  # one goal step of the servos


@pytest.fixture
def loop(qmc, sim):
    running = qmc.QuorvelPyControlLoop(sim.serial_path, timedelta(seconds=PERIOD), can_bus=sim.can_bus)
    yield running
    running.close()


def enable(loop):
    loop.enable_torque()
    loop.enable_neck(True)
    # Judged by the torque the commands queued before it leave.
    loop.move_to({"nose_top": 0.0, "neck_yaw": 0.0})


def hold_gil_in_bursts(stop, burst=0.2, rest=0.1):
    """Holds the interpreter lock for `burst` seconds at a time: a long switch
    interval keeps this busy loop from handing it over."""
    while not stop.is_set():
        old = sys.getswitchinterval()
        sys.setswitchinterval(burst)
        end = time.monotonic() + burst
        while time.monotonic() < end:
            pass
        sys.setswitchinterval(old)
        time.sleep(rest)


def test_streamed_targets_stay_within_limits_and_never_stall(loop, sim):
    enable(loop)
    assert loop.wait_motion(10)
    limits = loop.motion_limits()
    sim.clear_set_point_history()
    stop = threading.Event()
    holder = threading.Thread(target=hold_gil_in_bursts, args=(stop,))
    rng = random.Random(7)

    def stream():
        end = time.monotonic() + 3.0
        while time.monotonic() < end:
            loop.move_to(
                {
                    "nose_top": rng.uniform(-1.0, 1.0),
                    "left_arm_pitch": rng.uniform(-1.0, 1.0),
                    "neck_yaw": rng.uniform(-0.5, 0.5),
                }
            )
            time.sleep(1 / 30)

    streamer = threading.Thread(target=stream)
    holder.start()
    streamer.start()
    streamer.join()
    stop.set()
    holder.join()
    assert loop.wait_motion(10)

    for joint, goals in (("nose_top", sim.servo_goal_history(5)), ("left_arm_pitch", sim.servo_goal_history(1))):
        vmax = limits[joint][0]
        assert len(goals) > 100
        for before, a, b in zip(goals, goals[1:], goals[2:]):
            # A late tick moves the set point on by its lateness, and a busy
            # machine can hand a write over late: allow a few periods beyond
            # the time between arrivals, and one goal step. A step goal would
            # jump by up to 2 rad.
            assert abs(b.goal - a.goal) <= vmax * (b.time - a.time + 5 * PERIOD) + STEP, (joint, a, b)
            # The loop thread needs no interpreter lock: goals keep coming
            # through the 200 ms bursts while the joint moves. A joint that
            # reached its target while the streamer waited for the lock gets
            # no goals until the next target, so a pause follows rest only.
            assert b.time - a.time < 0.15 or abs(a.goal - before.goal) <= STEP, (joint, before, a, b)
    neck = sim.neck_command_history(0)
    assert len(neck) > 100
    # The MIT frame's velocity field has a resolution of 60/4095 rad/s for yaw.
    assert max(abs(c.velocity) for c in neck) <= limits["neck_yaw"][0] + 60 / 4095
    for a, b in zip(neck, neck[1:]):
        assert b.time - a.time < 0.15 or abs(a.velocity) <= 60 / 4095, (a, b)


def test_timed_trajectory_passes_its_waypoints(loop, sim):
    enable(loop)
    assert loop.wait_motion(10)
    sim.clear_set_point_history()
    points = [[0.2, 0.1], [0.5, 0.3], [0.1, 0.2]]
    loop.follow_trajectory(["nose_top", "neck_yaw"], points, [0.6, 1.2, 1.8])
    assert loop.motion_state().active
    assert loop.wait_motion(timedelta(seconds=10))
    goals = [g.goal for g in sim.servo_goal_history(5)]
    yaw = [c.position for c in sim.neck_command_history(0)]
    for k, (nose, neck) in enumerate(points):
        assert min(abs(g - nose) for g in goals) < 0.01, k
        assert min(abs(p - neck) for p in yaw) < 0.01, k
    assert goals[-1] == pytest.approx(0.1, abs=STEP)
    assert yaw[-1] == pytest.approx(0.2, abs=1e-3)


def test_refusals(loop, sim):
    with pytest.raises(RuntimeError, match="^move_to: nose_top has torque off; enable torque first$"):
        loop.move_to({"nose_top": 0.1})
    enable(loop)
    assert loop.wait_motion(10)
    with pytest.raises(ValueError, match="unknown joint 'nose'"):
        loop.move_to({"nose": 0.1})
    with pytest.raises(ValueError, match="nose_top"):
        loop.move_to({"nose_top": math.nan})
    with pytest.raises(ValueError, match="-pi..pi"):
        loop.move_to({"left_arm_yaw": 45.0})
    with pytest.raises(TypeError):
        loop.move_to({"nose_top": 0.1}, 1.0)  # duration is keyword-only
    with pytest.raises(ValueError, match="not after"):
        loop.follow_trajectory(["nose_top"], [[0.1], [0.2]], [0.5, 0.5])
    with pytest.raises(ValueError, match="positions"):
        loop.follow_trajectory(["nose_top"], [[0.1, 0.2]], [0.5])
    with pytest.raises(ValueError, match="^follow_trajectory: trajectory: nose_top would reach .* before waypoint 0, over its velocity limit"):
        loop.follow_trajectory(["nose_top"], [[2.0]], [0.1])
    with pytest.raises(ValueError, match="max_jerk"):
        loop.set_motion_limits({"nose_top": (1.0, 1.0, 0.0)})
    assert not loop.motion_state().active  # nothing was queued

    sim.set_neck_position(0, 2 * math.pi + 0.1)
    assert eventually(lambda: loop.get_last_position().neck[0] > 6.0)
    with pytest.raises(RuntimeError, match="neck_yaw.*power-cycle the neck motors"):
        loop.move_to({"neck_yaw": 0.2})


def test_wait_state_and_limits_round_trip(loop):
    enable(loop)
    assert loop.wait_motion(10)
    assert loop.wait_motion(0) is True  # nothing moves
    loop.set_motion_limits({"nose_top": (1.0, 4.0, 30.0)})
    limits = loop.motion_limits()
    assert limits["nose_top"] == (1.0, 4.0, 30.0)
    assert limits["nose_left"] == (2.0, 10.0, 80.0)  # unchanged

    loop.move_to({"nose_top": 1.0, "neck_pitch": 0.9}, duration=1.5)  # pitch clamped to 0.45
    assert loop.wait_motion(0.05) is False
    state = loop.motion_state()
    assert isinstance(hash(state), int)
    assert state.active and 0 < state.time_left <= 1.6
    assert state.target == pytest.approx({"nose_top": 1.0, "neck_pitch": 0.45})
    p, v, a = state.set_points["nose_top"]
    assert abs(v) <= 1.0 + 1e-9
    assert loop.wait_motion()
    assert not loop.motion_state().active
    assert hash(loop.motion_state()) == hash(loop.motion_state())  # equal values, equal hashes

    loop.move_to({"nose_top": -1.0})
    loop.stop_motion()
    assert loop.wait_motion(10)
    assert loop.get_last_position().nose[0] > -0.9  # stopped short of the target
