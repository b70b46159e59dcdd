// A stand-in CAN bus for tests and benchmarks: a listening SOCK_SEQPACKET
// socket whose thread forwards every message from one connected node to
// every other node, never back to its sender (CAN_RAW semantics without
// own-message reception). Open nodes with SocketCanTransport::open(bus_name()).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

namespace candrive_test {

class UnixBusRelay {
public:
    UnixBusRelay();  // socket in a fresh temporary directory; aborts the test binary on failure
    ~UnixBusRelay();
    UnixBusRelay(const UnixBusRelay&) = delete;
    UnixBusRelay& operator=(const UnixBusRelay&) = delete;

    // "unix:<path>"
    std::string bus_name() const { return "unix:" + path_; }

    // True once `count` nodes are connected and being served (a node's first
    // frames would otherwise race its acceptance).
    bool wait_for_nodes(std::size_t count, std::chrono::milliseconds timeout);

private:
    void run();

    std::string directory_;
    std::string path_;
    int listener_ = -1;
    int stop_event_ = -1;  // eventfd, written by the destructor

    std::mutex mutex_;  // guards nodes_served_
    std::condition_variable nodes_changed_;
    std::size_t nodes_served_ = 0;

    std::thread thread_;  // last: starts after everything above is ready
};

}  // namespace candrive_test
