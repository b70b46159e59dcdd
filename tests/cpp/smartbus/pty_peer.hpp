// The far end of a pseudo-terminal, playing the servos on the bus. The test
// opens the module's serial port on slave_path(); a thread on the master side
// collects instruction packets and answers them as the responder says.
// The packet coding here is written independently of the library's, so a
// mistake cannot cancel out on both sides.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "smartbus/error.hpp"
#include "smartbus/serial_port.hpp"

namespace smartbus_test {

using Bytes = std::vector<std::uint8_t>;

struct Reply {
    std::chrono::microseconds delay{0};  // before writing `bytes`
    Bytes bytes;
};

// Complement of the low byte of the sum.
std::uint8_t feetech_sum(std::span<const std::uint8_t> bytes);
// A status packet FF FF id len error params checksum.
Bytes status_bytes(std::uint8_t id, std::uint8_t error, const Bytes& params);

class PtyPeer {
public:
    using Responder = std::function<std::vector<Reply>(const Bytes& packet)>;

    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& slave_path() const { return slave_path_; }
    void set_responder(Responder responder);
    // Writes bytes towards the port at once, outside any exchange.
    void send_now(const Bytes& bytes);
    // Writes bytes after `delay` from a thread of its own, prompt like the peer's; join it.
    std::thread send_after(std::chrono::microseconds delay, Bytes bytes);
    // Every complete instruction packet received so far.
    std::vector<Bytes> received() const;
    void clear_received();
    // Waits until every packet received so far has been answered in full, so
    // a test can rely on late replies of a failed exchange being in the port.
    bool wait_until_answered(std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // Waits until at least `count` packets were received since the last
    // clear_received() and every packet taken has been applied (its responder
    // ran, its replies were written): what a packet without an answer wrote
    // into the servos' registers can then be looked at.
    bool wait_until_applied(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // Closes the master side: the port sees a hang-up.
    void hang_up();

private:
    void run();
    void take_packets(Bytes& pending);

    int master_ = -1;
    int slave_keepalive_ = -1;
    std::string slave_path_;
    mutable std::mutex mutex_;  // guards responder_, received_, taken_ and answered_
    std::condition_variable answered_changed_;
    Responder responder_;
    std::vector<Bytes> received_;
    std::size_t taken_ = 0;     // packets taken since the start (clear_received keeps it)
    std::size_t answered_ = 0;  // of those, the ones whose replies are all written
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A responder with a register table per servo and fault switches. The peer
// thread answers while the test changes or looks at them, so every access
// goes through the same lock. A FakeServos must outlive the PtyPeer that
// answers with its responder: declare it first.
class FakeServos {
public:
    struct Faults {
        std::set<std::uint8_t> silent;
        std::set<std::uint8_t> corrupt_checksum;
        std::map<std::uint8_t, std::uint8_t> reply_as;
        std::map<std::uint8_t, Bytes> garbage_before;
        std::map<std::uint8_t, std::size_t> truncate_to;  // reply cut after this many bytes
        std::map<std::uint8_t, int> extra_params;         // bytes added to (or, negative, cut from) read replies
        std::uint8_t error_byte = 0;
    };

    // The fault switches, locked until the end of the full expression:
    // `servos.faults()->silent.insert(2);`
    class LockedFaults {
    public:
        LockedFaults(std::mutex& mutex, Faults& faults) : lock_(mutex), faults_(faults) {}
        Faults* operator->() const { return &faults_; }

    private:
        std::unique_lock<std::mutex> lock_;
        Faults& faults_;
    };

    explicit FakeServos(std::set<std::uint8_t> present) : present_(std::move(present)) {}

    LockedFaults faults() { return LockedFaults(mutex_, faults_); }
    void set_byte(std::uint8_t id, std::uint8_t address, std::uint8_t value);
    std::uint8_t byte(std::uint8_t id, std::uint8_t address);
    void set_u16(std::uint8_t id, std::uint8_t address, std::uint16_t value);
    std::uint16_t u16(std::uint8_t id, std::uint8_t address);

    PtyPeer::Responder responder();

private:
    std::vector<Reply> answer(const Bytes& packet);
    Bytes reply_from(std::uint8_t id, const Bytes& params);

    std::mutex mutex_;  // guards everything below
    std::set<std::uint8_t> present_;
    std::map<std::uint8_t, std::array<std::uint8_t, 256>> registers_;
    Faults faults_;
};

// Polls the port until at least `count` bytes wait in it or 2 s pass;
// returns how many wait (0 when the port cannot tell).
std::size_t wait_for_input(smartbus::SerialPort& port, std::size_t count);

// The class of an error, or a value no test expects when it is of another class.
inline smartbus::IoErrorKind io_kind(const smartbus::Error& error) {
    return error.io() ? error.io()->kind : static_cast<smartbus::IoErrorKind>(-1);
}
inline smartbus::CommunicationErrorCode communication_code(const smartbus::Error& error) {
    return error.communication() ? error.communication()->code : static_cast<smartbus::CommunicationErrorCode>(0xFF);
}

// Puts a terminal file descriptor into raw mode.
void make_raw(int fd);

}  // namespace smartbus_test
