// ArrowScan: one scan whose batches go either to an Arrow consumer (through a
// PyCapsule holding an ArrowArrayStream) or, for callers without an Arrow
// library, to Python as light record objects.
#include <cstdlib>
#include <vector>

#include "scan/arrow_batch.hpp"
#include "scan/arrow_stream.hpp"
#include "scan_module/scan_surface.hpp"

namespace tarnwick::scan_py {

namespace {

struct ArrowScanState {
    std::shared_ptr<Scanner> scanner;
    bool stream_taken = false;
    bool consuming = false;  // a thread is taking records (see Consuming)
};

ArrowScanState& state_of(PyObject* self) { return value_of<ArrowScanState>(self); }

void destroy_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, ARROW_ARRAY_STREAM_CAPSULE_NAME));
    if (stream == nullptr) {
        PyErr_Clear();
        return;
    }
    // A consumer that imported the stream has moved it out and marked it released.
    if (stream->release != nullptr) {
        quietly_without_interpreter_lock([&] { stream->release(stream); });
    }
    std::free(stream);
}

PyObject* arrow_scan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ParsedScanArguments parsed;
        Ref path_owner;
        Py_ssize_t batch_rows = 0, batch_bytes = 0;
        PyObject* files = nullptr;
        if (!parse_scan_arguments("ArrowScan", args, kwargs, TARNWICK_SCAN_ARGUMENTS_FORMAT "nn|O", parsed, path_owner,
                                  &batch_rows, &batch_bytes, &files)) {
            return nullptr;
        }
        if (batch_rows <= 0 || batch_bytes <= 0) {
            PyErr_SetString(PyExc_ValueError, "batch_rows and batch_bytes must be positive");
            return nullptr;
        }
        ScanArguments arguments;
        if (!scan_arguments(parsed, arguments)) return nullptr;
        if (!file_names_argument(files, arguments.options.only_files)) return nullptr;
        const auto rows = static_cast<std::size_t>(batch_rows);
        const auto bytes = static_cast<std::size_t>(batch_bytes);
        auto scanner = start_scan(arguments, [rows, bytes] { return std::make_unique<ArrowBatchBuilder>(rows, bytes); });
        if (!scanner) return nullptr;
        return new_instance(type, ArrowScanState{std::move(scanner), false, false});
    });
}

PyObject* stream_capsule(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ArrowScanState& state = state_of(self);
        if (state.stream_taken) {
            PyErr_SetString(PyExc_RuntimeError, "the batches of this scan have been taken already");
            return nullptr;
        }
        if (!in_starting_process(*state.scanner)) return nullptr;
        auto* stream = static_cast<ArrowArrayStream*>(std::malloc(sizeof(ArrowArrayStream)));
        if (stream == nullptr) return PyErr_NoMemory();
        export_arrow_stream(state.scanner, stream);
        PyObject* capsule = PyCapsule_New(stream, ARROW_ARRAY_STREAM_CAPSULE_NAME, destroy_stream_capsule);
        if (capsule == nullptr) {
            stream->release(stream);
            std::free(stream);
            return nullptr;
        }
        state.stream_taken = true;
        return capsule;
    });
}

// One batch as a list of ScanRecord objects. `states` and `file_types` are
// the enum members to hand out, indexed by the dictionary indices.
PyObject* records_of(const ArrowBatch& batch, PyObject* states, PyObject* file_types) {
    PyTypeObject* type = scan_record_type();
    if (type == nullptr) return nullptr;
    std::vector<Ref> paths;
    for (const std::string& path : batch.files()) {
        paths.emplace_back(PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace"));
        if (!paths.back()) return nullptr;
    }
    const auto* key_offsets = batch.buffer<std::int64_t>(BatchBuffer::KeyOffsets);
    const auto* user_key_offsets = batch.buffer<std::int64_t>(BatchBuffer::UserKeyOffsets);
    const auto* value_offsets = batch.buffer<std::int64_t>(BatchBuffer::ValueOffsets);
    const auto* key_data = batch.buffer<char>(BatchBuffer::KeyData);
    const auto* user_key_data = batch.buffer<char>(BatchBuffer::UserKeyData);
    const auto* value_data = batch.buffer<char>(BatchBuffer::ValueData);
    const auto* seq = batch.buffer<std::uint64_t>(BatchBuffer::Seq);
    const auto* state = batch.buffer<std::int8_t>(BatchBuffer::State);
    const auto* file_type = batch.buffer<std::int8_t>(BatchBuffer::FileType);
    const auto* file = batch.buffer<std::int32_t>(BatchBuffer::File);
    const auto* file_number = batch.buffer<std::uint64_t>(BatchBuffer::FileNumber);
    const auto* offset = batch.buffer<std::uint64_t>(BatchBuffer::Offset);
    const auto* compressed = batch.buffer<std::uint8_t>(BatchBuffer::WasCompressed);
    auto bytes = [](const char* data, const std::int64_t* offsets, std::int64_t row) {
        return PyBytes_FromStringAndSize(data + offsets[row], static_cast<Py_ssize_t>(offsets[row + 1] - offsets[row]));
    };
    auto item = [](PyObject* sequence, Py_ssize_t i) { return PySequence_GetItem(sequence, i); };

    Ref list(PyList_New(static_cast<Py_ssize_t>(batch.rows())));
    if (!list) return nullptr;
    for (std::int64_t row = 0; row < batch.rows(); ++row) {
        Ref record(PyStructSequence_New(type));
        if (!record) return nullptr;
        PyObject* fields[] = {
            bytes(key_data, key_offsets, row),
            bytes(value_data, value_offsets, row),
            PyLong_FromUnsignedLongLong(seq[row]),
            item(states, state[row]),
            item(file_types, file_type[row]),
            (Py_INCREF(paths[static_cast<std::size_t>(file[row])].get()), paths[static_cast<std::size_t>(file[row])].get()),
            PyLong_FromUnsignedLongLong(offset[row]),
            PyBool_FromLong((compressed[row / 8] >> (row % 8)) & 1),
            bytes(user_key_data, user_key_offsets, row),
            PyLong_FromUnsignedLongLong(file_number[row]),
        };
        bool failed = false;
        for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(std::size(fields)); ++i) {
            if (fields[i] == nullptr) failed = true;
            else PyStructSequence_SetItem(record.get(), i, fields[i]);  // steals
        }
        if (failed) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(row), record.release());  // steals
    }
    return list.release();
}

PyObject* next_records(PyObject* self, PyObject* args) {
    return guarded([&]() -> PyObject* {
        PyObject* states;
        PyObject* file_types;
        if (!PyArg_ParseTuple(args, "OO", &states, &file_types)) return nullptr;
        ArrowScanState& state = state_of(self);
        if (state.stream_taken) {
            PyErr_SetString(PyExc_RuntimeError, "the batches of this scan have been taken already");
            return nullptr;
        }
        const Consuming consuming(state.consuming);
        if (!consuming) return nullptr;
        std::unique_ptr<Chunk> chunk = next_chunk(*state.scanner);
        if (!chunk) {
            if (PyErr_Occurred() != nullptr) return nullptr;
            Py_RETURN_NONE;
        }
        return records_of(static_cast<const ArrowBatch&>(*chunk), states, file_types);
    });
}

PyMethodDef methods[] = {
    {"stream_capsule", stream_capsule, METH_NOARGS,
     "stream_capsule($self)\n--\n\nThe batches as a PyCapsule holding an ArrowArrayStream (once per scan)."},
    {"next_records", next_records, METH_VARARGS,
     "next_records($self, states, file_types)\n--\n\nThe next batch as a list of ScanRecord, or None at the end."},
    scan_report_method<ArrowScanState>,
    scan_cancel_method<ArrowScanState>,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("ArrowScan(path, reverse, threads, key_prefix, states, file_types, any_name, as_kind, batch_rows, "
                                  "batch_bytes, files=None)\n--\n\nA running scan of a store into Arrow batches.")},
    {Py_tp_new, reinterpret_cast<void*>(arrow_scan_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scan_dealloc<ArrowScanState>)},
    {0, nullptr},
};

PyType_Spec spec = {"tarnwick._scan.ArrowScan", static_cast<int>(sizeof(Instance<ArrowScanState>)), 0,
                    Py_TPFLAGS_DEFAULT, slots};

PyTypeObject* g_type = nullptr;

PyStructSequence_Field record_fields[] = {
    {"key", "the key as stored (a table key with its 8-byte trailer)"},
    {"value", "the value"},
    {"seq", "the sequence number"},
    {"state", "KeyState"},
    {"file_type", "FileType"},
    {"origin_file", "the path of the file"},
    {"offset", "the byte offset in the file"},
    {"was_compressed", "whether the record came from a compressed block"},
    {"user_key", "the key without a table key's trailer"},
    {"file_number", "the number in the file's name"},
    {nullptr, nullptr},
};

PyStructSequence_Desc record_desc = {"tarnwick.ScanRecord", "One record of a scan.", record_fields, 10};

PyTypeObject* g_record_type = nullptr;

}  // namespace

PyTypeObject* arrow_scan_type() {
    if (g_type == nullptr) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return g_type;
}

PyTypeObject* scan_record_type() {
    if (g_record_type == nullptr) g_record_type = PyStructSequence_NewType(&record_desc);
    return g_record_type;
}

}  // namespace tarnwick::scan_py
