// The controller's bus links that reopen a lost device (see the header).
#include "controller/detail/reconnecting_links.hpp"

#include <cerrno>
#include <utility>

#include "common/log.hpp"
#include "controller/controller_error.hpp"

namespace quorvel::detail {
namespace {

using Clock = std::chrono::steady_clock;
using common::Err;
using common::log::Level;

// Errors after which a CAN socket is of no further use: the peer or the
// interface is gone. A full transmit queue (ENOBUFS) passes by itself.
bool can_socket_lost(const candrive::CanError& error) {
    if (error.kind() != candrive::CanError::Kind::Backend) return false;
    switch (error.os_error()) {
        case EPIPE:
        case ECONNRESET:
        case ECONNREFUSED:
        case ENOTCONN:
        case ENETDOWN:
        case ENODEV:
        case ENXIO:
        case EBADF:
        case EIO:
        case ESHUTDOWN:
            return true;
        default:
            return false;
    }
}

}  // namespace

// ---- serial ---------------------------------------------------------------------

template <class Call>
auto ReconnectingSerialPort::forward(Call&& call) -> decltype(call(std::declval<smartbus::SerialPort&>())) {
    auto port = open_port();
    if (!port) return Err{std::move(port).error()};
    auto result = call(**port);
    if (!result) watch_failure(result.error());
    return result;
}

// Only bytes received prove the device is back: a write, a drain or a quiet
// line also succeed on a terminal whose far end is not answering yet, or is
// already going again, and a loss until then is the same loss.
void ReconnectingSerialPort::note_bytes_received() {
    if (!lost_) return;
    lost_ = false;
    QMC_LOG(Level::Info, kControllerLogOrigin, "Serial port " + path_ + " is back");
}

smartbus::Result<smartbus::SerialPort*> ReconnectingSerialPort::open_port() {
    if (port_) return port_.get();
    const auto now = Clock::now();
    if (now >= next_attempt_) {
        next_attempt_ = now + kReopenInterval;
        auto opened = smartbus::open_serial_port(path_, timeout_);
        if (opened) {
            port_ = std::move(opened).value();
            set_unsettled(true);  // whatever a reset adapter held is no answer to anything
            return port_.get();
        }
        lost_reason_ = opened.error().message();
        lost_errno_ = opened.error().os_cause() ? opened.error().os_cause()->number : 0;
    }
    return Err{smartbus::Error(smartbus::PortError{0, "serial port " + path_ + " is lost: " + lost_reason_})
                   .set_os_cause(common::os_cause(lost_errno_, path_))};
}

// A servo that does not answer is no fault of the port. Anything else is
// looked into: a port whose input queue cannot even be asked about (EIO on a
// hung-up terminal) has lost its device.
void ReconnectingSerialPort::watch_failure(const smartbus::Error& error) {
    if (error.is_timed_out_or_interrupted() || !port_) return;
    auto probe = port_->bytes_to_read();
    if (!probe) lose(probe.error());
}

void ReconnectingSerialPort::lose(const smartbus::Error& error) {
    const std::string reason = error.message();
    port_.reset();  // closes the descriptor and releases its lock, so the device can be reopened
    lost_reason_ = reason;
    lost_errno_ = error.os_cause() ? error.os_cause()->number : 0;
    next_attempt_ = Clock::now();  // the next call tries at once; later attempts wait kReopenInterval
    if (lost_) return;  // lost again before it ever worked: said already
    lost_ = true;
    QMC_LOG(Level::Warn, kControllerLogOrigin,
            "Lost the serial port " + path_ + " (" + reason + "); reopening it at most every 500 ms");
}

smartbus::Result<std::size_t> ReconnectingSerialPort::bytes_to_read() {
    return forward([](smartbus::SerialPort& port) { return port.bytes_to_read(); });
}

smartbus::Result<void> ReconnectingSerialPort::read_exact(std::span<std::uint8_t> out) {
    auto received = forward([&](smartbus::SerialPort& port) { return port.read_exact(out); });
    if (received && !out.empty()) note_bytes_received();
    return received;
}

smartbus::Result<void> ReconnectingSerialPort::write_all(std::span<const std::uint8_t> bytes) {
    return forward([&](smartbus::SerialPort& port) { return port.write_all(bytes); });
}

smartbus::Result<void> ReconnectingSerialPort::flush() {
    return forward([](smartbus::SerialPort& port) { return port.flush(); });
}

smartbus::Result<std::size_t> ReconnectingSerialPort::discard_input(std::chrono::nanoseconds wait) {
    return forward([&](smartbus::SerialPort& port) { return port.discard_input(wait); });
}

// ---- CAN ------------------------------------------------------------------------

template <class Call>
auto ReconnectingCanBus::forward(Call&& call) -> decltype(call(std::declval<candrive::CanTransport&>())) {
    auto transport = open_transport();
    if (!transport) return Err{std::move(transport).error()};
    auto result = call(**transport);
    if (!result) watch_failure(result.error());
    return result;
}

// Only a frame received proves the bus is back: a send can succeed on a
// connection to a virtual bus that is itself still going away.
void ReconnectingCanBus::note_frame_received() {
    if (!lost_) return;
    lost_ = false;
    QMC_LOG(Level::Info, kControllerLogOrigin, "CAN bus " + name_ + " is back");
}

candrive::CanResult<candrive::CanTransport*> ReconnectingCanBus::open_transport() {
    if (transport_) return &*transport_;
    const auto now = Clock::now();
    if (now >= next_attempt_) {
        next_attempt_ = now + kReopenInterval;
        auto opened = candrive::SocketCanTransport::open(name_);
        if (opened) {
            transport_.emplace(std::move(opened).value());
            return &*transport_;
        }
        if (opened.error().os_error() != 0) lost_errno_ = opened.error().os_error();
    }
    return Err{candrive::CanError::backend(lost_errno_)};
}

void ReconnectingCanBus::watch_failure(const candrive::CanError& error) {
    if (!can_socket_lost(error)) return;
    transport_.reset();
    lost_errno_ = error.os_error();
    next_attempt_ = Clock::now();
    if (lost_) return;
    lost_ = true;
    QMC_LOG(Level::Warn, kControllerLogOrigin,
            "Lost the CAN bus " + name_ + " (" + error.message() + "); reconnecting at most every 500 ms");
}

candrive::CanResult<void> ReconnectingCanBus::send(const candrive::CanFrame& frame) {
    return forward([&](candrive::CanTransport& bus) { return bus.send(frame); });
}

candrive::CanResult<candrive::CanFrame> ReconnectingCanBus::recv(std::chrono::nanoseconds timeout) {
    auto received = forward([&](candrive::CanTransport& bus) { return bus.recv(timeout); });
    if (received) note_frame_received();
    return received;
}

}  // namespace quorvel::detail
