"""Exits and forks, many times each: how often a program aborts at exit while
the module is busy, how long exit waits, and how long a forked child takes
to exit.

Runs each scenario of tests/python/exit_scenarios.py (50 times by default)
in a fresh interpreter with its own virtual torso, and prints one line per
scenario: aborts, other failures, and the exit time's median and maximum.

    PYTHONPATH=<build>/bindings:<build>/sim/python python bench/exit_bench.py [runs] [scenario ...]
"""

import os
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

from exit_scenarios import EXIT_SCENARIOS, FORK_SCENARIOS, fork_program, run_program  # noqa: E402


def fork_failed(outcome) -> bool:
    ok = outcome.returncode == 0 and "child refused: control loop belongs to the parent process" in outcome.stdout
    return not ok


def main() -> None:
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 50
    chosen = set(sys.argv[2:])
    programs = [(name, body, False) for name, body in EXIT_SCENARIOS.items()]
    programs += [(name, fork_program(name), True) for name in FORK_SCENARIOS]
    print(f"{'scenario':24} {'runs':>5} {'aborts':>7} {'failed':>7} {'exit median':>12} {'exit max':>9}")
    for name, body, forks in programs:
        if chosen and name not in chosen:
            continue
        aborts = failed = 0
        seconds = []
        for _ in range(runs):
            outcome = run_program(body)
            aborts += outcome.aborted
            if forks:
                failed += fork_failed(outcome)
                try:
                    seconds.append(outcome.child_exit_seconds)
                except AssertionError:
                    pass
            else:
                failed += outcome.returncode != 0 and not outcome.aborted
                seconds.append(outcome.exit_seconds)
            if outcome.aborted or outcome.returncode != 0:
                sys.stderr.write(f"--- {name}: exit code {outcome.returncode}\n{outcome.stderr[-2000:]}\n")
        median = statistics.median(seconds) if seconds else float("nan")
        worst = max(seconds) if seconds else float("nan")
        print(f"{name:24} {runs:5d} {aborts:7d} {failed:7d} {median:11.3f}s {worst:8.3f}s", flush=True)


if __name__ == "__main__":
    main()
