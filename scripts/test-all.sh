#!/usr/bin/env bash
# Sets up a fresh machine and runs every test of the project:
#   1. the C++ tests built with GCC (warnings as errors),
#   2. the C++ tests built with Clang 14 under AddressSanitizer + UBSan and
#      under ThreadSanitizer, and a build with GCC 11 (the oldest compiler we
#      support),
#   3. the package installed with `pip install .` into a fresh virtual
#      environment, its type stubs checked with stubtest, the examples and a
#      typed user script (NumPy arrays as positions included) checked with
#      `mypy --strict`, all against the installed wheel, and pytest run
#      against the installed module; the motion generator's durations are
#      compared with an independent time-optimal reference (ruckig),
#   4. the CAN tests on a real kernel's vcan interface in a small VM
#      (skipped with QMC_SKIP_VM=1).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
source scripts/lib.sh

JOBS=${JOBS:-$(nproc)}
ensure_debian_packages libgtest-dev g++ g++-11 clang-14 libclang-rt-14-dev python3-venv
ensure_build_tools

echo "== C++ tests, GCC"
# With the Python modules, so the bindings also build with warnings as errors
# and their C++ tests run in an embedded interpreter.
cmake -S . -B build/gcc -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMC_WERROR=ON -DQMC_BUILD_PYTHON=ON >/dev/null
cmake --build build/gcc -j "$JOBS"
ctest --test-dir build/gcc --output-on-failure -j "$JOBS"

echo "== C++ tests, Clang 14 with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQMC_WERROR=ON \
    -DCMAKE_CXX_COMPILER=clang++-14 -DQMC_SANITIZE=address,undefined -DQMC_BUILD_BENCH=OFF >/dev/null
cmake --build build/asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j "$JOBS"

echo "== C++ tests, Clang 14 with ThreadSanitizer"
# Any report fails its test. The Python modules stay out: the interpreter is
# not built for the sanitizer. The test programs bring their own
# pthread_mutex_clocklock (tests/cpp/support), which Clang 14's sanitizer does
# not intercept. Left out: the count of the simulator's bus threads, which
# the sanitizer's own background thread throws off by one.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMC_WERROR=ON \
    -DCMAKE_CXX_COMPILER=clang++-14 -DQMC_SANITIZE=thread -DQMC_BUILD_PYTHON=OFF -DQMC_BUILD_BENCH=OFF >/dev/null
cmake --build build/tsan -j "$JOBS"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build/tsan --output-on-failure -j "$JOBS" \
    -E '^SimBusThreads\.RunUnderRealTimePriorityWhereAllowed$'

echo "== Build with GCC 11"
cmake -S . -B build/gcc11 -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQMC_WERROR=ON \
    -DCMAKE_CXX_COMPILER=g++-11 -DQMC_BUILD_BENCH=OFF >/dev/null
cmake --build build/gcc11 -j "$JOBS"

echo "== Python: pip install . into a fresh virtual environment"
rm -rf build/venv-test
# With the ROS 2 extra: its tests run each in a private network namespace
# (tests/python/private_network.py), so no packet leaves the machine.
ensure_debian_packages iproute2 util-linux
PACKAGE_EXTRAS=ros2 make_venv_with_package build/venv-test pytest pytest-timeout hypothesis mypy numpy ruckig rosbags
PY=build/venv-test/bin/python

# Both type checks run outside the source tree with no MYPYPATH: the stubs
# must come from the stub-only packages of the installed wheel.
echo "== Type stubs against the installed modules (stubtest)"
(cd build && env -u MYPYPATH ../$PY -m mypy.stubtest quorvel_motor_controller quorvel_torso_sim \
    --mypy-config-file "$ROOT/python/stubtest.ini" --allowlist "$ROOT/python/stubtest-allowlist.txt")

echo "== mypy --strict on the examples and the typed user scripts"
(cd build && env -u MYPYPATH ../$PY -m mypy --strict --no-incremental \
    "$ROOT"/examples/*.py "$ROOT"/tests/typing/*.py)

if [ "${QMC_SKIP_VM:-0}" != 1 ] && [ -x scripts/can-vm-test.sh ]; then
    echo "== CAN tests on a vcan interface in a virtual machine"
    bash scripts/can-vm-test.sh
fi

echo "== Motion durations against an independent reference (ruckig)"
$PY tests/reference/check_motion_optimality.py build/gcc/tests/cpp/motion/motion_durations

echo "== Python tests against the installed module"
# Run from outside the source tree so that only the installed module is importable.
# Each test has a time limit, so a stuck one is reported by name instead of hanging the run.
# The ROS 2 extra is installed above: its tests must run here, not skip.
cd build && QMC_REQUIRE_ROS2=1 ../$PY -m pytest "$ROOT/tests/python" -q -p no:cacheprovider --timeout=300
