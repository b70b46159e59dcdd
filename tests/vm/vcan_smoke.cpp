// Checks that the kernel in the test machine gives us a working CAN bus before
// the project's own CAN tests run on it: two raw CAN sockets on the interface
// named by QMC_CAN_IFACE (default "vcan0") exchange one classic and one FD
// frame, and a sender does not see its own frames.
//
// Built statically and run inside the VM by scripts/can-vm-test.sh; it uses
// nothing but the kernel's socket interface, so a failure here points at the
// machine, not at the project's transport.

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int failures = 0;
int checks = 0;

void check(bool ok, const std::string& what) {
    ++checks;
    if (!ok) {
        ++failures;
        std::printf("FAIL: %s\n", what.c_str());
    } else {
        std::printf("ok:   %s\n", what.c_str());
    }
}

std::string sys_error(const char* call) {
    return std::string(call) + ": " + std::strerror(errno);
}

// Opens a raw CAN socket bound to the interface with FD frames enabled,
// exactly as the project's transport does; -1 (with the reason printed) on failure.
int open_raw(const char* iface) {
    const unsigned index = if_nametoindex(iface);
    if (index == 0) {
        check(false, sys_error("if_nametoindex"));
        return -1;
    }
    const int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) {
        check(false, sys_error("socket(PF_CAN)"));
        return -1;
    }
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(index);
    const int on = 1;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0) {
        check(false, sys_error("bind/setsockopt"));
        close(fd);
        return -1;
    }
    return fd;
}

// Reads one frame image into buf, waiting at most timeout_ms; returns the
// number of bytes read, 0 on time-out, -1 on error.
ssize_t read_within(int fd, void* buf, std::size_t size, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, timeout_ms);
    if (ready <= 0) return ready;
    return read(fd, buf, size);
}

void classic_frame(int a, int b) {
    can_frame out{};
    out.can_id = 0x123;
    out.len = 3;
    out.data[0] = 0xDE;
    out.data[1] = 0xAD;
    out.data[2] = 0x01;
    check(write(a, &out, sizeof out) == static_cast<ssize_t>(sizeof out), "classic frame written");

    canfd_frame in{};
    const ssize_t n = read_within(b, &in, sizeof in, 2000);
    check(n == 16, "classic frame read as 16 bytes (got " + std::to_string(n) + ")");
    check(in.can_id == 0x123 && in.len == 3 && std::memcmp(in.data, out.data, 3) == 0,
          "classic frame id, length and data intact");
}

void fd_frame(int a, int b) {
    canfd_frame out{};
    out.can_id = 0x1ABCDE0 | CAN_EFF_FLAG;
    out.len = 12;
    out.flags = CANFD_BRS | CANFD_FDF;
    for (int i = 0; i < 12; ++i) out.data[i] = static_cast<__u8>(0x40 + i);
    check(write(a, &out, sizeof out) == static_cast<ssize_t>(sizeof out), "FD frame written");

    canfd_frame in{};
    const ssize_t n = read_within(b, &in, sizeof in, 2000);
    check(n == 72, "FD frame read as 72 bytes (got " + std::to_string(n) + ")");
    check(in.can_id == out.can_id && in.len == 12 && (in.flags & CANFD_BRS) != 0 &&
              std::memcmp(in.data, out.data, 12) == 0,
          "FD frame extended id, length, bit-rate switch and data intact");
}

void no_own_frames(int a) {
    canfd_frame in{};
    const ssize_t n = read_within(a, &in, sizeof in, 100);
    check(n == 0, "sender does not receive its own frames");
}

}  // namespace

int main() {
    const char* env = std::getenv("QMC_CAN_IFACE");
    const char* iface = env != nullptr && *env != '\0' ? env : "vcan0";
    std::printf("vcan_smoke on %s\n", iface);

    const int a = open_raw(iface);
    const int b = open_raw(iface);
    if (a >= 0 && b >= 0) {
        classic_frame(a, b);
        fd_frame(a, b);
        no_own_frames(a);
    }
    if (a >= 0) close(a);
    if (b >= 0) close(b);

    std::printf("%d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
