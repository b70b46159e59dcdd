// The serial port that reopens a lost device (see the header).
#include "smartbus/reconnecting_port.hpp"

#include <utility>

namespace smartbus {

Result<std::unique_ptr<ReconnectingSerialPort>> ReconnectingSerialPort::open(std::string path,
                                                                              std::chrono::milliseconds timeout,
                                                                              common::LinkEventHandler on_event) {
    auto opened = open_serial_port(path, timeout);
    if (!opened) return common::Err{std::move(opened).error()};
    return std::make_unique<ReconnectingSerialPort>(std::move(path), timeout, std::move(opened).value(),
                                                    std::move(on_event));
}

template <class Call>
auto ReconnectingSerialPort::forward(Call&& call) -> decltype(call(std::declval<SerialPort&>())) {
    return common::forward_to_device([this] { return open_port(); }, std::forward<Call>(call),
                                     [this](const Error& error) { watch_failure(error); });
}

Result<SerialPort*> ReconnectingSerialPort::open_port() {
    if (port_) return port_.get();
    if (watch_.reopen_due()) {
        auto opened = open_serial_port(path_, timeout_);
        if (opened) {
            port_ = std::move(opened).value();
            set_unsettled(true);  // whatever a reset adapter held is no answer to anything
            return port_.get();
        }
        lost_reason_ = opened.error().message();
        lost_errno_ = opened.error().os_cause() ? opened.error().os_cause()->number : 0;
    }
    return common::Err{Error(PortError{0, "serial port " + path_ + " is lost: " + lost_reason_})
                           .set_os_cause(common::os_cause(lost_errno_, path_))};
}

// A servo that does not answer is no fault of the port. Anything else is
// looked into: a port whose input queue cannot even be asked about (EIO on a
// hung-up terminal) has lost its device.
void ReconnectingSerialPort::watch_failure(const Error& error) {
    if (error.is_timed_out_or_interrupted() || !port_) return;
    auto probe = port_->bytes_to_read();
    if (!probe) lose(probe.error());
}

void ReconnectingSerialPort::lose(const Error& error) {
    port_.reset();  // closes the descriptor and releases its lock, so the device can be reopened
    lost_reason_ = error.message();
    lost_errno_ = error.os_cause() ? error.os_cause()->number : 0;
    watch_.lost(lost_reason_);
}

Result<std::size_t> ReconnectingSerialPort::bytes_to_read() {
    return forward([](SerialPort& port) { return port.bytes_to_read(); });
}

// Only bytes received prove the device is back: a write, a drain or a quiet
// line also succeed on a terminal whose far end is not answering yet, or is
// already going again, and a loss until then is the same loss.
Result<void> ReconnectingSerialPort::read_exact(std::span<std::uint8_t> out) {
    auto received = forward([&](SerialPort& port) { return port.read_exact(out); });
    if (received && !out.empty()) watch_.heard_from();
    return received;
}

Result<void> ReconnectingSerialPort::write_all(std::span<const std::uint8_t> bytes) {
    return forward([&](SerialPort& port) { return port.write_all(bytes); });
}

Result<void> ReconnectingSerialPort::flush() {
    return forward([](SerialPort& port) { return port.flush(); });
}

Result<std::size_t> ReconnectingSerialPort::discard_input(std::chrono::nanoseconds wait) {
    return forward([&](SerialPort& port) { return port.discard_input(wait); });
}

}  // namespace smartbus
