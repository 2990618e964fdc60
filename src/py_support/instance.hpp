// The layout of tarnwick's Python objects: the object header, then one C++
// value, constructed when the instance is made and destroyed in its class's
// Py_tp_dealloc.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

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

// Allocates through the type's allocation slot and moves `value` in. On
// failure the value is released and the interpreter's exception propagates.
template <class T>
PyObject* new_instance(PyTypeObject* type, T&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&value_of<std::remove_cvref_t<T>>(self)) std::remove_cvref_t<T>(std::forward<T>(value));
    return self;
}

// The end of every Py_tp_dealloc, once the value is released: free through the
// Py_tp_free slot of the instance's actual type.
inline void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(reinterpret_cast<PyObject*>(type));  // instances of heap types own a reference to it
}

template <class T>
void dealloc_instance(PyObject* self) {
    value_of<T>(self).~T();
    free_instance(self);
}

}  // namespace tarnwick::py_support
