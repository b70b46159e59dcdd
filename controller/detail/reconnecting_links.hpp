// Internal: the controller's two bus links, which survive the loss of their
// device. A serial adapter reset by a brown-out (or unplugged and plugged in
// again), or a CAN socket whose interface or virtual bus went away, fails
// every call until it is reopened at the same path or interface name; each
// link reopens by itself, at most every kReopenInterval, on the first call
// after that interval. One warning record is written when the device is
// lost and one info record when it is heard from again (serial bytes or a CAN
// frame received): failures before that belong to the same loss.
//
// Each link is used by one thread at a time, like the controller.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "candrive/socketcan.hpp"
#include "candrive/transport.hpp"
#include "smartbus/serial_port.hpp"

namespace quorvel::detail {

inline constexpr auto kReopenInterval = std::chrono::milliseconds(500);

class ReconnectingSerialPort final : public smartbus::SerialPort {
public:
    ReconnectingSerialPort(std::string path, std::chrono::milliseconds timeout,
                           std::unique_ptr<smartbus::SerialPort> port)
        : path_(std::move(path)), timeout_(timeout), port_(std::move(port)) {}

    smartbus::Result<std::size_t> bytes_to_read() override;
    smartbus::Result<void> read_exact(std::span<std::uint8_t> out) override;
    smartbus::Result<void> write_all(std::span<const std::uint8_t> bytes) override;
    smartbus::Result<void> flush() override;
    smartbus::Result<std::size_t> discard_input(std::chrono::nanoseconds wait) override;

    // The device path it opens.
    const std::string& path() const { return path_; }

private:
    // Runs `call` on the open port (reopening it first when it is due) and
    // watches its outcome.
    template <class Call>
    auto forward(Call&& call) -> decltype(call(std::declval<smartbus::SerialPort&>()));
    // The open port, or the error that stands for the lost device.
    smartbus::Result<smartbus::SerialPort*> open_port();
    void watch_failure(const smartbus::Error& error);
    void lose(const smartbus::Error& error);
    void note_bytes_received();

    std::string path_;
    std::chrono::milliseconds timeout_;  // every wait of the port, kept across reopening
    std::unique_ptr<smartbus::SerialPort> port_;  // null while the device is lost
    // From the loss until bytes arrive from the reopened port.
    bool lost_ = false;
    std::chrono::steady_clock::time_point next_attempt_{};
    std::string lost_reason_;
    int lost_errno_ = 0;  // behind lost_reason_, when a system call failed
};

class ReconnectingCanBus final : public candrive::CanTransport {
public:
    ReconnectingCanBus(std::string interface_name, candrive::SocketCanTransport transport)
        : name_(std::move(interface_name)), transport_(std::move(transport)) {}

    candrive::CanResult<void> send(const candrive::CanFrame& frame) override;
    candrive::CanResult<candrive::CanFrame> recv(std::chrono::nanoseconds timeout) override;

    // The interface name (or "unix:<path>") it opens.
    const std::string& name() const { return name_; }

private:
    template <class Call>
    auto forward(Call&& call) -> decltype(call(std::declval<candrive::CanTransport&>()));
    candrive::CanResult<candrive::CanTransport*> open_transport();
    void watch_failure(const candrive::CanError& error);
    void note_frame_received();

    std::string name_;
    std::optional<candrive::SocketCanTransport> transport_;  // empty while the socket is lost
    bool lost_ = false;
    std::chrono::steady_clock::time_point next_attempt_{};
    int lost_errno_ = 0;  // what calls report while the socket is lost
};

}  // namespace quorvel::detail
