// The SocketCAN transport against a scripted peer on a socketpair, and its
// opening procedure.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "candrive/socketcan.hpp"
#include "support/raw_peer.hpp"

namespace {

using namespace candrive;
using candrive_test::Bytes;
using candrive_test::classic_image;
using candrive_test::fd_image;
using candrive_test::RawPeer;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kExtended = 0x80000000U;

CanFrame classic(CanId id, Bytes data) { return CanFrame{std::move(data), id, false, false}; }
CanFrame fd_frame(CanId id, Bytes data, bool brs = false) { return CanFrame{std::move(data), id, true, brs}; }

TEST(CanError, Texts) {
    EXPECT_EQ(CanError::timeout().message(), "timeout waiting for frame");
    EXPECT_EQ(CanError::frame_too_large(9).message(), "frame too large for selected mode: 9 bytes");
    EXPECT_EQ(CanError::invalid_id().message(), "invalid CAN id");
    EXPECT_EQ(CanError::backend(19).message(), "backend error: No such device (os error 19)");
    EXPECT_EQ(CanError::backend(std::string("failed to write whole buffer")).message(),
              "backend error: failed to write whole buffer");
    EXPECT_NE(CanId::standard(1), CanId::extended(1));
}

TEST(SocketCanSend, WritesKernelFrameImages) {
    auto [bus, peer] = RawPeer::pair();
    ASSERT_TRUE(bus.send(classic(CanId::standard(0x123), {1, 2, 3})).ok());
    EXPECT_EQ(peer.read(), classic_image(0x123, {1, 2, 3}));
    ASSERT_TRUE(bus.send(classic(CanId::extended(0x1FFFFFFF), {})).ok());
    EXPECT_EQ(peer.read(), classic_image(0x1FFFFFFF | kExtended, {}));

    // 10 bytes go out as 12, zero-padded; the FD flag is always set.
    ASSERT_TRUE(bus.send(fd_frame(CanId::standard(0x7FF), Bytes(10, 0xAA))).ok());
    Bytes padded(10, 0xAA);
    padded.resize(12, 0);
    EXPECT_EQ(peer.read(), fd_image(0x7FF, padded, 0x04));
    ASSERT_TRUE(bus.send(fd_frame(CanId::extended(5), {7}, true)).ok());
    EXPECT_EQ(peer.read(), fd_image(5 | kExtended, {7}, 0x05));
}

TEST(SocketCanSend, FdLengthRounding) {
    auto [bus, peer] = RawPeer::pair();
    const int steps[] = {12, 16, 20, 24, 32, 48, 64};
    for (int length = 0; length <= 64; ++length) {
        int expected = length;
        if (length > 8) {
            for (int step : steps) {
                if (length <= step) {
                    expected = step;
                    break;
                }
            }
        }
        ASSERT_TRUE(bus.send(fd_frame(CanId::standard(1), Bytes(static_cast<std::size_t>(length), 0x55))).ok());
        const auto image = peer.read();
        ASSERT_TRUE(image && image->size() == 72) << length;
        EXPECT_EQ((*image)[4], expected) << length;
        for (int i = 0; i < 64; ++i) EXPECT_EQ((*image)[8 + i], i < length ? 0x55 : 0) << length << " " << i;
    }
}

TEST(SocketCanSend, RefusesOversizedFramesAndInvalidIdsWithoutWriting) {
    auto [bus, peer] = RawPeer::pair();
    auto result = bus.send(classic(CanId::standard(1), Bytes(9)));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), CanError::Kind::FrameTooLarge);
    EXPECT_EQ(result.error().length(), 9U);
    result = bus.send(fd_frame(CanId::standard(1), Bytes(65)));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), "frame too large for selected mode: 65 bytes");

    result = bus.send(classic(CanId::standard(0x800), {}));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), "invalid CAN id");
    result = bus.send(fd_frame(CanId::extended(0x20000000), {}));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), CanError::Kind::InvalidId);
    EXPECT_EQ(peer.drain(), 0);
}

TEST(SocketCanRecv, DecodesClassicAndFdImages) {
    auto [bus, peer] = RawPeer::pair();
    peer.write(classic_image(0x12345 | kExtended, {9, 8}));
    peer.write(fd_image(0x7FF, Bytes(12, 3), 0x05));
    // A malformed length field never reads past the data area.
    Bytes bad_length = classic_image(0x10, Bytes(8, 1));
    bad_length[4] = 200;
    peer.write(bad_length);

    auto frame = bus.recv(milliseconds(500));
    ASSERT_TRUE(frame.ok()) << frame.error().message();
    EXPECT_EQ(frame->id, CanId::extended(0x12345));
    EXPECT_EQ(frame->data, (Bytes{9, 8}));
    EXPECT_FALSE(frame->fd);

    frame = bus.recv(milliseconds(500));
    ASSERT_TRUE(frame.ok());
    EXPECT_EQ(frame->id, CanId::standard(0x7FF));
    EXPECT_EQ(frame->data, Bytes(12, 3));
    EXPECT_TRUE(frame->fd);
    EXPECT_TRUE(frame->brs);

    frame = bus.recv(milliseconds(500));
    ASSERT_TRUE(frame.ok());
    EXPECT_EQ(frame->data, Bytes(8, 1));
}

TEST(SocketCanRecv, MessagesOfOtherSizesAreBackendErrors) {
    auto [bus, peer] = RawPeer::pair();
    peer.write(Bytes(15, 0));
    peer.write(Bytes(73, 0));
    peer.write(Bytes(200, 0));
    peer.write(classic_image(0x42, {1}));
    for (int i = 0; i < 3; ++i) {
        auto frame = bus.recv(milliseconds(500));
        ASSERT_FALSE(frame.ok());
        EXPECT_EQ(frame.error().kind(), CanError::Kind::Backend);
    }
    // The transport stays usable.
    auto frame = bus.recv(milliseconds(500));
    ASSERT_TRUE(frame.ok());
    EXPECT_EQ(frame->id, CanId::standard(0x42));
}

TEST(SocketCanRecv, RemoteRequestsAndErrorFramesAreNotReceived) {
    auto [bus, peer] = RawPeer::pair();
    constexpr std::uint32_t kRemote = 0x40000000U;
    constexpr std::uint32_t kError = 0x20000000U;
    const Bytes eight(8, 0x01);
    peer.write(classic_image(0x011 | kRemote, eight));
    peer.write(classic_image(0x011 | kError, eight));
    peer.write(fd_image(0x011 | kExtended | kRemote, eight, 0x04));
    peer.write(classic_image(0x011, {7}));
    auto frame = bus.recv(milliseconds(500));
    ASSERT_TRUE(frame.ok()) << frame.error().message();
    EXPECT_EQ(frame->data, Bytes{7});

    peer.write(classic_image(0x011 | kRemote, eight));
    frame = bus.recv(milliseconds(0));
    ASSERT_FALSE(frame.ok());
    EXPECT_EQ(frame.error().kind(), CanError::Kind::Timeout);
}

TEST(SocketCanRecv, TimeOutsAreBounded) {
    auto [bus, peer] = RawPeer::pair();
    auto start = Clock::now();
    auto frame = bus.recv(milliseconds(0));
    ASSERT_FALSE(frame.ok());
    EXPECT_EQ(frame.error().kind(), CanError::Kind::Timeout);
    EXPECT_LT(Clock::now() - start, milliseconds(500));

    start = Clock::now();
    frame = bus.recv(milliseconds(30));
    ASSERT_FALSE(frame.ok());
    EXPECT_EQ(frame.error().kind(), CanError::Kind::Timeout);
    EXPECT_GE(Clock::now() - start, milliseconds(29));
    EXPECT_LT(Clock::now() - start, milliseconds(2000));

    // A zero time-out still takes a frame that is already waiting.
    peer.write(classic_image(2, {}));
    usleep(10000);
    frame = bus.recv(std::chrono::nanoseconds(0));
    ASSERT_TRUE(frame.ok());
    EXPECT_EQ(frame->id, CanId::standard(2));
}

TEST(SocketCanTransport, VanishedPeerIsAnErrorNotASignal) {
    auto [bus, peer] = RawPeer::pair();
    peer.close();
    auto frame = bus.recv(milliseconds(500));
    ASSERT_FALSE(frame.ok());
    EXPECT_EQ(frame.error().kind(), CanError::Kind::Backend);
    auto sent = bus.send(classic(CanId::standard(1), {}));
    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error().os_error(), EPIPE);
}

// The transport under test, whose peer answers every frame sent at once from
// the far end: the answers are in the socket before the request waits. With
// `run_late`, the sending thread only gets back to waiting after that long,
// as on a busy host.
class AnsweredTransport final : public CanTransport {
public:
    explicit AnsweredTransport(std::pair<SocketCanTransport, RawPeer> ends)
        : bus(std::move(ends.first)), peer(std::move(ends.second)) {}

    CanResult<void> send(const CanFrame& frame) override {
        QMC_TRY(bus.send(frame));
        for (const Bytes& answer : answers) peer.write(answer);
        answers.clear();
        std::this_thread::sleep_for(run_late);
        return {};
    }
    CanResult<CanFrame> recv(std::chrono::nanoseconds timeout) override { return bus.recv(timeout); }

    SocketCanTransport bus;
    RawPeer peer;
    std::vector<Bytes> answers;  // written by the peer after the next send
    milliseconds run_late{0};
};

TEST(CanRequest, MatchesKindAndValueAndDiscardsOthersAndStaleFrames) {
    AnsweredTransport bus(RawPeer::pair());
    bus.peer.write(classic_image(0x011, {0}));  // waiting before the request: stale
    bus.answers = {classic_image(0x011 | kExtended, {1}), classic_image(0x012, {2}), classic_image(0x011, {3}),
                   classic_image(0x011, {4})};
    auto reply = bus.request(classic(CanId::standard(0x001), {0xCC}), CanId::standard(0x011), milliseconds(500));
    ASSERT_TRUE(reply.ok()) << reply.error().message();
    EXPECT_EQ(reply->data, Bytes{3});
    EXPECT_EQ(bus.peer.read(), classic_image(0x001, {0xCC}));
    // Frames after the reply stay queued.
    auto next = bus.recv(milliseconds(500));
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(next->data, Bytes{4});

    // A pattern also asks the content.
    const ReplyPattern odd{CanId::standard(0x011), [](const CanFrame& f) { return f.data.at(0) % 2 == 1; }};
    bus.answers = {classic_image(0x011, {6}), classic_image(0x011, {7})};
    reply = bus.request(classic(CanId::standard(0x001), {}), odd, milliseconds(500));
    ASSERT_TRUE(reply.ok());
    EXPECT_EQ(reply->data, Bytes{7});
}

TEST(CanRequest, AnswerThatArrivedInTimeCountsWhenTheWaiterRunsLate) {
    AnsweredTransport bus(RawPeer::pair());
    bus.run_late = milliseconds(5);
    bus.answers = {classic_image(0x012, {1}), classic_image(0x011, {2})};
    auto reply = bus.request(classic(CanId::standard(1), {}), CanId::standard(0x011), milliseconds(1));
    ASSERT_TRUE(reply.ok()) << reply.error().message();
    EXPECT_EQ(reply->data, Bytes{2});
}

TEST(CanRequest, AfterAMissedAnswerTheNextRequestWaitsOutALateOne) {
    AnsweredTransport bus(RawPeer::pair());
    const auto began = Clock::now();
    auto reply = bus.request(classic(CanId::standard(1), {1}), CanId::standard(0x11), milliseconds(20));
    ASSERT_FALSE(reply.ok());
    EXPECT_EQ(reply.error().kind(), CanError::Kind::Timeout);
    bus.peer.write(classic_image(0x11, {0xAB}));  // the answer to the first request, too late

    // The next request to the same identifier is sent only once the peer has
    // had the guard interval to fall quiet; the late answer is discarded.
    bus.answers = {classic_image(0x11, {0xCD})};
    reply = bus.request(classic(CanId::standard(1), {2}), CanId::standard(0x11), milliseconds(500));
    ASSERT_TRUE(reply.ok());
    EXPECT_EQ(reply->data, Bytes{0xCD});
    EXPECT_GE(Clock::now() - began, milliseconds(40));  // the time-out, then the guard
    EXPECT_EQ(bus.peer.drain(), 2);
}

TEST(CanRequest, SeveralAtOnceAreAnsweredByPatternInAnyOrder) {
    AnsweredTransport bus(RawPeer::pair());
    // The answers come in reverse order, with another node's frame among them;
    // the third request is never answered.
    bus.answers = {classic_image(0x12, {2}), classic_image(0x13, {9}), classic_image(0x11, {1})};
    const std::vector<CanFrame> frames{classic(CanId::standard(0x7FF), {1}), classic(CanId::standard(0x7FF), {2}),
                                       classic(CanId::standard(0x7FF), {3})};
    const auto only = [](std::uint8_t first) {
        return [first](const CanFrame& f) { return !f.data.empty() && f.data[0] == first; };
    };
    auto pending = bus.start_requests(frames,
                                      {ReplyPattern{CanId::standard(0x11), only(1)}, ReplyPattern{CanId::standard(0x12), only(2)},
                                       ReplyPattern{CanId::standard(0x13), only(3)}},
                                      milliseconds(50));
    auto answers = bus.finish_requests(std::move(pending));
    ASSERT_EQ(answers.size(), 3U);
    ASSERT_TRUE(answers[0].ok() && answers[1].ok());
    EXPECT_EQ(answers[0]->data, Bytes{1});
    EXPECT_EQ(answers[1]->data, Bytes{2});
    ASSERT_FALSE(answers[2].ok());
    EXPECT_EQ(answers[2].error().kind(), CanError::Kind::Timeout);
    EXPECT_EQ(bus.peer.drain(), 3);  // every request went out
}

TEST(CanRequest, ZeroAndHugeTimeOutsAndSendErrors) {
    AnsweredTransport bus(RawPeer::pair());
    const auto start = Clock::now();
    auto reply = bus.request(classic(CanId::standard(1), {}), CanId::standard(2), milliseconds(0));
    ASSERT_FALSE(reply.ok());
    EXPECT_EQ(reply.error().kind(), CanError::Kind::Timeout);
    EXPECT_LT(Clock::now() - start, milliseconds(500));
    EXPECT_EQ(bus.peer.drain(), 1);  // the frame itself still went out

    // The largest time-out must not overflow into an immediate deadline.
    bus.answers = {classic_image(2, {})};
    reply = bus.request(classic(CanId::standard(1), {}), CanId::standard(2), std::chrono::nanoseconds::max());
    ASSERT_TRUE(reply.ok()) << reply.error().message();

    reply = bus.request(classic(CanId::standard(0x800), {}), CanId::standard(2), milliseconds(100));
    ASSERT_FALSE(reply.ok());
    EXPECT_EQ(reply.error().kind(), CanError::Kind::InvalidId);
}

TEST(SocketCanOpen, Failures) {
    auto result = SocketCanTransport::open("qmcnosuchcan0");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), "backend error: No such device (os error 19)");

    result = SocketCanTransport::open(std::string("can\0" "0", 5));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().os_error(), EINVAL);

    // An existing interface that is no CAN device (or no CAN support at all).
    result = SocketCanTransport::open("lo");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), CanError::Kind::Backend);

    result = SocketCanTransport::open("unix:/nonexistent-qmc/can.sock");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), "backend error: No such file or directory (os error 2)");

    result = SocketCanTransport::open("unix:/" + std::string(200, 'x'));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().os_error(), ENAMETOOLONG);
}

TEST(SocketCanOpen, VirtualBusThroughAListeningSocket) {
    char directory[] = "/tmp/qmc-cantest-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/bus.sock";
    const int listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);

    auto opened = SocketCanTransport::open("unix:" + path);
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    SocketCanTransport bus = std::move(opened).value();
    const int node = accept(listener, nullptr, nullptr);
    ASSERT_GE(node, 0);

    ASSERT_TRUE(bus.send(classic(CanId::standard(0x100), {1, 2})).ok());
    Bytes message(100);
    EXPECT_EQ(recv(node, message.data(), message.size(), 0), 16);
    message.resize(16);
    EXPECT_EQ(message, classic_image(0x100, {1, 2}));

    const Bytes reply = fd_image(0x200, Bytes(16, 4), 0x04);
    ASSERT_EQ(send(node, reply.data(), reply.size(), 0), 72);
    auto frame = bus.recv(milliseconds(500));
    ASSERT_TRUE(frame.ok());
    EXPECT_EQ(frame->data, Bytes(16, 4));
    EXPECT_TRUE(frame->fd);

    // Moving hands over the socket; the moved-from transport owns nothing.
    SocketCanTransport moved = std::move(bus);
    ASSERT_TRUE(moved.send(classic(CanId::standard(1), {})).ok());

    close(node);
    close(listener);
    unlink(path.c_str());
    rmdir(directory);
}

}  // namespace
