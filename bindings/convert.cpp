#include "bindings/convert.hpp"

#include <datetime.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <string_view>

#include "bindings/errors.hpp"

namespace qmc::py {
namespace {

std::string argument(const char* name) { return std::string("argument '") + name + "': "; }

const char* type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

bool type_error(const char* name, const char* expected, PyObject* got) {
    raise_type_error(argument(name) + "expected " + expected + ", got " + type_name(got));
    return false;
}

std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// Index of `keyword` among the names, or -1.
Py_ssize_t parameter_index(const Signature& signature, PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) return -1;
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.names[i]) == 0)
            return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// Shared by both calling forms once the positional ones are in place.
bool bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value,
                  std::span<PyObject*> out) {
    const Py_ssize_t index = parameter_index(signature, keyword);
    if (index < 0) {
        const char* text = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8(keyword) : nullptr;
        if (text == nullptr) {
            PyErr_Clear();
            raise_type_error(std::string(signature.function) + "() keywords must be strings");
            return false;
        }
        raise_type_error(std::string(signature.function) + "() got an unexpected keyword argument '" +
                         text + "'");
        return false;
    }
    if (out[static_cast<std::size_t>(index)] != nullptr) {
        raise_type_error(std::string(signature.function) + "() got multiple values for argument '" +
                         signature.names[static_cast<std::size_t>(index)] + "'");
        return false;
    }
    out[static_cast<std::size_t>(index)] = value;
    return true;
}

bool bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyObject*> out) {
    for (auto& slot : out) slot = nullptr;
    const std::size_t given = static_cast<std::size_t>(nargs);
    const std::size_t positional = std::min(signature.positional, signature.names.size());
    if (given > positional) {
        raise_type_error(std::string(signature.function) + "() takes " +
                         plural(positional, "positional argument") + " but " +
                         std::to_string(given) + (given == 1 ? " was" : " were") + " given");
        return false;
    }
    for (std::size_t i = 0; i < given; ++i) out[i] = args[i];
    return true;
}

bool check_required(const Signature& signature, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (out[i] == nullptr) {
            raise_type_error(std::string(signature.function) + "() missing required argument '" +
                             signature.names[i] + "'");
            return false;
        }
    }
    return true;
}

// The integer value of an int or an object with __index__, as an owned
// reference (null with TypeError naming the argument otherwise).
PyObject* as_integer(PyObject* obj, const char* name) {
    if (PyLong_Check(obj)) {
        Py_INCREF(obj);
        return obj;
    }
    if (Py_TYPE(obj)->tp_as_number == nullptr || Py_TYPE(obj)->tp_as_number->nb_index == nullptr) {
        type_error(name, "int", obj);
        return nullptr;
    }
    return PyNumber_Index(obj);
}

bool to_unsigned(PyObject* obj, const char* name, unsigned long long max, const char* range_text,
                 unsigned long long& out) {
    PyObject* integer = as_integer(obj, name);
    if (integer == nullptr) return false;
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(integer, &overflow);
    bool ok = true;
    if (small == -1 && PyErr_Occurred()) {
        ok = false;
    } else if (overflow < 0 || (overflow == 0 && small < 0)) {
        raise_overflow_error(argument(name) + "negative value cannot be converted to " + range_text);
        ok = false;
    } else {
        const unsigned long long value =
            overflow == 0 ? static_cast<unsigned long long>(small) : PyLong_AsUnsignedLongLong(integer);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            raise_overflow_error(argument(name) + "value too large for " + range_text);
            ok = false;
        } else if (value > max) {
            raise_overflow_error(argument(name) + "value too large for " + range_text);
            ok = false;
        } else {
            out = value;
        }
    }
    Py_DECREF(integer);
    return ok;
}

// Walks a sequence (refusing str), calling `element(item, index)` per item.
template <class F>
bool for_each_item(PyObject* obj, Py_ssize_t length, F&& element) {
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject* item = PySequence_GetItem(obj, i);
        if (item == nullptr) return false;
        const bool ok = element(item, static_cast<std::size_t>(i));
        Py_DECREF(item);
        if (!ok) return false;
    }
    return true;
}

// Bytes of memory the machine has; the largest size_t when unknown.
std::size_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::size_t>::max();
    const auto n = static_cast<std::size_t>(pages);
    const auto size = static_cast<std::size_t>(page_size);
    return n > std::numeric_limits<std::size_t>::max() / size ? std::numeric_limits<std::size_t>::max() : n * size;
}

// The items of a sequence of `length` (as its __len__ said), each converted
// by `element(item, value)`. A __len__ may claim more items than could ever
// exist (sys.maxsize, say): a length whose values would not fit in the
// machine's memory raises MemoryError before anything is allocated, as
// Python's own list() does; otherwise storage grows with the items that
// really come, so a false length costs nothing up front.
template <class T, class F>
bool collect_items(PyObject* obj, Py_ssize_t length, std::vector<T>& out, F&& element) {
    constexpr std::size_t kFirstReservation = 256;
    const auto count = static_cast<std::size_t>(length);
    if (count > physical_memory() / sizeof(T)) {
        PyErr_NoMemory();
        return false;
    }
    std::vector<T> values;
    try {
        values.reserve(std::min(count, kFirstReservation));
        for (Py_ssize_t i = 0; i < length; ++i) {
            PyObject* item = PySequence_GetItem(obj, i);
            if (item == nullptr) return false;
            T value{};
            const bool ok = element(item, value);
            Py_DECREF(item);
            if (!ok) return false;
            values.push_back(value);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    out = std::move(values);
    return true;
}

// Length of a non-str sequence, or -1 with TypeError.
Py_ssize_t sequence_length(PyObject* obj, const char* name, const char* str_message) {
    if (PyUnicode_Check(obj)) {
        raise_type_error(str_message != nullptr ? std::string(str_message)
                                                : argument(name) + "expected a sequence, got str");
        return -1;
    }
    if (!PySequence_Check(obj)) {
        type_error(name, "a sequence", obj);
        return -1;
    }
    return PySequence_Size(obj);
}

constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";

bool datetime_api_ready() {
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
        if (PyDateTimeAPI == nullptr) return false;
    }
    return true;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (!bind_positional(signature, args, nargs, out)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
        }
    }
    return check_required(signature, out);
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> out) {
    const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    PyObject* const* items = args != nullptr ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    if (!bind_positional(signature, items, nargs, out)) return false;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!bind_keyword(signature, keyword, value, out)) return false;
        }
    }
    return check_required(signature, out);
}

bool to_double(PyObject* obj, const char* name, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        // Keep OverflowError ("int too large to convert to float") and errors
        // raised by __float__ itself; name the argument for a wrong type.
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return type_error(name, "float", obj);
        }
        return false;
    }
    out = value;
    return true;
}

bool to_bool(PyObject* obj, const char* name, bool& out) {
    if (!PyBool_Check(obj)) return type_error(name, "bool", obj);
    out = obj == Py_True;
    return true;
}

bool to_u8(PyObject* obj, const char* name, std::uint8_t& out) {
    unsigned long long value = 0;
    if (!to_unsigned(obj, name, 0xFF, "an unsigned 8-bit integer (0 to 255)", value)) return false;
    out = static_cast<std::uint8_t>(value);
    return true;
}

bool to_u16(PyObject* obj, const char* name, std::uint16_t& out) {
    unsigned long long value = 0;
    if (!to_unsigned(obj, name, 0xFFFF, "an unsigned 16-bit integer (0 to 65535)", value)) return false;
    out = static_cast<std::uint16_t>(value);
    return true;
}

bool to_u64(PyObject* obj, const char* name, std::uint64_t& out) {
    unsigned long long value = 0;
    if (!to_unsigned(obj, name, std::numeric_limits<std::uint64_t>::max(),
                     "an unsigned 64-bit integer", value))
        return false;
    out = static_cast<std::uint64_t>(value);
    return true;
}

bool to_index(PyObject* obj, const char* name, std::size_t& out) {
    unsigned long long value = 0;
    if (!to_unsigned(obj, name, std::numeric_limits<std::size_t>::max(), "a non-negative index", value))
        return false;
    out = static_cast<std::size_t>(value);
    return true;
}

bool to_string(PyObject* obj, const char* name, std::string& out) {
    if (!PyUnicode_Check(obj)) return type_error(name, "str", obj);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (text == nullptr) return false;
    if (std::memchr(text, '\0', static_cast<std::size_t>(size)) != nullptr) {
        raise_value_error(argument(name) + "embedded null character");
        return false;
    }
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

bool to_optional_string(PyObject* obj, const char* name, std::optional<std::string>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    if (!PyUnicode_Check(obj)) return type_error(name, "str or None", obj);
    std::string text;
    if (!to_string(obj, name, text)) return false;
    out = std::move(text);
    return true;
}

bool to_float_vector(PyObject* obj, const char* name, std::vector<double>& out) {
    const Py_ssize_t length = sequence_length(obj, name, kStrToVec);
    if (length < 0) return false;
    return collect_items(obj, length, out, [&](PyObject* item, double& value) { return to_double(item, name, value); });
}

bool to_float_span(PyObject* obj, const char* name, std::span<double> out) {
    const Py_ssize_t length = sequence_length(obj, name, nullptr);
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) != out.size()) {
        raise_value_error("expected a sequence of length " + std::to_string(out.size()) + " (got " +
                          std::to_string(length) + ")");
        return false;
    }
    std::vector<double> values(out.size());
    if (!for_each_item(obj, length,
                       [&](PyObject* item, std::size_t i) { return to_double(item, name, values[i]); }))
        return false;
    std::copy(values.begin(), values.end(), out.begin());
    return true;
}

bool to_byte_list(PyObject* obj, const char* name, std::vector<std::uint8_t>& out) {
    if (PyBytes_Check(obj)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
        out.assign(data, data + PyBytes_GET_SIZE(obj));
        return true;
    }
    const Py_ssize_t length = sequence_length(obj, name, kStrToVec);
    if (length < 0) return false;
    return collect_items(obj, length, out,
                         [&](PyObject* item, std::uint8_t& value) { return to_u8(item, name, value); });
}

bool to_bytes(PyObject* obj, const char* name, std::vector<std::uint8_t>& out) {
    if (!PyBytes_Check(obj)) return type_error(name, "bytes", obj);
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
    out.assign(data, data + PyBytes_GET_SIZE(obj));
    return true;
}

bool to_duration(PyObject* obj, const char* name, std::chrono::nanoseconds& out) {
    if (!datetime_api_ready()) return false;
    if (!PyDelta_Check(obj)) return type_error(name, "datetime.timedelta", obj);
    // timedelta normalises seconds and microseconds to be non-negative, so
    // the sign is the sign of the days.
    const long long days = PyDateTime_DELTA_GET_DAYS(obj);
    const long long secs = PyDateTime_DELTA_GET_SECONDS(obj);
    const long long micros = PyDateTime_DELTA_GET_MICROSECONDS(obj);
    if (days < 0) {
        raise_value_error(argument(name) + "a negative timedelta cannot be converted to a duration");
        return false;
    }
    constexpr long long kNanosPerDay = 86'400'000'000'000LL;
    const long long within_day = secs * 1'000'000'000LL + micros * 1'000LL;
    if (days > (std::numeric_limits<long long>::max() - within_day) / kNanosPerDay) {
        raise_overflow_error(argument(name) + "timedelta too large for a duration");
        return false;
    }
    out = std::chrono::nanoseconds(days * kNanosPerDay + within_day);
    return true;
}

bool to_optional_duration(PyObject* obj, const char* name,
                          std::optional<std::chrono::nanoseconds>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    if (!datetime_api_ready()) return false;
    if (!PyDelta_Check(obj)) return type_error(name, "datetime.timedelta or None", obj);
    std::chrono::nanoseconds value{};
    if (!to_duration(obj, name, value)) return false;
    out = value;
    return true;
}

PyObject* float_list(std::span<const double> values) {
    return sequence_of(values.size(), [&](std::size_t i) { return PyFloat_FromDouble(values[i]); });
}

PyObject* bytes_object(std::span<const std::uint8_t> data) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                     static_cast<Py_ssize_t>(data.size()));
}

PyObject* bool_object(bool value) { return PyBool_FromLong(value ? 1 : 0); }

}  // namespace qmc::py
