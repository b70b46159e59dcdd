// The Python class QuorvelPyControlLoop: a control loop as Python sees it.
// Commands are queued and return at once; raw reads and raw packets wait for
// the loop's answer; the accessors read what the loop has published. Every
// wait on the loop thread happens with the interpreter lock released, and
// loops still running at interpreter exit are closed before finalisation.
#pragma once

#include "bindings/python.hpp"

namespace qmc::py {

// The class object, created on first call (a borrowed reference that lives
// for the rest of the process; null with an exception set on failure).
// Creating it also registers the exit hook that closes running loops.
PyTypeObject* control_loop_type();

}  // namespace qmc::py
