// tarnwick._scan: the scanner's Python surface. Its classes start scans; the
// module functions give the batches' schema, a store's read report, and the
// rule for which names are data files, so that Python asks the reader's own rule.
#include "chromium_store/row_schema.hpp"
#include "db/data_file_name.hpp"
#include "scan/record_schema.hpp"
#include "scan_module/scan_surface.hpp"

namespace tarnwick::scan_py {

PyObject* decode_chromium(PyObject*, PyObject* args);  // chromium_decode_function.cpp

namespace {

void destroy_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, ARROW_SCHEMA_CAPSULE_NAME));
    if (schema == nullptr) {
        PyErr_Clear();
        return;
    }
    if (schema->release != nullptr) schema->release(schema);
    std::free(schema);
}

PyObject* new_schema_capsule(void (*export_schema)(ArrowSchema*)) {
    return guarded([&]() -> PyObject* {
        auto* schema = static_cast<ArrowSchema*>(std::malloc(sizeof(ArrowSchema)));
        if (schema == nullptr) return PyErr_NoMemory();
        export_schema(schema);
        PyObject* capsule = PyCapsule_New(schema, ARROW_SCHEMA_CAPSULE_NAME, destroy_schema_capsule);
        if (capsule == nullptr) {
            schema->release(schema);
            std::free(schema);
        }
        return capsule;
    });
}

PyObject* schema_capsule(PyObject*, PyObject*) { return new_schema_capsule(export_record_schema); }
PyObject* chromium_schema_capsule(PyObject*, PyObject*) { return new_schema_capsule(chromium::export_row_schema); }

// Reads every file of a store, keeping nothing but the report.
PyObject* inspect(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        ParsedScanArguments parsed;
        parsed.key_prefix = "";
        parsed.states = RecordFilter::ALL_STATES;
        parsed.file_types = RecordFilter::ALL_FILE_KINDS;
        if (!PyArg_ParseTuple(args, "O&I|ppb", PyUnicode_FSConverter, &parsed.path, &parsed.threads, &parsed.salvage,
                              &parsed.any_name, &parsed.as_kind)) {
            return nullptr;
        }
        Ref path_owner(parsed.path);
        ScanArguments arguments;
        if (!scan_arguments(parsed, arguments)) return nullptr;
        auto scanner = start_scan(arguments, [] { return std::make_unique<DiscardingBuilder>(); });
        if (!scanner) return nullptr;
        if (next_chunk(*scanner) != nullptr || PyErr_Occurred() != nullptr) {
            if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_RuntimeError, "a report-only scan made a chunk");
            return nullptr;
        }
        return report_dict(scanner->report());
    });
}

// The reader's rule for a name: ("table" | "log", number) or None. The name is
// str (encoded as os.fsencode does) or bytes.
PyObject* data_file_name_of(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        PyObject* encoded = nullptr;
        if (PyUnicode_FSConverter(arg, &encoded) == 0) return nullptr;
        Ref owner(encoded);
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(encoded, &bytes, &size) != 0) return nullptr;
        const auto data_file = data_file_name(std::string_view(bytes, static_cast<std::size_t>(size)));
        if (!data_file) Py_RETURN_NONE;
        const char* kind = data_file->kind == DataFileKind::Table ? "table" : "log";
        return Py_BuildValue("(sK)", kind, static_cast<unsigned long long>(data_file->number));
    });
}

PyMethodDef functions[] = {
    {"decode_chromium", decode_chromium, METH_VARARGS,
     "decode_chromium(kind, data)\n--\n\nOne Chromium value decoded natively, as tagged JSON text."},
    {"schema_capsule", schema_capsule, METH_NOARGS,
     "schema_capsule()\n--\n\nThe Arrow schema of a scan's batches, as a PyCapsule holding an ArrowSchema."},
    {"chromium_schema_capsule", chromium_schema_capsule, METH_NOARGS,
     "chromium_schema_capsule()\n--\n\nThe Arrow schema of decoded Chromium rows, as a PyCapsule holding an ArrowSchema."},
    {"inspect", inspect, METH_VARARGS,
     "inspect(path, threads, salvage=True, any_name=False, as_kind=0)\n--\n\nReads every file of the store and returns the read report as a dict."},
    {"data_file_name", data_file_name_of, METH_O,
     "data_file_name(name)\n--\n\nThe kind ('table' or 'log') and number of a data file's name (str or bytes), "
     "or None for a name the reader does not take as a data file."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "tarnwick._scan", "The scanner: stores read on worker threads into Arrow batches or text.",
    -1, functions, nullptr, nullptr, nullptr, nullptr,
};

bool add_type(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return false;
    Py_INCREF(type);
    if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) != 0) {
        Py_DECREF(type);
        return false;
    }
    return true;
}

PyObject* initialise() {
    Ref module(PyModule_Create2(&module_definition, 3));
    if (!module) return nullptr;
    if (!add_type(module.get(), "ArrowScan", arrow_scan_type()) ||
        !add_type(module.get(), "TextScan", text_scan_type()) ||
        !add_type(module.get(), "ScanRecord", scan_record_type()) ||
        !add_type(module.get(), "ChromiumScan", chromium_scan_type())) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

}  // namespace tarnwick::scan_py

extern "C" PyMODINIT_FUNC PyInit__scan() {
    return tarnwick::scan_py::guarded([] { return tarnwick::scan_py::initialise(); });
}
