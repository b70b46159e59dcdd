// The request/reply exchange, shared by every transport.
#include <chrono>

#include "candrive/transport.hpp"
#include "transport/deadline.hpp"

namespace candrive {

CanResult<CanFrame> CanTransport::request(const CanFrame& frame, CanId expected_id,
                                          std::chrono::nanoseconds timeout) {
    QMC_TRY(send(frame));
    const MonotonicClock::time_point deadline = deadline_after(timeout);
    for (;;) {
        const auto remaining = deadline - MonotonicClock::now();
        if (remaining < std::chrono::microseconds(1)) return common::Err{CanError::timeout()};
        CanResult<CanFrame> received = recv(remaining);
        if (!received.ok()) return received;
        if (received.value().id == expected_id) return received;
        // Not ours (another motor's reply, a stale frame): dropped.
    }
}

}  // namespace candrive
