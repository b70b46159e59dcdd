// A test fixture whose serial port talks to scripted servos 1 to 7 through a
// PtyPeer, with a protocol handler for the transactions.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "pty_peer.hpp"
#include "smartbus/protocol_handler.hpp"
#include "smartbus/serial_port.hpp"

namespace smartbus_test {

class ScriptedBus : public testing::Test {
protected:
    void SetUp() override {
        peer.set_responder(servos.responder());
        auto opened = smartbus::open_serial_port(peer.slave_path());
        ASSERT_TRUE(opened.ok()) << opened.error().message();
        port = std::move(opened).value();
    }

    PtyPeer peer;
    FakeServos servos{{1, 2, 3, 4, 5, 6, 7}};
    std::unique_ptr<smartbus::SerialPort> port;
    smartbus::FeetechProtocolHandler handler;
};

}  // namespace smartbus_test
