// Recording a control loop: the record tap that the Python writer drains
// (quorvel_tools.recording writes the file), and the loop's methods that
// start and stop it. The loop thread never waits for either: it only copies
// records into its ring (control_loop/flight_recorder.hpp).
#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bindings/control_loop_object.hpp"
#include "bindings/control_loop_recording.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/types.hpp"
#include "common/format.hpp"
#include "control_loop/control_loop.hpp"

namespace qmc::py::loop_class {

using quorvel::FlightRecord;
using quorvel::FlightRecorder;

namespace {

// How often an empty take() looks again, and the most records one returns.
// The writer polls: a wake-up per record would cost the loop thread a system call.
constexpr auto kTakePoll = std::chrono::milliseconds(20);
constexpr std::size_t kTakeBatch = 4096;

struct TapObject {
    PyObject_HEAD
    std::shared_ptr<FlightRecorder>* recorder;  // owned
};

FlightRecorder& recorder_of_tap(PyObject* self) { return **reinterpret_cast<TapObject*>(self)->recorder; }

PyObject* tap_start(PyObject* self, std::optional<std::uint64_t>& capacity) {
    recorder_of_tap(self).start(capacity ? static_cast<std::size_t>(std::min<std::uint64_t>(*capacity, 1U << 24))
                                         : FlightRecorder::kRingCapacity);
    return none();
}

PyObject* tap_stop(PyObject* self) {
    recorder_of_tap(self).stop();
    return none();
}

// The records kept so far as bytes (128 a record), waiting up to `timeout`
// seconds for the first without the interpreter lock.
PyObject* tap_take(PyObject* self, double& timeout) {
    FlightRecorder& recorder = recorder_of_tap(self);
    std::vector<FlightRecord> records(kTakeBatch);
    std::size_t n = 0;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::duration<double>(std::clamp(timeout, 0.0, 60.0)));
    allow_threads([&] {
        for (;;) {
            n = recorder.take(records.data(), records.size());
            if (n > 0 || std::chrono::steady_clock::now() >= deadline) return;
            std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(kTakePoll, deadline - std::chrono::steady_clock::now()));
        }
    });
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(records.data()),
                                     static_cast<Py_ssize_t>(n * sizeof(FlightRecord)));
}

PyObject* tap_dropped(PyObject* self) { return PyLong_FromUnsignedLongLong(recorder_of_tap(self).dropped()); }

void tap_dealloc(PyObject* self) {
    delete reinterpret_cast<TapObject*>(self)->recorder;
    free_instance(self);
}

PyMethodDef tap_methods[] = {
    method<"start", tap_start, Omittable<"capacity", std::uint64_t, to_u64>>(
        "start($self, capacity=None)\n--\n\nKeep the loop's records from now on (a first start makes the ring)."),
    method<"stop", tap_stop>("stop($self)\n--\n\nStop keeping records; those kept can still be taken."),
    method<"take", tap_take, Param<"timeout", double, to_double>>(
        "take($self, timeout)\n--\n\nThe records kept so far as bytes, 128 a record; waits up to timeout seconds."),
    method<"dropped", tap_dropped>("dropped($self)\n--\n\nRecords lost to overflow since start()."),
    kEndOfMethods,
};

PyObject* tap_repr(PyObject*) { return PyUnicode_FromString("<quorvel flight record tap>"); }

const ClassParts tap_parts = {"quorvel_motor_controller._FlightRecordTap", static_cast<int>(sizeof(TapObject)),
                              "", nullptr, tap_dealloc, tap_repr, tap_methods};

PyTypeObject* tap_type() {
    static PyTypeObject* type = nullptr;  // interpreter lock held
    if (type == nullptr) type = create_class(tap_parts);
    return type;
}

PyObject* new_tap(PyObject* self) {
    PyTypeObject* type = tap_type();
    if (type == nullptr) return nullptr;
    PyObject* tap = type->tp_alloc(type, 0);
    if (tap == nullptr) return nullptr;
    reinterpret_cast<TapObject*>(tap)->recorder = new std::shared_ptr<FlightRecorder>(loop_of(self).flight_recorder());
    return tap;
}

ControlLoopObject& object_of(PyObject* self) { return *reinterpret_cast<ControlLoopObject*>(self); }

}  // namespace

bool begin_recording(PyObject* self, PyObject* path) {
    if (!usable_here(self)) return false;
    if (object_of(self).recording != nullptr) {
        raise_runtime_error("already recording; call stop_recording() first");
        return false;
    }
    if (loop_of(self).is_closed()) {
        raise_runtime_error(kChannelClosed);
        return false;
    }
    PyObject* tap = new_tap(self);
    PyObject* module = tap != nullptr ? PyImport_ImportModule("quorvel_tools.recording") : nullptr;
    PyObject* recording =
        module != nullptr
            ? PyObject_CallMethod(module, "start", "OOOd", tap, path, self, object_of(self).devices->period_s)
            : nullptr;
    Py_XDECREF(module);
    Py_XDECREF(tap);
    if (recording == nullptr) return false;
    object_of(self).recording = recording;
    return true;
}

bool end_recording(PyObject* self) {
    PyObject* recording = object_of(self).recording;
    if (recording == nullptr) return true;
    object_of(self).recording = nullptr;
    PyObject* closed = PyObject_CallMethod(recording, "close", nullptr);
    Py_DECREF(recording);
    Py_XDECREF(closed);
    return closed != nullptr;
}

PyObject* start_recording(PyObject* self, PyObject*& path) {
    if (!begin_recording(self, path)) return nullptr;
    return none();
}

PyObject* stop_recording(PyObject* self) {
    if (!end_recording(self)) return nullptr;
    return none();
}

void record_refusal(quorvel::QuorvelControlLoop& loop, const std::string& text) {
    loop.flight_recorder()->note_from_caller(quorvel::EventKind::Refused,
                                             static_cast<std::uint8_t>(common::log::Level::Warn), text);
}

void record_refusal(PyObject* self, const std::string& text) {
    if (created_here(self)) record_refusal(loop_of(self), text);
}

void record_status(PyObject* self, const std::array<quorvel::ServoStatus, 7>& values) {
    auto recorder = loop_of(self).flight_recorder();
    if (!recorder->on()) return;
    for (const auto& s : values) {
        std::string faults;
        for (const auto& e : s.errors) faults += (faults.empty() ? "" : ",") + e;
        recorder->note_status(s.name + "|pos=" + common::fixed(s.position, 3) + "|vel=" + common::fixed(s.velocity, 3) +
                              "|load=" + common::fixed(s.load, 2) + "|V=" + common::fixed(s.voltage, 1) +
                              "|T=" + std::to_string(s.temperature) + "|I=" + common::fixed(s.current, 2) +
                              "|faults=" + faults);
    }
}

void record_status(PyObject* self, const std::array<quorvel::NeckStatus, 3>& values) {
    auto recorder = loop_of(self).flight_recorder();
    if (!recorder->on()) return;
    for (const auto& s : values)
        recorder->note_status(s.name + "|pos=" + common::fixed(s.position, 3) + "|vel=" + common::fixed(s.velocity, 3) +
                              "|torque=" + common::fixed(s.torque, 2) + "|T_mos=" + std::to_string(s.temperature_mos) +
                              "|T_rotor=" + std::to_string(s.temperature_rotor) +
                              "|enabled=" + (s.enabled ? "1" : "0") + "|faults=" + s.fault.value_or(""));
}

}  // namespace qmc::py::loop_class
