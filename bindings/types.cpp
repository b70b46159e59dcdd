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

PyTypeObject* create_class(const ClassParts& parts) {
    // The interpreter copies what it keeps of these (the docstring included);
    // the name and the method table are static.
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(parts.doc)},
        {Py_tp_new, reinterpret_cast<void*>(parts.tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(parts.dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(parts.repr)},
        {Py_tp_methods, parts.methods},
        {0, nullptr},
    };
    PyType_Spec spec = {parts.name, parts.basicsize, 0, kClassFlags, slots};
    return create_type(spec);
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace qmc::py
