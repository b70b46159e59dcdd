// Bare-bones host-side clients for exercising the simulator from the outside:
// a raw serial port on the pty and a node on the virtual CAN bus. Written
// for these tests only, with nothing shared with the controller library.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim_test {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Feetech instruction packet: FF FF id len instr params checksum.
Bytes instruction(std::uint8_t id, std::uint8_t instr, const Bytes& params = {});

class SerialClient {
public:
    explicit SerialClient(const std::string& path);
    ~SerialClient();
    SerialClient(const SerialClient&) = delete;
    SerialClient& operator=(const SerialClient&) = delete;

    bool is_open() const { return fd_ >= 0; }
    void send(const Bytes& bytes);
    // Reads until `count` bytes are in or `timeout` has passed; returns what came.
    Bytes receive(std::size_t count, std::chrono::milliseconds timeout = 500ms);
    // Everything that arrives within `quiet` of silence.
    Bytes receive_all(std::chrono::milliseconds quiet = 30ms);
    // send, then receive `count` bytes.
    Bytes exchange(const Bytes& bytes, std::size_t count, std::chrono::milliseconds timeout = 500ms);

private:
    int fd_ = -1;
};

struct CanMessage {
    std::uint32_t id;
    bool extended;
    bool fd;
    Bytes data;
};

class CanNode {
public:
    explicit CanNode(const std::string& can_bus);   // "unix:<path>"
    ~CanNode();
    CanNode(const CanNode&) = delete;
    CanNode& operator=(const CanNode&) = delete;

    bool is_open() const { return fd_ >= 0; }
    void send(std::uint32_t id, const Bytes& data, bool extended = false, bool fd = false);
    std::optional<CanMessage> receive(std::chrono::milliseconds timeout = 500ms);

private:
    int fd_ = -1;
};

// MIT set-point packing, big-endian p16 v12 kp12 kd12 t12.
Bytes mit_frame(float p, float v, float kp, float kd, float t, float pmax, float vmax, float tmax);
float field_to_float(std::uint32_t u, float lo, float hi, int bits);

}  // namespace sim_test
