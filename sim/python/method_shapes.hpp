// quorvel_torso_sim: the shapes the TorsoSim methods share, so that each
// method is one row of its table: read the arguments, check and convert them,
// call the simulator (after the arguments, so a closed simulator is reported
// only for calls that were well formed), return None or the value converted.
//
//   args_method<"set_servo_silent", &TorsoSim::set_servo_silent, Byte, Flag<"silent">>(doc)
//
// names the method, the simulator call and one parameter kind per argument.
#pragma once

#include "sim_module.hpp"

#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

namespace torso_sim_py {

// A string usable as a template argument: method names and error texts.
template <std::size_t N>
struct Text {
    constexpr Text(const char (&text)[N]) {  // implicit, so that a literal is the argument
        for (std::size_t i = 0; i < N; ++i) chars[i] = text[i];
    }
    char chars[N];
};

// ---- parameter kinds
//
// Each kind says how PyArg_ParseTuple reads the argument (`code`, into a
// `Raw`), and `take` checks it and converts it to what the simulator takes (a
// `Value`), or sets the exception and returns false.

template <char Code, class R, class V = R>
struct Plain {
    static constexpr char code = Code;
    using Raw = R;
    using Value = V;
    static bool take(Raw raw, Value& out) {
        out = static_cast<Value>(raw);
        return true;
    }
};

using Byte = Plain<'b', unsigned char, std::uint8_t>;   // 0 to 255, else OverflowError
using Int = Plain<'i', int>;

// True or False and nothing else, by the controller module's rule: any other
// object (an int included) is a TypeError "argument '<Name>': expected bool, got <type>".
template <Text Name>
struct Flag {
    static constexpr char code = 'O';
    using Raw = PyObject*;
    using Value = bool;
    static bool take(Raw raw, Value& out) {
        if (!PyBool_Check(raw)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected bool, got %s", Name.chars, Py_TYPE(raw)->tp_name);
            return false;
        }
        out = raw == Py_True;
        return true;
    }
};

// A value `Accept` takes as it is; anything else, `*Error` with `Message`.
template <char Code, class R, class V, bool (*Accept)(R), PyObject** Error, Text Message>
struct Checked {
    static constexpr char code = Code;
    using Raw = R;
    using Value = V;
    static bool take(Raw raw, Value& out) {
        if (!Accept(raw)) {
            PyErr_SetString(*Error, Message.chars);
            return false;
        }
        out = static_cast<Value>(raw);
        return true;
    }
};

template <class R, long long Low, long long High>
bool in_range(R raw) {
    return !std::cmp_less(raw, Low) && !std::cmp_greater(raw, High);
}
inline bool is_finite(double raw) { return std::isfinite(raw); }

// A whole number in Low..High.
template <char Code, class R, class V, long long Low, long long High, PyObject** Error, Text Message>
using Ranged = Checked<Code, R, V, in_range<R, Low, High>, Error, Message>;

// A finite float (ValueError).
template <Text Message>
using Finite = Checked<'d', double, double, is_finite, &PyExc_ValueError, Message>;

// Seconds as a float, 0 to 1e6, to the simulator's duration type.
template <class Duration>
struct Seconds {
    static constexpr char code = 'd';
    using Raw = double;
    using Value = Duration;
    static bool take(Raw raw, Value& out) {
        std::chrono::microseconds micros{};
        if (!seconds_to_micros(raw, micros)) return false;
        out = std::chrono::duration_cast<Duration>(micros);
        return true;
    }
};

// A neck motor index, 0 to 2.
struct NeckIndex {
    static constexpr char code = 'i';
    using Raw = int;
    using Value = int;
    static bool take(Raw raw, Value& out) {
        out = raw;
        return neck_index(raw);
    }
};

// A neck motor index given alone (a METH_O method's argument): any int.
struct NeckIndexObject {
    static constexpr char code = 'O';
    using Raw = PyObject*;
    using Value = int;
    static bool take(Raw raw, Value& out) {
        const long index = PyLong_AsLong(raw);
        if (index == -1 && PyErr_Occurred()) return false;
        // An index beyond int's range is out of range too, not a narrowed one.
        if (!neck_index(index < 0 || index > 2 ? -1 : static_cast<int>(index))) return false;
        out = static_cast<int>(index);
        return true;
    }
};

// A servo id given alone (a METH_O method's argument): 0 to 255.
struct ServoIdObject {
    static constexpr char code = 'O';
    using Raw = PyObject*;
    using Value = std::uint8_t;
    static bool take(Raw raw, Value& out) {
        const long id = PyLong_AsLong(raw);
        if (id == -1 && PyErr_Occurred()) return false;
        if (id < 0 || id > 255) {
            PyErr_SetString(PyExc_OverflowError, "servo id must be 0 to 255");
            return false;
        }
        out = static_cast<std::uint8_t>(id);
        return true;
    }
};

// None, or a whole number 0 to Highest (else `*Error`: "<What> must be 0 to
// <Highest> or None").
template <Text What, long Highest, class V, PyObject** Error>
struct OptionalUpTo {
    static constexpr char code = 'O';
    using Raw = PyObject*;
    using Value = std::optional<V>;
    static bool take(Raw raw, Value& out) {
        out.reset();
        if (raw == Py_None) return true;
        const long v = PyLong_AsLong(raw);
        if (v == -1 && PyErr_Occurred()) return false;
        if (v < 0 || v > Highest) {
            PyErr_Format(*Error, "%s must be 0 to %ld or None", What.chars, Highest);
            return false;
        }
        out = static_cast<V>(v);
        return true;
    }
};

// ---- the shapes

namespace shape {

// "<codes>:<name>", the format PyArg_ParseTuple reads the arguments with (the
// name goes into its error messages).
template <Text Name, class... Params>
inline constexpr auto format = [] {
    constexpr std::size_t name_size = sizeof(Name.chars);   // with its terminating zero
    std::array<char, sizeof...(Params) + 1 + name_size> out{};
    std::size_t at = 0;
    ((out[at++] = Params::code), ...);
    out[at++] = ':';
    for (std::size_t i = 0; i < name_size; ++i) out[at++] = Name.chars[i];
    return out;
}();

// Takes every argument in order, stopping at the first one refused.
template <class... Params>
bool take_all(std::tuple<typename Params::Raw...>& raw, std::tuple<typename Params::Value...>& out) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (Params::take(std::get<I>(raw), std::get<I>(out)) && ...);
    }(std::index_sequence_for<Params...>{});
}

// Calls the simulator with the values taken: None for a void call, else the
// result converted.
template <auto Method, class Values>
PyObject* call(PyObject* self, Values& values) {
    SIM_OR_FAIL(self);
    const auto act = [sim](auto&... v) { return (sim->*Method)(v...); };
    if constexpr (std::is_void_v<decltype(std::apply(act, values))>) {
        std::apply(act, values);
        Py_RETURN_NONE;
    } else {
        return to_python(std::apply(act, values));
    }
}

template <Text Name, auto Method, class... Params>
PyObject* with_args(PyObject* self, PyObject* args) {
    std::tuple<typename Params::Raw...> raw{};
    const bool parsed = std::apply(
        [args](auto&... r) { return PyArg_ParseTuple(args, format<Name, Params...>.data(), &r...) != 0; }, raw);
    std::tuple<typename Params::Value...> values{};
    if (!parsed || !take_all<Params...>(raw, values)) return nullptr;
    return call<Method>(self, values);
}

template <auto Method, class Param>
PyObject* with_arg(PyObject* self, PyObject* arg) {
    std::tuple<typename Param::Value> value{};
    if (!Param::take(arg, std::get<0>(value))) return nullptr;
    return call<Method>(self, value);
}

template <auto Method>
PyObject* without_args(PyObject* self, PyObject*) {
    std::tuple<> none;
    return call<Method>(self, none);
}

}  // namespace shape

// Rows of a method table: positional arguments (METH_VARARGS), one argument
// (METH_O), none (METH_NOARGS).
template <Text Name, auto Method, class... Params>
PyMethodDef args_method(const char* doc) {
    return {Name.chars, shape::with_args<Name, Method, Params...>, METH_VARARGS, doc};
}

template <Text Name, auto Method, class Param>
PyMethodDef arg_method(const char* doc) {
    return {Name.chars, shape::with_arg<Method, Param>, METH_O, doc};
}

template <Text Name, auto Method>
PyMethodDef no_args_method(const char* doc) {
    return {Name.chars, shape::without_args<Method>, METH_NOARGS, doc};
}

}  // namespace torso_sim_py
