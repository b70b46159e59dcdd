// Forwards the core's log records to Python's `logging` package.
//
// A record from origin "quorvel_motor_controller::controller" goes to the
// Python logger "quorvel_motor_controller.controller" with the level numbers
// error 40, warn 30, info 20, debug 10 (trace is never forwarded). Each
// origin's logger and its threshold are cached on first use: a threshold
// raised later in Python takes effect at once, one lowered later does not.
// Records may come from any thread; a thread without the interpreter lock
// takes it only for records that pass the cached threshold, and once the
// interpreter starts shutting down every record is dropped.
#pragma once

namespace qmc::py {

// Installs the bridge as the process-wide log sink and sets the core's
// maximum level to debug. Call with the interpreter lock held; installing
// it again is a no-op. Throws Panic if `logging` cannot be imported or
// another sink is installed (Python error state is then clear).
void install_logging_bridge();

}  // namespace qmc::py
