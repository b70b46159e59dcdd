"""Wire time in the simulator, statistics that cost O(1), log records from the
loop thread that never wait for the interpreter, and the real-time option."""

import logging
import os
import shutil
import subprocess
import sys
import time
from datetime import timedelta

import pytest
from waiting import eventually

quorvel_torso_sim = pytest.importorskip("quorvel_torso_sim")

LOOP_LOGGER = "quorvel_motor_controller.control_loop"
logging.getLogger(LOOP_LOGGER).setLevel(logging.INFO)  # before the bridge caches it


def test_wire_time_is_opt_in_and_paces_both_buses(qmc):
    # Lower bounds only: a busy machine can make things slower, never faster.
    serial_wire = (12 + 32 + 11 + 24) * 10e-6 + 7 * 20e-6  # two sync reads, bytes and servo latency
    can_wire = 6 * 135e-6  # three requests and three answers, one frame at a time on the bus
    with quorvel_torso_sim.TorsoSim(wire=True, servo_latency_us=20, can_turnaround_us=50) as sim:
        ctl = qmc.QuorvelMotorController(sim.serial_path, can_bus=sim.can_bus)
        for call, wire in ((ctl.read_all_positions, serial_wire), (ctl.read_neck_positions, can_wire)):
            fastest = min(_timed(call) for _ in range(5))
            assert fastest >= wire, call.__name__
        sim.set_servo_register(3, 7, 250)  # return delay 500 us
        assert min(_timed(ctl.read_all_positions) for _ in range(3)) >= serial_wire + 500e-6
        del ctl
    with quorvel_torso_sim.TorsoSim(wire=True, usb_latency_ms=4) as sim:
        ctl = qmc.QuorvelMotorController(sim.serial_path, can_bus=sim.can_bus)
        # Each sync read's replies wait for the adapter's 4 ms timer.
        assert sum(_timed(ctl.read_all_positions) for _ in range(10)) / 10 > 4e-3
        del ctl
    with pytest.raises(TypeError):
        quorvel_torso_sim.TorsoSim(False, None, 0.02, True)  # the wire options are keywords only
    with pytest.raises(ValueError):
        quorvel_torso_sim.TorsoSim(wire=True, usb_latency_ms=-1)


def _timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def test_command_keeps_wire_time_when_asked():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.Popen([sys.executable, "-m", "quorvel_tools.sim_cli", "--wire", "--usb-latency-ms", "1"],
                            stdout=subprocess.PIPE, text=True, env=env)
    try:
        assert proc.stdout.readline().startswith("quorvel torso simulator running with wire time")
    finally:
        proc.kill()
        proc.wait()


def test_statistics_are_shared_and_each_list_built_once(qmc, sim):
    loop = qmc.QuorvelPyControlLoop(sim.serial_path, timedelta(milliseconds=2), can_bus=sim.can_bus,
                                    stats_pub_period=timedelta(milliseconds=20))
    try:
        deadline = time.monotonic() + 10
        while len(loop.get_stats().read_dt) < 10 and time.monotonic() < deadline:
            time.sleep(0.01)
        stats = loop.get_stats()
        period = stats.period
        assert stats.period is period and stats.read_dt is stats.read_dt and stats.write_dt is stats.write_dt
        assert eventually(lambda: len(loop.get_stats().period) > len(period))  # later statistics have more
        assert stats.period is period and len(stats.period) == len(period)  # a snapshot, not a view
        mean = sum(period) / len(period) * 1000
        assert repr(stats).startswith(f"ControlLoopStats(period=~{mean:.2f}ms, read_dt=~")
    finally:
        loop.close()


class _Collect(logging.Handler):
    def __init__(self):
        super().__init__(logging.INFO)
        self.records = []

    def emit(self, record):
        self.records.append(record)


def test_loop_thread_records_reach_python_in_order_with_their_origin(qmc, sim):
    """The loop thread hands its records to the forwarding thread (it never
    waits for the interpreter lock: see the bindings' C++ tests); close()
    returns once they have reached Python."""
    handler = _Collect()
    logger = logging.getLogger(LOOP_LOGGER)
    logger.addHandler(handler)
    try:
        loop = qmc.QuorvelPyControlLoop(sim.serial_path, timedelta(milliseconds=2), can_bus=sim.can_bus)
        # The last servo of a sync read is silent for one read: that tick
        # times out and is retried 20 ms later, when it answers again.
        def nose_reads():
            return sum(len(e.bytes) > 7 and e.bytes[4] == 0x82 and 7 in e.bytes[7:-1] for e in sim.serial_log())

        sim.clear_logs()
        sim.set_servo_silent(7, True)
        assert eventually(lambda: nose_reads() >= 1)
        sim.set_servo_silent(7, False)
        assert eventually(lambda: nose_reads() >= 2)  # the retry (or a later tick) went out
        loop.close()
        recovered = [r for r in handler.records if r.getMessage().startswith("Serial I/O recovered after")]
    finally:
        logger.removeHandler(handler)
    assert recovered, [r.getMessage() for r in handler.records]
    assert all(r.levelno == logging.INFO and r.name == LOOP_LOGGER for r in recovered)
    assert recovered[0].pathname.endswith(".cpp") and recovered[0].lineno > 0
    assert [r.created for r in recovered] == sorted(r.created for r in recovered)


def test_realtime_priority_arguments(qmc, sim):
    args = (sim.serial_path, timedelta(milliseconds=10))
    for bad in (0, 100, -1, 10**30):
        with pytest.raises(ValueError, match="realtime_priority must be between 1 and 99"):
            qmc.QuorvelPyControlLoop(*args, can_bus=sim.can_bus, realtime_priority=bad)
    for wrong in (1.5, "50", True):
        with pytest.raises(TypeError, match="realtime_priority"):
            qmc.QuorvelPyControlLoop(*args, can_bus=sim.can_bus, realtime_priority=wrong)
    assert qmc.QuorvelPyControlLoop.__text_signature__ == (  # the described signature stays as it is
        "(serialport, read_position_loop_period, can_bus=..., allowed_retries=5, "
        "stats_pub_period=None, voltage_rampup_timeout=...)")


def test_realtime_priority_runs_the_loop_thread_under_sched_fifo(qmc, sim):
    before = set(os.listdir("/proc/self/task"))
    try:
        loop = qmc.QuorvelPyControlLoop(sim.serial_path, timedelta(milliseconds=10), can_bus=sim.can_bus,
                                        realtime_priority=20)
    except PermissionError as refused:
        pytest.skip(f"this user may not use SCHED_FIFO: {refused}")
    try:
        (loop_tid,) = set(os.listdir("/proc/self/task")) - before
        assert os.sched_getscheduler(int(loop_tid)) == os.SCHED_FIFO
        assert os.sched_getparam(int(loop_tid)).sched_priority == 20
        assert loop.get_last_position() is not None
    finally:
        loop.close()


@pytest.mark.skipif(shutil.which("setpriv") is None or shutil.which("prlimit") is None,
                    reason="needs setpriv and prlimit")
def test_a_refused_priority_raises_permission_error_before_any_bus_traffic(sim):
    # The simulator stays in this process, where its threads may run at
    # real-time priority; only the module runs without the right to.
    code = (
        "import os, sys, quorvel_motor_controller as q\n"
        "from datetime import timedelta\n"
        "serial_path, can_bus = sys.argv[1:3]\n"
        "before = len(os.listdir('/proc/self/task'))\n"
        "try:\n"
        "    q.QuorvelPyControlLoop(serial_path, timedelta(milliseconds=10), can_bus=can_bus, realtime_priority=50)\n"
        "except PermissionError as e:\n"
        "    print('refused:', e)\n"
        "assert len(os.listdir('/proc/self/task')) == before\n"
        "q.QuorvelMotorController(serial_path, can_bus=can_bus)  # the ports were released\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    sim.clear_logs()
    # Without CAP_SYS_NICE and with an rtprio limit of 0, SCHED_FIFO is refused even to root.
    done = subprocess.run(["setpriv", "--bounding-set=-sys_nice", "--inh-caps=-sys_nice", "prlimit", "--rtprio=0",
                           sys.executable, "-c", code, sim.serial_path, sim.can_bus],
                          capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "refused: cannot run the control loop thread at real-time priority 50 (SCHED_FIFO)" in done.stdout
    # Refused before start-up: not a byte on either bus until the direct controller (which sends nothing).
    assert sim.serial_log() == [] and sim.can_log() == []
    assert "rtprio" in done.stdout and "CAP_SYS_NICE" in done.stdout
