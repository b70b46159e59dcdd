// Forwards the core's log records to Python's `logging` package.
//
// A record from origin "quorvel_motor_controller::controller" goes to the
// Python logger "quorvel_motor_controller.controller" with the level numbers
// error 40, warn 30, info 20, debug 10 (trace is never forwarded). Each
// origin's logger and its threshold are cached on first use: a threshold
// raised later in Python takes effect at once, one lowered later does not.
// Records may come from any thread. A Python thread (one calling into the
// module, whether or not it holds the interpreter lock at that moment)
// forwards a record that passes the cached threshold at once. Any other
// thread (a control loop's) never waits for the interpreter: it hands a copy
// to a bounded queue, and a forwarding thread delivers the records in order
// (a full queue drops its oldest record and says so in a warning). At
// interpreter exit the queue is flushed and the forwarding thread ended
// before finalisation, waiting at most about a second for slow handlers
// (what is left then is dropped, with a count on stderr); from then on
// every record is dropped. A forked child starts with no forwarding thread.
#pragma once

#include <chrono>

namespace qmc::py {

// Installs the bridge as the process-wide log sink and sets the core's
// maximum level to debug. Call with the interpreter lock held; installing
// it again is a no-op. Throws Panic if `logging` cannot be imported or
// another sink is installed (Python error state is then clear).
void install_logging_bridge();

// Waits until the records that native threads handed off before the call
// have reached Python, at most until `deadline`; false if it ran out. Call
// without the interpreter lock (the forwarding thread needs it). On the
// forwarding thread itself (in a logging handler) it returns false at once:
// the records behind the one being handled are delivered after it.
bool flush_log_records(std::chrono::steady_clock::time_point deadline);

// For the child side of fork(): forgets the parent's forwarding thread and
// the records it had queued. Touches no Python and takes no lock.
void forget_log_forwarding_after_fork();

}  // namespace qmc::py
