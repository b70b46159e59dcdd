// Creating the module's classes: every class is a heap type made from a
// PyType_Spec description, immutable (and frozen where the interpreter can).
#pragma once

#include <initializer_list>

#include "bindings/python.hpp"

namespace qmc::py {

// Flags every class of the module starts from.
inline constexpr unsigned long kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

// Creates the type (frozen on Python 3.14 and newer). Returns a new
// reference, or null with an exception set.
PyTypeObject* create_type(PyType_Spec& type_spec);

// The parts every class of the module has (the controller classes have
// exactly these).
struct ClassParts {
    const char* name;      // "quorvel_motor_controller.<Class>", static
    int basicsize;         // sizeof the instance struct
    const char* doc;       // text signature and docstring
    newfunc tp_new;        // null: Python cannot create an instance
    destructor dealloc;
    reprfunc repr;
    PyMethodDef* methods;  // static, ends with the sentinel
};

// create_type for a class of these parts and the `more` slots (static
// tables only), with the module's class flags; without tp_new, instances
// come from C++ only (Py_TPFLAGS_DISALLOW_INSTANTIATION).
PyTypeObject* create_class(const ClassParts& parts, std::initializer_list<PyType_Slot> more = {});

// A slot of a function or a static table.
template <class T>
PyType_Slot slot(int id, T* pointer) {
    return {id, reinterpret_cast<void*>(pointer)};
}

// A C function of any method signature, as a method table stores it.
template <class F>
PyCFunction as_c_function(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A static table's ends.
inline constexpr PyMethodDef kEndOfMethods = {nullptr, nullptr, 0, nullptr};
inline constexpr PyGetSetDef kEndOfAttributes = {nullptr, nullptr, nullptr, nullptr, nullptr};

// A read-only attribute.
inline PyGetSetDef attribute(const char* name, getter get, const char* doc = nullptr) {
    return {name, get, nullptr, doc, nullptr};
}

// Releases an instance of a module class whose C++ state was destroyed
// already (or needs no destruction).
void free_instance(PyObject* self);

}  // namespace qmc::py
