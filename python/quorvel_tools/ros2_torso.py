"""The ROS 2 side of quorvel-ros2 (imported once the ROS environment is set:
see ros2_env). One QuorvelPyControlLoop; its readings are published from a
thread of their own that waits on the loop (wait_for_position), so every
reading is published once, as soon as it is taken, whatever the executor is
doing; the executor serves the trajectory and target topics and the services;
a third thread publishes the diagnostics once a second.
"""

from __future__ import annotations

import signal
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Sequence

import rclpy
from builtin_interfaces.msg import Time
from diagnostic_msgs.msg import DiagnosticArray, DiagnosticStatus, KeyValue
from rclpy.callback_groups import MutuallyExclusiveCallbackGroup
from rclpy.executors import MultiThreadedExecutor
from rclpy.node import Node
from rclpy.qos import QoSProfile, ReliabilityPolicy
from rclpy.signals import SignalHandlerOptions
from rclpy.utilities import remove_ros_args
from sensor_msgs.msg import JointState
from std_srvs.srv import SetBool, Trigger
from trajectory_msgs.msg import JointTrajectory

from quorvel_motor_controller import NECK_JOINTS, SERVO_JOINTS, QuorvelPyControlLoop

from . import ros2_diagnostics as diag
from .ros2_node import (NODE_NAME, Refused, Settings, braking_targets, check_settings, loop_kwargs, parse_settings,
                        trajectory_times)

JOINTS = tuple(SERVO_JOINTS) + tuple(NECK_JOINTS)
CLOSED = "channel closed"
# How long a reading wait lasts before the thread looks at the stop flag.
READING_WAIT = 0.1
DIAGNOSTICS_PERIOD = 1.0
# How long a switch service waits for the loop to show the new state.
SWITCH_WAIT = 1.0
NECK_HOME_WAIT = 15.0
LEVEL_BYTES = {diag.OK_LEVEL: DiagnosticStatus.OK, diag.WARN_LEVEL: DiagnosticStatus.WARN,
               diag.ERROR_LEVEL: DiagnosticStatus.ERROR}


def _stamp(seconds: float) -> Time:
    whole = int(seconds)
    return Time(sec=whole, nanosec=min(999_999_999, int(round((seconds - whole) * 1e9))))


def _seconds(t: Any) -> float:
    return float(t.sec) + float(t.nanosec) * 1e-9


class TorsoNode:
    def __init__(self, node: Node, loop: QuorvelPyControlLoop, settings: Settings, has_servos: bool) -> None:
        self.node = node
        self.loop = loop
        self.settings = settings
        self.has_servos = has_servos
        self.log = node.get_logger()
        self.names = [settings.joint_prefix + j for j in JOINTS]
        self._joint_of = {settings.joint_prefix + j: j for j in JOINTS}
        self.stopping = threading.Event()
        self._counts_lock = threading.Lock()
        self._readings = 0
        self._failed_reads = 0
        self._pending: Optional[threading.Timer] = None
        self._pending_lock = threading.Lock()

        reliable = QoSProfile(depth=100, reliability=ReliabilityPolicy.RELIABLE)
        self.joint_states = node.create_publisher(JointState, "joint_states", reliable)
        self.diagnostics = node.create_publisher(DiagnosticArray, "/diagnostics", 10)
        node.create_subscription(JointTrajectory, "~/joint_trajectory", self._on_trajectory, 10)
        node.create_subscription(JointState, "~/target", self._on_target, 10)
        node.create_service(SetBool, "~/enable_torque", self._service(self._enable_torque))
        node.create_service(SetBool, "~/enable_neck", self._service(self._enable_neck))
        node.create_service(Trigger, "~/stop", self._service(self._stop))
        # Homing waits for the motion: in a group of its own, so the others stay served.
        node.create_service(Trigger, "~/neck_home", self._service(self._neck_home),
                            callback_group=MutuallyExclusiveCallbackGroup())

        self._threads = [threading.Thread(target=self._publish_readings, name="joint_states", daemon=True),
                         threading.Thread(target=self._publish_diagnostics, name="diagnostics", daemon=True)]
        for t in self._threads:
            t.start()

    # ---- joint_states ----------------------------------------------------------------------

    def _publish_readings(self) -> None:
        msg = JointState()
        msg.name = list(self.names)
        after: Optional[float] = None
        previous: Optional[List[float]] = None
        previous_time = 0.0
        count = 0
        every = self.settings.publish_every
        while not self.stopping.is_set():
            try:
                reading = self.loop.wait_for_position(after=after, timeout=READING_WAIT)
            except RuntimeError as e:
                if str(e) == CLOSED:
                    return
                with self._counts_lock:
                    self._failed_reads += 1
                after, previous = None, None  # the failed reading carries no time stamp
                continue
            if reading is None:
                continue
            after = stamp = reading.timestamp
            with self._counts_lock:
                self._readings += 1
            positions = reading.left_arm + reading.right_arm + reading.nose + reading.neck
            count += 1
            if count % every == 0:
                msg.header.stamp = _stamp(stamp)
                msg.position = positions
                msg.velocity = self._velocities(positions, previous, stamp - previous_time)
                self.joint_states.publish(msg)
            previous, previous_time = positions, stamp

    def _velocities(self, positions: List[float], previous: Optional[List[float]], dt: float) -> List[float]:
        """The motion's set point velocity of a joint under motion, otherwise
        the measured difference from the previous reading."""
        if previous is not None and dt > 0:
            velocities = [(p - q) / dt for p, q in zip(positions, previous)]
        else:
            velocities = [0.0] * len(positions)
        state = self.loop.motion_state()
        if state.active:
            for joint, (_, velocity, _) in state.set_points.items():
                velocities[JOINTS.index(joint)] = velocity
        return velocities

    # ---- trajectories and targets ----------------------------------------------------------

    def _joints(self, names: Sequence[str]) -> List[str]:
        joints = []
        for name in names:
            if name not in self._joint_of:
                raise Refused(f"unknown joint '{name}' (known: {', '.join(self.names)})")
            joints.append(self._joint_of[name])
        if len(set(joints)) != len(joints):
            raise Refused("a joint is named twice")
        return joints

    def _cancel_pending(self) -> None:
        with self._pending_lock:
            if self._pending is not None:
                self._pending.cancel()
                self._pending = None

    def _on_trajectory(self, msg: JointTrajectory) -> None:
        try:
            self._cancel_pending()
            joints = self._joints(msg.joint_names)
            if not msg.points:
                self._stop_joints(joints)
                return
            n = len(joints)
            points = [list(p.positions) for p in msg.points]
            if any(len(p) != n for p in points):
                raise Refused(f"every point must hold {n} positions, one per named joint")
            with_velocities = [len(p.velocities) > 0 for p in msg.points]
            velocities: Optional[List[List[float]]] = None
            if any(with_velocities):
                if not all(with_velocities) or any(len(p.velocities) != n for p in msg.points):
                    raise Refused(f"velocities must be given for every point, {n} each, or for none")
                velocities = [list(p.velocities) for p in msg.points]
            times = [_seconds(p.time_from_start) for p in msg.points]
            if any(b <= a for a, b in zip(times, times[1:])):
                raise Refused("time_from_start must increase from point to point")
            stamp = _seconds(msg.header.stamp)
            delay = stamp - time.time() if stamp != 0.0 else 0.0
            if delay > 0.0:
                # Starts at its stamp: the times then count from there.
                timer = threading.Timer(delay, self._follow_logged, (joints, points, times, velocities, stamp))
                timer.daemon = True
                with self._pending_lock:
                    self._pending = timer
                timer.start()
                return
            self._follow(joints, points, times, velocities, stamp)
        except (Refused, ValueError, RuntimeError, TypeError) as e:
            self.log.error(f"trajectory refused: {e}")

    def _follow_logged(self, *args: Any) -> None:
        try:
            self._follow(*args)
        except (Refused, ValueError, RuntimeError, TypeError) as e:
            self.log.error(f"trajectory refused: {e}")

    def _follow(self, joints: List[str], points: List[List[float]], times: List[float],
                velocities: Optional[List[List[float]]], stamp: float) -> None:
        first, due = trajectory_times(stamp, time.time(), times)
        self.loop.follow_trajectory(joints, points[first:], due,
                                    velocities[first:] if velocities is not None else None)

    def _stop_joints(self, joints: List[str]) -> None:
        """Brings the named joints to rest smoothly: all of them when every
        joint under motion is named, otherwise each named one to where it
        comes to rest braking at its limits."""
        state = self.loop.motion_state()
        moving = set(state.set_points)
        if not moving & set(joints):
            return
        if moving <= set(joints):
            self.loop.stop_motion()
            return
        self.loop.move_to(braking_targets(state.set_points, self.loop.motion_limits(), joints))

    def _on_target(self, msg: JointState) -> None:
        try:
            joints = self._joints(msg.name)
            if len(msg.position) != len(joints):
                raise Refused(f"a target needs one position per name ({len(joints)}), got {len(msg.position)}")
            self.loop.move_to(dict(zip(joints, msg.position)))
        except (Refused, ValueError, RuntimeError, TypeError) as e:
            self.log.error(f"target refused: {e}", throttle_duration_sec=1.0)

    # ---- services --------------------------------------------------------------------------

    def _service(self, act: Callable[[Any], Optional[str]]) -> Callable[[Any, Any], Any]:
        """A service answering success, or failure with the error's text."""

        def serve(request: Any, response: Any) -> Any:
            try:
                message = act(request)
                response.success = True
                response.message = message or ""
            except (RuntimeError, ValueError, Refused) as e:
                response.success = False
                response.message = str(e)
                self.log.error(f"service failed: {e}")
            return response

        return serve

    def _wait_for(self, condition: Callable[[], bool], timeout: float) -> bool:
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() >= deadline or self.stopping.is_set():
                return condition()
            time.sleep(0.01)
        return True

    def _enable_torque(self, request: Any) -> str:
        on = bool(request.data)
        (self.loop.enable_torque if on else self.loop.disable_torque)()
        if not self._wait_for(lambda: self.loop.is_torque_enabled() == on, SWITCH_WAIT):
            raise RuntimeError(f"torque is still {'off' if on else 'on'} after {SWITCH_WAIT:g} s: "
                               f"see /diagnostics for the servos that do not answer")
        return f"torque {'on' if on else 'off'}"

    def _enable_neck(self, request: Any) -> str:
        on = bool(request.data)
        self.loop.enable_neck(on)
        statuses = self.loop.async_read_neck_status()  # runs after the switch: the queue keeps order
        off = [s.name for s in statuses if s.enabled != on]
        if off:
            raise RuntimeError(f"{', '.join(off)} still {'disabled' if on else 'enabled'}")
        return f"neck {'enabled' if on else 'disabled'}"

    def _neck_home(self, request: Any) -> str:
        self.loop.enable_neck(True)
        self.loop.move_to({j: 0.0 for j in NECK_JOINTS})
        if not self.loop.wait_motion(NECK_HOME_WAIT):
            raise RuntimeError(f"the neck did not reach zero within {NECK_HOME_WAIT:g} s")
        return "neck at zero"

    def _stop(self, request: Any) -> str:
        self._cancel_pending()
        self.loop.stop_motion()
        return "stopping"

    # ---- diagnostics -----------------------------------------------------------------------

    def _publish_diagnostics(self) -> None:
        next_due = time.monotonic()
        while not self.stopping.wait(max(0.0, next_due - time.monotonic())):
            next_due += DIAGNOSTICS_PERIOD
            try:
                statuses = self.statuses()
            except RuntimeError as e:  # the loop closing under a status read
                if self.stopping.is_set() or str(e) == CLOSED:
                    return
                self.log.error(f"diagnostics: {e}", throttle_duration_sec=10.0)
                continue
            if self.stopping.is_set():
                return
            array = DiagnosticArray()
            array.header.stamp = self.node.get_clock().now().to_msg()
            array.status = [self._status_message(s) for s in statuses]
            self.diagnostics.publish(array)

    def statuses(self) -> List[diag.Status]:
        with self._counts_lock:
            readings, failed = self._readings, self._failed_reads
            self._readings = self._failed_reads = 0
        stats = self.loop.get_stats()
        ticks = max(1, round(DIAGNOSTICS_PERIOD / self.settings.period))
        periods = stats.period[-ticks:] if stats is not None else []
        motors = (diag.servo_statuses(self.loop) if self.has_servos else []) + diag.neck_statuses(self.loop)
        return motors + [diag.loop_status(periods, self.settings.period, readings, failed)]

    def _status_message(self, s: diag.Status) -> DiagnosticStatus:
        m = DiagnosticStatus()
        m.level = LEVEL_BYTES[s.level]
        m.name = f"{self.node.get_name()}: {self.settings.joint_prefix}{s.name}"
        m.hardware_id = s.hardware_id
        m.message = s.message
        m.values = [KeyValue(key=k, value=v) for k, v in s.values.items()]
        return m

    # ---- shutdown --------------------------------------------------------------------------

    def stop(self, deadline: float) -> None:
        """Ends the motion and the node's threads (by `deadline`, monotonic)."""
        self.stopping.set()
        self._cancel_pending()
        try:
            self.loop.stop_motion()
        except RuntimeError:
            pass
        for t in self._threads:
            t.join(max(0.0, deadline - time.monotonic()))


class _Signals:
    """SIGINT and SIGTERM set a flag that the main thread looks at."""

    def __init__(self) -> None:
        self.received: Optional[int] = None
        self._previous = {s: signal.signal(s, self._handle) for s in (signal.SIGINT, signal.SIGTERM)}

    def _handle(self, signum: int, frame: Any) -> None:
        first = self.received is None
        self.received = signum
        if first:  # ends a start-up wait; a second signal must not cut the shutdown short
            raise KeyboardInterrupt

    def restore(self) -> None:
        for s, handler in self._previous.items():
            signal.signal(s, handler)


def _parameters(node: Node, settings: Settings) -> Settings:
    """The ROS parameters, their defaults from the command line."""
    declared = {
        "serial_port": settings.serial_port or "",
        "can_bus": settings.can_bus,
        "period": float(settings.period),
        "sim": bool(settings.sim),
        "publish_every": int(settings.publish_every),
        "joint_prefix": settings.joint_prefix,
        "record": settings.record or "",
    }
    values: Dict[str, Any] = {name: node.declare_parameter(name, default).value for name, default in declared.items()}
    return Settings(values["serial_port"] or None, values["can_bus"], float(values["period"]), bool(values["sim"]),
                    int(values["publish_every"]), values["joint_prefix"], values["record"] or None)


def run(argv: List[str]) -> int:
    own_args = remove_ros_args(["quorvel-ros2"] + argv)[1:]
    settings = parse_settings(own_args)
    signals = _Signals()
    sim = loop = node = torso = None
    executor: Optional[MultiThreadedExecutor] = None
    spinner: Optional[threading.Thread] = None
    try:
        rclpy.init(args=["quorvel-ros2"] + argv, signal_handler_options=SignalHandlerOptions.NO)
        node = Node(NODE_NAME)
        settings = _parameters(node, settings)
        problem = check_settings(settings)
        if problem:
            node.get_logger().error(problem)
            return 2
        serial, can = settings.serial_port, settings.can_bus
        if settings.sim:
            from quorvel_torso_sim import TorsoSim

            sim = TorsoSim()
            serial, can = sim.serial_path, sim.can_bus
        loop = QuorvelPyControlLoop(**loop_kwargs(settings, serial, can))
        torso = TorsoNode(node, loop, settings, has_servos=serial is not None)
        executor = MultiThreadedExecutor(num_threads=2)
        executor.add_node(node)
        spinner = threading.Thread(target=executor.spin, name="executor", daemon=True)
        spinner.start()
        node.get_logger().info(
            f"driving the {'simulated ' if sim else ''}torso ({serial or 'no servos'}, {can}) "
            f"every {settings.period * 1e3:g} ms")
        while signals.received is None:
            time.sleep(0.2)
    except KeyboardInterrupt:
        pass
    except RuntimeError as e:
        if node is not None:
            node.get_logger().error(str(e))
        else:
            print(f"quorvel-ros2: {e}")
        return 1
    finally:
        # Everything below is bounded: the whole shutdown takes well under a second.
        deadline = time.monotonic() + 0.6
        if torso is not None:
            torso.stop(deadline)
        if executor is not None:
            executor.shutdown(timeout_sec=max(0.0, deadline - time.monotonic()))
        if spinner is not None:
            spinner.join(max(0.0, deadline - time.monotonic()))
        if loop is not None:
            loop.close()
        if node is not None:
            node.destroy_node()
        if rclpy.ok():
            rclpy.shutdown()
        if sim is not None:
            sim.close()
        signals.restore()
    return 0
