// The one way the bindings include the CPython C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
