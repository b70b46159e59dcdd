"""quorvel-ros2 on the virtual torso at a 2 ms period, seen by a plain rclpy client.

Measures, with the node in one process and the client in this one:
  - joint_states over a span (60 s by default): readings published exactly
    once (the loop's schedule is fixed, so the stamps' span says how many
    readings there were: none missing, none twice);
  - latency from a reading's time stamp to its arrival in the client (p50, p99, max);
  - a trajectory's waypoints against the set points the simulator received:
    when each was crossed, against its time, in ticks;
  - the node's CPU (the whole process and its busiest threads) at 500 readings/s.

DDS discovery would multicast on every interface: run outside a private
network namespace, the script re-runs itself inside a fresh one (unshare
--net, as root, loopback up, discovery on this host, a random domain id).

    python bench/ros2_bench.py [--seconds 60] [--period 0.002]
"""

import argparse
import os
import random
import signal
import subprocess
import sys
import threading
import time

MARK = "QMC_PRIVATE_NETWORK"


def interfaces():
    with open("/proc/self/net/dev") as f:
        return sorted(line.split(":", 1)[0].strip() for line in f.read().splitlines()[2:])


def rerun_in_private_network():
    env = dict(os.environ, ROS_AUTOMATIC_DISCOVERY_RANGE="LOCALHOST", ROS_DOMAIN_ID=str(random.randint(1, 100)))
    env[MARK] = "1"
    argv = [sys.executable, *sys.argv]
    os.execvpe("unshare", ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$@"', "sh", *argv], env)


def percentile(ordered, q):
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def cpu_seconds(pid, tid=None):
    path = f"/proc/{pid}/stat" if tid is None else f"/proc/{pid}/task/{tid}/stat"
    with open(path) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def thread_times(pid):
    times = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            times[tid] = (name, cpu_seconds(pid, tid))
        except OSError:
            pass
    return times


def crossing_time(history, value, value_of):
    """When the set points first crossed `value` going up (linear between two entries)."""
    for a, b in zip(history, history[1:]):
        va, vb = value_of(a), value_of(b)
        if va <= value <= vb:
            return a.time if vb == va else a.time + (value - va) / (vb - va) * (b.time - a.time)
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--period", type=float, default=0.002)
    args = parser.parse_args()
    if os.environ.get(MARK) != "1":
        rerun_in_private_network()
    assert interfaces() == ["lo"], f"not in a private network namespace: {interfaces()}"

    from quorvel_tools.ros2_env import ensure_ros_environment

    ensure_ros_environment()
    import rclpy
    from builtin_interfaces.msg import Duration, Time
    from rclpy.executors import SingleThreadedExecutor
    from rclpy.qos import QoSProfile, ReliabilityPolicy
    from sensor_msgs.msg import JointState
    from std_srvs.srv import SetBool
    from trajectory_msgs.msg import JointTrajectory, JointTrajectoryPoint

    from quorvel_torso_sim import TorsoSim

    period = args.period
    with TorsoSim() as sim:
        node = subprocess.Popen([sys.executable, "-m", "quorvel_tools.ros2_node", "--serial-port", sim.serial_path,
                                 "--can-bus", sim.can_bus, "--period", str(period)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        rclpy.init()
        client = rclpy.create_node("ros2_bench")
        arrivals = []
        lock = threading.Lock()

        def on_state(msg):
            now = time.time()
            with lock:
                arrivals.append((msg.header.stamp.sec + msg.header.stamp.nanosec * 1e-9, now))

        client.create_subscription(JointState, "/joint_states", on_state,
                                   QoSProfile(depth=1000, reliability=ReliabilityPolicy.RELIABLE))
        trajectories = client.create_publisher(JointTrajectory, "/quorvel_torso/joint_trajectory", 10)
        executor = SingleThreadedExecutor()
        executor.add_node(client)
        threading.Thread(target=executor.spin, daemon=True).start()
        while not arrivals:
            time.sleep(0.05)
        torque = client.create_client(SetBool, "/quorvel_torso/enable_torque")
        neck = client.create_client(SetBool, "/quorvel_torso/enable_neck")
        for service in (torque, neck):
            service.wait_for_service(timeout_sec=20)
            future = service.call_async(SetBool.Request(data=True))
            while not future.done():
                time.sleep(0.01)
        time.sleep(1.0)  # past the start-up

        # ---- joint_states and CPU over the span ----
        with lock:
            arrivals.clear()
        cpu0, threads0, wall0 = cpu_seconds(node.pid), thread_times(node.pid), time.monotonic()
        time.sleep(args.seconds)
        cpu1, threads1, wall1 = cpu_seconds(node.pid), thread_times(node.pid), time.monotonic()
        with lock:
            got = list(arrivals)
        stamps = [s for s, _ in got]
        duplicates = len(stamps) - len(set(stamps))
        expected = round((stamps[-1] - stamps[0]) / period) + 1
        intervals = [b - a for a, b in zip(stamps, stamps[1:])]
        latencies = sorted(arrival - stamp for stamp, arrival in got)
        print(f"joint_states over {args.seconds:g} s at {period * 1e3:g} ms: {len(stamps)} received, "
              f"{expected} readings by the schedule ({expected - len(stamps):+d} missing), {duplicates} duplicates, "
              f"out of order {sum(1 for i in intervals if i <= 0)}, longest interval {max(intervals) * 1e3:.2f} ms")
        print(f"stamp to arrival: p50 {percentile(latencies, 0.5) * 1e3:.3f} ms, "
              f"p99 {percentile(latencies, 0.99) * 1e3:.3f} ms, max {latencies[-1] * 1e3:.3f} ms")
        span = wall1 - wall0
        print(f"node CPU: {(cpu1 - cpu0) / span * 100:.1f} % of one core "
              f"({len(stamps) / span:.0f} readings/s published)")
        busiest = sorted(((t1 - threads0.get(tid, (name, 0.0))[1], name) for tid, (name, t1) in threads1.items()),
                         reverse=True)[:4]
        print("  busiest threads: " + ", ".join(f"{name} {cpu / span * 100:.1f} %" for cpu, name in busiest))

        # ---- a trajectory against the simulator's set points ----
        sim.clear_set_point_history()
        offset = time.time() - time.monotonic()
        start = time.time() + 0.5
        # (time, left_arm_pitch, neck_yaw): rising through each waypoint, at rest at the last.
        points = [(1.0, 0.4, 0.2), (1.6, 0.9, 0.35), (2.0, 1.1, 0.42), (2.6, 1.2, 0.45)]
        msg = JointTrajectory(joint_names=["left_arm_pitch", "neck_yaw"])
        msg.header.stamp = Time(sec=int(start), nanosec=int((start % 1) * 1e9))
        for t, arm, yaw in points:
            msg.points.append(JointTrajectoryPoint(positions=[arm, yaw],
                                                   time_from_start=Duration(sec=int(t), nanosec=int((t % 1) * 1e9))))
        trajectories.publish(msg)
        time.sleep(0.5 + points[-1][0] + 1.0)
        arm, yaw = sim.servo_goal_history(1), sim.neck_command_history(0)
        print("trajectory waypoints passed on the way (when the set points that the simulator received crossed "
              "the waypoint, minus its time, in ticks; servo goals are whole steps of 1.5 mrad):")
        for t, arm_value, yaw_value in points[:-1]:
            due = start + t - offset
            errors = []
            for label, history, value, value_of in (("left_arm_pitch", arm, arm_value, lambda g: g.goal),
                                                    ("neck_yaw", yaw, yaw_value, lambda c: c.position)):
                crossed = crossing_time(history, value, value_of)
                errors.append(f"{label} {'never' if crossed is None else f'{(crossed - due) / period:+.2f}'}")
            print(f"  t={t:g} s: " + ", ".join(errors))
        stop_started = time.monotonic()
        node.send_signal(signal.SIGINT)
        code = node.wait(30)
        print(f"SIGINT: exit status {code} after {(time.monotonic() - stop_started) * 1e3:.0f} ms")
        executor.shutdown(timeout_sec=2)
        client.destroy_node()
        rclpy.shutdown()


if __name__ == "__main__":
    main()
