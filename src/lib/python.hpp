// The one way this module includes the interpreter's headers: limited API only
// (the build defines Py_LIMITED_API), so one build serves every CPython 3.10+.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if !defined(Py_LIMITED_API)
#error "_tarnwick is built against the limited C API only"
#endif
