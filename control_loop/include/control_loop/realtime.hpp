// Real-time scheduling for the loop thread: SCHED_FIFO at a fixed priority,
// so that the loop runs ahead of every ordinary thread on a busy computer.
#pragma once

#include <string>

namespace quorvel {

// The priorities SCHED_FIFO accepts on this system (1 to 99 on Linux).
int min_realtime_priority();
int max_realtime_priority();

// Puts the calling thread under SCHED_FIFO at `priority`. 0 on success,
// otherwise the errno of the refusal (EPERM without the right to).
int run_at_realtime_priority(int priority);

// Whether a thread of this process may run under SCHED_FIFO at `priority`,
// asked before anything else happens: a short-lived thread asks for it and
// ends. 0 when allowed, otherwise the errno of the refusal (what
// run_at_realtime_priority would meet on the loop thread).
int probe_realtime_priority(int priority);

// Why the loop thread could not get `priority`, and how to allow it.
std::string realtime_refusal_text(int priority, int error);

}  // namespace quorvel
