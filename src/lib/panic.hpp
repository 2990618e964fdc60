// The boundary where faults become Python exceptions.
//
// Expected failures are values all the way up and are raised by the code that
// receives them. Two things are not: an interpreter that cannot create a
// bytes, str, int or list object, and an internal fault (a C++ exception that
// escapes the readers). Both surface as PanicException, a BaseException
// subclass that is not part of the module.
#pragma once

#include <exception>
#include <type_traits>

#include "lib/python.hpp"

namespace tarnwick::py {

// Sets PanicException with `message` (created on first need).
void raise_panic(const char* message);

// For a failed PyBytes/PyUnicode/PyLong/PyList creation: prints the pending
// exception, then raises PanicException "Python API call failed". Returns null
// so that callers can write `return python_api_failed();`.
PyObject* python_api_failed();

// Runs an entry point's work; a C++ exception escaping it becomes
// PanicException with the exception's message, and the entry point returns its
// failure value (null, or -1 for functions returning int).
template <class F>
auto guarded(F&& work) noexcept -> decltype(work()) {
    using Result = decltype(work());
    try {
        return work();
    } catch (const std::exception& fault) {
        raise_panic(fault.what());
    } catch (...) {
        raise_panic(nullptr);
    }
    if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    } else if constexpr (std::is_integral_v<Result>) {
        return -1;
    }
}

}  // namespace tarnwick::py
