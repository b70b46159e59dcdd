// Argument binding and conversion between Python objects and C++ values.
//
// Every converter takes the argument object and the parameter's name, writes
// the value to `out` and returns true; on failure it sets TypeError,
// ValueError or OverflowError naming the parameter and returns false.
//
// A method taking (index, kp, kd) as METH_FASTCALL | METH_KEYWORDS:
//
//     static constexpr const char* kNames[] = {"index", "kp", "kd"};
//     static constexpr Signature kSignature{"set_neck_gains", kNames, 3};
//     PyObject* arg[3];
//     std::size_t index; double kp, kd;
//     if (!bind_arguments(kSignature, args, nargs, kwnames, arg) || !to_index(arg[0], "index", index) ||
//         !to_double(arg[1], "kp", kp) || !to_double(arg[2], "kd", kd))
//         return nullptr;
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bindings/python.hpp"

namespace qmc::py {

// A function's parameters for argument binding.
struct Signature {
    const char* function;                // as named in messages: "set_neck_gains"
    std::span<const char* const> names;  // all parameters in positional order
    std::size_t required;                // the first `required` names have no default
    // Only the first `positional` names may be given by position; the rest
    // are keyword-only.
    std::size_t positional = static_cast<std::size_t>(-1);
};

// Binds the positional and keyword arguments of a METH_FASTCALL |
// METH_KEYWORDS call to `out` (one slot per name: a borrowed reference, or
// null for an omitted optional parameter). A missing, surplus, repeated or
// unknown argument raises TypeError.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> out);
// The same for the tuple-and-dictionary form (tp_new); `kwargs` may be null.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> out);

// float, or anything with __float__ or __index__ (an int becomes a float).
bool to_double(PyObject* obj, const char* name, double& out);
// Only True or False: an int is refused.
bool to_bool(PyObject* obj, const char* name, bool& out);
// Integers (or objects with __index__) in range; OverflowError outside it.
bool to_u8(PyObject* obj, const char* name, std::uint8_t& out);
bool to_u16(PyObject* obj, const char* name, std::uint16_t& out);
bool to_u64(PyObject* obj, const char* name, std::uint64_t& out);
bool to_index(PyObject* obj, const char* name, std::size_t& out);
// str only (UTF-8; an embedded NUL is refused with ValueError).
bool to_string(PyObject* obj, const char* name, std::string& out);
// None or str.
bool to_optional_string(PyObject* obj, const char* name, std::optional<std::string>& out);
// Any sequence of floats except str.
bool to_float_vector(PyObject* obj, const char* name, std::vector<double>& out);
// A sequence of exactly `out.size()` floats; ValueError
// "expected a sequence of length {} (got {})" otherwise.
bool to_float_span(PyObject* obj, const char* name, std::span<double> out);
template <std::size_t N>
bool to_float_array(PyObject* obj, const char* name, std::array<double, N>& out) {
    return to_float_span(obj, name, out);
}
// Servo ids or bytes: bytes, or a sequence of ints 0 to 255; a str is
// refused with TypeError "Can't extract `str` to `Vec`".
bool to_byte_list(PyObject* obj, const char* name, std::vector<std::uint8_t>& out);
// A `bytes` object only (bytearray and other buffers are refused).
bool to_bytes(PyObject* obj, const char* name, std::vector<std::uint8_t>& out);
// datetime.timedelta; a negative one raises ValueError, one too large for
// 64-bit nanoseconds OverflowError.
bool to_duration(PyObject* obj, const char* name, std::chrono::nanoseconds& out);
// None or datetime.timedelta.
bool to_optional_duration(PyObject* obj, const char* name,
                          std::optional<std::chrono::nanoseconds>& out);

// C++ to Python; each returns a new reference or null with an exception set.
PyObject* float_list(std::span<const double> values);
PyObject* bytes_object(std::span<const std::uint8_t> data);
PyObject* bool_object(bool value);
inline PyObject* none() { Py_RETURN_NONE; }

enum class Sequence { List, Tuple };

// A new list (or tuple) of `n` items, item i being `make(i)` (a new
// reference); null with the exception set when the sequence or an item
// cannot be made.
template <Sequence kind = Sequence::List, class Make>
PyObject* sequence_of(std::size_t n, Make&& make) {
    const auto size = static_cast<Py_ssize_t>(n);
    PyObject* sequence = kind == Sequence::List ? PyList_New(size) : PyTuple_New(size);
    if (sequence == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = make(static_cast<std::size_t>(i));
        if (item == nullptr) {
            Py_DECREF(sequence);
            return nullptr;
        }
        if constexpr (kind == Sequence::List) {
            PyList_SET_ITEM(sequence, i, item);
        } else {
            PyTuple_SET_ITEM(sequence, i, item);
        }
    }
    return sequence;
}

}  // namespace qmc::py
