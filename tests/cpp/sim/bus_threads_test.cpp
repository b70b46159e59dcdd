// The simulator's bus threads run ahead of ordinary threads where the system
// allows it, as real servos answer whatever the host is doing.
#include "torso_sim/torso_sim.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <pthread.h>
#include <sched.h>

#include <cstdlib>
#include <set>
#include <string>
#include <thread>

namespace {

std::set<pid_t> threads_of_this_process() {
    std::set<pid_t> tids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') tids.insert(static_cast<pid_t>(std::atoi(entry->d_name)));
        closedir(dir);
    }
    return tids;
}

bool may_run_real_time() {
    bool allowed = false;
    std::thread probe([&] {
        const sched_param lowest{1};
        allowed = pthread_setschedparam(pthread_self(), SCHED_FIFO, &lowest) == 0;
    });
    probe.join();
    return allowed;
}

TEST(SimBusThreads, RunUnderRealTimePriorityWhereAllowed) {
    const std::set<pid_t> before = threads_of_this_process();
    auto sim = torso_sim::TorsoSim::start();
    ASSERT_TRUE(sim);
    int real_time = 0, added = 0;
    for (pid_t tid : threads_of_this_process()) {
        if (before.count(tid)) continue;
        ++added;
        if (sched_getscheduler(tid) == SCHED_FIFO) ++real_time;
    }
    EXPECT_EQ(added, 2);
    EXPECT_EQ(real_time, may_run_real_time() ? 2 : 0);
}

}  // namespace
