// The call guard and PanicException, in the embedded interpreter set up by
// logging_bridge_test.cpp's environment.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "bindings/errors.hpp"
#include "bindings/python.hpp"

namespace {

struct Gil {
    PyGILState_STATE state = PyGILState_Ensure();
    ~Gil() { PyGILState_Release(state); }
};

// The pending exception's type and message (cleared); null type if none.
struct Raised {
    PyObject* type = nullptr;
    std::string message;
};

Raised take_raised() {
    Raised raised;
    if (!PyErr_Occurred()) return raised;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* text = PyObject_Str(value);
    raised.type = type;  // borrowed below: the class lives for the process
    raised.message = text != nullptr ? PyUnicode_AsUTF8(text) : "<unprintable>";
    Py_XDECREF(text);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return raised;
}

TEST(CallGuard, FaultBecomesPanicExceptionDerivedFromBaseExceptionOnly) {
    Gil gil;
    PyObject* result = qmc::py::guarded([]() -> PyObject* { throw std::logic_error("index past the table"); });
    EXPECT_EQ(result, nullptr);
    const Raised raised = take_raised();
    ASSERT_NE(raised.type, nullptr);
    EXPECT_EQ(raised.type, qmc::py::panic_exception_type());  // created once, reused
    EXPECT_EQ(raised.message, "index past the table");
    EXPECT_EQ(PyObject_IsSubclass(raised.type, PyExc_BaseException), 1);
    EXPECT_EQ(PyObject_IsSubclass(raised.type, PyExc_Exception), 0);
    // Directly below BaseException, so `except Exception` lets it through.
    PyObject* bases = PyObject_GetAttrString(raised.type, "__bases__");
    ASSERT_NE(bases, nullptr);
    ASSERT_EQ(PyTuple_GET_SIZE(bases), 1);
    EXPECT_EQ(PyTuple_GET_ITEM(bases, 0), PyExc_BaseException);
    Py_DECREF(bases);
    EXPECT_EQ(std::string(reinterpret_cast<PyTypeObject*>(raised.type)->tp_name), "PanicException");
}

TEST(CallGuard, FaultWithoutTextGetsTheGenericMessageAndStatusBodiesFail) {
    Gil gil;
    const int status = qmc::py::guarded([]() -> int { throw 42; });
    EXPECT_EQ(status, -1);
    Raised raised = take_raised();
    EXPECT_EQ(raised.type, qmc::py::panic_exception_type());
    EXPECT_FALSE(raised.message.empty());

    PyObject* empty = qmc::py::guarded([]() -> PyObject* { throw std::runtime_error(""); });
    EXPECT_EQ(empty, nullptr);
    EXPECT_EQ(take_raised().message, raised.message);

    // A body that succeeds passes its result through untouched.
    PyObject* none = qmc::py::guarded([]() -> PyObject* { Py_RETURN_NONE; });
    EXPECT_EQ(none, Py_None);
    Py_XDECREF(none);
    EXPECT_EQ(PyErr_Occurred(), nullptr);
}

}  // namespace
