// The Python class QuorvelMotorController: the synchronous face of the torso
// controller. One instance owns one controller behind one mutex; every method
// converts its arguments, then releases the interpreter lock while it waits
// for the mutex and runs the operation on the buses.
#pragma once

#include "bindings/python.hpp"

namespace qmc::py {

// The class object, created on first call (a borrowed reference that lives
// for the rest of the process; null with an exception set on failure).
PyTypeObject* direct_controller_type();

}  // namespace qmc::py
