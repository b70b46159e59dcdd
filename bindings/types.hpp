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

// Releases an instance of a module class whose C++ state was destroyed
// already (or needs no destruction).
void free_instance(PyObject* self);

}  // namespace qmc::py
