#include "bindings/after_fork.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "bindings/interpreter_state.hpp"
#include "bindings/live_loops.hpp"
#include "bindings/logging_bridge.hpp"

namespace qmc::py {
namespace {

// Forks since the module was loaded, counted in each child: comparing it is
// cheaper than asking the system for the process id on every call.
std::atomic<std::uint64_t> generation{0};

// Runs in the child inside fork(), before Python's own after-fork work: no
// Python, no lock another thread may have held.
void forget_parent() {
    generation.fetch_add(1);
    exit_thread.store(std::thread::id());
    forget_live_loops_after_fork();
    forget_log_forwarding_after_fork();
}

}  // namespace

bool install_fork_handler() {
    static bool installed = false;  // interpreter lock held
    if (!installed) installed = ::pthread_atfork(nullptr, nullptr, forget_parent) == 0;
    return installed;
}

ProcessStamp this_process() { return {::getpid(), generation.load()}; }

bool in_creating_process(const ProcessStamp& stamp) { return stamp.generation == generation.load(); }

}  // namespace qmc::py
