// What the _scan module's Python surface shares: the interpreter's headers,
// owned references and instances, and running work safely for an entry point.
#pragma once

#include <exception>
#include <new>
#include <system_error>
#include <type_traits>
#include <utility>

#include "py_support/instance.hpp"
#include "py_support/python.hpp"
#include "py_support/ref.hpp"

namespace tarnwick::scan_py {

using py_support::dealloc_instance;
using py_support::Instance;
using py_support::new_instance;
using py_support::Ref;
using py_support::value_of;

// Runs an entry point's work: memory exhaustion becomes MemoryError (also a
// worker thread that cannot be started for want of memory), any other C++
// exception escaping it a RuntimeError with its message, and the entry point
// returns its failure value (null, or -1).
template <class F>
auto guarded(F&& work) noexcept -> decltype(work()) {
    using Result = decltype(work());
    try {
        return work();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::system_error& fault) {
        if (fault.code() == std::errc::resource_unavailable_try_again || fault.code() == std::errc::not_enough_memory) {
            PyErr_NoMemory();
        } else {
            PyErr_SetString(PyExc_RuntimeError, fault.what());
        }
    } catch (const std::exception& fault) {
        PyErr_SetString(PyExc_RuntimeError, fault.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal fault in tarnwick._scan");
    }
    if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    } else if constexpr (std::is_integral_v<Result>) {
        return -1;
    }
}

// Runs `work` with the interpreter lock released, for calls that wait on the
// scanner's workers. A C++ exception must not leave the released region (the
// thread state would not be restored): it is caught there and thrown again
// once the lock is back, for guarded() to turn into a Python exception.
template <class F>
void without_interpreter_lock(F&& work) {
    std::exception_ptr fault;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (...) {
        fault = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (fault) std::rethrow_exception(fault);
}

// The same where nothing may be raised (deallocation): a fault is dropped.
template <class F>
void quietly_without_interpreter_lock(F&& work) noexcept {
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (...) {
    }
    Py_END_ALLOW_THREADS
}

}  // namespace tarnwick::scan_py
