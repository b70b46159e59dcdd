#!/usr/bin/env bash
# Runs the whole test suite (scripts/test-all.sh) on a busy machine: N processes
# spin on the CPU meanwhile (default: twice the number of cores), and with
# --realtime one more spins under SCHED_FIFO priority 1, as a robot's other
# control software would. For use before a release; every test must pass.
#
#   bash scripts/stress-test.sh [--hogs N] [--realtime [--no-isolate]] [--runs K]
#
# The real-time hog is pinned to the last core, and that core is kept for it
# as a real-time host is set up: the tests run on the other cores and (where
# this user may) the kernel's unbound work queues are kept off it for the
# run. Without that, a thread woken on that core waits: an ordinary one (such
# as the kernel worker that hands a pseudo-terminal's or a USB adapter's bytes
# to the reader) until the hog is throttled, a real-time one (the simulator's
# servos) for the up to 50 ms each second in which real-time throttling holds
# every real-time thread on that core. --no-isolate shows that.
#
# Environment variables of test-all.sh (QMC_SKIP_VM=1, JOBS=...) apply.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

hogs=$(( 2 * $(nproc) ))
realtime=0
isolate=1
run_on=()
runs=1
while [ $# -gt 0 ]; do
    case "$1" in
        --hogs) hogs=$2; shift 2 ;;
        --realtime) realtime=1; shift ;;
        --no-isolate) isolate=0; shift ;;
        --runs) runs=$2; shift 2 ;;
        -h|--help) sed -n '2,18p' "$0"; exit 0 ;;
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
        if [ "$isolate" = 1 ] && [ "$rt_core" -gt 0 ]; then
            run_on=(taskset -c "0-$(( rt_core - 1 ))")
            echo "== stress: tests run on cores 0-$(( rt_core - 1 )), the real-time hog on core $rt_core"
            if [ -w "$workqueue_mask" ]; then
                saved_mask=$(cat "$workqueue_mask")
                # Every core but the last, as a hexadecimal mask.
                printf '%x\n' $(( (1 << rt_core) - 1 )) >"$workqueue_mask"
                echo "== stress: kernel work queues kept off core $rt_core (mask $(cat "$workqueue_mask"), was $saved_mask)"
            fi
        fi
    else
        echo "stress-test: SCHED_FIFO refused here (needs root or CAP_SYS_NICE); running without the real-time hog" >&2
    fi
fi
echo "== stress: $hogs CPU hogs$([ "$realtime" = 1 ] && echo ' + 1 real-time hog') on $(nproc) cores, $runs run(s)"

for run in $(seq "$runs"); do
    echo "== stress run $run of $runs"
    started=$(date +%s)
    "${run_on[@]}" bash scripts/test-all.sh
    echo "== stress run $run passed in $(( $(date +%s) - started )) s"
done
