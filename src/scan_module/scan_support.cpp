// What the scan classes share: their options, starting a scan, waiting for its
// chunks without the interpreter lock, and the report as plain values.
#include "scan_module/scan_surface.hpp"

#include <optional>

namespace tarnwick::scan_py {

bool scan_arguments(const ParsedScanArguments& parsed, ScanArguments& arguments) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(parsed.path, &data, &size) == 0) arguments.path.assign(data, static_cast<std::size_t>(size));
    arguments.options.reverse = parsed.reverse != 0;
    arguments.options.threads = parsed.threads == 0 ? 1 : parsed.threads;
    arguments.options.filter.key_prefix.assign(parsed.key_prefix, static_cast<std::size_t>(parsed.key_prefix_size));
    arguments.options.filter.states = parsed.states;
    arguments.options.filter.file_kinds = parsed.file_types;
    arguments.options.salvage = parsed.salvage != 0;
    arguments.options.any_name = parsed.any_name != 0;
    switch (parsed.as_kind) {
        case AS_NAMED: break;
        case AS_TABLE: arguments.options.forced_kind = DataFileKind::Table; break;
        case AS_LOG: arguments.options.forced_kind = DataFileKind::Log; break;
        default: PyErr_SetString(PyExc_ValueError, "unknown file kind to read a file as"); return false;
    }
    return true;
}

bool file_names_argument(PyObject* sequence, std::vector<std::string>& names) {
    if (sequence == nullptr || sequence == Py_None) return true;
    Ref items(PySequence_Fast(sequence, "files must be a sequence of names"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Size(items.get());
    if (count < 0) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item(PySequence_GetItem(items.get(), i));
        if (!item) return false;
        PyObject* encoded = nullptr;
        if (PyUnicode_FSConverter(item.get(), &encoded) == 0) return false;
        Ref owner(encoded);
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(encoded, &data, &size) != 0) return false;
        names.emplace_back(data, static_cast<std::size_t>(size));
    }
    return true;
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
                    put(dict.get(), "live", PyLong_FromUnsignedLongLong(file.live)) &&
                    put(dict.get(), "deleted", PyLong_FromUnsignedLongLong(file.deleted)) &&
                    put(dict.get(), "unknown", PyLong_FromUnsignedLongLong(file.unknown)) &&
                    put(dict.get(), "compressed", PyLong_FromUnsignedLongLong(file.compressed)) &&
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
                    put(dict.get(), "reason", text(entry.reason)) &&
                    put(dict.get(), "size", PyLong_FromUnsignedLongLong(entry.size)) &&
                    put(dict.get(), "target", fs_text(entry.target));
    return ok ? dict.release() : nullptr;
}

PyObject* manifest_dict(const std::optional<ManifestReport>& manifest) {
    if (!manifest) Py_RETURN_NONE;
    Ref dict(PyDict_New());
    Ref missing(PyList_New(0));
    Ref unlisted(PyList_New(0));
    if (!dict || !missing || !unlisted) return nullptr;
    for (const std::uint64_t number : manifest->missing) {
        Ref item(PyLong_FromUnsignedLongLong(number));
        if (!item || PyList_Append(missing.get(), item.get()) != 0) return nullptr;
    }
    for (const std::string& name : manifest->unlisted) {
        Ref item(fs_text(name));
        if (!item || PyList_Append(unlisted.get(), item.get()) != 0) return nullptr;
    }
    const bool ok = put(dict.get(), "name", fs_text(manifest->name)) &&
                    put(dict.get(), "read", PyBool_FromLong(manifest->read ? 1 : 0)) &&
                    put(dict.get(), "reason", text(manifest->reason)) && put(dict.get(), "missing", missing.release()) &&
                    put(dict.get(), "unlisted", unlisted.release());
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
                    put(dict.get(), "finished", PyBool_FromLong(report.finished ? 1 : 0)) &&
                    put(dict.get(), "complete", PyBool_FromLong(report.complete ? 1 : 0)) &&
                    put(dict.get(), "manifest", manifest_dict(report.manifest)) &&
                    put(dict.get(), "files", files.release()) && put(dict.get(), "others", others.release());
    return ok ? dict.release() : nullptr;
}

}  // namespace tarnwick::scan_py
