// Record: one raw record, read-only, holding its fields and its key and value
// bytes. Every attribute read builds a new Python object; nothing is cached.
#include <cstdio>
#include <cstring>

#include "db/record_names.hpp"
#include "lib/instances.hpp"
#include "lib/panic.hpp"

namespace tarnwick::py {

namespace {

// A Record object holds its fields and, right behind them in the same
// allocation, its key and value bytes: one allocation and one copy per
// record, and no pointer to chase on the way to the bytes.
struct RecordObject {
    PyObject_HEAD
    SharedPath origin_file;
    std::uint64_t seq;
    std::uint64_t offset;
    std::uint64_t key_size;
    std::uint64_t value_size;
    KeyState state;
    FileKind file_type;
    bool was_compressed;

    std::uint8_t* bytes() noexcept { return reinterpret_cast<std::uint8_t*>(this + 1); }
    Bytes key() noexcept { return {bytes(), static_cast<std::size_t>(key_size)}; }
    Bytes value() noexcept { return {bytes() + key_size, static_cast<std::size_t>(value_size)}; }
    RecordView view() noexcept {
        return {key(), value(), seq, state, file_type, origin_file, offset, was_compressed};
    }
};

RecordObject& record_of(PyObject* self) { return *reinterpret_cast<RecordObject*>(self); }

// Py_tp_alloc: the object plus `nitems` bytes of key and value. The fields
// are all set by the caller, so nothing is zeroed.
PyObject* record_alloc(PyTypeObject* type, Py_ssize_t nitems) {
    const std::size_t size = sizeof(RecordObject) + static_cast<std::size_t>(nitems);
    void* memory = PyObject_Malloc(size);
    if (memory == nullptr) return PyErr_NoMemory();
    return PyObject_Init(static_cast<PyObject*>(memory), type);  // takes a reference to the type
}

void record_dealloc(PyObject* self) {
    record_of(self).origin_file.~SharedPath();
    free_instance(self);
}

PyObject* bytes_object(Bytes bytes) {
    PyObject* object = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<Py_ssize_t>(bytes.size()));
    return object != nullptr ? object : python_api_failed();
}

PyObject* unsigned_object(std::uint64_t value) {
    PyObject* object = PyLong_FromUnsignedLongLong(value);
    return object != nullptr ? object : python_api_failed();
}

PyObject* get_key(PyObject* self, void*) {
    return guarded([&] { return bytes_object(record_of(self).key()); });
}

PyObject* get_value(PyObject* self, void*) {
    return guarded([&] { return bytes_object(record_of(self).value()); });
}

PyObject* get_seq(PyObject* self, void*) {
    return guarded([&] { return unsigned_object(record_of(self).seq); });
}

PyObject* get_state(PyObject* self, void*) {
    return guarded([&] { return new_key_state(record_of(self).state); });
}

PyObject* get_file_type(PyObject* self, void*) {
    return guarded([&] { return new_file_type(record_of(self).file_type); });
}

// Paths that are not valid UTF-8 show U+FFFD where they are invalid.
PyObject* get_origin_file(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const std::string& path = *record_of(self).origin_file;
        PyObject* text = PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace");
        return text != nullptr ? text : python_api_failed();
    });
}

PyObject* get_offset(PyObject* self, void*) {
    return guarded([&] { return unsigned_object(record_of(self).offset); });
}

PyObject* get_was_compressed(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        PyObject* result = record_of(self).was_compressed ? Py_True : Py_False;
        Py_INCREF(result);
        return result;
    });
}

PyObject* get_user_key(PyObject* self, void*) {
    return guarded([&] { return bytes_object(record_of(self).view().user_key()); });
}

PyObject* record_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        RecordObject& record = record_of(self);
        char text[192];
        const int length = std::snprintf(
            text, sizeof text, "Record(key=<%zu bytes>, value=<%zu bytes>, seq=%llu, state=%s, file_type=%s)",
            static_cast<std::size_t>(record.key_size), static_cast<std::size_t>(record.value_size),
            static_cast<unsigned long long>(record.seq), name_of(record.state).data(),
            name_of(record.file_type).data());
        PyObject* result = PyUnicode_FromStringAndSize(text, length);
        return result != nullptr ? result : python_api_failed();
    });
}

PyGetSetDef record_getset[] = {
    {"key", get_key, nullptr, "", nullptr},
    {"value", get_value, nullptr, "", nullptr},
    {"seq", get_seq, nullptr, "", nullptr},
    {"state", get_state, nullptr, "", nullptr},
    {"file_type", get_file_type, nullptr, "", nullptr},
    {"origin_file", get_origin_file, nullptr, "", nullptr},
    {"offset", get_offset, nullptr, "", nullptr},
    {"was_compressed", get_was_compressed, nullptr, "", nullptr},
    {"user_key", get_user_key, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot record_slots[] = {
    {Py_tp_base, nullptr},
    {Py_tp_getset, record_getset},
    {Py_tp_repr, reinterpret_cast<void*>(record_repr)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_alloc, reinterpret_cast<void*>(record_alloc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc)},
    {0, nullptr},
};

PyType_Spec record_spec = {
    "builtins.Record", static_cast<int>(sizeof(RecordObject)), 0, Py_TPFLAGS_DEFAULT, record_slots,
};

PyTypeObject* g_record = nullptr;
allocfunc g_record_alloc = nullptr;

}  // namespace

PyTypeObject* record_type() {
    if (g_record == nullptr) {
        record_slots[0].pfunc = &PyBaseObject_Type;
        g_record = create_class(record_spec, "Record");
        if (g_record != nullptr) {
            g_record_alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(g_record, Py_tp_alloc));
        }
    }
    return g_record;
}

// The hot path of iterate_records_raw: one allocation, one copy of the bytes.
PyObject* new_record(const RecordView& view) {
    PyTypeObject* type = record_type();
    if (type == nullptr) return nullptr;
    const std::size_t size = view.key.size() + view.value.size();
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX) - sizeof(RecordObject)) return PyErr_NoMemory();
    PyObject* self = g_record_alloc(type, static_cast<Py_ssize_t>(size));
    if (self == nullptr) return nullptr;
    RecordObject& record = record_of(self);
    new (&record.origin_file) SharedPath(view.origin_file);
    record.seq = view.seq;
    record.offset = view.offset;
    record.key_size = view.key.size();
    record.value_size = view.value.size();
    record.state = view.state;
    record.file_type = view.file_type;
    record.was_compressed = view.was_compressed;
    if (!view.key.empty()) std::memcpy(record.bytes(), view.key.data(), view.key.size());
    if (!view.value.empty()) std::memcpy(record.bytes() + view.key.size(), view.value.data(), view.value.size());
    return self;
}

}  // namespace tarnwick::py
