#pragma once
// The one place the binding layer includes the C API from.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
