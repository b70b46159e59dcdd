#include "can_bus.hpp"

#include "can_image.hpp"
#include "clock.hpp"
#include "wire_clock.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>

namespace torso_sim {

namespace {

constexpr int kListenBacklog = 16;

struct DelayedFrames {
    double due;
    std::vector<std::vector<std::uint8_t>> images;
};

class CanServer {
public:
    CanServer(int listen_fd, int wake_fd, SimState& state) : listener_(listen_fd), wake_(wake_fd), state_(state) {
        if (state.wire.enabled) wire_.emplace(state.wire);
    }

    void run() {
        std::vector<pollfd> fds;
        for (;;) {
            const double now = monotonic_seconds();
            while (!delayed_.empty() && delayed_.front().due <= now) {
                for (const auto& image : delayed_.front().images) send_to_all(image, -1);
                delayed_.pop_front();
            }

            fds.clear();
            fds.push_back({wake_, POLLIN, 0});
            fds.push_back({listener_, POLLIN, 0});
            for (const UniqueFd& node : nodes_) fds.push_back({node.get(), POLLIN, 0});
            double next_due = delayed_.empty() ? INFINITY : delayed_.front().due;
            if (wire_) next_due = std::min(next_due, run_wire(now));
            if (poll_until(fds.data(), fds.size(), next_due, now) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents != 0) return;

            // Accept first: a node that connected before another node's frame
            // was sent must receive that frame.
            const std::size_t polled_nodes = fds.size() - 2;
            if (fds[1].revents & POLLIN) accept_nodes();
            std::vector<bool> gone(polled_nodes, false);
            for (std::size_t i = 0; i < polled_nodes; ++i) {
                const short revents = fds[i + 2].revents;
                if (revents & POLLIN) {
                    gone[i] = !receive_from(i);
                } else if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
                    gone[i] = true;
                }
            }
            for (std::size_t i = polled_nodes; i-- > 0;)
                if (gone[i]) nodes_.erase(nodes_.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }

private:
    void accept_nodes() {
        for (;;) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR) continue;
                return;
            }
            nodes_.emplace_back(fd);
        }
    }

    // Reads every waiting message of node `index`; false once the node has left.
    bool receive_from(std::size_t index) {
        std::uint8_t message[can::kFdImageSize + 8];
        for (;;) {
            const ssize_t n = recv(nodes_[index].get(), message, sizeof message, MSG_DONTWAIT);
            if (n == 0) return false;
            if (n < 0) {
                if (errno == EINTR) continue;
                return errno == EAGAIN || errno == EWOULDBLOCK;
            }
            const std::span<const std::uint8_t> image(message, static_cast<std::size_t>(n));
            const auto frame = can::parse_image(image);
            if (!frame) continue;   // not a frame image: nothing on the bus
            const int sender = nodes_[index].get();
            if (wire_) {
                const double sent_at = monotonic_seconds();
                {
                    std::lock_guard lock(state_.mutex);
                    state_.log.add(CanLogEntry{sent_at, frame->id, frame->extended, frame->fd, frame->data});
                }
                wire_->submit(sent_at, frame->id, frame->extended, frame->data.size(), {image.begin(), image.end()},
                              sender);
                continue;
            }
            send_to_all(image, sender);

            const double received_at = monotonic_seconds();
            std::vector<std::vector<std::uint8_t>> replies;
            std::chrono::microseconds delay{};
            {
                std::lock_guard lock(state_.mutex);
                state_.log.add(CanLogEntry{received_at, frame->id, frame->extended, frame->fd, frame->data});
                replies = state_.neck.handle(*frame, received_at);
                delay = state_.neck.answer_delay();
            }
            if (replies.empty()) continue;
            const double due = received_at + std::chrono::duration<double>(delay).count();
            if (delay.count() <= 0 && (delayed_.empty() || delayed_.front().due > due)) {
                for (const auto& reply : replies) send_to_all(reply, -1);
            } else {
                // Motors answer after delays of their own: keep the queue in order of due time.
                const auto later = std::upper_bound(delayed_.begin(), delayed_.end(), due,
                                                    [](double t, const DelayedFrames& d) { return t < d.due; });
                delayed_.insert(later, DelayedFrames{due, std::move(replies)});
            }
        }
    }

    // With wire time: delivers the frames whose time on the bus has passed
    // (a node's frame reaches the other nodes and the motors, whose answers
    // queue for the bus after their turnaround). The next time to look again.
    double run_wire(double now) {
        return wire_->run_until(now, [this](CanWire::Frame&& frame, double end) {
            send_to_all(frame.image, frame.sender);
            if (frame.sender < 0) return;
            const auto parsed = can::parse_image(frame.image);
            if (!parsed) return;
            std::vector<std::vector<std::uint8_t>> replies;
            std::chrono::microseconds delay{};
            {
                std::lock_guard lock(state_.mutex);
                replies = state_.neck.handle(*parsed, end);
                delay = state_.neck.answer_delay();
            }
            const double ready = end + wire_->turnaround() + std::chrono::duration<double>(delay).count();
            for (auto& reply : replies) {
                const auto answer = can::parse_image(reply);
                if (answer) wire_->submit(ready, answer->id, answer->extended, answer->data.size(), std::move(reply), -1);
            }
        });
    }

    // A node that does not keep up loses frames, as a full CAN socket would.
    void send_to_all(std::span<const std::uint8_t> image, int except_fd) {
        for (const UniqueFd& node : nodes_) {
            if (node.get() == except_fd) continue;
            while (send(node.get(), image.data(), image.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno == EINTR) {
            }
        }
    }

    int listener_;
    int wake_;
    SimState& state_;
    std::vector<UniqueFd> nodes_;
    std::deque<DelayedFrames> delayed_;
    std::optional<CanWire> wire_;   // set: keep wire time
};

}  // namespace

std::optional<UniqueFd> listen_can_bus(const std::string& socket_path, std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof address.sun_path) {
        error = "bus socket path too long: " + socket_path;
        return std::nullopt;
    }
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return error = std::string("socket: ") + std::strerror(errno), std::nullopt;
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return error = std::string("bind ") + socket_path + ": " + std::strerror(errno), std::nullopt;
    if (listen(fd.get(), kListenBacklog) != 0) return error = std::string("listen: ") + std::strerror(errno), std::nullopt;
    return fd;
}

void serve_can_bus(int listen_fd, int wake_fd, SimState& state) { CanServer(listen_fd, wake_fd, state).run(); }

}  // namespace torso_sim
