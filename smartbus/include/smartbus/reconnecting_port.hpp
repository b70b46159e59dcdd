// A serial port that survives the loss of its device. A serial adapter reset
// by a brown-out (or unplugged and plugged in again) fails every call until
// it is reopened at the same path; this port reopens it by itself, at most
// every common::kReopenInterval, on the first call after that interval, with
// the same time-out, exclusive mode and lock. Its owner hears of a loss once
// and of the device's return once (bytes received from it): failures in
// between belong to the same loss.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "common/link_watch.hpp"
#include "smartbus/serial_port.hpp"

namespace smartbus {

class ReconnectingSerialPort final : public SerialPort {
public:
    // Opens `path` as open_serial_port does; a failure is its error unchanged.
    static Result<std::unique_ptr<ReconnectingSerialPort>> open(std::string path, std::chrono::milliseconds timeout,
                                                                common::LinkEventHandler on_event);

    // Takes `port`, already open at `path` with `timeout`.
    ReconnectingSerialPort(std::string path, std::chrono::milliseconds timeout, std::unique_ptr<SerialPort> port,
                           common::LinkEventHandler on_event)
        : path_(std::move(path)), timeout_(timeout), port_(std::move(port)), watch_(std::move(on_event)) {}

    Result<std::size_t> bytes_to_read() override;
    Result<void> read_exact(std::span<std::uint8_t> out) override;
    Result<void> write_all(std::span<const std::uint8_t> bytes) override;
    Result<void> flush() override;
    Result<std::size_t> discard_input(std::chrono::nanoseconds wait) override;

    // The device path it opens.
    const std::string& path() const { return path_; }

private:
    // Runs `call` on the open port (reopening it first when it is due) and
    // watches its outcome.
    template <class Call>
    auto forward(Call&& call) -> decltype(call(std::declval<SerialPort&>()));
    // The open port, or the error that stands for the lost device.
    Result<SerialPort*> open_port();
    void watch_failure(const Error& error);
    void lose(const Error& error);

    std::string path_;
    std::chrono::milliseconds timeout_;  // every wait of the port, kept across reopening
    std::unique_ptr<SerialPort> port_;   // null while the device is lost
    common::LinkWatch watch_;
    std::string lost_reason_;
    int lost_errno_ = 0;  // behind lost_reason_, when a system call failed
};

}  // namespace smartbus
