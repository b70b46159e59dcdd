// Sync read of the present position of four arm servos, against scripted
// servos on a pseudo-terminal. Prints mean, p50 and p99 per read in microseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "pty_peer.hpp"
#include "smartbus/feetech_servo.hpp"

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int warm_up = 200;

    smartbus_test::FakeServos servos({1, 2, 3, 4});  // outlives the peer thread that answers with it
    smartbus_test::PtyPeer peer;
    for (std::uint8_t id = 1; id <= 4; ++id) servos.set_u16(id, 56, static_cast<std::uint16_t>(2000 + id));
    peer.set_responder(servos.responder());

    auto port = smartbus::open_serial_port(peer.slave_path());
    if (!port) {
        std::fprintf(stderr, "open failed: %s\n", port.error().message().c_str());
        return 1;
    }
    smartbus::FeetechProtocolHandler handler;
    const std::uint8_t ids[] = {1, 2, 3, 4};

    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(rounds));
    int failures = 0;
    for (int i = 0; i < warm_up + rounds; ++i) {
        const auto began = std::chrono::steady_clock::now();
        auto positions = smartbus::feetech_servo::sync_read_present_position(handler, **port, ids);
        const auto took = std::chrono::steady_clock::now() - began;
        if (!positions) ++failures;
        if (i >= warm_up) micros.push_back(std::chrono::duration<double, std::micro>(took).count());
    }
    std::sort(micros.begin(), micros.end());
    const double mean = std::accumulate(micros.begin(), micros.end(), 0.0) / static_cast<double>(micros.size());
    auto percentile = [&](double p) { return micros[static_cast<std::size_t>(p * static_cast<double>(micros.size() - 1))]; };
    std::printf("smartbus 4-servo sync read of present position over a pty, %d rounds: "
                "mean %.1f us, p50 %.1f us, p99 %.1f us, max %.1f us, failures %d\n",
                rounds, mean, percentile(0.50), percentile(0.99), micros.back(), failures);
    return failures == 0 ? 0 : 1;
}
