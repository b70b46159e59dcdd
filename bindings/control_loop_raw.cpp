// The control-loop class's raw access: raw register reads and writes, PID
// gains, raw packets and the health readings, each queued to the loop thread
// and, when it answers, waited for without the interpreter lock.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/control_loop_object.hpp"
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/status_types.hpp"
#include "control_loop/control_loop.hpp"
#include "smartbus/packet.hpp"
#include "smartbus/registers.hpp"

namespace qmc::py::loop_class {

using quorvel::MotorCmd;
using quorvel::MotorError;
namespace cmd = quorvel::motor_cmd;
// The servo registers of the PID gains, with their byte order.
namespace registers = smartbus::feetech_servo;

// Queues a raw read and waits (without the interpreter lock) up to
// quorvel::kRawReadTimeout for the loop's answer, running the signal
// handlers meanwhile. Nothing, with the handler's exception set, when one
// raised; otherwise the bytes or CommunicationFailure, as
// QuorvelControlLoop::async_read_raw_bytes answers.
std::optional<quorvel::MotorResult<std::vector<std::uint8_t>>> raw_read(PyObject* self, std::uint8_t id,
                                                                        std::uint8_t addr, std::uint8_t length) {
    const auto failure = [] {
        return quorvel::MotorResult<std::vector<std::uint8_t>>(
            common::Err{MotorError(MotorError::CommunicationFailure{})});
    };
    // Not a structured binding: Clang 14 cannot capture one in the lambda below.
    auto channel = quorvel::reply_channel<std::vector<std::uint8_t>>();
    auto& answer = channel.second;
    MotorCmd command = cmd::ReadRawBytes{id, addr, length, std::move(channel.first)};
    switch (enqueue(self, command)) {
        case Queued::Done: break;
        case Queued::SignalRaised: return std::nullopt;
        case Queued::Closed: return failure();
    }
    const auto deadline = std::chrono::steady_clock::now() + quorvel::kRawReadTimeout;
    for (;;) {
        auto bytes = allow_threads(
            [&] { return answer.recv_until(std::min(deadline, std::chrono::steady_clock::now() + kSignalCheckPeriod)); });
        if (bytes) return quorvel::MotorResult<std::vector<std::uint8_t>>(std::move(bytes).value());
        if (bytes.error() == quorvel::RecvError::Disconnected || std::chrono::steady_clock::now() >= deadline)
            return failure();
        if (PyErr_CheckSignals() < 0) return std::nullopt;
    }
}

PyObject* read_raw_bytes(PyObject* self, std::uint8_t id, std::uint8_t addr, std::uint8_t length) {
    auto bytes = raw_read(self, id, addr, length);
    if (!bytes) return nullptr;
    if (!*bytes) return raise_runtime_error("Failed to read raw bytes: " + bytes->error().message());
    return bytes_object(bytes->value());
}

// A health reading queued like a raw read and awaited as long: the values,
// RuntimeError "<failure> Motor communication error! ..." when the read failed,
// "channel closed" like every other command once the loop is closing or
// closed, RuntimeError with the neck-only text on a neck-only loop, or null
// with a signal handler's exception.
template <class Command, class T, class Convert>
PyObject* status_read(PyObject* self, const char* failure, Convert convert) {
    auto channel = quorvel::reply_channel<common::Result<T, std::string>>();
    auto& answer = channel.second;
    MotorCmd command = Command{std::move(channel.first)};
    const std::string failed = failure + communication_failure_text();
    switch (enqueue(self, command)) {
        case Queued::Done: break;
        case Queued::SignalRaised: return nullptr;
        case Queued::Closed: return raise_runtime_error(kChannelClosed);
    }
    const auto deadline = std::chrono::steady_clock::now() + quorvel::kRawReadTimeout;
    for (;;) {
        auto status = allow_threads(
            [&] { return answer.recv_until(std::min(deadline, std::chrono::steady_clock::now() + kSignalCheckPeriod)); });
        if (status) {
            if (!status->ok()) return raise_runtime_error(status->error());
            return convert(status->value());
        }
        if (status.error() == quorvel::RecvError::Disconnected && loop_of(self).is_closed())
            return raise_runtime_error(kChannelClosed);  // closed before the loop thread got to it
        if (status.error() == quorvel::RecvError::Disconnected || std::chrono::steady_clock::now() >= deadline)
            return raise_runtime_error(failed);
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
}

PyObject* read_servo_status(PyObject* self) {
    return status_read<cmd::ReadServoStatus, std::array<quorvel::ServoStatus, 7>>(
        self, "Failed to read servo status: ", servo_status_list);
}

PyObject* read_neck_status(PyObject* self) {
    return status_read<cmd::ReadNeckStatus, std::array<quorvel::NeckStatus, 3>>(self, "Failed to read neck status: ",
                                                                                neck_status_list);
}

PyObject* write_raw_bytes(PyObject* self, std::uint8_t id, std::uint8_t addr, std::vector<std::uint8_t>& data) {
    // No write packet can carry more: refuse it here rather than queue a write bound to fail.
    if (data.size() > smartbus::kMaxWriteData)
        return raise_value_error("async_write_raw_bytes: data must hold at most " +
                                 std::to_string(smartbus::kMaxWriteData) + " bytes, got " +
                                 std::to_string(data.size()));
    return queue_command(self, cmd::WriteRawBytes{id, addr, std::move(data)},
                         "Failed to write raw bytes: " + communication_failure_text());
}

PyObject* read_pid_gains(PyObject* self, std::uint8_t id) {
    auto bytes = raw_read(self, id, registers::kPidGains.address, registers::kPidGains.width);
    if (!bytes) return nullptr;
    if (!*bytes) return raise_runtime_error("Failed to read pid gains: " + bytes->error().message());
    const auto& b = bytes->value();
    if (b.size() != registers::kPidGains.width)
        return raise_runtime_error("Failed to read pid gains: " + communication_failure_text());
    const registers::PidGains gains = registers::pid_gains_from_bytes(b[0], b[1], b[2]);
    return Py_BuildValue("(iii)", gains.p, gains.i, gains.d);
}

PyObject* write_pid_gains(PyObject* self, std::uint8_t id, std::uint16_t p, std::uint16_t i, std::uint16_t d) {
    // Each register holds one byte. Reducing a larger gain to its low 8 bits
    // would write a gain nobody asked for (256 becomes 0: a servo that no
    // longer holds its load), so it is refused; 0 to 255 go as they are.
    const std::pair<const char*, std::uint16_t> gains[] = {{"p", p}, {"i", i}, {"d", d}};
    for (const auto& [name, gain] : gains) {
        if (gain > 0xFF)
            return raise_value_error(std::string("async_write_pid_gains: ") + name +
                                     " must be between 0 and 255 (one register byte), got " + std::to_string(gain));
    }
    const auto low = [](std::uint16_t gain) { return static_cast<std::uint8_t>(gain & 0xFF); };
    const auto bytes = registers::pid_gain_bytes({low(p), low(i), low(d)});
    return queue_command(self, cmd::WriteRawBytes{id, registers::kPidGains.address, {bytes.begin(), bytes.end()}},
                         "Failed to write pid gains: " + communication_failure_text());
}

PyObject* write_raw_packet(PyObject* self, std::vector<std::uint8_t>& data) {
    auto channel = quorvel::reply_channel<std::vector<std::uint8_t>>();
    auto& answer = channel.second;
    if (!send_command(self, cmd::WriteRawPacket{std::move(data), std::move(channel.first)}, kChannelClosed))
        return nullptr;

    // No time limit: the loop answers or drops the reply channel. Signals
    // are still handled while waiting.
    for (;;) {
        auto received =
            allow_threads([&] { return answer.recv_until(std::chrono::steady_clock::now() + kSignalCheckPeriod); });
        if (received) return bytes_object(received.value());
        if (received.error() == quorvel::RecvError::Disconnected)
            return raise_runtime_error(std::string("Failed to receive raw packet response: ") +
                                       quorvel::recv_error_text(quorvel::RecvError::Disconnected));
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
}

}  // namespace qmc::py::loop_class
