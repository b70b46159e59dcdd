#include "test_client.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim_test {

namespace {

using Clock = std::chrono::steady_clock;

int wait_readable(int fd, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0)));
}

std::uint32_t float_to_field(float x, float lo, float hi, int bits) {
    const float full = static_cast<float>((1u << bits) - 1);
    return static_cast<std::uint32_t>((std::clamp(x, lo, hi) - lo) * full / (hi - lo));
}

}  // namespace

Bytes instruction(std::uint8_t id, std::uint8_t instr, const Bytes& params) {
    Bytes out{0xFF, 0xFF, id, static_cast<std::uint8_t>(params.size() + 2), instr};
    out.insert(out.end(), params.begin(), params.end());
    unsigned sum = 0;
    for (std::size_t i = 2; i < out.size(); ++i) sum += out[i];
    out.push_back(static_cast<std::uint8_t>(~sum & 0xFF));
    return out;
}

SerialClient::SerialClient(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
    tcflush(fd_, TCIOFLUSH);
}

SerialClient::~SerialClient() {
    if (fd_ >= 0) ::close(fd_);
}

void SerialClient::send(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

Bytes SerialClient::receive(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    Bytes out;
    while (out.size() < count && wait_readable(fd_, deadline) > 0) {
        std::uint8_t buf[512];
        const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, count - out.size()));
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

Bytes SerialClient::receive_all(std::chrono::milliseconds quiet) {
    Bytes out;
    for (;;) {
        const Bytes more = receive(4096, quiet);
        if (more.empty()) return out;
        out.insert(out.end(), more.begin(), more.end());
    }
}

Bytes SerialClient::exchange(const Bytes& bytes, std::size_t count, std::chrono::milliseconds timeout) {
    send(bytes);
    return receive(count, timeout);
}

CanNode::CanNode(const std::string& can_bus) {
    const std::string path = can_bus.substr(can_bus.find(':') + 1);
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

CanNode::~CanNode() {
    if (fd_ >= 0) ::close(fd_);
}

void CanNode::send(std::uint32_t id, const Bytes& data, bool extended, bool fd) {
    Bytes image(fd ? 72 : 16, 0);
    const std::uint32_t word = id | (extended ? 0x80000000u : 0u);
    std::memcpy(image.data(), &word, 4);
    image[4] = static_cast<std::uint8_t>(data.size());
    if (fd) image[5] = 0x04;
    std::copy(data.begin(), data.end(), image.begin() + 8);
    ::send(fd_, image.data(), image.size(), MSG_NOSIGNAL);
}

std::optional<CanMessage> CanNode::receive(std::chrono::milliseconds timeout) {
    if (wait_readable(fd_, Clock::now() + timeout) <= 0) return std::nullopt;
    std::uint8_t image[80];
    const ssize_t n = recv(fd_, image, sizeof image, 0);
    if (n != 16 && n != 72) return std::nullopt;
    std::uint32_t word = 0;
    std::memcpy(&word, image, 4);
    CanMessage m;
    m.extended = (word & 0x80000000u) != 0;
    m.id = word & (m.extended ? 0x1FFFFFFFu : 0x7FFu);
    m.fd = n == 72;
    m.data.assign(image + 8, image + 8 + image[4]);
    return m;
}

Bytes mit_frame(float p, float v, float kp, float kd, float t, float pmax, float vmax, float tmax) {
    const std::uint32_t pi = float_to_field(p, -pmax, pmax, 16);
    const std::uint32_t vi = float_to_field(v, -vmax, vmax, 12);
    const std::uint32_t kpi = float_to_field(kp, 0.0f, 500.0f, 12);
    const std::uint32_t kdi = float_to_field(kd, 0.0f, 5.0f, 12);
    const std::uint32_t ti = float_to_field(t, -tmax, tmax, 12);
    return {static_cast<std::uint8_t>(pi >> 8), static_cast<std::uint8_t>(pi),
            static_cast<std::uint8_t>(vi >> 4), static_cast<std::uint8_t>(((vi & 0xF) << 4) | (kpi >> 8)),
            static_cast<std::uint8_t>(kpi), static_cast<std::uint8_t>(kdi >> 4),
            static_cast<std::uint8_t>(((kdi & 0xF) << 4) | (ti >> 8)), static_cast<std::uint8_t>(ti)};
}

float field_to_float(std::uint32_t u, float lo, float hi, int bits) {
    return static_cast<float>(u) * (hi - lo) / static_cast<float>((1u << bits) - 1) + lo;
}

}  // namespace sim_test
