#include "unix_bus_relay.hpp"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace candrive_test {
namespace {

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::abort();
}

// Delivers one message to a node, waiting a bounded time for room in its
// queue; a node that does not read loses the frame, as on a real bus.
void deliver(int fd, const std::uint8_t* data, std::size_t size) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return;
        pollfd writable{fd, POLLOUT, 0};
        ::poll(&writable, 1, 200);
    }
}

}  // namespace

UnixBusRelay::UnixBusRelay() {
    char directory[] = "/tmp/qmc-canbus-XXXXXX";
    if (::mkdtemp(directory) == nullptr) die("mkdtemp");
    directory_ = directory;
    path_ = directory_ + "/can.sock";

    listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listener_ < 0) die("socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) die("bind");
    if (::listen(listener_, 16) != 0) die("listen");
    stop_event_ = ::eventfd(0, EFD_CLOEXEC);
    if (stop_event_ < 0) die("eventfd");
    thread_ = std::thread([this] { run(); });
}

UnixBusRelay::~UnixBusRelay() {
    const std::uint64_t one = 1;
    if (::write(stop_event_, &one, sizeof one) < 0) std::perror("eventfd write");
    thread_.join();
    ::close(stop_event_);
    ::close(listener_);
    ::unlink(path_.c_str());
    ::rmdir(directory_.c_str());
}

bool UnixBusRelay::wait_for_nodes(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return nodes_changed_.wait_for(lock, timeout, [&] { return nodes_served_ >= count; });
}

void UnixBusRelay::run() {
    std::vector<int> nodes;
    for (;;) {
        std::vector<pollfd> fds{{stop_event_, POLLIN, 0}, {listener_, POLLIN, 0}};
        for (int node : nodes) fds.push_back({node, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            die("poll");
        }
        if (fds[0].revents != 0) break;

        std::vector<int> gone;
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            std::uint8_t message[128];
            const ssize_t size = ::recv(fds[i].fd, message, sizeof message, MSG_DONTWAIT);
            if (size < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (size < 0 || (size == 0 && (fds[i].revents & POLLHUP) != 0)) {
                gone.push_back(fds[i].fd);
                continue;
            }
            for (int other : nodes) {
                if (other != fds[i].fd) deliver(other, message, static_cast<std::size_t>(size));
            }
        }
        for (int fd : gone) {
            nodes.erase(std::find(nodes.begin(), nodes.end(), fd));
            ::close(fd);
        }
        if (fds[1].revents != 0) {
            const int node = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (node >= 0) nodes.push_back(node);
        }
        {
            std::lock_guard lock(mutex_);
            nodes_served_ = nodes.size();
        }
        nodes_changed_.notify_all();
    }
    for (int node : nodes) ::close(node);
}

}  // namespace candrive_test
