// The one way tarnwick's extension modules include the interpreter's headers:
// limited API only (the build defines Py_LIMITED_API), so one build serves
// every CPython from 3.10 on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_LIMITED_API)
#error "tarnwick's extension modules are built against the limited C API only"
#endif
