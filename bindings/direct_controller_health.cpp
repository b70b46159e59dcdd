// The direct controller class's health readings: servo and neck status,
// and the probes of one motor (status_types.cpp holds the value classes).
#include <cstddef>
#include <cstdint>

#include "bindings/convert.hpp"
#include "bindings/direct_controller_object.hpp"
#include "bindings/errors.hpp"
#include "bindings/status_types.hpp"

namespace qmc::py::direct_class {

PyObject* read_servo_status(PyObject* self, PyObject*) {
    return value_out(self, [](QuorvelMotorController& c) { return c.read_servo_status(); }, servo_status_list);
}

PyObject* read_neck_status(PyObject* self, PyObject*) {
    return value_out(self, [](QuorvelMotorController& c) { return c.read_neck_status(); }, neck_status_list);
}

PyObject* probe_servo(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"id"};
        static constexpr Signature kSignature{"probe_servo", kNames, 1};
        PyObject* arg[1];
        std::uint8_t id = 0;
        if (!bind_arguments(kSignature, args, nargs, kwnames, arg) || !to_u8(arg[0], "id", id)) return nullptr;
        return call(self, [&](QuorvelMotorController& c) { return c.probe_servo(id); }, servo_probe_tuple);
    });
}

PyObject* probe_neck_motor(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"index"};
        static constexpr Signature kSignature{"probe_neck_motor", kNames, 1};
        PyObject* arg[1];
        std::size_t index = 0;
        if (!bind_arguments(kSignature, args, nargs, kwnames, arg) || !to_index(arg[0], "index", index))
            return nullptr;
        return call(self, [&](QuorvelMotorController& c) { return c.probe_neck_motor(index); }, neck_probe_tuple);
    });
}

}  // namespace qmc::py::direct_class
