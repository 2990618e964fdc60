// What the scan classes share: their options, starting a scan, waiting for its
// chunks without the interpreter lock, and the report as plain values.
#include "scan_module/scan_surface.hpp"

#include <optional>

namespace tarnwick::scan_py {

ScanArguments scan_arguments(const ParsedScanArguments& parsed) {
    ScanArguments arguments;
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(parsed.path, &data, &size) == 0) arguments.path.assign(data, static_cast<std::size_t>(size));
    arguments.options.reverse = parsed.reverse != 0;
    arguments.options.threads = parsed.threads == 0 ? 1 : parsed.threads;
    arguments.options.filter.key_prefix.assign(parsed.key_prefix, static_cast<std::size_t>(parsed.key_prefix_size));
    arguments.options.filter.states = parsed.states;
    arguments.options.filter.file_kinds = parsed.file_types;
    arguments.options.salvage = parsed.salvage != 0;
    return arguments;
}

std::shared_ptr<Scanner> start_scan(ScanArguments& arguments, ChunkBuilderFactory builders) {
    std::optional<std::expected<std::unique_ptr<Scanner>, DbError>> started;
    without_interpreter_lock(
        [&] { started.emplace(Scanner::start(arguments.path, arguments.options, std::move(builders))); });
    if (!*started) {
        const std::string message = started->error().message();
        Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        if (text) PyErr_SetObject(PyExc_ValueError, text.get());
        return nullptr;
    }
    return std::shared_ptr<Scanner>(std::move(**started));
}

std::unique_ptr<Chunk> next_chunk(Scanner& scanner) {
    std::unique_ptr<Chunk> chunk;
    without_interpreter_lock([&] { chunk = scanner.next(); });
    if (!chunk) {
        const std::string failure = scanner.failure();
        if (!failure.empty()) PyErr_SetString(PyExc_RuntimeError, failure.c_str());
    }
    return chunk;
}

PyObject* fs_text(const std::string& text) {
    return PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

namespace {

// Sets d[key] = value, taking the value's reference. False on failure.
bool put(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int done = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return done == 0;
}

PyObject* text(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

PyObject* file_dict(const FileReport& file) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    Ref unread(PyList_New(0));
    if (!unread) return nullptr;
    Ref carved(PyList_New(0));
    if (!carved) return nullptr;
    for (const CarvedRange& range : file.carved) {
        Ref item(Py_BuildValue("(KK)", static_cast<unsigned long long>(range.begin),
                               static_cast<unsigned long long>(range.end)));
        if (!item || PyList_Append(carved.get(), item.get()) != 0) return nullptr;
    }
    for (const UnreadRange& range : file.unread) {
        Ref item(Py_BuildValue("(KKN)", static_cast<unsigned long long>(range.begin),
                               static_cast<unsigned long long>(range.end), text(range.reason)));
        if (!item || PyList_Append(unread.get(), item.get()) != 0) return nullptr;
    }
    const bool ok = put(dict.get(), "name", fs_text(file.name)) && put(dict.get(), "path", fs_text(file.display_path)) &&
                    put(dict.get(), "kind", text(kind_name(file.kind))) &&
                    put(dict.get(), "number", PyLong_FromUnsignedLongLong(file.number)) &&
                    put(dict.get(), "size", PyLong_FromUnsignedLongLong(file.size)) &&
                    put(dict.get(), "status", text(status_name(file.status))) &&
                    put(dict.get(), "reason", text(file.reason)) &&
                    put(dict.get(), "records", PyLong_FromUnsignedLongLong(file.records)) &&
                    put(dict.get(), "blocks_read", PyLong_FromUnsignedLongLong(file.blocks_read)) &&
                    put(dict.get(), "blocks_skipped", PyLong_FromUnsignedLongLong(file.blocks_skipped)) &&
                    put(dict.get(), "unread", unread.release()) && put(dict.get(), "carved", carved.release());
    return ok ? dict.release() : nullptr;
}

PyObject* entry_dict(const ListedEntry& entry) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    const bool ok = put(dict.get(), "name", fs_text(entry.name)) && put(dict.get(), "path", fs_text(entry.display_path)) &&
                    put(dict.get(), "status", text(status_name(entry.status))) &&
                    put(dict.get(), "reason", text(entry.reason));
    return ok ? dict.release() : nullptr;
}

}  // namespace

PyObject* report_dict(const ReadReport& report) {
    Ref dict(PyDict_New());
    Ref files(PyList_New(0));
    Ref others(PyList_New(0));
    if (!dict || !files || !others) return nullptr;
    for (const FileReport& file : report.files) {
        Ref item(file_dict(file));
        if (!item || PyList_Append(files.get(), item.get()) != 0) return nullptr;
    }
    for (const ListedEntry& entry : report.others) {
        Ref item(entry_dict(entry));
        if (!item || PyList_Append(others.get(), item.get()) != 0) return nullptr;
    }
    const bool ok = put(dict.get(), "directory", fs_text(report.directory)) &&
                    put(dict.get(), "complete", PyBool_FromLong(report.complete ? 1 : 0)) &&
                    put(dict.get(), "files", files.release()) && put(dict.get(), "others", others.release());
    return ok ? dict.release() : nullptr;
}

}  // namespace tarnwick::scan_py
