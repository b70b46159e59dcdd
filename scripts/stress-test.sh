#!/usr/bin/env bash
# Runs the whole test suite (scripts/test-all.sh) on a busy machine: N processes
# spin on the CPU meanwhile (default: twice the number of cores), and with
# --realtime one more spins under SCHED_FIFO priority 1, as a robot's other
# control software would. For use before a release; every test must pass.
#
#   bash scripts/stress-test.sh [--hogs N] [--realtime [--no-isolate]] [--runs K]
#
# The real-time hog is pinned to the last core, and (where this user may)
# the kernel's unbound work queues are kept off that core for the run, as a
# real-time host is set up: a pseudo-terminal's (or a USB adapter's) bytes
# are handed over by such a kernel worker at ordinary priority, and on a core
# that a real-time task never leaves it waits for the 50 ms that real-time
# throttling gives back each second. --no-isolate leaves the work queues
# where they are, to see that.
#
# Environment variables of test-all.sh (QMC_SKIP_VM=1, JOBS=...) apply.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

hogs=$(( 2 * $(nproc) ))
realtime=0
isolate=1
runs=1
while [ $# -gt 0 ]; do
    case "$1" in
        --hogs) hogs=$2; shift 2 ;;
        --realtime) realtime=1; shift ;;
        --no-isolate) isolate=0; shift ;;
        --runs) runs=$2; shift 2 ;;
        -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
        *) echo "stress-test: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
done

pids=()
workqueue_mask=/sys/devices/virtual/workqueue/cpumask
saved_mask=
stop_hogs() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait "${pids[@]}" 2>/dev/null || true
    if [ -n "$saved_mask" ]; then echo "$saved_mask" >"$workqueue_mask" || true; fi
}
trap stop_hogs EXIT

for _ in $(seq "$hogs"); do
    (while :; do :; done) &
    pids+=($!)
done
if [ "$realtime" = 1 ]; then
    if command -v chrt >/dev/null && chrt -f 1 true 2>/dev/null; then
        rt_core=$(( $(nproc) - 1 ))
        taskset -c "$rt_core" chrt -f 1 bash -c 'while :; do :; done' &
        pids+=($!)
        if [ "$isolate" = 1 ] && [ "$(nproc)" -gt 1 ] && [ -w "$workqueue_mask" ]; then
            saved_mask=$(cat "$workqueue_mask")
            # Every core but the last, as a hexadecimal mask.
            printf '%x\n' $(( (1 << rt_core) - 1 )) >"$workqueue_mask"
            echo "== stress: kernel work queues kept off core $rt_core (mask $(cat "$workqueue_mask"), was $saved_mask)"
        fi
    else
        echo "stress-test: SCHED_FIFO refused here (needs root or CAP_SYS_NICE); running without the real-time hog" >&2
    fi
fi
echo "== stress: $hogs CPU hogs$([ "$realtime" = 1 ] && echo ' + 1 real-time hog') on $(nproc) cores, $runs run(s)"

for run in $(seq "$runs"); do
    echo "== stress run $run of $runs"
    started=$(date +%s)
    bash scripts/test-all.sh
    echo "== stress run $run passed in $(( $(date +%s) - started )) s"
done
