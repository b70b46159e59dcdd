"""Recording a 2 ms loop with motion on all joints, on the wire-time virtual torso.

Two runs of the same length, with motion streamed to all ten joints: the loop
alone, then the loop recording to an MCAP file. Prints per run the late ticks
(started more than half a period after their due time), and for the recording
run the dropped records, the writer thread's CPU (share of one core) and the
file size, also scaled to 10 minutes. The loop thread's own cost of recording
a tick is measured by flight_recorder_bench (C++).

    python bench/recording_bench.py [seconds per run, default 60] [both|without|with]

The loop keeps its latest 100 000 periods (200 s at 2 ms): over a longer run
the late ticks without recording are counted over that last window, taking the
least late tick in it as on time; the recording counts its late ticks itself,
over the whole run.
"""

import itertools
import os
import random
import sys
import tempfile
import threading
import time
from datetime import timedelta

import quorvel_motor_controller as qmc
import quorvel_torso_sim

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from wire_bench_parts import late_ticks  # noqa: E402

from quorvel_tools import report  # noqa: E402

PERIOD_S = 0.002
STATS_KEPT = 100_000  # periods a loop keeps
NECK_BOUNDS = {"neck_yaw": (-0.5, 0.5), "neck_pitch": (0.0, 0.45), "neck_roll": (-0.4, 0.4)}


def late_in(periods):
    """Late ticks among the periods a loop kept (see the module's docstring)."""
    if len(periods) < STATS_KEPT:
        return late_ticks(periods, PERIOD_S)
    offsets = [start - k * PERIOD_S for k, start in enumerate(itertools.accumulate(periods))]
    on_time = min(offsets)
    return sum(1 for o in offsets if o - on_time > PERIOD_S / 2)


def thread_cpu_s(native_id):
    with open(f"/proc/self/task/{native_id}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run(seconds, record):
    with quorvel_torso_sim.TorsoSim(wire=True) as sim:
        loop = qmc.QuorvelPyControlLoop(sim.serial_path, timedelta(seconds=PERIOD_S), can_bus=sim.can_bus,
                                        stats_pub_period=timedelta(milliseconds=200))
        try:
            loop.enable_torque()
            loop.enable_neck(True)
            time.sleep(0.5)
            if record:
                loop.start_recording(record)
            writer = next((t for t in threading.enumerate() if t.name == "quorvel-recorder"), None)
            cpu0 = thread_cpu_s(writer.native_id) if writer else 0.0
            stop = threading.Event()
            rng = random.Random(1)

            def stream():
                while not stop.is_set():
                    target = {name: rng.uniform(-1.0, 1.0) for name in qmc.SERVO_JOINTS}
                    target.update({name: rng.uniform(lo, hi) for name, (lo, hi) in NECK_BOUNDS.items()})
                    loop.move_to(target)
                    time.sleep(1 / 30)

            streamer = threading.Thread(target=stream)
            streamer.start()
            started = time.monotonic()
            time.sleep(seconds)
            stop.set()
            streamer.join()
            cpu = thread_cpu_s(writer.native_id) - cpu0 if writer else 0.0
            wall = time.monotonic() - started
            stats = loop.get_stats()
        finally:
            loop.close()
    periods = list(stats.period) if stats else []
    return late_in(periods), len(periods), cpu / wall


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    which = sys.argv[2] if len(sys.argv) > 2 else "both"
    if which in ("both", "without"):
        late, ticks, _ = run(seconds, None)
        print(f"without recording: late {late} of the last {ticks} ticks", flush=True)
    if which in ("both", "with"):
        path = os.path.join(tempfile.mkdtemp(), "bench.mcap")
        late_r, ticks_r, writer_share = run(seconds, path)
        size = os.path.getsize(path)
        print(f"with recording:    late {late_r} of the last {ticks_r} ticks", flush=True)
        print(f"writer thread: {100 * writer_share:.1f} % of one core; file {size / 1e6:.2f} MB "
              f"({size / 1e6 * 600 / seconds:.1f} MB per 10 minutes)", flush=True)
        s = report.summary(report.load(path))
        print(f"recorded: {s['ticks']} ticks ({s['ticks_missing']} missing, in order: {s['ticks_in_order']}), "
              f"late {s['late_ticks']}, dropped records {s['dropped_records']}", flush=True)


if __name__ == "__main__":
    main()
