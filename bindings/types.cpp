#include "bindings/types.hpp"

#include <vector>

namespace qmc::py {

PyTypeObject* create_type(PyType_Spec& type_spec) {
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) return nullptr;
#if PY_VERSION_HEX >= 0x030E0000
    if (PyType_Freeze(reinterpret_cast<PyTypeObject*>(type)) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
#endif
    return reinterpret_cast<PyTypeObject*>(type);
}

PyTypeObject* create_class(const ClassParts& parts, std::initializer_list<PyType_Slot> more) {
    // The interpreter copies what it keeps of these (the docstring included);
    // the name and the tables are static.
    const PyType_Slot parts_slots[] = {
        {Py_tp_doc, const_cast<char*>(parts.doc)},       slot(Py_tp_new, parts.tp_new),
        slot(Py_tp_dealloc, parts.dealloc),                slot(Py_tp_repr, parts.repr),
        slot(Py_tp_methods, parts.methods),
    };
    std::vector<PyType_Slot> slots;
    for (const PyType_Slot& part : parts_slots) {
        if (part.pfunc != nullptr) slots.push_back(part);
    }
    slots.insert(slots.end(), more.begin(), more.end());
    slots.push_back({0, nullptr});
    const unsigned long flags = kClassFlags | (parts.tp_new == nullptr ? Py_TPFLAGS_DISALLOW_INSTANTIATION : 0UL);
    PyType_Spec type_spec = {parts.name, parts.basicsize, 0, static_cast<unsigned int>(flags), slots.data()};
    return create_type(type_spec);
}

void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace qmc::py
