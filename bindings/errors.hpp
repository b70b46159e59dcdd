// Exceptions at the Python boundary: error values become RuntimeError, an
// internal fault (any C++ exception escaping a call) becomes PanicException,
// which derives from BaseException so `except Exception` does not hide it.
#pragma once

#include <cxxabi.h>

#include <cstddef>
#include <exception>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "bindings/python.hpp"
#include "common/os_cause.hpp"
#include "controller/controller_error.hpp"

namespace qmc::py {

// Thrown for an internal fault inside a guarded call.
class Panic : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The PanicException class, created on first use (borrowed reference; null
// with an exception set if it cannot be created). Not a module attribute.
PyObject* panic_exception_type();

// Sets PanicException with `message`. Never throws; if even that fails the
// process aborts with "uncaught panic at ffi boundary".
void raise_panic(const char* message) noexcept;

// Each sets the exception and returns nullptr, so a method can
// `return raise_runtime_error(...)`.
std::nullptr_t raise_runtime_error(std::string_view text);
std::nullptr_t raise_type_error(std::string_view text);
std::nullptr_t raise_value_error(std::string_view text);
std::nullptr_t raise_overflow_error(std::string_view text);

// Raises `type` with `text`; with a cause, the exception's __cause__ is an
// OSError carrying its errno, strerror and the device as filename, so a
// traceback says which device failed and why. Type and text stay the same.
std::nullptr_t raise_with_cause(PyObject* type, std::string_view text, const common::OsCause* cause);

// Raises `type` with `text`, caused by `cause` as raise_with_cause does,
// carrying `notes` (PEP 678, shown below the message in a traceback; Python
// 3.11 and newer, older interpreters show none). A cause whose device the
// text does not name adds a note naming it and the system's reason.
std::nullptr_t raise_with_notes(PyObject* type, std::string_view text, const common::OsCause* cause,
                                std::span<const std::string> notes);

// Where the motors hang: the serial device path (empty when neck-only) and
// the CAN interface name.
struct BusDevices {
    std::string_view serial;
    std::string_view can;
};

// RuntimeError `text` for a failed bus operation, caused by `cause`, with a
// note per motor at fault naming it, its device and the fix to try.
std::nullptr_t raise_bus_failure(std::string_view text, const common::OsCause* cause,
                                 std::span<const quorvel::MotorAtFault> motors, const BusDevices& devices);

// RuntimeError with an error value's display text (anything with message()),
// caused by the value's OSError when it has one (os_cause()).
template <class E>
std::nullptr_t raise_error(const E& error) {
    if constexpr (requires { error.os_cause(); }) {
        return raise_with_cause(PyExc_RuntimeError, error.message(), error.os_cause());
    } else {
        return raise_runtime_error(error.message());
    }
}

// The value a C API function returns for "failed, exception set".
template <class R>
constexpr R failure_value() {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        static_assert(std::is_integral_v<R>, "guarded bodies return a pointer or an int");
        return R(-1);
    }
}

// Runs `body` (which returns a PyObject* or an int status) and turns any C++
// exception escaping it into PanicException, returning the failure value.
// Every function the interpreter calls into runs its body through this.
// The one thing it lets pass is the forced unwinding by which the
// interpreter ends a thread at exit (AllowThreads): swallowed, it would
// abort the process ("exception not rethrown"); so neither this nor any
// frame between a lock re-take and the interpreter may be noexcept.
template <class F>
auto guarded(F&& body) -> decltype(body()) {
    using R = decltype(body());
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& fault) {
        raise_panic(fault.what());
    } catch (...) {
        raise_panic(nullptr);
    }
    return failure_value<R>();
}

}  // namespace qmc::py
