// The CAN bus that reopens a lost socket (see the header).
#include "candrive/reconnecting_bus.hpp"

#include <cerrno>
#include <utility>

namespace candrive {
namespace {

// Errors after which a CAN socket is of no further use: the peer or the
// interface is gone. A full transmit queue (ENOBUFS) passes by itself.
bool socket_lost(const CanError& error) {
    if (error.kind() != CanError::Kind::Backend) return false;
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

CanResult<ReconnectingCanBus> ReconnectingCanBus::open(std::string interface_name,
                                                       common::LinkEventHandler on_event) {
    auto opened = SocketCanTransport::open(interface_name);
    if (!opened) return common::Err{std::move(opened).error()};
    return ReconnectingCanBus(std::move(interface_name), std::move(opened).value(), std::move(on_event));
}

template <class Call>
auto ReconnectingCanBus::forward(Call&& call) -> decltype(call(std::declval<CanTransport&>())) {
    return common::forward_to_device([this] { return open_transport(); }, std::forward<Call>(call),
                                     [this](const CanError& error) { watch_failure(error); });
}

CanResult<CanTransport*> ReconnectingCanBus::open_transport() {
    if (transport_) return &*transport_;
    if (watch_.reopen_due()) {
        auto opened = SocketCanTransport::open(name_);
        if (opened) {
            transport_.emplace(std::move(opened).value());
            return &*transport_;
        }
        if (opened.error().os_error() != 0) lost_errno_ = opened.error().os_error();
    }
    return common::Err{CanError::backend(lost_errno_)};
}

void ReconnectingCanBus::watch_failure(const CanError& error) {
    if (!socket_lost(error)) return;
    transport_.reset();
    lost_errno_ = error.os_error();
    watch_.lost(error.message());
}

CanResult<void> ReconnectingCanBus::send(const CanFrame& frame) {
    return forward([&](CanTransport& bus) { return bus.send(frame); });
}

// Only a frame received proves the bus is back: a send can succeed on a
// connection to a virtual bus that is itself still going away.
CanResult<CanFrame> ReconnectingCanBus::recv(std::chrono::nanoseconds timeout) {
    auto received = forward([&](CanTransport& bus) { return bus.recv(timeout); });
    if (received) watch_.heard_from();
    return received;
}

}  // namespace candrive
