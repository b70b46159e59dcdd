// The POSIX serial port on a real pseudo-terminal.
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "pty_peer.hpp"
#include "smartbus/serial_port.hpp"

using namespace smartbus;
using namespace std::chrono_literals;
using smartbus_test::Bytes;
using smartbus_test::communication_code;
using smartbus_test::io_kind;
using smartbus_test::PtyPeer;
using smartbus_test::wait_for_input;

namespace {

std::unique_ptr<SerialPort> open_or_die(const std::string& path) {
    auto port = open_serial_port(path);
    EXPECT_TRUE(port.ok()) << (port.ok() ? "" : port.error().message());
    return port.ok() ? std::move(port).value() : nullptr;
}

double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

TEST(SerialPort, OpensRawAndExclusive) {
    PtyPeer peer;
    auto port = open_or_die(peer.slave_path());
    ASSERT_TRUE(port);

    termios settings{};
    const int probe = open(peer.slave_path().c_str(), O_RDWR | O_NOCTTY);  // root passes TIOCEXCL
    if (probe >= 0) {
        ASSERT_EQ(tcgetattr(probe, &settings), 0);
        EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_NE(settings.c_cflag & (CREAD | CLOCAL), 0u);
        EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | INPCK), 0u);
        close(probe);
    }

    // A second opener is kept out by the advisory lock even where exclusive mode is ignored.
    auto second = open_serial_port(peer.slave_path());
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().message(), geteuid() == 0 ? "Unable to acquire exclusive lock on serial port"
                                                         : "Device or resource busy");
    port.reset();
    EXPECT_TRUE(open_serial_port(peer.slave_path()).ok()) << "closing must release the lock";
}

TEST(SerialPort, OpenFailuresCarryTheSystemText) {
    auto missing = open_serial_port("/nonexistent/ttyQMC0");
    ASSERT_FALSE(missing.ok());
    ASSERT_NE(missing.error().port(), nullptr);
    EXPECT_EQ(missing.error().message(), "No such file or directory");
    ASSERT_NE(missing.error().os_cause(), nullptr);
    EXPECT_EQ(*missing.error().os_cause(), (common::OsCause{ENOENT, "/nonexistent/ttyQMC0"}));

    char path[] = "/tmp/qmc-not-a-tty-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    auto not_a_tty = open_serial_port(path);
    ASSERT_FALSE(not_a_tty.ok());
    EXPECT_EQ(not_a_tty.error().message(), "Inappropriate ioctl for device");
    ASSERT_NE(not_a_tty.error().os_cause(), nullptr);
    EXPECT_EQ(*not_a_tty.error().os_cause(), (common::OsCause{ENOTTY, path}));
    // The failed open let go of its lock: we can take it ourselves.
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
    unlink(path);
}

TEST(SerialPort, ReadsAndWritesBytes) {
    PtyPeer peer;
    auto port = open_or_die(peer.slave_path());
    ASSERT_TRUE(port);

    const Bytes ping{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB};
    ASSERT_TRUE(port->write_all(ping).ok());
    ASSERT_TRUE(port->flush().ok());
    for (int i = 0; i < 200 && peer.received().empty(); ++i) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(peer.received(), std::vector<Bytes>{ping});

    // A read waits for a second fragment. The port's wait is long here, so that
    // a busy machine holding the fragment back cannot spoil the point.
    port.reset();
    auto patient = open_serial_port(peer.slave_path(), std::chrono::milliseconds(5000));
    ASSERT_TRUE(patient.ok()) << patient.error().message();
    peer.send_now({1, 2, 3});
    ASSERT_EQ(wait_for_input(*patient.value(), 3), 3u);
    std::thread later = peer.send_after(3ms, {4, 5});
    Bytes got(5);
    const auto read = patient.value()->read_exact(got);
    later.join();
    ASSERT_TRUE(read.ok()) << read.error().message();
    EXPECT_EQ(got, (Bytes{1, 2, 3, 4, 5}));
}

TEST(SerialPort, SilenceTimesOutAfterOneWait) {
    PtyPeer peer;
    auto port = open_or_die(peer.slave_path());
    ASSERT_TRUE(port);
    peer.send_now({9});
    Bytes got(2);
    const auto began = std::chrono::steady_clock::now();
    auto read = port->read_exact(got);
    const double ms = elapsed_ms(began);
    ASSERT_FALSE(read.ok());
    ASSERT_NE(read.error().io(), nullptr);
    EXPECT_EQ(io_kind(read.error()), IoErrorKind::TimedOut);
    EXPECT_EQ(read.error().message(), "Operation timed out");
    EXPECT_GE(ms, 9.5);
    EXPECT_LT(ms, 500.0);
}

TEST(SerialPort, InputThatArrivedInTimeCountsWhenTheReaderRunsLate) {
    // A zero time-out: every wait starts at or after its deadline, as when a
    // busy host runs the waiting thread late. Input already there is still read.
    PtyPeer peer;
    auto opened = open_serial_port(peer.slave_path(), std::chrono::milliseconds(0));
    ASSERT_TRUE(opened.ok());
    auto& port = *opened.value();
    peer.send_now({1, 2, 3});
    ASSERT_EQ(wait_for_input(port, 3), 3u);
    Bytes got(3);
    ASSERT_TRUE(port.read_exact(got).ok());
    EXPECT_EQ(got, (Bytes{1, 2, 3}));
    auto nothing = port.read_exact(got);
    ASSERT_FALSE(nothing.ok());
    EXPECT_EQ(io_kind(nothing.error()), IoErrorKind::TimedOut);
}

TEST(SerialPort, DiscardInputTakesWhatIsThereOrWaitsForQuiet) {
    PtyPeer peer;
    auto port = open_or_die(peer.slave_path());
    ASSERT_TRUE(port);
    peer.send_now({1, 2, 3, 4});
    ASSERT_EQ(wait_for_input(*port, 4), 4u);
    Bytes first(1);
    ASSERT_TRUE(port->read_exact(first).ok());  // the rest sits in the read-ahead buffer
    auto discarded = port->discard_input(std::chrono::milliseconds(500));
    ASSERT_TRUE(discarded.ok());
    EXPECT_EQ(*discarded, 3u);
    const auto began = std::chrono::steady_clock::now();
    discarded = port->discard_input(std::chrono::milliseconds(20));
    ASSERT_TRUE(discarded.ok());
    EXPECT_EQ(*discarded, 0u);
    EXPECT_GE(elapsed_ms(began), 19.0);
    EXPECT_EQ(*port->bytes_to_read(), 0u);
}

TEST(SerialPort, HangUpIsABrokenPipe) {
    PtyPeer peer;
    auto port = open_or_die(peer.slave_path());
    ASSERT_TRUE(port);
    peer.hang_up();
    Bytes got(1);
    auto read = port->read_exact(got);
    ASSERT_FALSE(read.ok());
    ASSERT_NE(read.error().io(), nullptr);
    EXPECT_EQ(io_kind(read.error()), IoErrorKind::BrokenPipe);
    ASSERT_NE(read.error().os_cause(), nullptr);
    EXPECT_EQ(*read.error().os_cause(), (common::OsCause{EPIPE, peer.slave_path()}));
}
