// Argument binding and converters, against objects made by the embedded
// interpreter (set up by logging_bridge_test.cpp's environment).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/python.hpp"

namespace {

struct Gil {
    PyGILState_STATE state = PyGILState_Ensure();
    ~Gil() { PyGILState_Release(state); }
};

// Evaluates an expression in __main__ (new reference).
PyObject* value(const char* expression) {
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject* result = PyRun_String(expression, Py_eval_input, globals, globals);
    if (result == nullptr) PyErr_Print();
    return result;
}

// "TypeError: message" for the pending exception (cleared), or "" if none.
std::string take_error() {
    if (!PyErr_Occurred()) return "";
    PyObject *type, *val, *tb;
    PyErr_Fetch(&type, &val, &tb);
    PyErr_NormalizeException(&type, &val, &tb);
    PyObject* text = PyObject_Str(val);
    std::string out = std::string(reinterpret_cast<PyTypeObject*>(type)->tp_name) + ": " + PyUnicode_AsUTF8(text);
    Py_XDECREF(text);
    Py_XDECREF(type);
    Py_XDECREF(val);
    Py_XDECREF(tb);
    return out;
}

// Runs converter `convert` on the expression's value; returns the error text.
template <class T, class F>
std::string convert_error(const char* expression, F convert, T& out) {
    PyObject* obj = value(expression);
    if (obj == nullptr) return "<bad expression>";
    const bool ok = convert(obj, "arg", out);
    Py_DECREF(obj);
    std::string error = take_error();
    EXPECT_EQ(ok, error.empty()) << expression;
    return error;
}

TEST(Convert, Integers) {
    Gil gil;
    std::uint8_t u8 = 0;
    EXPECT_EQ(convert_error("255", qmc::py::to_u8, u8), "");
    EXPECT_EQ(u8, 255);
    EXPECT_EQ(convert_error("256", qmc::py::to_u8, u8).rfind("OverflowError: argument 'arg'", 0), 0u);
    EXPECT_EQ(convert_error("-1", qmc::py::to_u8, u8).rfind("OverflowError", 0), 0u);
    EXPECT_EQ(convert_error("1.0", qmc::py::to_u8, u8), "TypeError: argument 'arg': expected int, got float");
    std::uint16_t u16 = 0;
    EXPECT_EQ(convert_error("65535", qmc::py::to_u16, u16), "");
    EXPECT_EQ(convert_error("65536", qmc::py::to_u16, u16).rfind("OverflowError", 0), 0u);
    std::uint64_t u64 = 0;
    EXPECT_EQ(convert_error("2**64 - 1", qmc::py::to_u64, u64), "");
    EXPECT_EQ(u64, ~std::uint64_t{0});
    EXPECT_EQ(convert_error("2**64", qmc::py::to_u64, u64).rfind("OverflowError", 0), 0u);
    std::size_t index = 0;
    EXPECT_EQ(convert_error("-1", qmc::py::to_index, index).rfind("OverflowError", 0), 0u);
}

TEST(Convert, FloatsAndBools) {
    Gil gil;
    double d = 0;
    EXPECT_EQ(convert_error("3", qmc::py::to_double, d), "");
    EXPECT_EQ(d, 3.0);
    EXPECT_EQ(convert_error("'x'", qmc::py::to_double, d), "TypeError: argument 'arg': expected float, got str");
    EXPECT_EQ(convert_error("2**1100", qmc::py::to_double, d).rfind("OverflowError", 0), 0u);
    bool b = false;
    EXPECT_EQ(convert_error("True", qmc::py::to_bool, b), "");
    EXPECT_TRUE(b);
    EXPECT_EQ(convert_error("1", qmc::py::to_bool, b), "TypeError: argument 'arg': expected bool, got int");
}

TEST(Convert, SequencesAndBytes) {
    Gil gil;
    std::array<double, 3> three{};
    auto array3 = [](PyObject* o, const char* n, std::array<double, 3>& out) {
        return qmc::py::to_float_array(o, n, out);
    };
    EXPECT_EQ(convert_error("(1, 2.5, 3)", array3, three), "");
    EXPECT_EQ(three, (std::array<double, 3>{1, 2.5, 3}));
    EXPECT_EQ(convert_error("[1.0, 2.0]", array3, three), "ValueError: expected a sequence of length 3 (got 2)");
    EXPECT_EQ(convert_error("5", array3, three).rfind("TypeError: argument 'arg'", 0), 0u);

    std::vector<std::uint8_t> ids;
    EXPECT_EQ(convert_error("'abc'", qmc::py::to_byte_list, ids), "TypeError: Can't extract `str` to `Vec`");
    EXPECT_EQ(convert_error("b'\\x01\\x07'", qmc::py::to_byte_list, ids), "");
    EXPECT_EQ(ids, (std::vector<std::uint8_t>{1, 7}));
    EXPECT_EQ(convert_error("[1, 256]", qmc::py::to_byte_list, ids).rfind("OverflowError", 0), 0u);

    std::vector<std::uint8_t> data;
    EXPECT_EQ(convert_error("b'\\xff\\xff'", qmc::py::to_bytes, data), "");
    EXPECT_EQ(convert_error("bytearray(b'x')", qmc::py::to_bytes, data),
              "TypeError: argument 'arg': expected bytes, got bytearray");
}

TEST(Convert, TextAndDurations) {
    Gil gil;
    std::optional<std::string> path;
    EXPECT_EQ(convert_error("None", qmc::py::to_optional_string, path), "");
    EXPECT_FALSE(path.has_value());
    EXPECT_EQ(convert_error("'/dev/ttyUSB0'", qmc::py::to_optional_string, path), "");
    EXPECT_EQ(path, "/dev/ttyUSB0");
    EXPECT_EQ(convert_error("'a\\0b'", qmc::py::to_optional_string, path).rfind("ValueError", 0), 0u);
    std::string text;
    EXPECT_EQ(convert_error("None", qmc::py::to_string, text), "TypeError: argument 'arg': expected str, got NoneType");

    std::chrono::nanoseconds ns{};
    EXPECT_EQ(convert_error("__import__('datetime').timedelta(seconds=1, microseconds=5)", qmc::py::to_duration, ns), "");
    EXPECT_EQ(ns.count(), 1'000'005'000);
    EXPECT_EQ(convert_error("__import__('datetime').timedelta(microseconds=-1)", qmc::py::to_duration, ns)
                  .rfind("ValueError: argument 'arg': a negative timedelta", 0),
              0u);
    EXPECT_EQ(convert_error("__import__('datetime').timedelta.max", qmc::py::to_duration, ns).rfind("OverflowError", 0), 0u);
    EXPECT_EQ(convert_error("0.5", qmc::py::to_duration, ns).rfind("TypeError", 0), 0u);
    std::optional<std::chrono::nanoseconds> maybe;
    EXPECT_EQ(convert_error("None", qmc::py::to_optional_duration, maybe), "");
    EXPECT_FALSE(maybe.has_value());
}

TEST(Convert, ArgumentBinding) {
    Gil gil;
    static constexpr const char* kNames[] = {"speed", "tolerance", "kp"};
    static constexpr qmc::py::Signature kSignature{"neck_home", kNames, 1};
    PyObject* one = value("1");
    PyObject* kwnames = value("('kp',)");
    PyObject* out[3];
    PyObject* args[] = {one, one};
    ASSERT_TRUE(qmc::py::bind_arguments(kSignature, args, 1, kwnames, out));
    EXPECT_EQ(out[0], one);
    EXPECT_EQ(out[1], nullptr);
    EXPECT_EQ(out[2], one);
    EXPECT_FALSE(qmc::py::bind_arguments(kSignature, args, 0, kwnames, out));
    EXPECT_EQ(take_error(), "TypeError: neck_home() missing required argument 'speed'");
    PyObject* unknown = value("('colour',)");
    EXPECT_FALSE(qmc::py::bind_arguments(kSignature, args, 1, unknown, out));
    EXPECT_EQ(take_error(), "TypeError: neck_home() got an unexpected keyword argument 'colour'");
    PyObject* tuple = value("(1, 2, 3, 4)");
    EXPECT_FALSE(qmc::py::bind_arguments(kSignature, tuple, nullptr, out));
    EXPECT_EQ(take_error(), "TypeError: neck_home() takes 3 positional arguments but 4 were given");
    Py_DECREF(one);
    Py_DECREF(kwnames);
    Py_DECREF(unknown);
    Py_DECREF(tuple);
}

}  // namespace
