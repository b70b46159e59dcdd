// SocketCAN transport: opening a raw CAN socket (or a virtual-bus
// connection) and moving frame images through it.
#include "candrive/socketcan.hpp"

#include <errno.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <utility>

#include "frame_image.hpp"
#include "transport/deadline.hpp"

namespace candrive {
namespace {

using socketcan_backend::FdImage;

// <linux/can.h>, <linux/can/raw.h>
constexpr int kCanRawProtocol = 1;   // CAN_RAW
constexpr int kSolCanRaw = 101;      // SOL_CAN_BASE + CAN_RAW
constexpr int kCanRawFdFrames = 5;   // CAN_RAW_FD_FRAMES

// struct sockaddr_can
struct CanSocketAddress {
    sa_family_t family;
    int ifindex;
    std::uint8_t protocol_address[16];
};
static_assert(sizeof(CanSocketAddress) == 24);
static_assert(offsetof(CanSocketAddress, ifindex) == 4);

constexpr std::string_view kVirtualBusPrefix = "unix:";

// The error of the failed call, after closing the socket opened so far.
CanError fail_and_close(int fd) {
    const int error = errno;
    ::close(fd);
    return CanError::backend(error);
}

CanResult<int> open_interface(const std::string& name) {
    errno = 0;
    const unsigned index = ::if_nametoindex(name.c_str());
    if (index == 0) return common::Err{CanError::backend(errno != 0 ? errno : ENODEV)};

    const int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, kCanRawProtocol);
    if (fd < 0) return common::Err{CanError::backend(errno)};

    CanSocketAddress address{};
    address.family = AF_CAN;
    address.ifindex = static_cast<int>(index);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return common::Err{fail_and_close(fd)};
    }
    const int enable = 1;
    if (::setsockopt(fd, kSolCanRaw, kCanRawFdFrames, &enable, sizeof enable) != 0) {
        return common::Err{fail_and_close(fd)};
    }
    // No filters or own-message reception: every other node's frames, no error frames.
    return fd;
}

// The virtual bus: every message on the connection is one frame image.
CanResult<int> connect_virtual_bus(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return common::Err{CanError::backend(ENAMETOOLONG)};
    std::memcpy(address.sun_path, path.data(), path.size());

    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return common::Err{CanError::backend(errno)};
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return common::Err{fail_and_close(fd)};
    }
    return fd;
}

timespec to_timespec(std::chrono::nanoseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    return timespec{static_cast<time_t>(seconds.count()),
                    static_cast<long>((duration - seconds).count())};
}

}  // namespace

CanResult<SocketCanTransport> SocketCanTransport::open(const std::string& interface_name) {
    if (interface_name.find('\0') != std::string::npos) return common::Err{CanError::backend(EINVAL)};
    CanResult<int> fd = interface_name.starts_with(kVirtualBusPrefix)
                            ? connect_virtual_bus(interface_name.substr(kVirtualBusPrefix.size()))
                            : open_interface(interface_name);
    if (!fd.ok()) return common::Err{std::move(fd).error()};
    return SocketCanTransport(fd.value());
}

SocketCanTransport::SocketCanTransport(SocketCanTransport&& other) noexcept
    : CanTransport(std::move(other)), fd_(other.fd_) {
    other.fd_ = -1;
}

SocketCanTransport& SocketCanTransport::operator=(SocketCanTransport&& other) noexcept {
    if (this != &other) {
        CanTransport::operator=(std::move(other));
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

SocketCanTransport::~SocketCanTransport() {
    if (fd_ >= 0) ::close(fd_);
}

CanResult<void> SocketCanTransport::send(const CanFrame& frame) {
    alignas(FdImage) std::array<std::uint8_t, sizeof(FdImage)> image;
    CanResult<std::size_t> size = socketcan_backend::encode_image(frame, image);
    if (!size.ok()) return common::Err{std::move(size).error()};

    std::span<const std::uint8_t> rest(image.data(), size.value());
    while (!rest.empty()) {
        // MSG_NOSIGNAL: a vanished bus peer is an error value, not SIGPIPE.
        const ssize_t written = ::send(fd_, rest.data(), rest.size(), MSG_NOSIGNAL);
        if (written < 0) {
            if (errno == EINTR) continue;
            return common::Err{CanError::backend(errno)};
        }
        if (written == 0) return common::Err{CanError::backend(std::string("failed to write whole buffer"))};
        rest = rest.subspan(static_cast<std::size_t>(written));
    }
    return {};
}

CanResult<CanFrame> SocketCanTransport::recv(std::chrono::nanoseconds timeout) {
    const MonotonicClock::time_point deadline = deadline_after(timeout);
    for (;;) {
        const auto remaining =
            std::max<std::chrono::nanoseconds>(deadline - MonotonicClock::now(), std::chrono::nanoseconds::zero());
        const timespec wait = to_timespec(remaining);
        pollfd readable{fd_, POLLIN, 0};
        const int ready = ::ppoll(&readable, 1, &wait, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;  // the deadline still holds
            return common::Err{CanError::backend(errno)};
        }
        if (ready == 0) return common::Err{CanError::timeout()};

        // Room for one byte more than the largest image, so that an
        // oversized message is seen as such rather than cut to fit.
        alignas(FdImage) std::array<std::uint8_t, sizeof(FdImage) + 1> buffer;
        const ssize_t received = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (received < 0) {
            const int error = errno;
            // Nothing there after all: wait again until the deadline (checked
            // here too, so a socket that keeps claiming readiness cannot spin).
            if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT) {
                if (MonotonicClock::now() >= deadline) return common::Err{CanError::timeout()};
                continue;
            }
            return common::Err{CanError::backend(error)};
        }
        if (received == 0 && (readable.revents & POLLHUP) != 0) {
            return common::Err{CanError::backend(ECONNRESET)};  // the bus went away
        }
        auto decoded = socketcan_backend::decode_image(
            std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(received)));
        if (!decoded.ok()) return common::Err{std::move(decoded).error()};
        if (*decoded) return std::move(**decoded);
        // A remote request or an error frame: not for us; wait on, within the
        // deadline, so that a stream of them cannot hold the caller.
        if (MonotonicClock::now() >= deadline) return common::Err{CanError::timeout()};
    }
}

}  // namespace candrive
