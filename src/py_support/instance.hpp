// The layout of tarnwick's Python objects: the object header, then one C++
// value, constructed and destroyed by the class's own slots.
#pragma once

#include "py_support/python.hpp"

namespace tarnwick::py_support {

template <class T>
struct Instance {
    PyObject_HEAD
    T value;
};

template <class T>
T& value_of(PyObject* self) noexcept {
    return reinterpret_cast<Instance<T>*>(self)->value;
}

}  // namespace tarnwick::py_support
