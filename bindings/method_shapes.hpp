// The method shapes the classes share: one required argument in (positions,
// one position, a switch, a list of ids), bound and converted the one way,
// then handed to what the class does with it (queue a command, or run a
// controller operation) inside the call guard.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/python.hpp"

namespace qmc::py {

using Args = PyObject* const*;

// The two C signatures of the methods, for declaring them: METH_FASTCALL |
// METH_KEYWORDS and METH_NOARGS.
using FastMethod = PyObject*(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames);
using NoArgsMethod = PyObject*(PyObject* self, PyObject* unused);

// Binds the one required argument of `function`, named `parameter`, by
// position or keyword, and converts it with `convert(obj, parameter, out)`.
// False with an exception set when either step refuses it.
template <class T, class Convert>
bool one_argument(const char* function, const char* parameter, Args args, Py_ssize_t nargs, PyObject* kwnames,
                  Convert convert, T& out) {
    const char* const names[] = {parameter};
    const Signature signature{function, names, 1};
    PyObject* arg[1];
    return bind_arguments(signature, args, nargs, kwnames, arg) && convert(arg[0], parameter, out);
}

// A METH_FASTCALL | METH_KEYWORDS method of one argument: the converted value
// goes to `act(self, value)`, whose result the method returns.
template <class T, class Convert, class Act>
PyObject* one_argument_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                              const char* parameter, Convert convert, Act&& act) {
    return guarded([&]() -> PyObject* {
        T value{};
        if (!one_argument(function, parameter, args, nargs, kwnames, convert, value)) return nullptr;
        return act(self, value);
    });
}

// Positions in: a sequence of exactly N floats.
template <std::size_t N, class Act>
PyObject* positions_in(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                       const char* parameter, Act&& act) {
    return one_argument_method<std::array<double, N>>(
        self, args, nargs, kwnames, function, parameter,
        [](PyObject* obj, const char* name, std::array<double, N>& out) { return to_float_array(obj, name, out); },
        act);
}

// One position in: `position`, a float.
template <class Act>
PyObject* position_in(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                      Act&& act) {
    return one_argument_method<double>(self, args, nargs, kwnames, function, "position", to_double, act);
}

// A switch in: `enable`, True or False.
template <class Act>
PyObject* switch_in(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                    Act&& act) {
    return one_argument_method<bool>(self, args, nargs, kwnames, function, "enable", to_bool, act);
}

// An id list in: `ids`, servo ids 0 to 255.
template <class Act>
PyObject* ids_in(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function, Act&& act) {
    return one_argument_method<std::vector<std::uint8_t>>(self, args, nargs, kwnames, function, "ids", to_byte_list,
                                                          act);
}

}  // namespace qmc::py
