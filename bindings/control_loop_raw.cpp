// The control-loop class's raw access: raw register reads and writes, PID
// gains, raw packets and the health readings. The loop's own requests queue
// each one and, when it answers, wait for the answer; here they wait without
// the interpreter lock, running the signal handlers meanwhile.
#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bindings/control_loop_object.hpp"
#include "bindings/control_loop_recording.hpp"
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/status_types.hpp"
#include "common/stop_source.hpp"
#include "control_loop/control_loop.hpp"
#include "smartbus/packet.hpp"

namespace qmc::py::loop_class {

using quorvel::MotorError;
using quorvel::QuorvelControlLoop;
using quorvel::RequestFailure;
namespace cmd = quorvel::motor_cmd;

namespace {

// A raw operation's error: null with the signal handler's exception when it
// interrupted the wait, ValueError for a refused argument, otherwise
// RuntimeError "<failed><text>".
std::nullptr_t raise_failure(const char* failed, const MotorError& error) {
    if (error.is<MotorError::Interrupted>()) return nullptr;
    if (error.is<MotorError::InvalidArgument>()) return raise_value_error(error.message());
    return raise_runtime_error(failed + error.message());
}

// A health reading: the values, RuntimeError "<failure> Motor communication
// error! ..." when the read failed or took longer than the raw-read time
// limit, "channel closed" like every other command once the loop is closing
// or closed, RuntimeError with the neck-only text on a neck-only loop, or
// null with a signal handler's exception.
template <class Command, class T, class Convert>
PyObject* status_read(PyObject* self, const char* failure, Convert convert) {
    if (!usable_here(self)) return nullptr;
    QuorvelControlLoop& loop = loop_of(self);
    auto status = until_signal([&](common::StopSource* stop) {
        return loop.request<common::Result<T, std::string>>([](auto reply) { return Command{std::move(reply)}; },
                                                            quorvel::kRawReadTimeout, stop);
    });
    if (status) {
        if (!status->ok()) return raise_runtime_error(status->error());
        record_status(self, status->value());
        return convert(status->value());
    }
    switch (status.error()) {
        case RequestFailure::Stopped: return nullptr;
        case RequestFailure::Closed: return raise_runtime_error(kChannelClosed);
        case RequestFailure::Unanswered:
            // Closed before the loop thread got to it.
            if (loop.is_closed()) return raise_runtime_error(kChannelClosed);
            break;
        case RequestFailure::TimedOut: break;
    }
    return raise_runtime_error(failure + communication_failure_text());
}

}  // namespace

PyObject* read_raw_bytes(PyObject* self, std::uint8_t id, std::uint8_t addr, std::uint8_t length) {
    if (!usable_here(self)) return nullptr;
    QuorvelControlLoop& loop = loop_of(self);
    auto bytes =
        until_signal([&](common::StopSource* stop) { return loop.async_read_raw_bytes(id, addr, length, stop); });
    if (!bytes) return raise_failure("Failed to read raw bytes: ", bytes.error());
    return bytes_object(bytes.value());
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
    if (!usable_here(self)) return nullptr;
    QuorvelControlLoop& loop = loop_of(self);
    auto gains = until_signal([&](common::StopSource* stop) { return loop.async_read_pid_gains(id, stop); });
    if (!gains) return raise_failure("Failed to read pid gains: ", gains.error());
    return Py_BuildValue("(iii)", gains->p, gains->i, gains->d);
}

PyObject* write_pid_gains(PyObject* self, std::uint8_t id, std::uint16_t p, std::uint16_t i, std::uint16_t d) {
    // Refused gains are refused first, as every command's checks are.
    if (auto checked = QuorvelControlLoop::check_pid_gains(p, i, d); !checked)
        return raise_value_error(checked.error().message());
    if (!usable_here(self)) return nullptr;
    QuorvelControlLoop& loop = loop_of(self);
    auto written =
        until_signal([&](common::StopSource* stop) { return loop.async_write_pid_gains(id, p, i, d, stop); });
    if (!written) return raise_failure("Failed to write pid gains: ", written.error());
    return none();
}

// No time limit: the loop answers or drops the reply channel.
PyObject* write_raw_packet(PyObject* self, std::vector<std::uint8_t>& data) {
    if (!usable_here(self)) return nullptr;
    QuorvelControlLoop& loop = loop_of(self);
    auto reply = until_signal([&](common::StopSource* stop) {
        return loop.request<std::vector<std::uint8_t>>(
            [&](quorvel::ByteReply channel) { return cmd::WriteRawPacket{std::move(data), std::move(channel)}; },
            std::nullopt, stop);
    });
    if (reply) return bytes_object(reply.value());
    switch (reply.error()) {
        case RequestFailure::Stopped: return nullptr;
        case RequestFailure::Closed: return raise_runtime_error(kChannelClosed);
        case RequestFailure::Unanswered:
        case RequestFailure::TimedOut: break;
    }
    return raise_runtime_error(std::string("Failed to receive raw packet response: ") +
                               quorvel::recv_error_text(quorvel::RecvError::Disconnected));
}

}  // namespace qmc::py::loop_class
