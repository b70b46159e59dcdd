#include "foreign_node.hpp"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

namespace torso_sim {

bool ForeignNode::send(const can::Frame& frame) {
    std::lock_guard lock(mutex_);
    if (!node_) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (socket_path_.size() >= sizeof address.sun_path) return false;
        std::memcpy(address.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
        UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return false;
        // This node never reads: the bus drops what it cannot take, as for any slow node.
        node_ = std::move(fd);
    }
    const auto image = can::frame_image(frame);
    ssize_t sent;
    while ((sent = ::send(node_.get(), image.data(), image.size(), MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return sent == static_cast<ssize_t>(image.size());
}

}  // namespace torso_sim
