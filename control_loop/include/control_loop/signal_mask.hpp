#pragma once

#include <signal.h>

namespace quorvel {

// Blocks every signal in the calling thread for the guard's lifetime, so a
// thread started inside its scope inherits a mask that takes no signals.
// Process-directed signals (Ctrl-C) then always reach a thread of the host
// program, where they can interrupt a sleep, instead of landing in the loop
// thread and waiting there for the main thread's next wake-up.
class BlockAllSignals {
public:
    BlockAllSignals() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous_);
    }
    ~BlockAllSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    BlockAllSignals(const BlockAllSignals&) = delete;
    BlockAllSignals& operator=(const BlockAllSignals&) = delete;

private:
    sigset_t previous_{};
};

}  // namespace quorvel
