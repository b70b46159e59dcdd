// Everything the bus threads and the public methods share, behind one mutex.
#pragma once

#include "neck_bus.hpp"
#include "servo_bus.hpp"
#include "torso_sim/torso_sim.hpp"

#include <deque>
#include <mutex>

namespace torso_sim {

inline constexpr std::size_t kLogCapacity = 100000;

struct TrafficLog {
    std::deque<SerialLogEntry> serial;
    std::deque<CanLogEntry> can;

    void add(SerialLogEntry entry) {
        if (serial.size() == kLogCapacity) serial.pop_front();
        serial.push_back(std::move(entry));
    }
    void add(CanLogEntry entry) {
        if (can.size() == kLogCapacity) can.pop_front();
        can.push_back(std::move(entry));
    }
};

struct SimState {
    explicit SimState(const Options& options)
        : wire(options.wire), neck(options.neck_ctrl_mode, options.neck_positions) {
        servos.reboot_silence = std::chrono::duration<double>(options.reboot_silence).count();
    }

    const WireTiming wire;   // fixed at start: read without the mutex

    // Guards every member below. Taken by the serial thread, the CAN thread
    // and the public methods for the time it takes to compute an answer or
    // read a value; never held during I/O or a wait.
    mutable std::mutex mutex;
    ServoBus servos;
    NeckBus neck;
    TrafficLog log;
};

}  // namespace torso_sim
