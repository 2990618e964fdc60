// ChromiumScan: the decoded rows of Chromium stores, either as an Arrow
// stream (a PyCapsule holding an ArrowArrayStream) or as an iterator of JSON
// Lines chunks. Which one is decided by the first use: the rows are made for
// one consumer, once.
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "chromium_store/row_batch.hpp"
#include "chromium_store/row_lines.hpp"
#include "chromium_store/row_schema.hpp"
#include "chromium_store/store_rows.hpp"
#include "scan/text_chunks.hpp"
#include "scan_module/scan_surface.hpp"

namespace tarnwick::scan_py {

namespace {

using chromium::StoreRows;

// The names Python gives the kinds of store (tarnwick._store_vocabulary).
constexpr std::string_view LOCAL_STORAGE = "localstorage";
constexpr std::string_view SESSION_STORAGE = "sessionstorage";
constexpr std::string_view INDEXED_DB = "indexeddb";

struct ChromiumScanState {
    // Until the first use: what the rows will be made of.
    std::vector<chromium::StoreSource> stores;
    chromium::StoreRowsOptions options;
    std::size_t batch_rows = 0;
    std::size_t batch_bytes = 0;
    std::shared_ptr<StoreRows> rows;
    bool as_arrow = false;
    bool consuming = false;  // a thread is taking chunks (see Consuming)
};

ChromiumScanState& state_of(PyObject* self) { return value_of<ChromiumScanState>(self); }

bool utf8_argument(PyObject* object, std::string& out) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return false;
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

bool path_argument(PyObject* object, std::string& out) {
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(object, &encoded) == 0) return false;
    Ref owner(encoded);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded, &data, &size) != 0) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

// One (path, kind, folder_origin, blob_folder) tuple.
bool store_argument(PyObject* item, chromium::StoreSource& store) {
    PyObject* path;
    const char* kind;
    PyObject* folder_origin;
    PyObject* blob_folder;
    if (!PyArg_ParseTuple(item, "OsOO", &path, &kind, &folder_origin, &blob_folder)) return false;
    if (!path_argument(path, store.path)) return false;
    const std::string_view kind_name(kind);
    if (kind_name == LOCAL_STORAGE) store.context.kind = chromium::StoreKind::LocalStorage;
    else if (kind_name == SESSION_STORAGE) store.context.kind = chromium::StoreKind::SessionStorage;
    else if (kind_name == INDEXED_DB) store.context.kind = chromium::StoreKind::IndexedDb;
    else {
        PyErr_Format(PyExc_ValueError, "unknown kind of Chromium store: %s", kind);
        return false;
    }
    if (folder_origin != Py_None) {
        std::string origin;
        if (!utf8_argument(folder_origin, origin)) return false;
        store.context.folder_origin = std::move(origin);
    }
    return blob_folder == Py_None || path_argument(blob_folder, store.context.blob_folder);
}

bool stores_argument(PyObject* sequence, std::vector<chromium::StoreSource>& stores) {
    Ref items(PySequence_Fast(sequence, "stores must be a sequence of (path, kind, folder_origin, blob_folder)"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Size(items.get());
    if (count < 0) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item(PySequence_GetItem(items.get(), i));
        if (!item) return false;
        chromium::StoreSource store{{}, {chromium::StoreKind::LocalStorage, std::nullopt, {}}};
        if (!store_argument(item.get(), store)) return false;
        stores.push_back(std::move(store));
    }
    return true;
}

bool key_texts_argument(PyObject* sequence, std::vector<std::string>& texts) {
    if (sequence == Py_None) return true;
    Ref items(PySequence_Fast(sequence, "key must be a sequence of JSON texts"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Size(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item(PySequence_GetItem(items.get(), i));
        if (!item) return false;
        std::string text;
        if (!utf8_argument(item.get(), text)) return false;
        texts.push_back(std::move(text));
    }
    return true;
}

PyObject* chromium_scan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        if (kwargs != nullptr && PyDict_Size(kwargs) != 0) {
            PyErr_SetString(PyExc_TypeError, "ChromiumScan() takes positional arguments only");
            return nullptr;
        }
        PyObject* stores;
        int history = 0, salvage = 1, all_records = 0;
        PyObject* origin;
        PyObject* key_texts;
        Py_ssize_t batch_rows = 0, batch_bytes = 0;
        if (!PyArg_ParseTuple(args, "OppOOpnn", &stores, &history, &salvage, &origin, &key_texts, &all_records,
                              &batch_rows, &batch_bytes)) {
            return nullptr;
        }
        if (batch_rows <= 0 || batch_bytes <= 0) {
            PyErr_SetString(PyExc_ValueError, "batch_rows and batch_bytes must be positive");
            return nullptr;
        }
        ChromiumScanState state;
        if (!stores_argument(stores, state.stores)) return nullptr;
        state.options.history = history != 0;
        state.options.salvage = salvage != 0;
        state.options.filter.all_records = all_records != 0;
        if (origin != Py_None) {
            std::string text;
            if (!utf8_argument(origin, text)) return nullptr;
            state.options.filter.origin = std::move(text);
        }
        if (!key_texts_argument(key_texts, state.options.filter.key_texts)) return nullptr;
        state.batch_rows = static_cast<std::size_t>(batch_rows);
        state.batch_bytes = static_cast<std::size_t>(batch_bytes);
        return new_instance(type, std::move(state));
    });
}

// Starts the rows for one kind of consumer; false with an exception set when
// they were started already.
bool start_rows(ChromiumScanState& state, bool as_arrow) {
    if (state.rows) {
        PyErr_SetString(PyExc_RuntimeError, "the rows of this scan have been taken already");
        return false;
    }
    chromium::RowSinkFactory sinks;
    const std::size_t rows = state.batch_rows, bytes = state.batch_bytes;
    if (as_arrow) sinks = [rows, bytes] { return std::make_unique<chromium::RowBatchSink>(rows, bytes); };
    else sinks = [bytes] { return std::make_unique<chromium::RowLinesSink>(bytes); };
    state.rows = std::make_shared<StoreRows>(std::move(state.stores), std::move(state.options), std::move(sinks));
    state.as_arrow = as_arrow;
    return true;
}

// The Arrow stream: its callbacks only touch the rows, never Python.
struct StreamState {
    std::shared_ptr<StoreRows> rows;
    std::string last_error;
};

int stream_schema(ArrowArrayStream*, ArrowSchema* out) {
    try {
        chromium::export_row_schema(out);
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto& state = *static_cast<StreamState*>(stream->private_data);
    try {
        if (!state.rows->in_starting_process()) {
            state.last_error = Scanner::FORKED_MESSAGE;
            return EIO;
        }
        std::unique_ptr<Chunk> chunk = state.rows->next();
        if (!chunk) {
            state.last_error = state.rows->failure();
            if (!state.last_error.empty()) return state.rows->failed_for_memory() ? ENOMEM : EIO;
            out->release = nullptr;
            return 0;
        }
        static_cast<chromium::RowBatch&>(*chunk).export_to(out);
        return 0;
    } catch (...) {
        state.last_error.clear();
        return ENOMEM;
    }
}

const char* stream_last_error(ArrowArrayStream* stream) {
    const std::string& error = static_cast<StreamState*>(stream->private_data)->last_error;
    return error.empty() ? nullptr : error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    stream->release = nullptr;
    if (!state->rows->in_starting_process()) {
        [[maybe_unused]] auto* kept = new std::shared_ptr<StoreRows>(std::move(state->rows));
        delete state;
        return;
    }
    try {
        state->rows->cancel();
    } catch (...) {
    }
    delete state;
}

void destroy_stream_capsule(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, ARROW_ARRAY_STREAM_CAPSULE_NAME));
    if (stream == nullptr) {
        PyErr_Clear();
        return;
    }
    if (stream->release != nullptr) quietly_without_interpreter_lock([&] { stream->release(stream); });
    std::free(stream);
}

PyObject* stream_capsule(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ChromiumScanState& state = state_of(self);
        if (!start_rows(state, true)) return nullptr;
        auto* stream = static_cast<ArrowArrayStream*>(std::malloc(sizeof(ArrowArrayStream)));
        if (stream == nullptr) return PyErr_NoMemory();
        stream->get_schema = stream_schema;
        stream->get_next = stream_next;
        stream->get_last_error = stream_last_error;
        stream->release = stream_release;
        stream->private_data = new StreamState{state.rows, {}};
        PyObject* capsule = PyCapsule_New(stream, ARROW_ARRAY_STREAM_CAPSULE_NAME, destroy_stream_capsule);
        if (capsule == nullptr) {
            stream->release(stream);
            std::free(stream);
        }
        return capsule;
    });
}

PyObject* chromium_scan_iter(PyObject* self) {
    Py_INCREF(self);
    return self;
}

// The next chunk of JSON Lines text.
PyObject* chromium_scan_next(PyObject* self) {
    return guarded([&]() -> PyObject* {
        ChromiumScanState& state = state_of(self);
        const Consuming consuming(state.consuming);
        if (!consuming) return nullptr;
        if (!state.rows && !start_rows(state, false)) return nullptr;
        if (state.as_arrow) {
            PyErr_SetString(PyExc_RuntimeError, "the rows of this scan have been taken as Arrow batches");
            return nullptr;
        }
        std::unique_ptr<Chunk> chunk = next_chunk(*state.rows);
        if (!chunk) return nullptr;  // StopIteration, or the scan's failure
        const ByteBuffer& text = static_cast<const TextChunk&>(*chunk).text;
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(text.data()),
                                         static_cast<Py_ssize_t>(text.size()));
    });
}

// [{"path", "report" (a dict, or None), "failure", "rows", "error_rows"}, ...] for the stores finished so far.
// From the `start`th on, so that a caller told of each store as it ends pays
// for each report once.
PyObject* outcomes(PyObject* self, PyObject* args) {
    return guarded([&]() -> PyObject* {
        Py_ssize_t start = 0;
        if (!PyArg_ParseTuple(args, "|n", &start)) return nullptr;
        ChromiumScanState& state = state_of(self);
        Ref list(PyList_New(0));
        if (!list) return nullptr;
        if (!state.rows) return list.release();
        const std::vector<chromium::StoreOutcome> all = state.rows->outcomes();
        for (std::size_t i = static_cast<std::size_t>(std::max<Py_ssize_t>(start, 0)); i < all.size(); ++i) {
            const chromium::StoreOutcome& outcome = all[i];
            Ref report;
            if (outcome.report) report = Ref(report_dict(*outcome.report));
            else report = Ref((Py_INCREF(Py_None), Py_None));
            if (!report) return nullptr;
            Ref item(Py_BuildValue("{s:N,s:O,s:N,s:K,s:K}", "path", fs_text(outcome.path), "report", report.get(),
                                   "failure",
                                   PyUnicode_DecodeUTF8(outcome.failure.data(),
                                                        static_cast<Py_ssize_t>(outcome.failure.size()), "replace"),
                                   "rows", static_cast<unsigned long long>(outcome.rows), "error_rows",
                                   static_cast<unsigned long long>(outcome.error_rows)));
            if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
        }
        return list.release();
    });
}

PyObject* cancel(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ChromiumScanState& state = state_of(self);
        if (!state.rows) Py_RETURN_NONE;
        if (!in_starting_process(*state.rows)) return nullptr;
        std::shared_ptr<StoreRows> rows = state.rows;
        without_interpreter_lock([&] { rows->cancel(); });
        Py_RETURN_NONE;
    });
}

void chromium_scan_dealloc(PyObject* self) {
    std::shared_ptr<StoreRows> rows = std::move(state_of(self).rows);
    if (rows && !rows->in_starting_process()) {
        [[maybe_unused]] auto* kept = new (std::nothrow) std::shared_ptr<StoreRows>(std::move(rows));
    }
    quietly_without_interpreter_lock([&] { rows.reset(); });
    dealloc_instance<ChromiumScanState>(self);
}

PyMethodDef methods[] = {
    {"stream_capsule", stream_capsule, METH_NOARGS,
     "stream_capsule($self)\n--\n\nThe rows as a PyCapsule holding an ArrowArrayStream (once per scan)."},
    {"outcomes", outcomes, METH_VARARGS,
     "outcomes($self, start=0)\n--\n\nThe stores finished so far, from the start-th: dicts of path, report (a dict, "
     "or None), failure, rows and error_rows."},
    {"cancel", cancel, METH_NOARGS, "cancel($self)\n--\n\nStops the scan and closes every file."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_methods, methods},
    {Py_tp_iter, reinterpret_cast<void*>(chromium_scan_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(chromium_scan_next)},
    {Py_tp_doc, const_cast<char*>("ChromiumScan(stores, history, salvage, origin, key_texts, all_records, batch_rows, "
                                  "batch_bytes)\n--\n\nThe decoded rows of Chromium stores: Arrow batches "
                                  "(stream_capsule) or chunks of JSON Lines (iteration).")},
    {Py_tp_new, reinterpret_cast<void*>(chromium_scan_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(chromium_scan_dealloc)},
    {0, nullptr},
};

PyType_Spec spec = {"tarnwick._scan.ChromiumScan", static_cast<int>(sizeof(Instance<ChromiumScanState>)), 0,
                    Py_TPFLAGS_DEFAULT, slots};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* chromium_scan_type() {
    if (g_type == nullptr) g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return g_type;
}

}  // namespace tarnwick::scan_py
