// The module's entry point: refuses other interpreters, creates the module
// once, installs the logging bridge and registers the classes.
#include <atomic>
#include <cstdint>

#include "bindings/after_fork.hpp"
#include "bindings/control_loop_class.hpp"
#include "bindings/direct_controller.hpp"
#include "bindings/errors.hpp"
#include "bindings/logging_bridge.hpp"
#include "bindings/python.hpp"
#include "bindings/records_types.hpp"
#include "bindings/status_types.hpp"
#include "controller/motor_tables.hpp"

#ifndef QMC_VERSION
#error "QMC_VERSION (the package version) must be defined by the build"
#endif

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

// The joint names in code: SERVO_JOINTS and NECK_JOINTS (tuples in the
// order of the servo and neck vectors), SERVO_IDS (name -> servo id, same
// order) and __version__. Plain attributes, not in __all__.
bool add_constants(PyObject* module) {
    const auto name_of = [](std::string_view name) {
        return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    };
    PyObject* servo_joints = PyTuple_New(static_cast<Py_ssize_t>(quorvel::kServoJoints.size()));
    PyObject* neck_joints = PyTuple_New(static_cast<Py_ssize_t>(quorvel::kNeckJoints.size()));
    PyObject* servo_ids = PyDict_New();
    bool ok = servo_joints != nullptr && neck_joints != nullptr && servo_ids != nullptr;
    for (std::size_t i = 0; ok && i < quorvel::kServoJoints.size(); ++i) {
        PyObject* name = name_of(quorvel::kServoJoints[i].name);
        PyObject* id = name != nullptr ? PyLong_FromUnsignedLong(quorvel::kServoJoints[i].id) : nullptr;
        ok = id != nullptr && PyDict_SetItem(servo_ids, name, id) == 0;
        Py_XDECREF(id);
        if (ok) {
            PyTuple_SET_ITEM(servo_joints, static_cast<Py_ssize_t>(i), name);  // steals
        } else {
            Py_XDECREF(name);
        }
    }
    for (std::size_t i = 0; ok && i < quorvel::kNeckJoints.size(); ++i) {
        PyObject* name = name_of(quorvel::kNeckJoints[i].name);
        ok = name != nullptr;
        if (ok) PyTuple_SET_ITEM(neck_joints, static_cast<Py_ssize_t>(i), name);
    }
    ok = ok && PyModule_AddObjectRef(module, "SERVO_JOINTS", servo_joints) == 0 &&
         PyModule_AddObjectRef(module, "NECK_JOINTS", neck_joints) == 0 &&
         PyModule_AddObjectRef(module, "SERVO_IDS", servo_ids) == 0 &&
         PyModule_AddStringConstant(module, "__version__", QMC_VERSION) == 0;
    Py_XDECREF(servo_joints);
    Py_XDECREF(neck_joints);
    Py_XDECREF(servo_ids);
    return ok;
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
    if (!install_fork_handler()) {
        Py_DECREF(module);
        return PyErr_NoMemory();
    }
    for (const ClassEntry& entry : kClasses) {
        PyTypeObject* type = entry.type();
        if (type == nullptr || !add_class(module, entry.name, type)) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    if (!add_constants(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    // Health readings: module attributes, not part of __all__.
    for (const ClassEntry& entry : {ClassEntry{"ServoStatus", servo_status_type},
                                    ClassEntry{"NeckStatus", neck_status_type},
                                    ClassEntry{"MotionState", motion_state_type}}) {
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
