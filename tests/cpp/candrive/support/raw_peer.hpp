// The far end of a socketpair, speaking raw SocketCAN frame images, for
// scripting exactly what a transport receives and checking what it sent.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "candrive/socketcan.hpp"

namespace candrive_test {

using Bytes = std::vector<std::uint8_t>;

// 16-byte classic image: identifier word (host order), length, three zero bytes, 8 data bytes.
inline Bytes classic_image(std::uint32_t id_word, const Bytes& data) {
    Bytes image(16, 0);
    std::memcpy(image.data(), &id_word, 4);
    image[4] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), image.begin() + 8);
    return image;
}

// 72-byte FD image: identifier word, length, flags, two zero bytes, 64 data bytes.
inline Bytes fd_image(std::uint32_t id_word, const Bytes& data, std::uint8_t flags) {
    Bytes image(72, 0);
    std::memcpy(image.data(), &id_word, 4);
    image[4] = static_cast<std::uint8_t>(data.size());
    image[5] = flags;
    std::copy(data.begin(), data.end(), image.begin() + 8);
    return image;
}

class RawPeer {
public:
    // A connected pair: the transport end and the scripted end.
    static std::pair<candrive::SocketCanTransport, RawPeer> pair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
        return {candrive::SocketCanTransport::from_fd(fds[0]), RawPeer(fds[1])};
    }

    RawPeer(RawPeer&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    RawPeer& operator=(RawPeer&&) = delete;
    ~RawPeer() { close(); }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    void write(const Bytes& message) const {
        if (::send(fd_, message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size())) {
            std::abort();
        }
    }

    // The next message, or nothing within `timeout`.
    std::optional<Bytes> read(std::chrono::milliseconds timeout = std::chrono::milliseconds(1000)) const {
        pollfd readable{fd_, POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
        Bytes message(256);
        const ssize_t size = ::recv(fd_, message.data(), message.size(), 0);
        if (size < 0) return std::nullopt;
        message.resize(static_cast<std::size_t>(size));
        return message;
    }

    // Number of messages read until none arrives for `quiet`.
    int drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(20)) const {
        int count = 0;
        while (read(quiet)) ++count;
        return count;
    }

private:
    explicit RawPeer(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace candrive_test
