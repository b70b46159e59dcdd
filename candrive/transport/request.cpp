// The request/reply exchange, shared by every transport.
#include <chrono>

#include "candrive/transport.hpp"

namespace candrive {

CanResult<CanFrame> CanTransport::request(const CanFrame& frame, CanId expected_id,
                                          std::chrono::nanoseconds timeout) {
    using Clock = std::chrono::steady_clock;
    QMC_TRY(send(frame));
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        const auto remaining = deadline - Clock::now();
        if (remaining < std::chrono::microseconds(1)) return common::Err{CanError::timeout()};
        CanResult<CanFrame> received = recv(remaining);
        if (!received.ok()) return received;
        if (received.value().id == expected_id) return received;
        // Not ours (another motor's reply, a stale frame): dropped.
    }
}

}  // namespace candrive
