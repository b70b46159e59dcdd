#include "pty_peer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace smartbus_test {

std::uint8_t feetech_sum(std::span<const std::uint8_t> bytes) {
    int sum = 0;
    for (auto b : bytes) sum += b;
    return static_cast<std::uint8_t>(255 - (sum % 256));
}

Bytes status_bytes(std::uint8_t id, std::uint8_t error, const Bytes& params) {
    Bytes out;
    out.reserve(params.size() + 6);
    for (std::uint8_t byte : {std::uint8_t{0xFF}, std::uint8_t{0xFF}, id, static_cast<std::uint8_t>(params.size() + 2), error}) {
        out.push_back(byte);
    }
    for (std::uint8_t byte : params) out.push_back(byte);
    out.push_back(feetech_sum(std::span(out).subspan(2)));
    return out;
}

void make_raw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) throw std::runtime_error("tcgetattr");
    cfmakeraw(&t);
    if (tcsetattr(fd, TCSANOW, &t) != 0) throw std::runtime_error("tcsetattr");
}

PtyPeer::PtyPeer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("posix_openpt");
    slave_path_ = ptsname(master_);
    // Holding the slave open keeps the master readable while no port is open.
    slave_keepalive_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_keepalive_ < 0) throw std::runtime_error("open slave");
    make_raw(slave_keepalive_);
    make_raw(master_);
    thread_ = std::thread([this] { run(); });
}

PtyPeer::~PtyPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) close(master_);
    close(slave_keepalive_);
}

void PtyPeer::set_responder(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

void PtyPeer::send_now(const Bytes& bytes) {
    if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
}

std::vector<Bytes> PtyPeer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void PtyPeer::clear_received() {
    std::lock_guard lock(mutex_);
    received_.clear();
}

void PtyPeer::hang_up() {
    stop_ = true;
    thread_.join();
    close(master_);
    master_ = -1;
}

namespace {
// Servos answer within microseconds whatever the host is doing. Where the
// system allows it, the peer's threads run ahead of ordinary ones so a busy
// test machine does not hold replies back past the port's 10 ms wait.
void run_ahead_of_ordinary_threads() {
    const sched_param realtime{1};
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &realtime);  // best effort: refused without privilege
}
}  // namespace

std::thread PtyPeer::send_after(std::chrono::microseconds delay, Bytes bytes) {
    return std::thread([this, delay, bytes = std::move(bytes)] {
        run_ahead_of_ordinary_threads();
        std::this_thread::sleep_for(delay);
        send_now(bytes);
    });
}

void PtyPeer::run() {
    run_ahead_of_ordinary_threads();
    Bytes pending;
    std::array<std::uint8_t, 512> buffer;
    while (!stop_) {
        pollfd entry{master_, POLLIN, 0};
        if (poll(&entry, 1, 2) <= 0 || !(entry.revents & POLLIN)) continue;
        const ssize_t n = read(master_, buffer.data(), buffer.size());
        if (n <= 0) continue;
        pending.insert(pending.end(), buffer.begin(), buffer.begin() + n);
        take_packets(pending);
    }
}

void PtyPeer::take_packets(Bytes& pending) {
    for (;;) {
        while (!pending.empty() && !(pending.size() >= 2 && pending[0] == 0xFF && pending[1] == 0xFF)) {
            if (pending.size() == 1 && pending[0] == 0xFF) return;
            pending.erase(pending.begin());
        }
        if (pending.size() < 4) return;
        const std::size_t total = pending[3] + 4u;
        if (pending.size() < total) return;
        Bytes packet(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(total));
        Responder responder;
        {
            std::lock_guard lock(mutex_);
            received_.push_back(packet);
            ++taken_;
            responder = responder_;
        }
        if (responder) {
            for (const Reply& reply : responder(packet)) {
                if (reply.delay.count() > 0) std::this_thread::sleep_for(reply.delay);
                if (!reply.bytes.empty()) send_now(reply.bytes);
            }
        }
        {
            std::lock_guard lock(mutex_);
            ++answered_;
        }
        answered_changed_.notify_all();
    }
}

bool PtyPeer::wait_until_answered(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return answered_changed_.wait_for(lock, timeout, [&] { return answered_ == taken_; });
}

bool PtyPeer::wait_until_applied(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return answered_changed_.wait_for(lock, timeout, [&] { return received_.size() >= count && answered_ == taken_; });
}

std::size_t wait_for_input(smartbus::SerialPort& port, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        auto waiting = port.bytes_to_read();
        if (!waiting.ok()) return 0;
        if (*waiting >= count || std::chrono::steady_clock::now() >= deadline) return *waiting;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void FakeServos::set_byte(std::uint8_t id, std::uint8_t address, std::uint8_t value) {
    std::lock_guard lock(mutex_);
    registers_[id][address] = value;
}

std::uint8_t FakeServos::byte(std::uint8_t id, std::uint8_t address) {
    std::lock_guard lock(mutex_);
    return registers_[id][address];
}

void FakeServos::set_u16(std::uint8_t id, std::uint8_t address, std::uint16_t value) {
    std::lock_guard lock(mutex_);
    registers_[id][address] = static_cast<std::uint8_t>(value & 0xFF);
    registers_[id][address + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint16_t FakeServos::u16(std::uint8_t id, std::uint8_t address) {
    std::lock_guard lock(mutex_);
    return static_cast<std::uint16_t>(registers_[id][address] | registers_[id][address + 1] << 8);
}

PtyPeer::Responder FakeServos::responder() {
    return [this](const Bytes& packet) { return answer(packet); };
}

// Called with the lock held.
Bytes FakeServos::reply_from(std::uint8_t id, const Bytes& params) {
    Faults& f = faults_;
    Bytes out = f.garbage_before.count(id) ? f.garbage_before[id] : Bytes{};
    Bytes status = status_bytes(f.reply_as.count(id) ? f.reply_as[id] : id, f.error_byte, params);
    if (f.corrupt_checksum.count(id)) status.back() ^= 0x5A;
    if (f.truncate_to.count(id)) status.resize(f.truncate_to[id]);
    out.insert(out.end(), status.begin(), status.end());
    return out;
}

std::vector<Reply> FakeServos::answer(const Bytes& packet) {
    std::lock_guard lock(mutex_);
    const std::uint8_t id = packet[2];
    const std::uint8_t instruction = packet[4];
    const Bytes params(packet.begin() + 5, packet.end() - 1);
    const bool has_address_and_count = params.size() >= 2;
    auto answers = [&](std::uint8_t servo) { return present_.count(servo) && !faults_.silent.count(servo); };
    auto read_params = [&](std::uint8_t servo, std::uint8_t address, std::uint8_t count) {
        auto& regs = registers_[servo];
        Bytes data(regs.begin() + address, regs.begin() + address + count);
        const int extra = faults_.extra_params.count(servo) ? faults_.extra_params[servo] : 0;
        if (extra < 0) data.resize(data.size() - std::min<std::size_t>(data.size(), static_cast<std::size_t>(-extra)));
        for (int i = 0; i < extra; ++i) data.push_back(0xEE);
        return data;
    };
    std::vector<Reply> replies;
    switch (instruction) {
        case 0x01:  // ping
        case 0x08:  // reboot
            if (answers(id)) replies.push_back({{}, reply_from(id, {})});
            break;
        case 0x02:  // read
            if (has_address_and_count && answers(id)) replies.push_back({{}, reply_from(id, read_params(id, params[0], params[1]))});
            break;
        case 0x03:  // write
            if (params.empty() || !present_.count(id)) break;
            for (std::size_t i = 1; i < params.size(); ++i) registers_[id][params[0] + i - 1] = params[i];
            if (answers(id)) replies.push_back({{}, reply_from(id, {})});
            break;
        case 0x82:  // sync read: each servo answers in list order
            for (std::size_t i = 2; has_address_and_count && i < params.size(); ++i) {
                if (answers(params[i])) replies.push_back({{}, reply_from(params[i], read_params(params[i], params[0], params[1]))});
            }
            break;
        case 0x83: {  // sync write: no answers
            if (!has_address_and_count) break;
            const std::size_t width = params[1];
            for (std::size_t at = 2; at + width < params.size() + 1; at += width + 1) {
                const std::uint8_t servo = params[at];
                if (!present_.count(servo)) continue;
                for (std::size_t i = 0; i < width; ++i) registers_[servo][params[0] + i] = params[at + 1 + i];
            }
            break;
        }
        default: break;
    }
    return replies;
}

}  // namespace smartbus_test
