// Round-trip time of Damiao feedback requests against a peer node that
// answers at once: over the unix relay bus, and over QMC_CAN_IFACE (e.g.
// vcan0) when that is set. Prints mean, p50 and p99 in microseconds.
//
//   can_request_bench [requests]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "candrive/damiao/driver.hpp"
#include "candrive/socketcan.hpp"
#include "support/unix_bus_relay.hpp"

namespace {

using namespace candrive;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kEscId = 0x01;
constexpr std::uint16_t kMstId = 0x11;

// Answers every feedback request for kEscId until stopped.
void answer_feedback(SocketCanTransport& node, const std::atomic<bool>& stop) {
    const CanFrame reply{{0x01, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 30, 32}, CanId::standard(kMstId)};
    while (!stop) {
        auto got = node.recv(std::chrono::milliseconds(20));
        if (got.ok() && got->id == CanId::standard(0x7FF) && got->data.size() == 8 && got->data[2] == 0xCC) {
            (void)node.send(reply);
        }
    }
}

std::optional<SocketCanTransport> open_node(const std::string& bus) {
    auto opened = SocketCanTransport::open(bus);
    if (!opened.ok()) {
        std::fprintf(stderr, "%s: %s\n", bus.c_str(), opened.error().message().c_str());
        return std::nullopt;
    }
    return std::move(opened).value();
}

bool run(const std::string& label, const std::string& bus, candrive_test::UnixBusRelay* relay, int requests) {
    auto host = open_node(bus);
    auto peer = open_node(bus);
    if (!host || !peer) return false;
    if (relay != nullptr && !relay->wait_for_nodes(2, std::chrono::seconds(5))) return false;

    std::atomic<bool> stop{false};
    std::thread motor([&] { answer_feedback(*peer, stop); });
    const auto damiao = damiao::Damiao::create(kEscId, kMstId, std::chrono::milliseconds(20),
                                               {12.5F, 30.0F, 500.0F, 5.0F, 10.0F});

    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(requests));
    int failures = 0;
    for (int i = -requests / 10; i < requests; ++i) {  // the first tenth warms up
        const auto start = Clock::now();
        const bool ok = damiao->request_feedback(*host).ok();
        const auto elapsed = Clock::now() - start;
        if (i < 0) continue;
        if (!ok) ++failures;
        micros.push_back(std::chrono::duration<double, std::micro>(elapsed).count());
    }
    stop = true;
    motor.join();

    std::sort(micros.begin(), micros.end());
    const double mean = std::accumulate(micros.begin(), micros.end(), 0.0) / static_cast<double>(micros.size());
    auto percentile = [&](double p) { return micros[static_cast<std::size_t>(p * static_cast<double>(micros.size() - 1))]; };
    std::printf("%-24s n=%d  mean %7.1f us  p50 %7.1f us  p99 %7.1f us  max %8.1f us  failures %d\n", label.c_str(),
                requests, mean, percentile(0.50), percentile(0.99), micros.back(), failures);
    return failures == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::max(10, std::atoi(argv[1])) : 5000;
    bool ok = true;
    {
        candrive_test::UnixBusRelay relay;
        ok = run("feedback, unix relay", relay.bus_name(), &relay, requests) && ok;
    }
    if (const char* iface = std::getenv("QMC_CAN_IFACE"); iface != nullptr && *iface != '\0') {
        ok = run(std::string("feedback, ") + iface, iface, nullptr, requests) && ok;
    }
    return ok ? 0 : 1;
}
