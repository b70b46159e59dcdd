#include "bindings/control_loop_class.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/logging_bridge.hpp"
#include "bindings/records_types.hpp"
#include "bindings/status_types.hpp"
#include "bindings/types.hpp"
#include "common/format.hpp"
#include "common/stop_source.hpp"
#include "control_loop/control_loop.hpp"
#include "control_loop/handle_commands.hpp"
#include "control_loop/realtime.hpp"
#include "smartbus/packet.hpp"
#include "smartbus/registers.hpp"

namespace qmc::py {
namespace {

using quorvel::MotorCmd;
using quorvel::MotorError;
using quorvel::QuorvelControlLoop;
using quorvel::SendError;
namespace cmd = quorvel::motor_cmd;
using namespace std::chrono_literals;

// While a caller waits without the interpreter lock, it comes back this often
// to let Python handle signals (Ctrl-C).
constexpr auto kSignalCheckPeriod = common::StopSource::kCheckPeriod;
// How long close() waits for the loop thread's last log records to reach Python.
constexpr auto kLogFlushTime = 2s;
// The servo registers of the PID gains, with their byte order.
namespace registers = smartbus::feetech_servo;

constexpr const char* kChannelClosed = "channel closed";

std::string communication_failure_text() { return MotorError(MotorError::CommunicationFailure{}).message(); }

// ---- Live loops, closed at interpreter exit -------------------------------------

// Every loop a Python object has created. At exit the loops still running are
// closed (queued commands executed, thread joined) while the interpreter is
// whole, so no loop thread touches it once finalisation begins.
class LiveLoops {
public:
    void add(const std::shared_ptr<QuorvelControlLoop>& loop) {
        std::lock_guard lock(mutex_);
        std::erase_if(loops_, [](const auto& weak) { return weak.expired(); });
        loops_.push_back(loop);
    }

    std::vector<std::shared_ptr<QuorvelControlLoop>> running() {
        std::vector<std::shared_ptr<QuorvelControlLoop>> found;
        std::lock_guard lock(mutex_);
        for (const auto& weak : loops_)
            if (auto loop = weak.lock()) found.push_back(std::move(loop));
        return found;
    }

private:
    std::mutex mutex_;
    std::vector<std::weak_ptr<QuorvelControlLoop>> loops_;
};

LiveLoops& live_loops() {
    static LiveLoops* loops = new LiveLoops();  // used until the process ends
    return *loops;
}

PyObject* close_live_loops(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        auto loops = live_loops().running();
        allow_threads([&] {
            for (auto& loop : loops) loop->close();
            loops.clear();  // a loop whose Python object is gone is released here
        });
        Py_RETURN_NONE;
    });
}

// atexit runs its hooks last-registered first: registered after the logging
// bridge's hook, this one runs while records can still reach Python.
bool register_exit_hook() {
    static PyMethodDef hook{"_quorvel_close_control_loops", close_live_loops, METH_NOARGS, nullptr};
    PyObject* function = PyCFunction_New(&hook, nullptr);
    PyObject* atexit = function != nullptr ? PyImport_ImportModule("atexit") : nullptr;
    PyObject* registered = atexit != nullptr ? PyObject_CallMethod(atexit, "register", "O", function) : nullptr;
    Py_XDECREF(function);
    Py_XDECREF(atexit);
    Py_XDECREF(registered);
    return registered != nullptr;
}

// ---- The instance -------------------------------------------------------------

// What a loop was opened with, for repr.
struct LoopDevices {
    std::optional<std::string> serialport;
    std::string can_bus;
};

struct ControlLoopObject {
    PyObject_HEAD
    // Owned; set by tp_new before the object is handed out, freed by dealloc.
    std::shared_ptr<QuorvelControlLoop>* loop;
    LoopDevices* devices;  // owned likewise
};

QuorvelControlLoop& loop_of(PyObject* self) { return **reinterpret_cast<ControlLoopObject*>(self)->loop; }

PyObject* none() { Py_RETURN_NONE; }

enum class Queued {
    Done,
    Closed,         // the loop is closing or closed: nothing was queued
    SignalRaised,   // a signal handler raised while waiting for room (exception set)
};

// Queues `command`, waiting for room without the interpreter lock when the
// queue is full and running the signal handlers meanwhile.
Queued enqueue(PyObject* self, MotorCmd& command) {
    QuorvelControlLoop& loop = loop_of(self);
    auto refused = loop.try_send_command(command);  // the usual case: room at once
    while (refused == SendError::Full || refused == SendError::Timeout) {
        refused = allow_threads(
            [&] { return loop.send_command_until(command, std::chrono::steady_clock::now() + kSignalCheckPeriod); });
        if (refused == SendError::Timeout && PyErr_CheckSignals() < 0) return Queued::SignalRaised;
    }
    return refused ? Queued::Closed : Queued::Done;
}

// A command the controller would refuse without any bus traffic is refused
// here, before it is queued: ValueError for a refused argument (a NaN
// position), RuntimeError with the controller's text otherwise.
bool check_before_queueing(const MotorCmd& command) {
    auto checked = quorvel::check_command(command);
    if (checked) return true;
    if (checked.error().is_invalid_argument())
        raise_value_error(checked.error().message());
    else
        raise_runtime_error(checked.error().message());
    return false;
}

// Queues `command` after its checks. False with an exception set when it was
// refused, when a signal handler raised while waiting for room, or (with
// RuntimeError `closed_text`) when the loop is closing or closed.
bool send_command(PyObject* self, MotorCmd command, const std::string& closed_text) {
    if (!check_before_queueing(command)) return false;
    switch (enqueue(self, command)) {
        case Queued::Done: return true;
        case Queued::SignalRaised: return false;
        case Queued::Closed: break;
    }
    raise_runtime_error(closed_text);
    return false;
}

// A command without an answer: None once it is queued.
PyObject* queue_command(PyObject* self, MotorCmd command, const std::string& closed_text = kChannelClosed) {
    if (!send_command(self, std::move(command), closed_text)) return nullptr;
    return none();
}

// ---- Construction and release ---------------------------------------------------

// `realtime_priority`: None or an int (its range is checked by the loop).
bool to_realtime_priority(PyObject* obj, std::optional<int>& out) {
    if (obj == Py_None) return true;
    if (!PyLong_Check(obj) || PyBool_Check(obj)) {
        raise_type_error(std::string("argument 'realtime_priority': expected int or None, got ") +
                         Py_TYPE(obj)->tp_name);
        return false;
    }
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < quorvel::min_realtime_priority() || value > quorvel::max_realtime_priority()) {
        PyObject* text = PyObject_Str(obj);
        if (text == nullptr) return false;
        raise_value_error("realtime_priority must be between " + std::to_string(quorvel::min_realtime_priority()) +
                          " and " + std::to_string(quorvel::max_realtime_priority()) + ", got " +
                          PyUnicode_AsUTF8(text));
        Py_DECREF(text);
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

PyObject* control_loop_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"serialport",       "read_position_loop_period",
                                                 "can_bus",          "allowed_retries",
                                                 "stats_pub_period", "voltage_rampup_timeout",
                                                 "realtime_priority"};
        static constexpr Signature kSignature{"QuorvelPyControlLoop", kNames, 2};
        PyObject* arg[7];
        if (!bind_arguments(kSignature, args, kwargs, arg)) return nullptr;
        std::optional<std::string> serialport;
        std::chrono::nanoseconds period{};
        std::string can_bus = "can0";
        std::uint64_t allowed_retries = 5;
        std::optional<std::chrono::nanoseconds> stats_pub_period;
        std::chrono::nanoseconds voltage_rampup_timeout = 30s;
        if (!to_optional_string(arg[0], "serialport", serialport) ||
            !to_duration(arg[1], "read_position_loop_period", period) ||
            (arg[2] != nullptr && !to_string(arg[2], "can_bus", can_bus)) ||
            (arg[3] != nullptr && !to_u64(arg[3], "allowed_retries", allowed_retries)) ||
            (arg[4] != nullptr && !to_optional_duration(arg[4], "stats_pub_period", stats_pub_period)) ||
            (arg[5] != nullptr && !to_duration(arg[5], "voltage_rampup_timeout", voltage_rampup_timeout)))
            return nullptr;
        std::optional<int> realtime_priority;
        if (arg[6] != nullptr && !to_realtime_priority(arg[6], realtime_priority)) return nullptr;

        // Start-up may take up to the voltage time-out: other threads run
        // meanwhile, and the signal handlers run between its bus transactions
        // and in its waits; when one raises, start-up stops and releases both ports.
        auto created = allow_threads([&] {
            common::StopSource stop(signal_handler_raised_unlocked);
            return QuorvelControlLoop::create(serialport, can_bus, period, stats_pub_period, allowed_retries,
                                              voltage_rampup_timeout, realtime_priority, &stop);
        });
        if (!created) {
            const auto& error = created.error();
            switch (error.kind()) {
                case quorvel::ControlLoopError::Kind::InvalidArgument: return raise_value_error(error.message());
                case quorvel::ControlLoopError::Kind::Interrupted:
                    if (PyErr_Occurred() != nullptr) return nullptr;  // what the signal handler raised
                    break;
                case quorvel::ControlLoopError::Kind::SpawnFailed:
                    raise_panic(error.message().c_str());
                    return nullptr;
                case quorvel::ControlLoopError::Kind::RealtimeRefused:
                    PyErr_SetString(PyExc_PermissionError, error.message().c_str());
                    return nullptr;
                case quorvel::ControlLoopError::Kind::Motor: break;
            }
            return raise_with_cause(PyExc_RuntimeError, error.message(),
                                    error.motor_error() ? error.motor_error()->os_cause() : nullptr);
        }
        auto loop = std::make_unique<std::shared_ptr<QuorvelControlLoop>>(std::move(created).value());
        auto devices = std::make_unique<LoopDevices>(LoopDevices{serialport, can_bus});

        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            allow_threads([&] { loop.reset(); });  // stops and joins the new loop
            return nullptr;
        }
        live_loops().add(*loop);
        reinterpret_cast<ControlLoopObject*>(self)->devices = devices.release();
        reinterpret_cast<ControlLoopObject*>(self)->loop = loop.release();
        return self;
    });
}

// No call can be running: each holds a reference to the object. Releasing
// the last reference to the loop closes it, which waits for its thread.
void control_loop_dealloc(PyObject* self) {
    auto* loop = reinterpret_cast<ControlLoopObject*>(self)->loop;
    allow_threads([&] { delete loop; });
    delete reinterpret_cast<ControlLoopObject*>(self)->devices;
    free_instance(self);
}

// QuorvelPyControlLoop(serialport='/dev/ttyUSB0', can_bus='can0', closed=False)
PyObject* control_loop_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const LoopDevices& devices = *reinterpret_cast<ControlLoopObject*>(self)->devices;
        const bool closed = (*reinterpret_cast<ControlLoopObject*>(self)->loop)->is_closed();
        PyObject* port =
            devices.serialport ? PyUnicode_DecodeFSDefault(devices.serialport->c_str()) : Py_NewRef(Py_None);
        PyObject* bus = PyUnicode_DecodeFSDefault(devices.can_bus.c_str());
        PyObject* text = port != nullptr && bus != nullptr
                             ? PyUnicode_FromFormat("QuorvelPyControlLoop(serialport=%R, can_bus=%R, closed=%s)",
                                                    port, bus, closed ? "True" : "False")
                             : nullptr;
        Py_XDECREF(port);
        Py_XDECREF(bus);
        return text;
    });
}

// ---- Argument conversion --------------------------------------------------------

using Args = PyObject* const*;

// Binds the arguments of a method with the given parameter names (all required).
template <std::size_t N>
bool bind(const char* function, const char* const (&names)[N], Args args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject* (&out)[N]) {
    const Signature signature{function, names, N};
    return bind_arguments(signature, args, nargs, kwnames, out);
}

// ---- Methods ------------------------------------------------------------------------

// Waits for the queued commands in slices, running the signal handlers in
// between. Interrupted, the loop goes on closing by itself; a later close()
// (or the object's release) waits for the rest.
PyObject* close(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        QuorvelControlLoop& loop = loop_of(self);
        while (!allow_threads(
            [&] { return loop.close_until(std::chrono::steady_clock::now() + kSignalCheckPeriod); })) {
            if (PyErr_CheckSignals() < 0) return nullptr;
        }
        // The loop thread's last records reach Python before close() returns.
        allow_threads([&] { (void)flush_log_records(std::chrono::steady_clock::now() + kLogFlushTime); });
        return none();
    });
}

// ---- Context manager ----------------------------------------------------------------

PyObject* enter_context(PyObject* self, PyObject*) { return Py_NewRef(self); }

// Closes the loop; returns None, so an exception raised in the block goes on.
PyObject* exit_context(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 3) return raise_type_error("__exit__ expected 3 arguments, got " + std::to_string(nargs));
        return close(self, nullptr);
    });
}

// The dict lists the servos in servo-vector order (by id, 1 to 7).
PyObject* get_motor_name_id(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const auto& names = loop_of(self).motor_name_ids();
        std::vector<std::pair<std::string, std::uint8_t>> ordered(names.begin(), names.end());
        std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
        PyObject* map = PyDict_New();
        if (map == nullptr) return nullptr;
        for (const auto& [name, id] : ordered) {
            PyObject* value = PyLong_FromUnsignedLong(id);
            const int stored = value != nullptr ? PyDict_SetItemString(map, name.c_str(), value) : -1;
            Py_XDECREF(value);
            if (stored < 0) {
                Py_DECREF(map);
                return nullptr;
            }
        }
        return map;
    });
}

PyObject* get_last_position(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto position = loop_of(self).get_last_position();
        if (!position) return raise_error(position.error());
        return make_torso_position(position.value());
    });
}

PyObject* set_all_goal_positions(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"positions"};
        PyObject* arg[1];
        if (!bind("set_all_goal_positions", kNames, args, nargs, kwnames, arg)) return nullptr;
        quorvel::QuorvelTorsoPosition positions;
        if (!to_torso_position(arg[0], "positions", positions)) return nullptr;
        return queue_command(self, cmd::SetAllGoalPositions{positions});
    });
}

// A method taking one sequence of exactly N positions, queued as `Command`.
template <class Command, std::size_t N>
PyObject* positions_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"position"};
        PyObject* arg[1];
        if (!bind(function, kNames, args, nargs, kwnames, arg)) return nullptr;
        std::array<double, N> position{};
        if (!to_float_array(arg[0], "position", position)) return nullptr;
        return queue_command(self, Command{position});
    });
}

PyObject* set_left_arm_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<cmd::SetLeftArmPosition, 2>(self, args, nargs, kwnames, "set_left_arm_position");
}

PyObject* set_right_arm_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<cmd::SetRightArmPosition, 2>(self, args, nargs, kwnames, "set_right_arm_position");
}

PyObject* set_arms_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<cmd::SetArmsPosition, 4>(self, args, nargs, kwnames, "set_arms_position");
}

PyObject* set_nose_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<cmd::SetNosePosition, 3>(self, args, nargs, kwnames, "set_nose_position");
}

PyObject* set_neck_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<cmd::SetNeckPosition, 3>(self, args, nargs, kwnames, "set_neck_position");
}

// One neck joint's set-point, queued as `Command`.
template <class Command>
PyObject* neck_joint_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"position"};
        PyObject* arg[1];
        if (!bind(function, kNames, args, nargs, kwnames, arg)) return nullptr;
        double position = 0.0;
        if (!to_double(arg[0], "position", position)) return nullptr;
        return queue_command(self, Command{position});
    });
}

PyObject* set_neck_yaw_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return neck_joint_method<cmd::SetNeckYawPosition>(self, args, nargs, kwnames, "set_neck_yaw_position");
}

PyObject* set_neck_pitch_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return neck_joint_method<cmd::SetNeckPitchPosition>(self, args, nargs, kwnames, "set_neck_pitch_position");
}

PyObject* set_neck_roll_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return neck_joint_method<cmd::SetNeckRollPosition>(self, args, nargs, kwnames, "set_neck_roll_position");
}

// A method taking one bool, queued as `Command`.
template <class Command>
PyObject* switch_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"enable"};
        PyObject* arg[1];
        if (!bind(function, kNames, args, nargs, kwnames, arg)) return nullptr;
        bool enable = false;
        if (!to_bool(arg[0], "enable", enable)) return nullptr;
        return queue_command(self, Command{enable});
    });
}

PyObject* enable_neck(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return switch_method<cmd::EnableNeck>(self, args, nargs, kwnames, "enable_neck");
}

PyObject* enable_arms(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return switch_method<cmd::EnableArms>(self, args, nargs, kwnames, "enable_arms");
}

PyObject* enable_nose(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return switch_method<cmd::EnableNose>(self, args, nargs, kwnames, "enable_nose");
}

PyObject* is_torque_enabled(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto enabled = loop_of(self).is_torque_enabled();
        if (!enabled) return raise_error(enabled.error());
        return bool_object(enabled.value());
    });
}

PyObject* enable_torque(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return queue_command(self, cmd::EnableTorque{}); });
}

PyObject* disable_torque(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return queue_command(self, cmd::DisableTorque{}); });
}

// A method taking a list of servo ids, queued as `Command`.
template <class Command>
PyObject* ids_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"ids"};
        PyObject* arg[1];
        if (!bind(function, kNames, args, nargs, kwnames, arg)) return nullptr;
        std::vector<std::uint8_t> ids;
        if (!to_byte_list(arg[0], "ids", ids)) return nullptr;
        return queue_command(self, Command{std::move(ids)});
    });
}

PyObject* enable_torque_on_ids(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return ids_method<cmd::EnableTorqueOnIds>(self, args, nargs, kwnames, "enable_torque_on_ids");
}

PyObject* disable_torque_on_ids(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return ids_method<cmd::DisableTorqueOnIds>(self, args, nargs, kwnames, "disable_torque_on_ids");
}

PyObject* get_stats(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto stats = loop_of(self).get_stats();
        if (!stats) return none();
        return make_control_loop_stats(std::move(*stats));
    });
}

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

PyObject* async_read_raw_bytes(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"id", "addr", "length"};
        PyObject* arg[3];
        if (!bind("async_read_raw_bytes", kNames, args, nargs, kwnames, arg)) return nullptr;
        std::uint8_t id = 0, addr = 0, length = 0;
        if (!to_u8(arg[0], "id", id) || !to_u8(arg[1], "addr", addr) || !to_u8(arg[2], "length", length))
            return nullptr;
        auto bytes = raw_read(self, id, addr, length);
        if (!bytes) return nullptr;
        if (!*bytes) return raise_runtime_error("Failed to read raw bytes: " + bytes->error().message());
        return bytes_object(bytes->value());
    });
}

// A health reading queued like a raw read and awaited as long: the values,
// RuntimeError "<failure> Motor communication error! ..." when the read failed
// or the loop is closed, RuntimeError with the neck-only text on a neck-only
// loop, or null with a signal handler's exception.
template <class Command, class T, class Convert>
PyObject* status_read(PyObject* self, const char* failure, Convert convert) {
    auto channel = quorvel::reply_channel<common::Result<T, std::string>>();
    auto& answer = channel.second;
    MotorCmd command = Command{std::move(channel.first)};
    const std::string failed = failure + communication_failure_text();
    switch (enqueue(self, command)) {
        case Queued::Done: break;
        case Queued::SignalRaised: return nullptr;
        case Queued::Closed: return raise_runtime_error(failed);
    }
    const auto deadline = std::chrono::steady_clock::now() + quorvel::kRawReadTimeout;
    for (;;) {
        auto status = allow_threads(
            [&] { return answer.recv_until(std::min(deadline, std::chrono::steady_clock::now() + kSignalCheckPeriod)); });
        if (status) {
            if (!status->ok()) return raise_runtime_error(status->error());
            return convert(status->value());
        }
        if (status.error() == quorvel::RecvError::Disconnected || std::chrono::steady_clock::now() >= deadline)
            return raise_runtime_error(failed);
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
}

PyObject* async_read_servo_status(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        return status_read<cmd::ReadServoStatus, std::array<quorvel::ServoStatus, 7>>(
            self, "Failed to read servo status: ", servo_status_list);
    });
}

PyObject* async_read_neck_status(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        return status_read<cmd::ReadNeckStatus, std::array<quorvel::NeckStatus, 3>>(
            self, "Failed to read neck status: ", neck_status_list);
    });
}

PyObject* async_write_raw_bytes(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"id", "addr", "data"};
        PyObject* arg[3];
        if (!bind("async_write_raw_bytes", kNames, args, nargs, kwnames, arg)) return nullptr;
        std::uint8_t id = 0, addr = 0;
        std::vector<std::uint8_t> data;
        if (!to_u8(arg[0], "id", id) || !to_u8(arg[1], "addr", addr) || !to_byte_list(arg[2], "data", data))
            return nullptr;
        // No write packet can carry more: refuse it here rather than queue a write bound to fail.
        if (data.size() > smartbus::max_write_data)
            return raise_value_error("async_write_raw_bytes: data must hold at most " +
                                     std::to_string(smartbus::max_write_data) + " bytes, got " +
                                     std::to_string(data.size()));
        return queue_command(self, cmd::WriteRawBytes{id, addr, std::move(data)},
                             "Failed to write raw bytes: " + communication_failure_text());
    });
}

PyObject* async_read_pid_gains(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"id"};
        PyObject* arg[1];
        if (!bind("async_read_pid_gains", kNames, args, nargs, kwnames, arg)) return nullptr;
        std::uint8_t id = 0;
        if (!to_u8(arg[0], "id", id)) return nullptr;
        auto bytes = raw_read(self, id, registers::pid_gains.address, registers::pid_gains.width);
        if (!bytes) return nullptr;
        if (!*bytes) return raise_runtime_error("Failed to read pid gains: " + bytes->error().message());
        const auto& b = bytes->value();
        if (b.size() != registers::pid_gains.width)
            return raise_runtime_error("Failed to read pid gains: " + communication_failure_text());
        const registers::PidGains gains = registers::pid_gains_from_bytes(b[0], b[1], b[2]);
        return Py_BuildValue("(iii)", gains.p, gains.i, gains.d);
    });
}

PyObject* async_write_pid_gains(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"id", "p", "i", "d"};
        PyObject* arg[4];
        if (!bind("async_write_pid_gains", kNames, args, nargs, kwnames, arg)) return nullptr;
        std::uint8_t id = 0;
        std::uint16_t p = 0, i = 0, d = 0;
        if (!to_u8(arg[0], "id", id) || !to_u16(arg[1], "p", p) || !to_u16(arg[2], "i", i) ||
            !to_u16(arg[3], "d", d))
            return nullptr;
        // Each register holds one byte: the gains keep their low 8 bits.
        const auto low = [](std::uint16_t gain) { return static_cast<std::uint8_t>(gain & 0xFF); };
        const auto bytes = registers::pid_gain_bytes({low(p), low(i), low(d)});
        return queue_command(self,
                             cmd::WriteRawBytes{id, registers::pid_gains.address, {bytes.begin(), bytes.end()}},
                             "Failed to write pid gains: " + communication_failure_text());
    });
}

PyObject* write_raw_packet(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"data"};
        PyObject* arg[1];
        if (!bind("write_raw_packet", kNames, args, nargs, kwnames, arg)) return nullptr;
        std::vector<std::uint8_t> data;
        if (!to_bytes(arg[0], "data", data)) return nullptr;
        auto channel = quorvel::reply_channel<std::vector<std::uint8_t>>();
        auto& answer = channel.second;
        if (!send_command(self, cmd::WriteRawPacket{std::move(data), std::move(channel.first)}, kChannelClosed))
            return nullptr;

        // No time limit: the loop answers or drops the reply channel. Signals
        // are still handled while waiting.
        for (;;) {
            auto received = allow_threads(
                [&] { return answer.recv_until(std::chrono::steady_clock::now() + kSignalCheckPeriod); });
            if (received) return bytes_object(received.value());
            if (received.error() == quorvel::RecvError::Disconnected)
                return raise_runtime_error(std::string("Failed to receive raw packet response: ") +
                                           quorvel::recv_error_text(quorvel::RecvError::Disconnected));
            if (PyErr_CheckSignals() < 0) return nullptr;
        }
    });
}

// ---- Class ------------------------------------------------------------------------

template <class F>
PyCFunction method(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kNoArgs = METH_NOARGS;
constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef control_loop_methods[] = {
    {"close", method(close), kNoArgs, "close($self)\n--\n\nClose the control loop and release resources."},
    {"get_motor_name_id", method(get_motor_name_id), kNoArgs,
     "get_motor_name_id($self)\n--\n\nGet the id/name motors used in this controller."},
    {"get_last_position", method(get_last_position), kNoArgs,
     "get_last_position($self)\n--\n\nGet the last successfully read motor positions."},
    {"set_all_goal_positions", method(set_all_goal_positions), kArgs,
     "set_all_goal_positions($self, positions)\n--\n\nSet goal positions for all motors."},
    {"set_left_arm_position", method(set_left_arm_position), kArgs,
     "set_left_arm_position($self, position)\n--\n\nSet goal positions for the left arm (2 values: pitch, yaw)."},
    {"set_right_arm_position", method(set_right_arm_position), kArgs,
     "set_right_arm_position($self, position)\n--\n\nSet goal positions for the right arm (2 values: pitch, yaw)."},
    {"set_arms_position", method(set_arms_position), kArgs,
     "set_arms_position($self, position)\n--\n\nSet goal positions for both arms (4 values)."},
    {"set_nose_position", method(set_nose_position), kArgs,
     "set_nose_position($self, position)\n--\n\nSet goal positions for the nose (3 values)."},
    {"set_neck_position", method(set_neck_position), kArgs,
     "set_neck_position($self, position)\n--\n\nSet goal positions for the neck (3 values: yaw, pitch, roll)."},
    {"set_neck_yaw_position", method(set_neck_yaw_position), kArgs, "set_neck_yaw_position($self, position)\n--\n\n"},
    {"set_neck_pitch_position", method(set_neck_pitch_position), kArgs,
     "set_neck_pitch_position($self, position)\n--\n\n"},
    {"set_neck_roll_position", method(set_neck_roll_position), kArgs,
     "set_neck_roll_position($self, position)\n--\n\n"},
    {"enable_neck", method(enable_neck), kArgs, "enable_neck($self, enable)\n--\n\nEnable or disable the neck motors."},
    {"is_torque_enabled", method(is_torque_enabled), kNoArgs,
     "is_torque_enabled($self)\n--\n\nCheck torque enabled status."},
    {"enable_torque", method(enable_torque), kNoArgs, "enable_torque($self)\n--\n\nEnable torque on all motors."},
    {"enable_torque_on_ids", method(enable_torque_on_ids), kArgs,
     "enable_torque_on_ids($self, ids)\n--\n\nEnable torque on ids."},
    {"disable_torque", method(disable_torque), kNoArgs,
     "disable_torque($self)\n--\n\nDisable torque on all motors."},
    {"disable_torque_on_ids", method(disable_torque_on_ids), kArgs,
     "disable_torque_on_ids($self, ids)\n--\n\nDisable torque on ids."},
    {"enable_arms", method(enable_arms), kArgs, "enable_arms($self, enable)\n--\n\nEnable or disable the arm motors."},
    {"enable_nose", method(enable_nose), kArgs, "enable_nose($self, enable)\n--\n\nEnable or disable the nose motors."},
    {"get_stats", method(get_stats), kNoArgs,
     "get_stats($self)\n--\n\nGet the latest control loop statistics, if available."},
    {"async_read_raw_bytes", method(async_read_raw_bytes), kArgs,
     "async_read_raw_bytes($self, id, addr, length)\n--\n\nPerform an asynchronous raw read of motor bytes."},
    {"async_write_raw_bytes", method(async_write_raw_bytes), kArgs,
     "async_write_raw_bytes($self, id, addr, data)\n--\n\nPerform an asynchronous raw write of motor bytes."},
    {"async_read_pid_gains", method(async_read_pid_gains), kArgs,
     "async_read_pid_gains($self, id)\n--\n\nRead PID gains for a given motor id. Returns (P, I, D)."},
    {"async_write_pid_gains", method(async_write_pid_gains), kArgs,
     "async_write_pid_gains($self, id, p, i, d)\n--\n\nWrite PID gains for a given motor id."},
    {"write_raw_packet", method(write_raw_packet), kArgs, "write_raw_packet($self, data)\n--\n\n"},
    {"__enter__", method(enter_context), kNoArgs, "__enter__($self, /)\n--\n\nReturn self."},
    {"__exit__", method(exit_context), METH_FASTCALL,
     "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\nClose the control loop."},
    // Health readings.
    {"async_read_servo_status", method(async_read_servo_status), METH_NOARGS,
     "async_read_servo_status($self)\n--\n\nQueue a read of the seven servos' status registers and wait for the\n"
     "ServoStatus values (servo order)."},
    {"async_read_neck_status", method(async_read_neck_status), METH_NOARGS,
     "async_read_neck_status($self)\n--\n\nQueue a feedback request to each neck motor and wait for the NeckStatus\n"
     "values (yaw, pitch, roll)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot control_loop_slots[] = {
    {Py_tp_doc, const_cast<char*>("QuorvelPyControlLoop(serialport, read_position_loop_period, can_bus=..., "
                                  "allowed_retries=5, stats_pub_period=None, voltage_rampup_timeout=...)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(control_loop_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(control_loop_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(control_loop_repr)},
    {Py_tp_methods, control_loop_methods},
    {0, nullptr},
};

PyType_Spec control_loop_spec = {
    "quorvel_motor_controller.QuorvelPyControlLoop",
    static_cast<int>(sizeof(ControlLoopObject)),
    0,
    kClassFlags,
    control_loop_slots,
};

PyTypeObject* control_loop_type_cell = nullptr;  // written once, with the interpreter lock held

}  // namespace

PyTypeObject* control_loop_type() {
    static bool exit_hook_registered = false;
    if (control_loop_type_cell == nullptr) {
        if (!exit_hook_registered && !register_exit_hook()) return nullptr;
        exit_hook_registered = true;
        control_loop_type_cell = create_type(control_loop_spec);
    }
    return control_loop_type_cell;
}

}  // namespace qmc::py
