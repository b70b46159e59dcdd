// The virtual CAN bus: a listening AF_UNIX SOCK_SEQPACKET socket, one
// connection per node, one SocketCAN frame image per message. A node's frame
// reaches the neck motors and every other node (never its sender); the
// motors' frames reach every node.
#pragma once

#include "sim_state.hpp"
#include "unique_fd.hpp"

#include <optional>
#include <string>

namespace torso_sim {

std::optional<UniqueFd> listen_can_bus(const std::string& socket_path, std::string& error);

// Carries frames until `wake_fd` becomes readable.
void serve_can_bus(int listen_fd, int wake_fd, SimState& state);

}  // namespace torso_sim
