#include "bindings/types.hpp"

namespace qmc::py {

PyTypeObject* create_type(PyType_Spec& spec) {
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return nullptr;
#if PY_VERSION_HEX >= 0x030E0000
    if (PyType_Freeze(reinterpret_cast<PyTypeObject*>(type)) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
#endif
    return reinterpret_cast<PyTypeObject*>(type);
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace qmc::py
