# Shared set-up steps for the scripts in this folder (sourced, not run).

# Runs a command as root (directly, or through sudo when not root).
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages given as arguments that are not installed yet.
ensure_debian_packages() {
    local missing=()
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "== installing Debian packages: ${missing[*]}"
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# Makes sure cmake and ninja are on PATH (from PyPI when the machine lacks them).
ensure_build_tools() {
    if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
        python3 -m venv "$ROOT/build/tools-venv"
        "$ROOT/build/tools-venv/bin/pip" install -q cmake ninja
        export PATH="$ROOT/build/tools-venv/bin:$PATH"
    fi
}

# Creates (or reuses) a virtual environment at $1 and installs the package
# into it from this checkout, with the given extra pip packages. The build
# directory persists in build/ of the checkout, so a re-install is
# incremental (a plain `pip install .` builds in a temporary directory).
# PACKAGE_EXTRAS (e.g. "ros2") installs the package with those extras.
make_venv_with_package() {
    local venv=$1; shift
    if [ ! -x "$venv/bin/python" ]; then
        python3 -m venv "$venv"
    fi
    "$venv/bin/pip" install -q --upgrade pip
    "$venv/bin/pip" install -q -C "build-dir=$ROOT/build/{wheel_tag}" "$ROOT${PACKAGE_EXTRAS:+[$PACKAGE_EXTRAS]}" "$@"
}
