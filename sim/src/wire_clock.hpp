// Wire time for the simulated buses (see torso_sim/wire_timing.hpp): when the
// bytes and frames the host sends have crossed their wire, and when the
// answers reach the host. Pure bookkeeping on CLOCK_MONOTONIC seconds; the
// bus threads do the I/O at the times computed here.
#pragma once

#include "torso_sim/wire_timing.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace torso_sim {

// The half-duplex serial line and the host's USB adapter. Used by the serial
// thread only.
class SerialWire {
public:
    struct Release {
        double due;                        // when the host can read `bytes`
        std::vector<std::uint8_t> bytes;
    };

    SerialWire(const WireTiming& timing, double epoch);

    // `count` host bytes read from the line at `now`: the time their last
    // bit has crossed the wire (they queue behind whatever is on it).
    double host_bytes(std::size_t count, double now);

    // The servos' answer `bytes` (status packets, each possibly preceded by
    // noise) to an instruction that ended at `instruction_end`, started
    // `extra_delay` seconds late; `return_delay(id)` is servo id's
    // return-delay register in seconds. Each reply follows the one before it.
    std::vector<Release> replies(double instruction_end, double extra_delay, std::span<const std::uint8_t> bytes,
                                 const std::function<double(std::uint8_t)>& return_delay);

private:
    // The adapter's first timer expiry at or after `t`.
    double next_expiry(double t) const;

    double byte_time_;
    double servo_latency_;
    double usb_latency_;
    std::size_t usb_packet_bytes_;
    double epoch_;            // the adapter's timer last restarted here
    double line_free_ = 0.0;  // end of the last byte on the line
};

// The shared CAN bus: one frame at a time, arbitration by identifier among
// the frames waiting when it falls free. Used by the CAN thread only.
class CanWire {
public:
    struct Frame {
        double ready;                      // queued for the bus at
        std::uint32_t priority;            // lower wins arbitration
        std::uint32_t bits;                // time on the bus in bit times
        std::vector<std::uint8_t> image;   // frame image to deliver
        int sender;                        // node's descriptor; -1: a motor
        std::uint64_t order;               // submission order, breaks ties
    };

    explicit CanWire(const WireTiming& timing);

    // A frame waiting for the bus from `ready` on.
    void submit(double ready, std::uint32_t id, bool extended, std::size_t data_bytes,
                std::vector<std::uint8_t> image, int sender);

    // Runs the bus up to `now`: `ended(frame, end)` for every frame whose
    // last bit has passed by then, in bus order (it may submit answers).
    // Returns when the bus next needs attention (INFINITY: idle).
    double run_until(double now, const std::function<void(Frame&&, double)>& ended);

    double turnaround() const { return turnaround_; }

private:
    double bit_time_;
    double turnaround_;
    double bus_free_ = 0.0;
    std::optional<Frame> on_bus_;
    double on_bus_end_ = 0.0;
    std::vector<Frame> waiting_;
    std::uint64_t submitted_ = 0;
};

}  // namespace torso_sim
