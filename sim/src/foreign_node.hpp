// Another program on the virtual CAN bus, driven by a test: its frames reach
// the neck motors and every connected node, as a second SocketCAN user's would.
#pragma once

#include "can_image.hpp"
#include "unique_fd.hpp"

#include <mutex>
#include <string>

namespace torso_sim {

class ForeignNode {
public:
    // Connects to the bus at `socket_path` on first use.
    explicit ForeignNode(std::string socket_path) : socket_path_(std::move(socket_path)) {}

    // Puts one frame on the bus; false if the bus cannot be reached.
    bool send(const can::Frame& frame);

private:
    std::string socket_path_;
    std::mutex mutex_;  // guards node_; held for one connect or send
    UniqueFd node_;
};

}  // namespace torso_sim
