// The SocketCAN transport: a raw CAN socket on a Linux network interface, or
// a connection to a virtual bus that exchanges the same frame images.
#pragma once

#include <string>

#include "candrive/transport.hpp"

namespace candrive {

class SocketCanTransport final : public CanTransport {
public:
    // Opens "can0", "vcan0", ... as a CAN_RAW socket with FD frames enabled,
    // or, for a name "unix:<path>", connects a SOCK_SEQPACKET socket to the
    // virtual bus listening at <path>. Failures are Backend errors.
    static CanResult<SocketCanTransport> open(const std::string& interface_name);

    // Takes ownership of a connected socket that carries SocketCAN frame
    // images one per message (a CAN_RAW or SOCK_SEQPACKET socket).
    static SocketCanTransport from_fd(int fd) { return SocketCanTransport(fd); }

    SocketCanTransport(SocketCanTransport&& other) noexcept;
    SocketCanTransport& operator=(SocketCanTransport&& other) noexcept;
    SocketCanTransport(const SocketCanTransport&) = delete;
    SocketCanTransport& operator=(const SocketCanTransport&) = delete;
    ~SocketCanTransport() override;

    CanResult<void> send(const CanFrame& frame) override;
    CanResult<CanFrame> recv(std::chrono::nanoseconds timeout) override;

private:
    explicit SocketCanTransport(int fd) : fd_(fd) {}

    int fd_ = -1;
};

}  // namespace candrive
