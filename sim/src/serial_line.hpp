// The servos' end of the serial line: a pseudo-terminal whose slave side is
// the port the host opens, and the thread loop that answers on its master.
#pragma once

#include "sim_state.hpp"
#include "unique_fd.hpp"

#include <optional>
#include <string>

namespace torso_sim {

struct PseudoTerminal {
    UniqueFd master;   // non-blocking; the servos read and write here
    // Held open in raw mode for the simulator's whole life, so the line
    // settings persist between host sessions and the master never sees a
    // hang-up when the host closes the port.
    UniqueFd slave;
    std::string slave_path;
};

std::optional<PseudoTerminal> open_pseudo_terminal(std::string& error);

// Answers instruction packets until `wake_fd` becomes readable.
void serve_serial_line(int master_fd, int wake_fd, SimState& state);

}  // namespace torso_sim
