// The module's entry point: refuses other interpreters, creates the module
// once, installs the logging bridge and registers the classes.
#include <atomic>
#include <cstdint>

#include "bindings/control_loop_class.hpp"
#include "bindings/direct_controller.hpp"
#include "bindings/errors.hpp"
#include "bindings/logging_bridge.hpp"
#include "bindings/python.hpp"
#include "bindings/records_types.hpp"
#include "bindings/status_types.hpp"

namespace qmc::py {
namespace {

// The module's classes in registration order, which is also the order of
// `__all__`. Each creator returns a borrowed type (null with an exception).
struct ClassEntry {
    const char* name;
    PyTypeObject* (*type)();
};
constexpr ClassEntry kClasses[] = {
    {"QuorvelMotorController", direct_controller_type},
    {"QuorvelPyControlLoop", control_loop_type},
    {"QuorvelTorsoPosition", torso_position_type},
    {"ControlLoopStats", control_loop_stats_type},
};

// The interpreter that imported the module first; -1 until then.
std::atomic<std::int64_t> owning_interpreter{-1};
// The module object, created once per process and never released.
PyObject* module_cell = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorvel_motor_controller",
    "",  // empty module docstring
    0,   // no per-module state; PyInit runs again for a new interpreter, which refuses it
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to the module's __all__ (creating it) and sets the attribute.
bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) return false;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return false;
        }
    }
    PyObject* py_name = PyUnicode_FromString(name);
    const bool appended = py_name != nullptr && PyList_Check(all) && PyList_Append(all, py_name) == 0;
    if (py_name != nullptr && !PyList_Check(all)) PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    Py_XDECREF(py_name);
    Py_DECREF(all);
    if (!appended) return false;
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* create_module() {
    PyObject* module = PyModule_Create2(&module_def, 1013);
    if (module == nullptr) return nullptr;
    try {
        install_logging_bridge();
    } catch (...) {
        Py_DECREF(module);
        throw;
    }
    for (const ClassEntry& entry : kClasses) {
        PyTypeObject* type = entry.type();
        if (type == nullptr || !add_class(module, entry.name, type)) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    // Health readings: module attributes, not part of __all__.
    for (const ClassEntry& entry : {ClassEntry{"ServoStatus", servo_status_type},
                                    ClassEntry{"NeckStatus", neck_status_type}}) {
        PyTypeObject* type = entry.type();
        if (type == nullptr || PyModule_AddObjectRef(module, entry.name, reinterpret_cast<PyObject*>(type)) < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}

PyObject* init_module() {
    // The interpreter calls this with its lock held.
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "could not read the interpreter's identifier");
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "quorvel_motor_controller does not support sub-interpreters: it can only be "
                        "imported by the interpreter that imported it first");
        return nullptr;
    }
    if (module_cell == nullptr) {
        module_cell = create_module();
        if (module_cell == nullptr) return nullptr;
    }
    return Py_NewRef(module_cell);
}

}  // namespace
}  // namespace qmc::py

PyMODINIT_FUNC PyInit_quorvel_motor_controller(void) {
    return qmc::py::guarded(qmc::py::init_module);
}
