// Creating the module's classes: every class is a heap type made from a
// PyType_Spec description, immutable (and frozen where the interpreter can).
#pragma once

#include "bindings/python.hpp"

namespace qmc::py {

// Flags every class of the module starts from.
inline constexpr unsigned long kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

// Creates the type (frozen on Python 3.14 and newer). Returns a new
// reference, or null with an exception set.
PyTypeObject* create_type(PyType_Spec& spec);

// The parts of a class with instance state: both controller classes have
// exactly these.
struct ClassParts {
    const char* name;      // "quorvel_motor_controller.<Class>", static
    int basicsize;         // sizeof the instance struct
    const char* doc;       // text signature and docstring
    newfunc tp_new;
    destructor dealloc;
    reprfunc repr;
    PyMethodDef* methods;  // static, ends with the sentinel
};

// create_type for a class of these parts, with the module's class flags.
PyTypeObject* create_class(const ClassParts& parts);

// Releases an instance of a module class whose C++ state was destroyed
// already (or needs no destruction).
void free_instance(PyObject* self);

}  // namespace qmc::py
