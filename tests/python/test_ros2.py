"""quorvel-ros2 against a plain rclpy client, on the virtual torso.

The node runs in a process of its own; the client is this process. Both live
in a private network namespace (private_network.py): run outside one, this
file re-runs itself inside a fresh one, so no DDS packet leaves the machine.
"""

import importlib.util
import math
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import private_network

pytestmark = pytest.mark.skipif(importlib.util.find_spec("rclpy") is None and os.environ.get("QMC_REQUIRE_ROS2") != "1",
                                reason="needs the ros2 extra: pip install '.[ros2]'")

if os.environ.get(private_network.MARK) != "1":

    @pytest.mark.timeout(1200)
    def test_in_a_private_network():
        why = private_network.unavailable()
        if importlib.util.find_spec("rclpy") is None:
            why = why or "rclpy is not importable"
        if why and os.environ.get("QMC_REQUIRE_ROS2") == "1":
            pytest.fail(why)
        if why:
            pytest.skip(why)
        done = private_network.run([sys.executable, "-m", "pytest", __file__, "-q", "-p", "no:cacheprovider",
                                    "--timeout=300", "-rs"], capture_output=True, text=True, timeout=1100)
        print(done.stdout, done.stderr)
        assert done.returncode == 0

elif not private_network.in_private_network():

    def test_in_a_private_network():
        pytest.fail(f"not in a private network: interfaces {private_network.interfaces()}")

else:
    quorvel_torso_sim = pytest.importorskip("quorvel_torso_sim")

    import rclpy
    from builtin_interfaces.msg import Duration, Time
    from diagnostic_msgs.msg import DiagnosticArray, DiagnosticStatus
    from rclpy.executors import SingleThreadedExecutor
    from rclpy.qos import QoSProfile, ReliabilityPolicy
    from sensor_msgs.msg import JointState
    from std_srvs.srv import SetBool, Trigger
    from trajectory_msgs.msg import JointTrajectory, JointTrajectoryPoint

    from quorvel_motor_controller import NECK_JOINTS, SERVO_JOINTS
    from waiting import eventually

    JOINTS = list(SERVO_JOINTS) + list(NECK_JOINTS)
    PERIOD = 0.005
    NODE = "/quorvel_torso"

    class Client:
        """A plain rclpy node that records what the torso node publishes."""

        def __init__(self):
            self.context = rclpy.Context()
            rclpy.init(context=self.context)
            self.node = rclpy.create_node("test_client", context=self.context)
            self.lock = threading.Lock()
            self.states = []
            self.diagnostics = []
            qos = QoSProfile(depth=1000, reliability=ReliabilityPolicy.RELIABLE)
            self.node.create_subscription(JointState, "/joint_states", self._on_state, qos)
            self.node.create_subscription(DiagnosticArray, "/diagnostics", self._on_diagnostics, 10)
            self.trajectory = self.node.create_publisher(JointTrajectory, f"{NODE}/joint_trajectory", 10)
            self.target = self.node.create_publisher(JointState, f"{NODE}/target", 10)
            self.executor = SingleThreadedExecutor(context=self.context)
            self.executor.add_node(self.node)
            self.spinner = threading.Thread(target=self.executor.spin, daemon=True)
            self.spinner.start()

        def _on_state(self, msg):
            with self.lock:
                self.states.append((msg.header.stamp.sec + msg.header.stamp.nanosec * 1e-9, list(msg.name),
                                    list(msg.position), list(msg.velocity)))

        def _on_diagnostics(self, msg):
            with self.lock:
                self.diagnostics.append(msg)

        def last_state(self):
            with self.lock:
                return self.states[-1] if self.states else None

        def call(self, kind, name, request):
            client = self.node.create_client(kind, f"{NODE}/{name}")
            assert client.wait_for_service(timeout_sec=20)
            done = threading.Event()
            future = client.call_async(request)
            future.add_done_callback(lambda _: done.set())
            assert done.wait(30)
            self.node.destroy_client(client)
            return future.result()

        def set_bool(self, name, value):
            return self.call(SetBool, name, SetBool.Request(data=value))

        def trigger(self, name):
            return self.call(Trigger, name, Trigger.Request())

        def close(self):
            self.executor.shutdown(timeout_sec=2)
            self.node.destroy_node()
            rclpy.shutdown(context=self.context)

    @pytest.fixture
    def client():
        running = Client()
        yield running
        running.close()

    @pytest.fixture
    def start_node(sim, tmp_path):
        """start_node(*options) runs quorvel-ros2 on the virtual torso; the
        fixture stops it (SIGINT) and checks that it exited cleanly."""
        started = []

        def start(*options):
            log = open(tmp_path / "node.log", "w+")
            process = subprocess.Popen(
                [sys.executable, "-m", "quorvel_tools.ros2_node", "--serial-port", sim.serial_path,
                 "--can-bus", sim.can_bus, "--period", str(PERIOD), *options],
                stdout=log, stderr=subprocess.STDOUT)
            started.append((process, log))
            return process

        yield start
        for process, log in started:
            if process.poll() is None:
                process.send_signal(signal.SIGINT)
                process.wait(30)
            log.close()

    def node_log(tmp_path):
        return (tmp_path / "node.log").read_text()

    @pytest.fixture
    def torso(sim, client, start_node):
        """The node running, its joint states arriving, torque and neck on."""
        start_node()
        assert eventually(lambda: client.last_state() is not None, timeout=60)
        assert client.set_bool("enable_torque", True).success
        assert client.set_bool("enable_neck", True).success
        return client

    def trajectory(joints, points, times, stamp=None):
        msg = JointTrajectory()
        msg.joint_names = list(joints)
        if stamp is not None:
            msg.header.stamp = Time(sec=int(stamp), nanosec=int((stamp % 1) * 1e9))
        for positions, t in zip(points, times):
            msg.points.append(JointTrajectoryPoint(
                positions=list(positions), time_from_start=Duration(sec=int(t), nanosec=int(round((t % 1) * 1e9)))))
        return msg

    # ---- tests ---------------------------------------------------------------------------------

    def test_joint_states_every_reading_with_the_simulators_positions(sim, client, start_node):
        start_node()
        assert eventually(lambda: client.last_state() is not None, timeout=60)
        sim.set_servo_position(5, 0.25)
        assert eventually(lambda: abs(client.last_state()[2][4] - 0.25) < 1e-2)
        with client.lock:
            client.states.clear()
        time.sleep(2.0)
        with client.lock:
            states = list(client.states)
        assert states[0][1] == JOINTS
        stamps = [s[0] for s in states]
        assert all(b > a for a, b in zip(stamps, stamps[1:]))
        # The loop's schedule is fixed: about as many readings as periods in the span (a busy
        # machine may hold the loop up near the end, before it catches up; the bench counts exactly).
        assert len(stamps) - 1 >= 0.8 * (stamps[-1] - stamps[0]) / PERIOD
        assert states[-1][2][4] == pytest.approx(0.25, abs=1e-2)
        assert states[-1][2][7] == pytest.approx(sim.neck_state(0).position, abs=1e-3)

    def test_trajectory_moves_through_its_waypoints_at_their_times(sim, torso):
        sim.clear_set_point_history()
        start = time.time() + 0.3
        monotonic_start = time.monotonic() + 0.3
        torso.trajectory.publish(trajectory(["left_arm_pitch", "neck_yaw"], [[0.3, 0.2], [0.6, -0.1]],
                                            [1.0, 2.0], stamp=start))
        assert eventually(lambda: abs(sim.servo_position(1) - 0.6) < 0.01, timeout=20)
        time.sleep(max(0.0, monotonic_start + 2.2 - time.monotonic()))
        goals = sim.servo_goal_history(1)
        assert goals[0].time > monotonic_start - 0.05  # it waited for its stamp
        for waypoint, due in ((0.3, 1.0), (0.6, 2.0)):
            near = [g.goal for g in goals if abs(g.time - (monotonic_start + due)) < 0.1]
            assert min(abs(g - waypoint) for g in near) < 0.01
        assert eventually(lambda: abs(sim.neck_state(0).commanded_position + 0.1) < 0.01)

    def test_an_empty_trajectory_stops_the_named_joints(sim, torso):
        torso.trajectory.publish(trajectory(["nose_top"], [[1.5]], [6.0]))
        assert eventually(lambda: sim.servo_position(5) > 0.1, timeout=20)
        torso.trajectory.publish(trajectory(["nose_top"], [], []))
        assert eventually(lambda: abs(torso.last_state()[3][4]) < 1e-3, timeout=10)
        stopped = sim.servo_position(5)
        time.sleep(0.3)
        assert sim.servo_position(5) == pytest.approx(stopped, abs=1e-3)
        assert stopped < 1.2

    def test_a_target_stream_is_followed(sim, torso):
        for k in range(30):
            msg = JointState(name=["nose_left", "neck_pitch"], position=[0.01 * k, 0.01 * k])
            torso.target.publish(msg)
            time.sleep(1 / 30)
        assert eventually(lambda: abs(sim.servo_position(6) - 0.29) < 0.01, timeout=10)
        assert eventually(lambda: abs(sim.neck_state(1).commanded_position - 0.29) < 0.01)

    def test_a_refused_trajectory_moves_nothing(sim, torso, tmp_path):
        sim.clear_set_point_history()
        torso.trajectory.publish(trajectory(["left_arm_yaw"], [[2.5]], [0.05]))      # over the limits
        torso.trajectory.publish(trajectory(["elbow"], [[0.1]], [1.0]))            # unknown joint
        torso.trajectory.publish(trajectory(["nose_top"], [[0.1]], [1.0], stamp=time.time() - 5))  # all passed
        assert eventually(lambda: node_log(tmp_path).count("trajectory refused") == 3, timeout=10)
        assert "left_arm_yaw" in node_log(tmp_path) and "'elbow'" in node_log(tmp_path)
        time.sleep(0.2)
        assert sim.servo_goal_history(2) == [] and sim.servo_goal_history(5) == []

    def test_services_act_and_report_failures(sim, torso):
        assert sim.servo_torque(1) and sim.neck_state(0).enabled
        assert torso.trigger("stop").success
        assert torso.set_bool("enable_torque", False).success and not sim.servo_torque(1)
        assert torso.set_bool("enable_neck", False).success and not sim.neck_state(0).enabled
        # A neck motor a turn off zero gets no motion: homing reports it.
        sim.set_neck_position(1, 0.2 + 2 * math.pi)
        assert eventually(lambda: torso.last_state()[2][8] > 6.0)
        refused = torso.trigger("neck_home")
        assert not refused.success and "neck_pitch" in refused.message
        sim.set_neck_position(1, 0.2)
        assert eventually(lambda: torso.last_state()[2][8] < 1.0)
        home = torso.trigger("neck_home")
        assert home.success, home.message
        assert sim.neck_state(1).enabled and abs(sim.neck_state(1).position) < 0.01


    def test_diagnostics_name_a_silent_servo(sim, client, start_node):
        start_node()
        assert eventually(lambda: client.last_state() is not None, timeout=60)  # started: all answered
        sim.set_servo_silent(6, True)

        def latest():
            with client.lock:
                return client.diagnostics[-1] if client.diagnostics else None

        def silent_reported():
            array = latest()
            return array is not None and any(
                "nose_left" in s.name and s.level == DiagnosticStatus.ERROR for s in array.status)

        assert eventually(silent_reported, timeout=30)
        statuses = {s.name.split(": ")[1]: s for s in latest().status}
        assert "servo 6 nose_left does not answer" in statuses["nose_left"].message
        assert all(statuses[j].level == DiagnosticStatus.OK for j in JOINTS if j != "nose_left")
        assert set(statuses) == set(JOINTS) | {"control_loop"}

    def test_sigint_exits_cleanly(sim, client, start_node):
        process = start_node()
        assert eventually(lambda: client.last_state() is not None, timeout=60)
        process.send_signal(signal.SIGINT)
        assert process.wait(30) == 0
        with client.lock:
            count = len(client.states)
        time.sleep(0.2)
        assert len(client.states) == count  # nothing published after the exit
