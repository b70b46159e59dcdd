#include "bindings/errors.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace qmc::py {
namespace {

constexpr const char* kGenericPanicText = "internal error: an unidentified fault ended the call";

std::atomic<PyObject*> panic_type{nullptr};

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

std::nullptr_t raise(PyObject* type, std::string_view text) {
    PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (message == nullptr) return nullptr;
    PyErr_SetObject(type, message);
    Py_DECREF(message);
    return nullptr;
}

}  // namespace

PyObject* panic_exception_type() {
    // Callers hold the interpreter lock, which orders the creation; the
    // atomic only makes the published pointer safe to read anywhere.
    if (PyObject* existing = panic_type.load(std::memory_order_acquire)) return existing;
    PyObject* created = PyErr_NewExceptionWithDoc(
        "quorvel_motor_controller.PanicException",
        "An internal fault inside the module ended the call.\n\n"
        "Derives from BaseException: it signals a bug, not a failure to handle.",
        PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return created;  // kept for the life of the process
}

void raise_panic(const char* message) noexcept {
    try {
        PyObject* type = panic_exception_type();
        if (type == nullptr) return;  // its creation failure is the pending exception
        raise(type, message != nullptr && *message != '\0' ? message : kGenericPanicText);
    } catch (...) {
        abort_at_boundary();
    }
}

std::nullptr_t raise_with_cause(PyObject* type, std::string_view text, const common::OsCause* cause) {
    if (cause == nullptr) return raise(type, text);
    return raise_with_notes(type, text, cause, {});
}

namespace {

// Adds `note` to `exception` (Python 3.11+); false with an exception set if
// that failed.
bool add_note(PyObject* exception, const std::string& note) {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* done = PyObject_CallMethod(exception, "add_note", "N",
                                         PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
    if (done == nullptr) return false;
    Py_DECREF(done);
#else
    (void)exception;
    (void)note;
#endif
    return true;
}

// OSError(errno, strerror, device): the subclass for the number
// (FileNotFoundError, PermissionError, ...), naming the device.
PyObject* os_error_of(const common::OsCause& cause) {
    const std::string description = cause.text();
    PyObject* device =
        PyUnicode_DecodeFSDefaultAndSize(cause.device.data(), static_cast<Py_ssize_t>(cause.device.size()));
    return PyObject_CallFunction(PyExc_OSError, "isN", cause.number, description.c_str(), device);
}

}  // namespace

std::nullptr_t raise_with_notes(PyObject* type, std::string_view text, const common::OsCause* cause,
                                std::span<const std::string> notes) {
    if (cause == nullptr && notes.empty()) return raise(type, text);
    PyObject* exception = PyObject_CallFunction(
        type, "N", PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (exception == nullptr) return nullptr;
    bool ok = true;
    if (cause != nullptr) {
        PyObject* os_error = os_error_of(*cause);
        if (os_error != nullptr) {
            PyException_SetCause(exception, os_error);  // steals os_error; also suppresses the context
            // A text that does not name the device ("No such file or directory")
            // gets a note that does, for whoever reads only the last lines.
            if (text.find(cause->device) == std::string_view::npos)
                ok = add_note(exception, cause->device + ": " + cause->text());
        } else {
            ok = false;
        }
    }
    for (std::size_t i = 0; ok && i < notes.size(); ++i) ok = add_note(exception, notes[i]);
    if (ok) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
    Py_DECREF(exception);
    return nullptr;
}

std::nullptr_t raise_bus_failure(std::string_view text, const common::OsCause* cause,
                                 std::span<const quorvel::MotorAtFault> motors, const BusDevices& devices) {
    std::vector<std::string> notes;
    for (const quorvel::MotorAtFault& motor : motors)
        notes.push_back(quorvel::describe_motor_at_fault(
            motor, motor.bus == quorvel::MotorAtFault::Bus::Serial ? devices.serial : devices.can));
    return raise_with_notes(PyExc_RuntimeError, text, cause, notes);
}

std::nullptr_t raise_runtime_error(std::string_view text) { return raise(PyExc_RuntimeError, text); }
std::nullptr_t raise_type_error(std::string_view text) { return raise(PyExc_TypeError, text); }
std::nullptr_t raise_value_error(std::string_view text) { return raise(PyExc_ValueError, text); }
std::nullptr_t raise_overflow_error(std::string_view text) { return raise(PyExc_OverflowError, text); }

}  // namespace qmc::py
