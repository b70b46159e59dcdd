#!/usr/bin/env bash
# Sets up what the demo needs on a fresh machine (Debian packages, cmake and
# ninja, the package installed into build/venv-demo) and runs it:
#   bash scripts/demo.sh                                  # the simulated torso
#   bash scripts/demo.sh --serial /dev/ttyUSB0 --can can0 # real hardware
# Every argument goes to quorvel-demo (see --help). The first run builds the
# package, which takes a few minutes; later runs reinstall only what changed.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
source scripts/lib.sh

ensure_debian_packages g++ python3-dev python3-venv
ensure_build_tools

VENV=build/venv-demo
echo "== installing the package into $VENV (the first build takes a few minutes)"
extras=()
for arg in "$@"; do
    # matplotlib only when a plot is asked for
    if [ "$arg" = "--plot" ] || [[ "$arg" == --plot=* ]]; then extras+=(matplotlib); fi
done
make_venv_with_package "$VENV" "${extras[@]}"

exec "$VENV/bin/quorvel-demo" "$@"
