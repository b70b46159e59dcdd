// A POSIX terminal as the servo bus port. Every wait for input or output is a
// ppoll against a deadline on the monotonic clock. Input is read ahead into a
// small buffer: one read() takes everything that has arrived, so a status
// packet's head and body, or all the replies of a sync read, usually cost a
// single wait and a single read.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "common/idle_work.hpp"
#include "smartbus/serial_port.hpp"
#include "termios2_speed.hpp"

namespace smartbus {
namespace {

constexpr unsigned kBusBaud = 1'000'000;
// Room for the replies of a sync read of every servo on the bus, several times over.
constexpr std::size_t kReadAheadSize = 512;

std::string system_text(int error) { return std::strerror(error); }

IoErrorKind io_kind_of(int error) {
    switch (error) {
        case ETIMEDOUT: return IoErrorKind::TimedOut;
        case EINTR: return IoErrorKind::Interrupted;
        case EPIPE: return IoErrorKind::BrokenPipe;
        case EINVAL: return IoErrorKind::InvalidInput;
        case ENOTSUP: return IoErrorKind::Unsupported;
        default: return IoErrorKind::Other;
    }
}

IoError io_error_from_errno(int error) { return IoError{io_kind_of(error), system_text(error)}; }

IoError timed_out() { return IoError{IoErrorKind::TimedOut, "Operation timed out"}; }

timespec to_timespec(std::chrono::nanoseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((duration - seconds).count())};
}

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

class PosixSerialPort final : public SerialPort {
public:
    PosixSerialPort(int fd, std::string path, std::chrono::nanoseconds timeout)
        : fd_(fd), path_(std::move(path)), timeout_(timeout) {}
    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;

    ~PosixSerialPort() override {
        ::ioctl(fd_, TIOCNXCL);  // a failure changes nothing we could act on
        ::close(fd_);
    }

    // What is already read ahead plus what waits in the kernel's input queue.
    Result<std::size_t> bytes_to_read() override {
        int count = 0;
        if (::ioctl(fd_, FIONREAD, &count) != 0) {
            const int error = errno;
            Error failure(PortError{error, system_text(error)});
            return common::Err{std::move(failure.set_os_cause(common::os_cause(error, path_)))};
        }
        return buffered() + static_cast<std::size_t>(count);
    }

    // Serves from the read-ahead buffer first and waits for input only when
    // the buffer runs dry. Bytes taken before a failure are consumed, as the
    // kernel would have consumed them.
    Result<void> read_exact(std::span<std::uint8_t> out) override {
        for (;;) {
            const std::size_t taken = std::min(out.size(), buffered());
            std::copy_n(read_ahead_.begin() + static_cast<std::ptrdiff_t>(next_), taken, out.begin());
            next_ += taken;
            out = out.subspan(taken);
            if (out.empty()) return {};
            QMC_TRY(refill());
        }
    }

    Result<void> write_all(std::span<const std::uint8_t> bytes) override {
        while (!bytes.empty()) {
            auto written = transfer(POLLOUT, [&] { return ::write(fd_, bytes.data(), bytes.size()); },
                                    IoErrorKind::Other, "failed to write whole buffer");
            if (!written) return common::Err{std::move(written).error()};
            bytes = bytes.subspan(*written);
        }
        return {};
    }

    Result<void> flush() override {
        const auto began = std::chrono::steady_clock::now();
        while (::tcdrain(fd_) != 0) {
            if (errno != EINTR) return common::Err{IoError{IoErrorKind::Other, "flush failed"}};
            if (std::chrono::steady_clock::now() - began >= timeout_) {
                return common::Err{IoError{IoErrorKind::TimedOut, "timeout for retrying flush reached"}};
            }
        }
        return {};
    }

    Result<std::size_t> discard_input(std::chrono::nanoseconds wait) override {
        std::size_t discarded = buffered();
        next_ = end_ = 0;
        if (discarded == 0) {
            pollfd entry{fd_, POLLIN, 0};
            // A signal must not stretch the quiet wait: each retry waits only what is left.
            const auto deadline = std::chrono::steady_clock::now() + std::max<std::chrono::nanoseconds>(wait, {});
            int ready;
            bool looked = common::current_idle_work() == nullptr;  // idle work waits for a first look
            for (;;) {
                const timespec left = to_timespec(looked ? common::next_wait_slice(deadline) : std::chrono::nanoseconds{});
                looked = true;
                ready = ::ppoll(&entry, 1, &left, nullptr);
                if (ready < 0 && errno == EINTR) continue;
                // A slice cut short by the thread's idle work is not the end of the wait.
                if (ready == 0 && std::chrono::steady_clock::now() < deadline) continue;
                break;
            }
            if (ready < 0) return common::Err{os_failure(errno)};
            if (ready == 0) return std::size_t{0};
            if ((entry.revents & POLLIN) == 0) return common::Err{os_failure(EPIPE)};
        }
        // Everything the kernel holds now; what comes later is the next wait's.
        // Input was seen, so the answer is never 0 (the line was not quiet),
        // even if the terminal does not count it yet.
        for (;;) {
            int count = 0;
            if (::ioctl(fd_, FIONREAD, &count) != 0) return common::Err{os_failure(errno)};
            if (count <= 0) return std::max<std::size_t>(discarded, 1);
            const ssize_t n = ::read(fd_, read_ahead_.data(), std::min(read_ahead_.size(), static_cast<std::size_t>(count)));
            if (n < 0) {
                if (errno == EINTR) continue;
                return common::Err{os_failure(errno)};
            }
            if (n == 0) return discarded;
            discarded += static_cast<std::size_t>(n);
        }
    }

private:
    // The I/O error of a failed system call, naming this port's device.
    Error os_failure(int error) const {
        return Error(io_error_from_errno(error)).set_os_cause(common::os_cause(error, path_));
    }

    std::size_t buffered() const { return end_ - next_; }

    // Waits for input and reads as much of it as fits, into an empty buffer.
    Result<void> refill() {
        next_ = end_ = 0;
        auto taken = transfer(POLLIN, [&] { return ::read(fd_, read_ahead_.data(), read_ahead_.size()); },
                              IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
        if (!taken) return common::Err{std::move(taken).error()};
        end_ = *taken;
        return {};
    }

    // One read or write (`call`) once the descriptor is ready for `events`,
    // waiting again after an interrupted call; a call that moves no byte
    // fails with `kind` and `nothing_moved`.
    template <class Call>
    Result<std::size_t> transfer(short events, Call call, IoErrorKind kind, const char* nothing_moved) {
        for (;;) {
            QMC_TRY(wait_for(events));
            const ssize_t n = call();
            if (n < 0) {
                if (errno == EINTR) continue;
                return common::Err{os_failure(errno)};
            }
            if (n == 0) return common::Err{IoError{kind, nothing_moved}};
            return static_cast<std::size_t>(n);
        }
    }

    // Waits until the descriptor is ready for `events`, at most the time-out.
    Result<void> wait_for(short events) {
        const auto deadline = std::chrono::steady_clock::now() + timeout_;
        pollfd entry{fd_, events, 0};
        // The thread's idle work runs only once a first look found the port
        // not ready: a wait that need not wait does not wait for it.
        bool looked = common::current_idle_work() == nullptr;
        for (;;) {
            // Past the deadline this is one more look without waiting: input
            // that arrived in time counts even if this thread ran late (or
            // its idle work did).
            const timespec wait = to_timespec(looked ? common::next_wait_slice(deadline) : std::chrono::nanoseconds{});
            looked = true;
            const int ready = ::ppoll(&entry, 1, &wait, nullptr);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return common::Err{os_failure(errno)};
            }
            if (ready == 0) {
                if (std::chrono::steady_clock::now() < deadline) continue;  // a slice, not the whole wait
                return common::Err{timed_out()};
            }
            if (entry.revents & (POLLHUP | POLLNVAL)) {
                return common::Err{os_failure(EPIPE)};
            }
            if (entry.revents & events) return {};
            return common::Err{os_failure(EIO)};
        }
    }

    int fd_;
    std::string path_;  // as opened; names the device in errors
    std::chrono::nanoseconds timeout_;
    // Input read from the descriptor but not yet handed out: [next_, end_).
    std::array<std::uint8_t, kReadAheadSize> read_ahead_{};
    std::size_t next_ = 0;
    std::size_t end_ = 0;
};

// A failed step of opening `path`: the system's text, and the cause naming the device.
Error open_failure(int error, const std::string& path) {
    return Error(PortError{error, system_text(error)}).set_os_cause(common::os_cause(error, path));
}

// Steps 2 to 5 of opening, on a freshly opened descriptor.
Result<void> configure(int fd, const std::string& path) {
    if (::ioctl(fd, TIOCEXCL) != 0) return common::Err{open_failure(errno, path)};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            Error failure(PortError{error, "Unable to acquire exclusive lock on serial port"});
            return common::Err{std::move(failure.set_os_cause(common::os_cause(error, path)))};
        }
        return common::Err{open_failure(error, path)};
    }

    termios wanted{};
    if (::tcgetattr(fd, &wanted) != 0) return common::Err{open_failure(errno, path)};
    wanted.c_cflag |= CREAD | CLOCAL;
    ::cfmakeraw(&wanted);
    if (::tcsetattr(fd, TCSANOW, &wanted) != 0) return common::Err{open_failure(errno, path)};
    termios applied{};
    if (::tcgetattr(fd, &applied) != 0) return common::Err{open_failure(errno, path)};
    if (!same_settings(wanted, applied)) return common::Err{PortError{0, "Settings did not apply correctly"}};

    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return common::Err{open_failure(errno, path)};

    if (const int error = detail::set_8n1_at_any_baud(fd, kBusBaud); error != 0) {
        return common::Err{open_failure(error, path)};
    }
    return {};
}

}  // namespace

IoError read_timed_out() { return timed_out(); }

Result<std::unique_ptr<SerialPort>> open_serial_port(const std::string& path, std::chrono::milliseconds timeout) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return common::Err{open_failure(errno, path)};
    if (auto configured = configure(fd, path); !configured) {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return common::Err{std::move(configured).error()};
    }
    return std::unique_ptr<SerialPort>(std::make_unique<PosixSerialPort>(fd, path, timeout));
}

}  // namespace smartbus
