#include "serial_line.hpp"

#include "clock.hpp"
#include "feetech_packet.hpp"
#include "wire_clock.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace torso_sim {

namespace {

// A packet still incomplete after this much silence on the line is noise.
constexpr double kQuietGap = 0.003;
// Bytes the host has not read yet beyond this are lost, as from an overflowing adapter.
constexpr std::size_t kMaxBacklog = 1 << 16;

std::string system_error(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

struct DelayedReply {
    double due;
    std::vector<std::uint8_t> bytes;
};

class SerialServer {
public:
    SerialServer(int master_fd, int wake_fd, SimState& state) : master_(master_fd), wake_(wake_fd), state_(state) {
        if (state.wire.enabled) wire_.emplace(state.wire, monotonic_seconds());
    }

    void run() {
        std::uint8_t buffer[4096];
        for (;;) {
            double now = monotonic_seconds();
            while (!delayed_.empty() && delayed_.front().due <= now) {
                queue_output(delayed_.front().bytes);
                delayed_.pop_front();
            }
            flush_output();
            if (splitter_.has_partial() && now - last_received_ >= kQuietGap) dispatch(true, last_received_);

            double deadline = INFINITY;
            if (!delayed_.empty()) deadline = delayed_.front().due;
            if (splitter_.has_partial()) deadline = std::min(deadline, last_received_ + kQuietGap);

            pollfd fds[2] = {{wake_, POLLIN, 0}, {master_, static_cast<short>(POLLIN | (backlog_.empty() ? 0 : POLLOUT)), 0}};
            if (poll_until(fds, 2, deadline, now) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents != 0) return;
            if (fds[1].revents & POLLIN) {
                for (;;) {
                    const ssize_t n = ::read(master_, buffer, sizeof buffer);
                    if (n <= 0) break;
                    last_received_ = monotonic_seconds();
                    if (wire_) wire_end_ = wire_->host_bytes(static_cast<std::size_t>(n), last_received_);
                    splitter_.feed(std::span(buffer, static_cast<std::size_t>(n)));
                    dispatch(false, last_received_);
                }
            } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                // Nobody on the slave side (cannot happen while we hold it): don't spin.
                pollfd wake_only{wake_, POLLIN, 0};
                if (poll(&wake_only, 1, 1) > 0) return;
            }
        }
    }

private:
    void dispatch(bool stale, double received_at) {
        while (auto item = splitter_.next(stale)) {
            std::vector<std::uint8_t> reply;
            std::chrono::microseconds delay{};
            {
                std::lock_guard lock(state_.mutex);
                if (item->parsed) {
                    reply = state_.servos.handle(item->packet, received_at);
                    delay = state_.servos.reply_delay_for(item->packet);
                }
                state_.log.add(SerialLogEntry{received_at, std::move(item->bytes), item->parsed});
                if (wire_ && !reply.empty()) {
                    schedule_on_wire(reply, delay, received_at);
                    continue;
                }
            }
            if (reply.empty()) continue;
            if (delay.count() <= 0 && delayed_.empty()) {
                queue_output(reply);
            } else {
                const double after = std::chrono::duration<double>(delay).count();
                delayed_.push_back({monotonic_seconds() + after, std::move(reply)});
            }
        }
        flush_output();
    }

    // With wire time: the replies reach the host once they have crossed the
    // line (and the adapter). State mutex held.
    void schedule_on_wire(const std::vector<std::uint8_t>& reply, std::chrono::microseconds delay, double now) {
        constexpr std::uint8_t kReturnDelayRegister = 7;   // units of 2 us
        const ServoEnvironment env = state_.servos.environment(now);
        const auto return_delay = [&](std::uint8_t id) {
            const Servo* s = state_.servos.servo(id, now);
            return s ? s->read(kReturnDelayRegister, env) * 2e-6 : 0.0;
        };
        for (auto& release :
             wire_->replies(wire_end_, std::chrono::duration<double>(delay).count(), reply, return_delay))
            delayed_.push_back({release.due, std::move(release.bytes)});
    }

    void queue_output(const std::vector<std::uint8_t>& bytes) {
        const std::size_t room = kMaxBacklog - std::min(kMaxBacklog, backlog_.size());
        backlog_.insert(backlog_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(room, bytes.size())));
    }

    void flush_output() {
        while (!backlog_.empty()) {
            const ssize_t n = ::write(master_, backlog_.data(), backlog_.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;   // full: wait for POLLOUT
            backlog_.erase(backlog_.begin(), backlog_.begin() + n);
        }
    }

    int master_;
    int wake_;
    SimState& state_;
    feetech::PacketSplitter splitter_;
    std::deque<DelayedReply> delayed_;
    std::vector<std::uint8_t> backlog_;
    double last_received_ = 0.0;
    std::optional<SerialWire> wire_;   // set: keep wire time
    double wire_end_ = 0.0;            // when the last byte read has crossed the line
};

}  // namespace

std::optional<PseudoTerminal> open_pseudo_terminal(std::string& error) {
    PseudoTerminal pty;
    pty.master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pty.master) return error = system_error("posix_openpt"), std::nullopt;
    if (grantpt(pty.master.get()) != 0) return error = system_error("grantpt"), std::nullopt;
    if (unlockpt(pty.master.get()) != 0) return error = system_error("unlockpt"), std::nullopt;
    char name[128];
    if (ptsname_r(pty.master.get(), name, sizeof name) != 0) return error = system_error("ptsname_r"), std::nullopt;
    pty.slave_path = name;

    pty.slave.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pty.slave) return error = system_error("open pty slave"), std::nullopt;
    termios settings{};
    if (tcgetattr(pty.slave.get(), &settings) != 0) return error = system_error("tcgetattr"), std::nullopt;
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(pty.slave.get(), TCSANOW, &settings) != 0) return error = system_error("tcsetattr"), std::nullopt;

    const int flags = fcntl(pty.master.get(), F_GETFL);
    if (flags < 0 || fcntl(pty.master.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return error = system_error("fcntl"), std::nullopt;
    return pty;
}

void serve_serial_line(int master_fd, int wake_fd, SimState& state) {
    SerialServer(master_fd, wake_fd, state).run();
}

}  // namespace torso_sim
