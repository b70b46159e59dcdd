"""quorvel-ros2: the torso as a ROS 2 node.

    quorvel-ros2 --sim                                   # the simulated torso
    quorvel-ros2 --serial-port /dev/ttyUSB0 --can-bus can0 --period 0.002
    quorvel-ros2 --sim --ros-args -p joint_prefix:=torso_ -r __node:=torso
    python -m quorvel_tools.ros2_node --sim

The node owns one QuorvelPyControlLoop. It publishes `joint_states`
(sensor_msgs/JointState) for every reading of the loop, executes
`~/joint_trajectory` (trajectory_msgs/JointTrajectory) with the loop's timed
trajectories, follows `~/target` (sensor_msgs/JointState) with the loop's
online target following, publishes `/diagnostics` once a second and offers
the services `~/enable_torque`, `~/enable_neck` (std_srvs/SetBool),
`~/neck_home` and `~/stop` (std_srvs/Trigger). Ctrl-C or SIGTERM stops the
motion, closes the loop and exits with status 0.

Parameters (ROS parameters; the options below set their defaults):
serial_port, can_bus, period (s), sim, publish_every (readings), joint_prefix.
Needs the extra: pip install 'quorvel_motor_controller[ros2]'.
"""

from __future__ import annotations

import argparse
import datetime
import math
import sys
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

DEFAULT_PERIOD = 0.01
NODE_NAME = "quorvel_torso"


@dataclass
class Settings:
    serial_port: Optional[str]   # None: a neck-only torso (or the simulator's, with sim)
    can_bus: str
    period: float                # s
    sim: bool
    publish_every: int           # publish one reading in this many
    joint_prefix: str
    record: Optional[str] = None  # an MCAP file recording the run, or None


def loop_kwargs(settings: Settings, serial_port: Optional[str], can_bus: str) -> Dict[str, Any]:
    """The keyword arguments of the node's QuorvelPyControlLoop.

    LOOP OPTIONS: the one place that builds them. A new constructor option of
    the loop is one entry here, one field in Settings and one option in
    _parser (which also makes it a ROS parameter in ros2_torso._parameters)."""
    return {
        "serialport": serial_port,
        "read_position_loop_period": datetime.timedelta(seconds=settings.period),
        "can_bus": can_bus,
        # Statistics for the loop's diagnostics (period p50/p99, late ticks).
        "stats_pub_period": datetime.timedelta(milliseconds=200),
        "record": settings.record,
    }


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="quorvel-ros2",
        description="Run the torso as a ROS 2 node: joint_states, ~/joint_trajectory, ~/target, /diagnostics and "
                    "services. Options set the ROS parameters' defaults; --ros-args -p NAME:=VALUE overrides them.")
    p.add_argument("--serial-port", "--serial_port", dest="serial_port", metavar="PATH",
                   help="servo bus serial port, e.g. /dev/ttyUSB0 (none: neck only)")
    p.add_argument("--can-bus", "--can_bus", dest="can_bus", default="can0", metavar="IFACE",
                   help="SocketCAN interface of the neck (default can0)")
    p.add_argument("--period", type=float, default=DEFAULT_PERIOD, metavar="SECONDS",
                   help=f"control loop period (default {DEFAULT_PERIOD})")
    p.add_argument("--sim", action="store_true", help="start the simulated torso and drive it")
    p.add_argument("--publish-every", "--publish_every", dest="publish_every", type=int, default=1, metavar="N",
                   help="publish one reading in N (default 1: every reading)")
    p.add_argument("--joint-prefix", "--joint_prefix", dest="joint_prefix", default="", metavar="PREFIX",
                   help="prefix of the joint names in every message")
    p.add_argument("--record", metavar="FILE.mcap",
                   help="record every tick, reading, command and event to an MCAP file "
                        "(read it with quorvel-report)")
    return p


def parse_settings(argv: Sequence[str]) -> Settings:
    args = _parser().parse_args(list(argv))
    return Settings(args.serial_port, args.can_bus, args.period, args.sim, args.publish_every, args.joint_prefix,
                    args.record)


def check_settings(settings: Settings) -> Optional[str]:
    """Why the settings cannot run, or None."""
    if not (settings.period > 0 and math.isfinite(settings.period)):
        return f"period must be a positive number of seconds, got {settings.period}"
    if settings.publish_every < 1:
        return f"publish_every must be at least 1, got {settings.publish_every}"
    return None


# ---- trajectories -----------------------------------------------------------------------------

class Refused(Exception):
    """A trajectory or target that the node does not execute; the text says why."""


def trajectory_times(stamp: float, now: float, times: Sequence[float]) -> Tuple[int, List[float]]:
    """When each waypoint is due, in seconds after `now`, for a trajectory
    stamped `stamp` (0: starts now; in the future: starts then; in the past:
    the waypoints whose time has passed are skipped). Returns the index of
    the first waypoint kept and the kept waypoints' times."""
    start = now if stamp == 0.0 else stamp
    shifted = [start + t - now for t in times]
    first = next((k for k, t in enumerate(shifted) if t > 0.0), len(shifted))
    if first == len(shifted):
        raise Refused(f"every waypoint's time has passed (the trajectory ended {-shifted[-1]:.3f} s ago)")
    return first, shifted[first:]


def braking_targets(set_points: Dict[str, Tuple[float, float, float]], limits: Dict[str, Tuple[float, float, float]],
                    joints: Sequence[str]) -> Dict[str, float]:
    """Where each named joint under motion comes to rest when it brakes at its
    limits: its set point plus the braking distance."""
    targets: Dict[str, float] = {}
    for joint in joints:
        if joint not in set_points:
            continue
        position, velocity, _ = set_points[joint]
        _, max_acceleration, max_jerk = limits[joint]
        # v^2 / 2a, plus the distance covered while the deceleration builds up.
        distance = velocity * abs(velocity) / (2 * max_acceleration) + velocity * max_acceleration / (2 * max_jerk)
        targets[joint] = position + distance
    return targets


def main(argv: Optional[Sequence[str]] = None) -> int:
    from .ros2_env import ensure_ros_environment

    ensure_ros_environment()
    try:
        from . import ros2_torso
    except ImportError as e:
        print(f"quorvel-ros2: cannot import the ROS 2 packages ({e}); they come with "
              f"pip install 'quorvel_motor_controller[ros2]'", file=sys.stderr)
        return 1
    return ros2_torso.run(list(sys.argv[1:] if argv is None else argv))


if __name__ == "__main__":
    sys.exit(main())
