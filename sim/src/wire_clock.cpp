#include "wire_clock.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace torso_sim {

namespace {

// 8N1: a start bit, eight data bits, a stop bit.
constexpr double kBitsPerByte = 10.0;
// A Feetech status packet: FF FF id length, then `length` bytes (error, parameters, checksum).
constexpr std::size_t kStatusHeader = 4;

double seconds(std::chrono::microseconds us) { return std::chrono::duration<double>(us).count(); }

}  // namespace

SerialWire::SerialWire(const WireTiming& timing, double epoch)
    : byte_time_(kBitsPerByte / std::max<std::uint32_t>(timing.serial_baud, 1)),
      servo_latency_(seconds(timing.servo_latency)),
      usb_latency_(seconds(timing.usb_latency)),
      usb_packet_bytes_(std::max<std::size_t>(timing.usb_packet_bytes, 1)),
      epoch_(epoch) {}

double SerialWire::host_bytes(std::size_t count, double now) {
    line_free_ = std::max(now, line_free_) + static_cast<double>(count) * byte_time_;
    return line_free_;
}

double SerialWire::next_expiry(double t) const {
    const double ticks = std::ceil((t - epoch_) / usb_latency_);
    return epoch_ + std::max(ticks, 0.0) * usb_latency_;
}

std::vector<SerialWire::Release> SerialWire::replies(double instruction_end, double extra_delay,
                                                     std::span<const std::uint8_t> bytes,
                                                     const std::function<double(std::uint8_t)>& return_delay) {
    std::vector<Release> out;
    const auto release = [&](double due, std::size_t from, std::size_t to) {
        const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(from);
        const auto last = bytes.begin() + static_cast<std::ptrdiff_t>(to);
        if (!out.empty() && out.back().due == due)
            out.back().bytes.insert(out.back().bytes.end(), first, last);
        else
            out.push_back({due, {first, last}});
    };
    // Bytes the adapter holds for the host: [held_from, held_to), going at held_due.
    std::size_t held_from = 0, held_to = 0;
    double held_due = 0.0;
    double previous_end = instruction_end + extra_delay;
    std::size_t at = 0;
    while (at < bytes.size()) {
        // One reply: any noise, then a status packet (or the rest, if it does not parse).
        std::size_t header = at;
        while (header + 1 < bytes.size() && !(bytes[header] == 0xFF && bytes[header + 1] == 0xFF)) ++header;
        std::size_t end = bytes.size();
        std::uint8_t id = 0xFF;
        if (header + kStatusHeader <= bytes.size()) {
            id = bytes[header + 2];
            end = std::min(bytes.size(), header + kStatusHeader + bytes[header + 3]);
        }
        const double start = std::max(previous_end + servo_latency_ + return_delay(id), line_free_);
        line_free_ = start + static_cast<double>(end - at) * byte_time_;
        previous_end = line_free_;
        if (usb_latency_ <= 0.0) {
            release(line_free_, at, end);
            at = end;
            continue;
        }
        // Through the adapter byte by byte: what it holds goes to the host when
        // its latency timer expires, or at once when a packet's worth is in.
        for (std::size_t i = at; i < end; ++i) {
            const double arrived = start + static_cast<double>(i - at + 1) * byte_time_;
            if (held_to > held_from && arrived > held_due) {
                release(held_due, held_from, held_to);
                held_from = held_to;
            }
            if (held_to == held_from) {
                held_from = i;
                held_due = next_expiry(arrived);
            }
            held_to = i + 1;
            if (held_to - held_from >= usb_packet_bytes_) {
                release(arrived, held_from, held_to);
                held_from = held_to;
                epoch_ = arrived;   // every packet to the host restarts the timer
            }
        }
        at = end;
    }
    if (held_to > held_from) release(held_due, held_from, held_to);
    return out;
}

CanWire::CanWire(const WireTiming& timing)
    : bit_time_(1.0 / std::max<std::uint32_t>(timing.can_bitrate, 1)), turnaround_(seconds(timing.can_turnaround)) {}

void CanWire::submit(double ready, std::uint32_t id, bool extended, std::size_t data_bytes,
                     std::vector<std::uint8_t> image, int sender) {
    // Arbitration compares the 11-bit base identifier first; at equal base a
    // standard frame beats an extended one.
    const std::uint32_t priority = extended ? ((id >> 18) << 1) | 1U : id << 1;
    waiting_.push_back(Frame{ready, priority, can_frame_bits(data_bytes, extended), std::move(image), sender,
                             submitted_++});
}

double CanWire::run_until(double now, const std::function<void(Frame&&, double)>& ended) {
    for (;;) {
        if (on_bus_) {
            if (on_bus_end_ > now) return on_bus_end_;
            Frame frame = std::move(*on_bus_);
            on_bus_.reset();
            bus_free_ = on_bus_end_;
            ended(std::move(frame), bus_free_);
            continue;
        }
        if (waiting_.empty()) return INFINITY;
        // Frames waiting when the bus falls free arbitrate; otherwise the next
        // one to arrive takes it.
        const auto earlier = [this](const Frame& a, const Frame& b) {
            const bool a_waits = a.ready <= bus_free_, b_waits = b.ready <= bus_free_;
            if (a_waits != b_waits) return a_waits;
            if (!a_waits && a.ready != b.ready) return a.ready < b.ready;
            if (a.priority != b.priority) return a.priority < b.priority;
            return a.order < b.order;
        };
        const auto next = std::min_element(waiting_.begin(), waiting_.end(), earlier);
        const double start = std::max(bus_free_, next->ready);
        if (start > now) return start;   // a frame arriving meanwhile may still win
        on_bus_end_ = start + static_cast<double>(next->bits) * bit_time_;
        on_bus_ = std::move(*next);
        waiting_.erase(next);
    }
}

}  // namespace torso_sim
