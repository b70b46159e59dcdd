// A test fixture whose serial port talks to scripted servos 1 to 7 through a
// PtyPeer, with a protocol handler for the transactions.
//
// The port waits up to 100 ms for a reply rather than the servos' 10 ms: a
// pseudo-terminal on a busy machine can hold a reply past 10 ms, and these
// tests are about what is sent and made of the answers. A test of the 10 ms
// window itself calls reopen() with it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <utility>

#include "pty_peer.hpp"
#include "smartbus/protocol_handler.hpp"
#include "smartbus/serial_port.hpp"

namespace smartbus_test {

class ScriptedBus : public testing::Test {
protected:
    static constexpr std::chrono::milliseconds kPatientTimeout{100};

    void SetUp() override {
        peer.set_responder(servos.responder());
        reopen(kPatientTimeout);
    }

    void reopen(std::chrono::milliseconds timeout) {
        port.reset();  // releases the lock first
        auto opened = smartbus::open_serial_port(peer.slave_path(), timeout);
        ASSERT_TRUE(opened.ok()) << opened.error().message();
        port = std::move(opened).value();
    }

    // Before the peer, whose thread answers with them until it is destroyed.
    FakeServos servos{{1, 2, 3, 4, 5, 6, 7}};
    PtyPeer peer;
    std::unique_ptr<smartbus::SerialPort> port;
    smartbus::FeetechProtocolHandler handler;
};

}  // namespace smartbus_test
