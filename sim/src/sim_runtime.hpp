// What a running simulator holds: the state its buses share, the temporary
// directory with the bus socket, the pseudo-terminal, the pipe that wakes the
// bus threads to stop, and the threads themselves. Opening and closing these
// is all this part does; torso_sim.cpp reads and changes the state.
#pragma once

#include "foreign_node.hpp"
#include "serial_line.hpp"
#include "sim_state.hpp"
#include "unique_fd.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>

namespace torso_sim {

class TorsoSim::Impl {
public:
    explicit Impl(const Options& options) : state(options), link_directory(options.link_directory) {}
    // Wakes and joins the bus threads, then removes the socket and the directory.
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // Creates the directory, the pseudo-terminal and the bus, and starts the
    // bus threads. False with the reason in `error` if the system refuses.
    bool open(std::string& error);

    pid_t owner_pid = ::getpid();   // the process that started the threads
    SimState state;
    std::string directory;
    std::string socket_path;
    PseudoTerminal pty;
    UniqueFd listener;
    UniqueFd wake_read, wake_write;
    std::thread serial_thread, can_thread;
    std::optional<ForeignNode> foreign_node;  // a test's second node on the bus
    std::string link_directory;               // as asked; empty: no links
    std::string serial_link, can_link;        // the links made (absolute paths)

private:
    bool start_bus_threads(std::string& error);
    bool make_links(std::string& error);
    void remove_links();
    void forget_in_forked_child();
};

}  // namespace torso_sim
