// KeyState and FileType: two small enumerations with fixed members, a repr,
// int conversion and equality against members of their own class and against
// integers. They are deliberately not Python enums: no ordering, no hash (so
// instances are unhashable), no truth slot (every instance is true) and no
// index slot (int() works, indexing does not).
#include <cstdint>
#include <string_view>

#include "db/record_names.hpp"

#include "lib/instances.hpp"
#include "lib/panic.hpp"
#include "lib/references.hpp"

namespace tarnwick::py {

namespace {

using EnumValue = std::uint8_t;

// The FileKind of a FileType value: 1 is a table, anything else a log.
constexpr FileKind file_kind_of_value(EnumValue value) noexcept { return value == 1 ? FileKind::Table : FileKind::Log; }

PyObject* key_state_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const std::string_view name = name_of(static_cast<KeyState>(value_of<EnumValue>(self)));
        PyObject* text = PyUnicode_FromFormat("KeyState.%s", name.data());
        return text != nullptr ? text : python_api_failed();
    });
}

PyObject* file_type_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const std::string_view name = name_of(file_kind_of_value(value_of<EnumValue>(self)));
        PyObject* text = PyUnicode_FromFormat("FileType.%s", name.data());
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

// A FileType's value is its FileKind's plus one (Ldb 1, Log 2).
constexpr EnumValue file_type_value(FileKind kind) noexcept { return static_cast<EnumValue>(kind) + 1; }

template <KeyState State>
PyObject* new_key_state_member(PyTypeObject* type) {
    return new_enum(type, static_cast<EnumValue>(State));
}
template <FileKind Kind>
PyObject* new_file_type_member(PyTypeObject* type) {
    return new_enum(type, file_type_value(Kind));
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
                {name_of(KeyState::Deleted).data(), &new_key_state_member<KeyState::Deleted>},
                {name_of(KeyState::Live).data(), &new_key_state_member<KeyState::Live>},
                {name_of(KeyState::Unknown).data(), &new_key_state_member<KeyState::Unknown>},
            });
    }
    return g_key_state;
}

PyTypeObject* file_type_type() {
    if (g_file_type == nullptr) {
        file_type_slots[0].pfunc = &PyBaseObject_Type;
        g_file_type = create_class(file_type_spec, "FileType",
                                   {
                                       {name_of(FileKind::Table).data(), &new_file_type_member<FileKind::Table>},
                                       {name_of(FileKind::Log).data(), &new_file_type_member<FileKind::Log>},
                                   });
    }
    return g_file_type;
}

PyObject* new_key_state(KeyState state) { return new_enum(key_state_type(), static_cast<EnumValue>(state)); }

PyObject* new_file_type(FileKind kind) { return new_enum(file_type_type(), file_type_value(kind)); }

}  // namespace tarnwick::py
