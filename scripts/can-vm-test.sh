#!/usr/bin/env bash
# Runs the project's CAN tests against a real kernel's SocketCAN stack.
#
# The development machines' kernel has no CAN support, so this boots Debian's
# stock kernel under qemu (software emulation, no KVM needed) with a tiny
# busybox initramfs that loads the CAN modules, creates `vcan0` and runs the
# statically linked test programs with QMC_CAN_IFACE=vcan0. The script fails
# when a program fails, when the machine prints no result, or when it does
# not power off within the time limit.
#
# Everything it downloads or builds stays under $QMC_VM_BUILD_DIR
# (default build/can-vm, ignored by git). Settings:
#   QMC_VM_TIMEOUT  seconds the whole boot may take (default 300)
#   QMC_VM_KERNEL   Debian kernel package (default: what linux-image-amd64 names)
#   CXX             compiler for the test programs (default g++)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
source scripts/lib.sh

VM_DIR=${QMC_VM_BUILD_DIR:-$ROOT/build/can-vm}
TIMEOUT=${QMC_VM_TIMEOUT:-300}
CXX=${CXX:-g++}
mkdir -p "$VM_DIR"
VM_DIR=$(cd "$VM_DIR" && pwd)
started=$(date +%s)

# --- Host tools -------------------------------------------------------------

apt_updated=0
apt_update_once() {
    if [ "$apt_updated" = 0 ]; then
        as_root apt-get update -qq
        apt_updated=1
    fi
}

# qemu's recommended packages (its GUI, firmware for other machines) are not
# needed for a serial-console boot, so they are left out.
missing=()
for package in qemu-system-x86 busybox-static libgtest-dev g++ xz-utils zstd; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "== installing Debian packages: ${missing[*]}"
    apt_update_once
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi
ensure_build_tools

# --- Kernel and CAN modules (cached) ----------------------------------------

kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}
KERNEL_PKG=${QMC_VM_KERNEL:-$(kernel_package)}
if [ -z "$KERNEL_PKG" ]; then
    apt_update_once
    KERNEL_PKG=$(kernel_package)
fi
[ -n "$KERNEL_PKG" ] || { echo "cannot tell which kernel linux-image-amd64 names" >&2; exit 1; }

KERNEL_DIR=$VM_DIR/kernel/$KERNEL_PKG
if [ ! -f "$KERNEL_DIR/unpacked" ]; then
    echo "== fetching $KERNEL_PKG"
    rm -rf "$KERNEL_DIR"
    mkdir -p "$KERNEL_DIR"
    # apt-get download fetches the package file only; nothing is installed.
    if ! (cd "$KERNEL_DIR" && apt-get download -q "$KERNEL_PKG" >/dev/null 2>&1); then
        apt_update_once
        (cd "$KERNEL_DIR" && apt-get download -q "$KERNEL_PKG" >/dev/null 2>&1)
    fi
    dpkg-deb -x "$KERNEL_DIR"/*.deb "$KERNEL_DIR/root"
    rm -f "$KERNEL_DIR"/*.deb
    touch "$KERNEL_DIR/unpacked"
fi
VMLINUZ=$(ls "$KERNEL_DIR"/root/boot/vmlinuz-*)
MODULE_TREE=$(ls -d "$KERNEL_DIR"/root/lib/modules/*/kernel)

# Path of a module by name ("can-dev" and "can_dev" are the same module).
module_file() {
    local pattern=${1//[-_]/[-_]}
    find "$MODULE_TREE" \( -name "$pattern.ko" -o -name "$pattern.ko.xz" -o -name "$pattern.ko.zst" \
        -o -name "$pattern.ko.gz" \) -print -quit
}

# Writes a module as a plain .ko (busybox insmod takes no compressed modules).
plain_module() {
    case $1 in
        *.ko.xz) xz -dc "$1" ;;
        *.ko.zst) zstd -qdc "$1" ;;
        *.ko.gz) gzip -dc "$1" ;;
        *) cat "$1" ;;
    esac
}

# Appends a module and, before it, the modules it depends on to load_order.
load_order=()
add_module() {
    local name=$1 file dep deps
    for dep in "${load_order[@]}"; do [ "$dep" = "$name" ] && return 0; done
    file=$(module_file "$name")
    [ -n "$file" ] || { echo "kernel $KERNEL_PKG has no module $name" >&2; exit 1; }
    deps=$(plain_module "$file" | tr '\0' '\n' | sed -n 's/^depends=//p' | tr ',' ' ')
    for dep in $deps; do add_module "$dep"; done
    load_order+=("$name")
}

# --- Test programs, statically linked ---------------------------------------

BIN_DIR=$VM_DIR/bin
mkdir -p "$BIN_DIR"
# Entries "test|bench name args..." run in this order inside the machine. A
# test fails the run when it fails; a benchmark only when it crashes or hangs,
# since its requests' 20 ms deadlines are not always kept under emulation on a
# busy host (it reports such misses itself).
programs=()

echo "== building the test programs (static)"
"$CXX" -std=c++20 -O2 -static -Wall -Wextra -Wpedantic -Werror \
    tests/vm/vcan_smoke.cpp -o "$BIN_DIR/vcan_smoke"
programs+=("test vcan_smoke")

# A build directory of its own: every executable linked with -static, so the
# initramfs needs no shared libraries.
STATIC_BUILD=$VM_DIR/static-build
BUILD_LOG=$VM_DIR/build.log
quietly() {  # runs a build step, showing its output only when it fails
    "$@" >"$BUILD_LOG" 2>&1 || { cat "$BUILD_LOG" >&2; echo "FAILED: $*" >&2; exit 1; }
}
quietly cmake -S "$ROOT" -B "$STATIC_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMC_WERROR=ON \
    -DQMC_BUILD_PYTHON=OFF -DCMAKE_EXE_LINKER_FLAGS=-static
has_target() { ninja -C "$STATIC_BUILD" -t targets all | grep "^$1: " >/dev/null; }
executable_path() { find "$STATIC_BUILD" -type f -name "$1" -perm -u+x -print -quit; }

# The CAN layer's two-node bus tests, then the request round-trip benchmark
# (its request count kept small: every instruction is emulated).
cmake_programs=()
want_target() {  # want_target <source that defines it> test|bench <target> [args...]
    local source=$1 target=$3
    [ -e "$source" ] || return 0
    has_target "$target" || { echo "target $target is missing" >&2; exit 1; }
    shift
    cmake_programs+=("$*")
}
want_target tests/cpp/candrive/CMakeLists.txt test candrive_bus_tests
want_target bench/can_request_bench.cpp bench can_request_bench 2000
if [ "${#cmake_programs[@]}" -gt 0 ]; then
    targets=()
    for entry in "${cmake_programs[@]}"; do read -r _ target _ <<<"$entry"; targets+=("$target"); done
    quietly ninja -C "$STATIC_BUILD" -j "${JOBS:-$(nproc)}" "${targets[@]}"
    for target in "${targets[@]}"; do cp "$(executable_path "$target")" "$BIN_DIR/$target"; done
    programs+=("${cmake_programs[@]}")
fi

# --- Initramfs ---------------------------------------------------------------

STAGE=$VM_DIR/initramfs
rm -rf "$STAGE"
mkdir -p "$STAGE"/{bin,dev,proc,sys,tmp,modules,tests}
cp /bin/busybox "$STAGE/bin/busybox"

add_module can-raw
add_module vcan
for name in "${load_order[@]}"; do
    plain_module "$(module_file "$name")" > "$STAGE/modules/$name.ko"
done
printf '%s\n' "${load_order[@]}" > "$STAGE/modules/order"

for entry in "${programs[@]}"; do
    read -r _ name _ <<<"$entry"
    strip -o "$STAGE/tests/$name" "$BIN_DIR/$name"
done
printf '%s\n' "${programs[@]}" > "$STAGE/tests/list"

cat > "$STAGE/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t tmpfs tmp /tmp

finish() {
    echo "QMC_VM_RESULT status=$1"
    poweroff -f
}

for module in $(cat /modules/order); do
    insmod "/modules/$module.ko" || { echo "insmod $module failed"; finish 90; }
done
ip link set lo up
ip link add dev vcan0 type vcan || { echo "cannot create vcan0"; finish 91; }
ip link set vcan0 up || { echo "cannot bring vcan0 up"; finish 92; }
echo "== kernel $(uname -r), vcan0 up, mtu $(cat /sys/class/net/vcan0/mtu)"

export QMC_CAN_IFACE=vcan0 GTEST_COLOR=no
status=0
failed=""
while read -r kind program args; do
    echo "== $program $args"
    timeout 120 "/tests/$program" $args
    code=$?
    echo "QMC_VM_TEST $program status=$code"
    # 124 and above: timed out or killed by a signal.
    if [ "$code" != 0 ] && { [ "$kind" = test ] || [ "$code" -ge 124 ]; }; then
        status=1
        failed="$failed $program"
    elif [ "$code" != 0 ]; then
        echo "note: benchmark $program reported failed requests (not counted under emulation)"
    fi
done < /tests/list
[ -z "$failed" ] || echo "failed:$failed"
finish "$status"
EOF
chmod +x "$STAGE/init"

INITRD=$VM_DIR/initrd.gz
(cd "$STAGE" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 > "$INITRD"

# --- Boot --------------------------------------------------------------------

echo "== booting $(basename "$VMLINUZ") (timeout ${TIMEOUT}s)"
LOG=$VM_DIR/console.log
boot_started=$(date +%s)
set +e
timeout -k 10 "$TIMEOUT" qemu-system-x86_64 -m 512 -smp 1 -display none -nodefaults -no-reboot \
    -serial stdio -kernel "$VMLINUZ" -initrd "$INITRD" \
    -append "console=ttyS0 quiet panic=-1" </dev/null | tr -d '\r' | tee "$LOG"
qemu_status=${PIPESTATUS[0]}
set -e
boot_seconds=$(( $(date +%s) - boot_started ))

if [ "$qemu_status" = 124 ] || [ "$qemu_status" = 137 ]; then
    echo "FAILED: the machine did not power off within ${TIMEOUT}s" >&2
    exit 1
fi
result=$(sed -n 's/^QMC_VM_RESULT status=\([0-9]*\).*/\1/p' "$LOG" | tail -n 1)
if [ -z "$result" ]; then
    echo "FAILED: the machine printed no result (qemu exit status $qemu_status)" >&2
    exit 1
fi
echo "== VM boot and tests took ${boot_seconds}s; whole script $(( $(date +%s) - started ))s"
if [ "$result" != 0 ]; then
    echo "FAILED: CAN tests in the machine ended with status $result" >&2
    exit 1
fi
echo "CAN tests on vcan0 passed"
