// The POSIX port's read-ahead buffer: input it has already taken from the
// terminal is counted, served in order, drained and timed out exactly like
// input still waiting in the kernel.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "pty_peer.hpp"
#include "smartbus/protocol_handler.hpp"
#include "smartbus/serial_port.hpp"

using namespace smartbus;
using namespace std::chrono_literals;
using smartbus_test::Bytes;
using smartbus_test::FakeServos;
using smartbus_test::io_kind;
using smartbus_test::PtyPeer;
using smartbus_test::status_bytes;

namespace {

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

class ReadAhead : public testing::Test {
protected:
    // The port waits up to 100 ms rather than the servos' 10 ms: these tests
    // are about what is read, and a pseudo-terminal on a busy machine can
    // hold bytes back past 10 ms.
    void SetUp() override {
        auto opened = open_serial_port(peer.slave_path(), std::chrono::milliseconds(100));
        ASSERT_TRUE(opened.ok()) << opened.error().message();
        port = std::move(opened).value();
    }

    // Waits (generously) until the port reports `count` bytes to read.
    void expect_to_read(std::size_t count) {
        std::size_t seen = 0;
        for (int i = 0; i < 500; ++i) {
            auto waiting = port->bytes_to_read();
            ASSERT_TRUE(waiting.ok()) << waiting.error().message();
            seen = *waiting;
            if (seen == count) return;
            std::this_thread::sleep_for(1ms);
        }
        FAIL() << "bytes_to_read stayed at " << seen << ", expected " << count;
    }

    Bytes read(std::size_t count) {
        Bytes got(count);
        auto result = port->read_exact(got);
        EXPECT_TRUE(result.ok()) << result.error().message();
        return got;
    }

    FakeServos servos{{1, 2, 3, 4}};  // before the peer, whose thread may answer with them
    PtyPeer peer;
    std::unique_ptr<SerialPort> port;
};

}  // namespace

TEST_F(ReadAhead, RepliesArrivingTogetherAreServedInOrderAndCounted) {
    const Bytes trailing{0x11, 0x22, 0x33};
    const Bytes chunk = joined({status_bytes(1, 0, {0x01, 0x08}), status_bytes(2, 0, {}),
                                status_bytes(3, 0x20, {0x05, 0x06, 0x07, 0x08}), trailing});
    peer.send_now(chunk);
    ASSERT_NO_FATAL_FAILURE(expect_to_read(chunk.size()));

    auto first = Protocol::read_status_packet(*port, 1);
    ASSERT_TRUE(first.ok()) << first.error().message();
    EXPECT_EQ(Bytes(first->params().begin(), first->params().end()), (Bytes{0x01, 0x08}));
    // The rest is held by the port now, and still counted.
    ASSERT_NO_FATAL_FAILURE(expect_to_read(chunk.size() - 8));
    auto second = Protocol::read_status_packet(*port, 2);
    ASSERT_TRUE(second.ok()) << second.error().message();
    EXPECT_TRUE(second->params().empty());
    auto third = Protocol::read_status_packet(*port, 3);
    ASSERT_TRUE(third.ok()) << third.error().message();
    EXPECT_EQ(Bytes(third->params().begin(), third->params().end()), (Bytes{0x05, 0x06, 0x07, 0x08}));

    // Held bytes and newly queued ones add up, and come out in arrival order.
    ASSERT_NO_FATAL_FAILURE(expect_to_read(trailing.size()));
    peer.send_now({0x44, 0x55});
    ASSERT_NO_FATAL_FAILURE(expect_to_read(trailing.size() + 2));
    EXPECT_EQ(read(trailing.size() + 2), (Bytes{0x11, 0x22, 0x33, 0x44, 0x55}));
    ASSERT_NO_FATAL_FAILURE(expect_to_read(0));
}

TEST_F(ReadAhead, ReadsSpanHeldAndLaterBytesWithoutLossOrReordering) {
    peer.send_now({1, 2, 3, 4});
    ASSERT_NO_FATAL_FAILURE(expect_to_read(4));
    EXPECT_EQ(read(1), (Bytes{1}));
    std::thread later = peer.send_after(3ms, {5, 6});
    Bytes got(5);
    const auto result = port->read_exact(got);
    later.join();
    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_EQ(got, (Bytes{2, 3, 4, 5, 6}));

    // A stream several times the buffer's size, read in uneven pieces.
    Bytes stream(2000);
    for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    peer.send_now(stream);
    Bytes collected;
    const std::size_t pieces[] = {1, 3, 255, 4, 513, 2, 700};
    for (std::size_t i = 0; collected.size() < stream.size(); ++i) {
        const Bytes piece = read(std::min(pieces[i % std::size(pieces)], stream.size() - collected.size()));
        collected.insert(collected.end(), piece.begin(), piece.end());
        if (HasFailure()) break;
    }
    EXPECT_EQ(collected, stream);
}

TEST_F(ReadAhead, TransactionsDrainHeldInputFirst) {
    for (std::uint8_t id = 1; id <= 4; ++id) servos.set_u16(id, 56, static_cast<std::uint16_t>(0x0800 + id));
    peer.set_responder(servos.responder());
    FeetechProtocolHandler handler;

    // A stale reply from the same servo, partly taken into the port already.
    const Bytes stale = joined({status_bytes(1, 0, {0xAA, 0xBB}), {0xFF}});
    peer.send_now(stale);
    ASSERT_NO_FATAL_FAILURE(expect_to_read(stale.size()));
    read(1);
    ASSERT_NO_FATAL_FAILURE(expect_to_read(stale.size() - 1));

    auto fresh = handler.read(*port, 1, 56, 2);
    ASSERT_TRUE(fresh.ok()) << fresh.error().message();
    EXPECT_EQ(*fresh, (Bytes{0x01, 0x08}));

    // Four replies of one sync read, then the same again with stale input held.
    const Bytes ids{1, 2, 3, 4};
    const std::vector<Bytes> expected{{0x01, 0x08}, {0x02, 0x08}, {0x03, 0x08}, {0x04, 0x08}};
    auto all = handler.sync_read(*port, ids, 56, 2);
    ASSERT_TRUE(all.ok()) << all.error().message();
    EXPECT_EQ(*all, expected);
    peer.send_now(status_bytes(4, 0, {0x99, 0x99}));
    ASSERT_NO_FATAL_FAILURE(expect_to_read(8));
    read(2);
    auto again = handler.sync_read(*port, ids, 56, 2);
    ASSERT_TRUE(again.ok()) << again.error().message();
    EXPECT_EQ(*again, expected);
    ASSERT_NO_FATAL_FAILURE(expect_to_read(0));
}

TEST_F(ReadAhead, HeldPartialPacketThenSilenceTimesOut) {
    const Bytes reply = status_bytes(1, 0, {0x01, 0x08});
    peer.send_now(Bytes(reply.begin(), reply.end() - 2));
    ASSERT_NO_FATAL_FAILURE(expect_to_read(reply.size() - 2));

    const auto began = std::chrono::steady_clock::now();
    auto cut = Protocol::read_status_packet(*port, 1);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
    ASSERT_FALSE(cut.ok());
    EXPECT_EQ(io_kind(cut.error()), IoErrorKind::TimedOut);
    EXPECT_EQ(cut.error().message(), "Operation timed out");
    EXPECT_GE(ms, 99.5);  // one wait of the port

    // What the failed read took is gone; the next reply is read whole.
    ASSERT_NO_FATAL_FAILURE(expect_to_read(0));
    peer.send_now(reply);
    auto whole = Protocol::read_status_packet(*port, 1);
    ASSERT_TRUE(whole.ok()) << whole.error().message();
}
