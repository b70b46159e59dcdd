// The one way both classes write a method: a line of the class's method
// table naming the method, what it does (its act) and the parameters it
// takes. The shared machinery binds the arguments (by position or keyword),
// converts them in order and hands the values to the act, inside the call
// guard. What an act does is the class's own business: the direct class runs
// a controller operation, the control-loop class queues a command.
//
//     method<"set_nose_position", run<&QuorvelMotorController::set_nose_position>, PositionsIn<3>>(
//         "set_nose_position($self, position)\n--\n\n..."),
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/python.hpp"
#include "bindings/types.hpp"

namespace qmc::py {

using Args = PyObject* const*;

// The two C signatures of the methods: METH_FASTCALL | METH_KEYWORDS and METH_NOARGS.
using FastMethod = PyObject*(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames);
using NoArgsMethod = PyObject*(PyObject* self, PyObject* unused);

// A string literal as a template argument, so that each method's instance
// knows its own name (for the messages of argument binding).
template <std::size_t N>
struct Name {
    constexpr Name(const char (&literal)[N]) {  // NOLINT: implicit on purpose
        for (std::size_t i = 0; i < N; ++i) text[i] = literal[i];
    }
    char text[N]{};
};

// ---- Parameters -----------------------------------------------------------------

// A parameter: its name, the C++ value it becomes and its converter
// (`convert(obj, name, out)`, as in convert.hpp). An optional parameter's
// converter is also called for an omitted argument, with a null object.
template <Name name, class T, auto Convert, bool Required = true>
struct Param {
    using type = T;
    static constexpr const char* text = name.text;
    static constexpr bool required = Required;
    static bool convert(PyObject* obj, T& out) { return Convert(obj, name.text, out); }
};

// The converter of an optional parameter: empty when omitted, `Convert`
// otherwise (None is not "omitted": it goes to `Convert`).
template <class T, auto Convert>
bool or_empty(PyObject* obj, const char* name, std::optional<T>& out) {
    if (obj == nullptr) return true;
    return Convert(obj, name, out.emplace());
}

template <Name name, class T, auto Convert>
using Omittable = Param<name, std::optional<T>, or_empty<T, Convert>, false>;

// The shapes both classes share.
// Positions in: a sequence of exactly N floats.
template <std::size_t N, Name name = "position">
using PositionsIn = Param<name, std::array<double, N>, to_float_array<N>>;
// One position in: a float.
using PositionIn = Param<"position", double, to_double>;
// A switch in: True or False.
using SwitchIn = Param<"enable", bool, to_bool>;
// An id list in: servo ids 0 to 255.
using IdsIn = Param<"ids", std::vector<std::uint8_t>, to_byte_list>;
// Single values and raw data.
template <Name name>
using U8In = Param<name, std::uint8_t, to_u8>;
template <Name name>
using U16In = Param<name, std::uint16_t, to_u16>;
template <Name name>
using IndexIn = Param<name, std::size_t, to_index>;
template <Name name>
using BytesIn = Param<name, std::vector<std::uint8_t>, to_bytes>;
template <Name name>
using ByteListIn = Param<name, std::vector<std::uint8_t>, to_byte_list>;

// ---- Binding and calling ----------------------------------------------------------

template <class... Params, std::size_t... I>
bool convert_arguments(PyObject* const* arg, std::tuple<typename Params::type...>& values,
                       std::index_sequence<I...>) {
    return (Params::convert(arg[I], std::get<I>(values)) && ...);  // in order, up to the first refusal
}

// Binds the arguments of `function` to `Params`, converts them and returns
// `act(values...)`; null with an exception set when binding or a conversion
// refuses them.
template <Name function, class... Params, class Act>
PyObject* with_arguments(Args args, Py_ssize_t nargs, PyObject* kwnames, Act&& act) {
    static constexpr const char* kNames[] = {Params::text...};
    static constexpr Signature kSignature{function.text, kNames, (std::size_t{Params::required} + ...)};
    PyObject* arg[sizeof...(Params)];
    if (!bind_arguments(kSignature, args, nargs, kwnames, arg)) return nullptr;
    std::tuple<typename Params::type...> values;
    if (!convert_arguments<Params...>(arg, values, std::index_sequence_for<Params...>{})) return nullptr;
    return std::apply(act, values);
}

// The C functions behind the table entries.
template <Name function, auto Act, class... Params>
PyObject* fast_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        return with_arguments<function, Params...>(args, nargs, kwnames,
                                                   [&](auto&... values) { return Act(self, values...); });
    });
}

template <auto Act>
PyObject* no_args_method(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return Act(self); });
}

// ---- Method table entries ---------------------------------------------------------

// The entry of method `function`: `act(self, values...)` with the values of
// `Params`, or `act(self)` for a method without parameters (METH_NOARGS).
// `doc` starts with the text signature.
template <Name function, auto Act, class... Params>
PyMethodDef method(const char* doc) {
    if constexpr (sizeof...(Params) == 0) {
        return {function.text, as_c_function(no_args_method<Act>), METH_NOARGS, doc};
    } else {
        return {function.text, as_c_function(fast_method<function, Act, Params...>), METH_FASTCALL | METH_KEYWORDS,
                doc};
    }
}

// The context manager's two entries: __enter__ returns self, __exit__ takes
// exactly three positional arguments, runs `close(self)` and returns None
// (or close's failure), so an exception raised in the block goes on.
inline PyObject* enter_context(PyObject* self, PyObject*) { return Py_NewRef(self); }

inline PyMethodDef enter_method() {
    return {"__enter__", as_c_function(enter_context), METH_NOARGS, "__enter__($self, /)\n--\n\nReturn self."};
}

template <auto Close>
PyObject* exit_context(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 3) return raise_type_error("__exit__ expected 3 arguments, got " + std::to_string(nargs));
        return Close(self);
    });
}

template <auto Close>
PyMethodDef exit_method(const char* doc) {
    return {"__exit__", as_c_function(exit_context<Close>), METH_FASTCALL, doc};
}

}  // namespace qmc::py
