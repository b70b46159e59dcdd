// The control-loop class's construction and release: argument checks, the
// loop's start-up without the interpreter lock, registration with the live
// loops, deallocation and repr.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "bindings/control_loop_object.hpp"
#include "bindings/control_loop_recording.hpp"
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/live_loops.hpp"
#include "bindings/types.hpp"
#include "common/stop_source.hpp"
#include "control_loop/control_loop.hpp"
#include "control_loop/realtime.hpp"

namespace qmc::py::loop_class {

using quorvel::QuorvelControlLoop;
using namespace std::chrono_literals;

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
                                                 "realtime_priority", "single_sync_read",
                                                 "record"};
        static constexpr Signature kSignature{"QuorvelPyControlLoop", kNames, 2, 7};
        PyObject* arg[9];
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
        bool single_sync_read = false;
        if (arg[7] != nullptr && !to_bool(arg[7], "single_sync_read", single_sync_read)) return nullptr;
        const auto position_read =
            single_sync_read ? quorvel::PositionRead::OneSyncRead : quorvel::PositionRead::ArmsThenNose;

        // Start-up may take up to the voltage time-out: other threads run
        // meanwhile, and the signal handlers run between its bus transactions
        // and in its waits; when one raises, start-up stops and releases both ports.
        auto created = until_signal([&](common::StopSource* stop) {
            return QuorvelControlLoop::create(serialport, can_bus, period, stats_pub_period, allowed_retries,
                                              voltage_rampup_timeout, realtime_priority, stop, position_read);
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
            const quorvel::MotorError* motor_error = error.motor_error();
            if (motor_error == nullptr) return raise_runtime_error(error.message());
            return raise_bus_failure(error.message(), motor_error->os_cause(), motor_error->motors_at_fault(),
                                     {serialport ? std::string_view(*serialport) : std::string_view{}, can_bus});
        }
        auto loop = std::make_unique<std::shared_ptr<QuorvelControlLoop>>(std::move(created).value());
        auto devices = std::make_unique<LoopDevices>(LoopDevices{serialport, can_bus, std::chrono::duration<double>(period).count()});

        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            allow_threads([&] { loop.reset(); });  // stops and joins the new loop
            return nullptr;
        }
        add_live_loop(*loop);
        reinterpret_cast<ControlLoopObject*>(self)->creator = this_process();
        reinterpret_cast<ControlLoopObject*>(self)->devices = devices.release();
        reinterpret_cast<ControlLoopObject*>(self)->loop = loop.release();
        reinterpret_cast<ControlLoopObject*>(self)->recording = nullptr;
        if (arg[8] != nullptr && arg[8] != Py_None && !begin_recording(self, arg[8])) {
            Py_DECREF(self);  // closes the new loop
            return nullptr;
        }
        return self;
    });
}

// No call can be running: each holds a reference to the object. Releasing
// the last reference to the loop closes it, which waits for its thread. In
// a forked child the loop is left alone (its thread is the parent's, and
// closing its ports would touch the parent's devices).
void control_loop_dealloc(PyObject* self) {
    auto* loop = reinterpret_cast<ControlLoopObject*>(self)->loop;
    if (created_here(self)) allow_threads([&] { delete loop; });
    // The loop's records outlive it in the recorder: the file gets them all.
    if (created_here(self) && !end_recording(self)) PyErr_WriteUnraisable(self);
    delete reinterpret_cast<ControlLoopObject*>(self)->devices;
    free_instance(self);
}

// QuorvelPyControlLoop(serialport='/dev/ttyUSB0', can_bus='can0', closed=False)
PyObject* control_loop_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const LoopDevices& devices = *reinterpret_cast<ControlLoopObject*>(self)->devices;
        // Closed to a forked child, whatever it is in the parent.
        const bool closed = !created_here(self) || (*reinterpret_cast<ControlLoopObject*>(self)->loop)->is_closed();
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

}  // namespace qmc::py::loop_class
