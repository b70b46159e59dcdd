// The registry of live control loops and the exit hook that closes them.
//
// Every loop a Python object has created is registered here. At interpreter
// exit the loops still running are closed (queued commands executed, thread
// joined) while the interpreter is whole, so no loop thread touches it once
// finalisation begins.
#pragma once

#include <memory>

#include "control_loop/control_loop.hpp"

namespace qmc::py {

// Registers a loop; the registry holds it weakly.
void add_live_loop(const std::shared_ptr<quorvel::QuorvelControlLoop>& loop);

// For the child side of fork(): forgets the parent's loops (their threads
// are not in the child). Touches no Python and takes no lock.
void forget_live_loops_after_fork();

// Registers the hook with atexit, once; false with a Python error set.
// Interpreter lock held.
bool register_live_loops_exit_hook();

}  // namespace qmc::py
