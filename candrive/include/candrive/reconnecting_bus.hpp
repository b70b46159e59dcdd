// A CAN bus that survives the loss of its socket. A socket whose interface
// or virtual bus went away fails every call until it is opened again under
// the same name; this bus reopens it by itself, at most every
// common::kReopenInterval, on the first call after that interval. Its owner
// hears of a loss once and of the bus's return once (a frame received):
// failures in between belong to the same loss.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "candrive/socketcan.hpp"
#include "candrive/transport.hpp"
#include "common/link_watch.hpp"

namespace candrive {

class ReconnectingCanBus final : public CanTransport {
public:
    // Opens `interface_name` as SocketCanTransport::open does; a failure is its error unchanged.
    static CanResult<ReconnectingCanBus> open(std::string interface_name, common::LinkEventHandler on_event);

    // Takes `transport`, already open on `interface_name`.
    ReconnectingCanBus(std::string interface_name, SocketCanTransport transport, common::LinkEventHandler on_event)
        : name_(std::move(interface_name)), transport_(std::move(transport)), watch_(std::move(on_event)) {}

    CanResult<void> send(const CanFrame& frame) override;
    CanResult<CanFrame> recv(std::chrono::nanoseconds timeout) override;

    // The interface name (or "unix:<path>") it opens.
    const std::string& name() const { return name_; }

private:
    template <class Call>
    auto forward(Call&& call) -> decltype(call(std::declval<CanTransport&>()));
    CanResult<CanTransport*> open_transport();
    void watch_failure(const CanError& error);

    std::string name_;
    std::optional<SocketCanTransport> transport_;  // empty while the socket is lost
    common::LinkWatch watch_;
    int lost_errno_ = 0;  // what calls report while the socket is lost
};

}  // namespace candrive
