// KeyState and FileType: two small enumerations with fixed members, a repr,
// int conversion and equality against members of their own class and against
// integers. They are deliberately not Python enums: no ordering, no hash (so
// instances are unhashable), no truth slot (every instance is true) and no
// index slot (int() works, indexing does not).
#include <cstdint>

#include "lib/instances.hpp"
#include "lib/panic.hpp"
#include "lib/references.hpp"

namespace tarnwick::py {

namespace {

using EnumValue = std::uint8_t;

PyObject* key_state_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const char* name;
        switch (value_of<EnumValue>(self)) {
            case 0: name = "KeyState.Deleted"; break;
            case 1: name = "KeyState.Live"; break;
            default: name = "KeyState.Unknown"; break;
        }
        PyObject* text = PyUnicode_FromString(name);
        return text != nullptr ? text : python_api_failed();
    });
}

PyObject* file_type_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        PyObject* text = PyUnicode_FromString(value_of<EnumValue>(self) == 1 ? "FileType.Ldb" : "FileType.Log");
        return text != nullptr ? text : python_api_failed();
    });
}

PyObject* enum_int(PyObject* self) {
    return guarded([&]() -> PyObject* {
        PyObject* number = PyLong_FromLongLong(value_of<EnumValue>(self));
        return number != nullptr ? number : python_api_failed();
    });
}

PyObject* new_bool(bool value) {
    PyObject* result = value ? Py_True : Py_False;
    Py_INCREF(result);
    return result;
}

PyObject* not_implemented() {
    Py_INCREF(Py_NotImplemented);
    return Py_NotImplemented;
}

// `other` as a signed 64-bit integer: an int (bool included) directly,
// anything else through its __index__. Any failure is swallowed.
std::optional<long long> as_integer(PyObject* other) {
    Ref index;
    if (!PyLong_Check(other)) {
        index = Ref(PyNumber_Index(other));
        if (!index) {
            PyErr_Clear();
            return std::nullopt;
        }
        other = index.get();
    }
    const long long value = PyLong_AsLongLong(other);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return value;
}

// Equality and inequality against members of the same class and integers;
// everything else, ordering included, is left to the interpreter, which then
// falls back to identity for == and != and raises TypeError for ordering.
PyObject* enum_richcompare(PyTypeObject* own_class, PyObject* self, PyObject* other, int op) {
    return guarded([&]() -> PyObject* {
        if (op < Py_LT || op > Py_GE) return not_implemented();
        const long long mine = value_of<EnumValue>(self);
        long long theirs;
        if (own_class != nullptr && PyType_IsSubtype(Py_TYPE(other), own_class)) {
            theirs = value_of<EnumValue>(other);
        } else {
            const auto number = as_integer(other);
            if (!number) return not_implemented();
            theirs = *number;
        }
        if (op == Py_EQ) return new_bool(mine == theirs);
        if (op == Py_NE) return new_bool(mine != theirs);
        return not_implemented();
    });
}

PyObject* key_state_richcompare(PyObject* self, PyObject* other, int op) {
    PyTypeObject* own = key_state_type();
    if (own == nullptr) PyErr_Clear();
    return enum_richcompare(own, self, other, op);
}

PyObject* file_type_richcompare(PyObject* self, PyObject* other, int op) {
    PyTypeObject* own = file_type_type();
    if (own == nullptr) PyErr_Clear();
    return enum_richcompare(own, self, other, op);
}

PyType_Slot key_state_slots[] = {
    {Py_tp_base, nullptr},  // set to the object type before creation
    {Py_tp_repr, reinterpret_cast<void*>(key_state_repr)},
    {Py_nb_int, reinterpret_cast<void*>(enum_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(key_state_richcompare)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<EnumValue>)},
    {0, nullptr},
};

PyType_Slot file_type_slots[] = {
    {Py_tp_base, nullptr},
    {Py_tp_repr, reinterpret_cast<void*>(file_type_repr)},
    {Py_nb_int, reinterpret_cast<void*>(enum_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(file_type_richcompare)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<EnumValue>)},
    {0, nullptr},
};

PyType_Spec key_state_spec = {
    "builtins.KeyState", static_cast<int>(sizeof(Instance<EnumValue>)), 0, Py_TPFLAGS_DEFAULT, key_state_slots,
};

PyType_Spec file_type_spec = {
    "builtins.FileType", static_cast<int>(sizeof(Instance<EnumValue>)), 0, Py_TPFLAGS_DEFAULT, file_type_slots,
};

PyObject* new_enum(PyTypeObject* type, EnumValue value) {
    if (type == nullptr) return nullptr;
    return new_instance(type, EnumValue{value});
}

PyTypeObject* g_key_state = nullptr;
PyTypeObject* g_file_type = nullptr;


}  // namespace

PyTypeObject* key_state_type() {
    if (g_key_state == nullptr) {
        key_state_slots[0].pfunc = &PyBaseObject_Type;
        g_key_state = create_class(
            key_state_spec, "KeyState",
            {
                {"Deleted", [](PyTypeObject* type) { return new_enum(type, 0); }},
                {"Live", [](PyTypeObject* type) { return new_enum(type, 1); }},
                {"Unknown", [](PyTypeObject* type) { return new_enum(type, 2); }},
            });
    }
    return g_key_state;
}

PyTypeObject* file_type_type() {
    if (g_file_type == nullptr) {
        file_type_slots[0].pfunc = &PyBaseObject_Type;
        g_file_type = create_class(file_type_spec, "FileType",
                                   {
                                       {"Ldb", [](PyTypeObject* type) { return new_enum(type, 1); }},
                                       {"Log", [](PyTypeObject* type) { return new_enum(type, 2); }},
                                   });
    }
    return g_file_type;
}

PyObject* new_key_state(KeyState state) { return new_enum(key_state_type(), static_cast<EnumValue>(state)); }

PyObject* new_file_type(FileKind kind) { return new_enum(file_type_type(), static_cast<EnumValue>(kind) + 1); }

}  // namespace tarnwick::py
