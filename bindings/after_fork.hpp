// What a forked child forgets of its parent. The child has only the thread
// that called fork(): the parent's control-loop threads and the log
// forwarding thread are not there, and a mutex one of them held at the fork
// stays held for good. So the child drops the registry of live loops and
// the forwarding state, and a loop object it inherited refuses to be used
// (see in_creating_process); its exit then waits for nothing.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace qmc::py {

// Registers the child-side handler with pthread_atfork, once. False if the
// system refused (out of memory). Call at import, with the interpreter lock.
bool install_fork_handler();

// Where an object was created: the process and how many forks deep.
struct ProcessStamp {
    pid_t pid;
    std::uint64_t generation;
};

// The calling process's stamp.
ProcessStamp this_process();

// True in the process that made `stamp`; false in a child forked since.
bool in_creating_process(const ProcessStamp& stamp);

}  // namespace qmc::py
