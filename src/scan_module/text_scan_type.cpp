// TextScan: one scan whose records the workers encode as text (JSON Lines,
// CSV, a short text view); an iterator of bytes chunks in record order, the
// format's header first.
#include "scan/text_chunks.hpp"
#include "scan_module/scan_surface.hpp"

namespace tarnwick::scan_py {

namespace {

struct TextScanState {
    std::shared_ptr<Scanner> scanner;
    TextFormat format;
    bool header_sent = false;
    bool consuming = false;  // a thread is taking chunks (see Consuming)
};

TextScanState& state_of(PyObject* self) { return value_of<TextScanState>(self); }

PyObject* text_scan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ParsedScanArguments parsed;
        Ref path_owner;
        unsigned char format = 0;
        Py_ssize_t chunk_bytes = 0;
        if (!parse_scan_arguments("TextScan", args, kwargs, TARNWICK_SCAN_ARGUMENTS_FORMAT "bn", parsed, path_owner,
                                  &format, &chunk_bytes)) {
            return nullptr;
        }
        if (format > static_cast<unsigned char>(TextFormat::Text) || chunk_bytes <= 0) {
            PyErr_SetString(PyExc_ValueError, "unknown text format, or chunk_bytes not positive");
            return nullptr;
        }
        ScanArguments arguments;
        if (!scan_arguments(parsed, arguments)) return nullptr;
        const auto text_format = static_cast<TextFormat>(format);
        const auto bytes = static_cast<std::size_t>(chunk_bytes);
        auto scanner =
            start_scan(arguments, [text_format, bytes] { return std::make_unique<TextChunkBuilder>(text_format, bytes); });
        if (!scanner) return nullptr;
        return new_instance(type, TextScanState{std::move(scanner), text_format, false, false});
    });
}

PyObject* text_scan_iter(PyObject* self) {
    Py_INCREF(self);
    return self;
}

PyObject* as_bytes(const ByteBuffer& buffer) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()),
                                     static_cast<Py_ssize_t>(buffer.size()));
}

PyObject* text_scan_next(PyObject* self) {
    return guarded([&]() -> PyObject* {
        TextScanState& state = state_of(self);
        const Consuming consuming(state.consuming);
        if (!consuming) return nullptr;
        if (!state.header_sent) {
            state.header_sent = true;
            ByteBuffer header;
            append_text_header(state.format, header);
            if (header.size() != 0) return as_bytes(header);
        }
        std::unique_ptr<Chunk> chunk = next_chunk(*state.scanner);
        if (!chunk) return nullptr;  // StopIteration, or the scan's failure
        return as_bytes(static_cast<const TextChunk&>(*chunk).text);
    });
}

PyMethodDef methods[] = {
    scan_report_method<TextScanState>,
    scan_cancel_method<TextScanState>,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_methods, methods},
    {Py_tp_iter, reinterpret_cast<void*>(text_scan_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(text_scan_next)},
    {Py_tp_doc, const_cast<char*>("TextScan(path, reverse, threads, key_prefix, states, file_types, any_name, as_kind, format, "
                                  "chunk_bytes)\n--\n\nA running scan of a store into chunks of text.")},
    {Py_tp_new, reinterpret_cast<void*>(text_scan_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scan_dealloc<TextScanState>)},
    {0, nullptr},
};

PyType_Spec spec = {"tarnwick._scan.TextScan", static_cast<int>(sizeof(Instance<TextScanState>)), 0,
                    Py_TPFLAGS_DEFAULT, slots};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* text_scan_type() {
    if (g_type == nullptr) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return g_type;
}

}  // namespace tarnwick::scan_py
