#include "lib/panic.hpp"

namespace tarnwick::py {

namespace {

constexpr const char* GENERIC_FAULT = "internal fault in _tarnwick (no message)";

PyObject* panic_exception() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "_tarnwick.PanicException",
            "Reports an internal fault of the _tarnwick reader. It derives from BaseException, "
            "not Exception, so that it is not swallowed by ordinary handlers and normally "
            "propagates to the top of the program.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace

void raise_panic(const char* message) {
    PyObject* type = panic_exception();
    if (type == nullptr) return;  // the interpreter's own error is set instead
    PyErr_SetString(type, message != nullptr && *message != '\0' ? message : GENERIC_FAULT);
}

PyObject* python_api_failed() {
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    raise_panic("Python API call failed");
    return nullptr;
}

}  // namespace tarnwick::py
