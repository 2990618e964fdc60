// The pieces of the _scan module, shared between its files.
#pragma once

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "scan/read_report.hpp"
#include "scan/scanner.hpp"
#include "scan_module/python.hpp"

namespace tarnwick::scan_py {

// The options every scan takes, converted from the arguments of its class.
struct ScanArguments {
    std::string path;
    ScanOptions options;
};

// The values of the as_kind argument: the file's kind from its name or
// content, or forced to a table or a log.
inline constexpr unsigned char AS_NAMED = 0;
inline constexpr unsigned char AS_TABLE = 1;
inline constexpr unsigned char AS_LOG = 2;

// The arguments that every scan class takes first, as PyArg_ParseTuple leaves
// them: the path as bytes (PyUnicode_FSConverter), the filters as bit masks,
// then whether files of any name are read and a single file's forced kind.
struct ParsedScanArguments {
    PyObject* path = nullptr;
    int reverse = 0;
    unsigned threads = 1;
    const char* key_prefix = nullptr;
    Py_ssize_t key_prefix_size = 0;
    unsigned char states = 0;
    unsigned char file_types = 0;
    int salvage = 1;
    int any_name = 0;
    unsigned char as_kind = AS_NAMED;  // a single file's kind, forced
};

// The format of those arguments, for PyArg_ParseTuple.
#define TARNWICK_SCAN_ARGUMENTS_FORMAT "O&pIy#bbppb"

// Parses a scan class's positional arguments: the common ones into `parsed`,
// then those that `format` adds after TARNWICK_SCAN_ARGUMENTS_FORMAT into
// `extra`. Keyword arguments are refused. On success `path_owner` owns the
// path's bytes; on failure an exception is set.
template <class... Extra>
bool parse_scan_arguments(const char* class_name, PyObject* args, PyObject* kwargs, const char* format,
                          ParsedScanArguments& parsed, Ref& path_owner, Extra*... extra) {
    if (kwargs != nullptr && PyDict_Size(kwargs) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes positional arguments only", class_name);
        return false;
    }
    if (!PyArg_ParseTuple(args, format, PyUnicode_FSConverter, &parsed.path, &parsed.reverse, &parsed.threads,
                          &parsed.key_prefix, &parsed.key_prefix_size, &parsed.states, &parsed.file_types, &parsed.salvage,
                          &parsed.any_name, &parsed.as_kind,
                          extra...)) {
        return false;
    }
    path_owner = Ref(parsed.path);
    return true;
}

// A sequence of file names (str through the file system's encoding, or bytes)
// into `names`; None leaves it empty. False with an exception set otherwise.
bool file_names_argument(PyObject* sequence, std::vector<std::string>& names);

// The options common to every scan, from its parsed arguments. False with
// ValueError set for an unknown as_kind.
bool scan_arguments(const ParsedScanArguments& parsed, ScanArguments& arguments);

// Starts a scan, the interpreter lock released while the store is listed.
// Null with ValueError set when the path is not a directory or cannot be listed.
std::shared_ptr<Scanner> start_scan(ScanArguments& arguments, ChunkBuilderFactory builders);

// False, with RuntimeError set, in a process forked from the one that started
// the scan. `Source` is a Scanner, or anything that hands out chunks the way
// it does (the decoded rows of Chromium stores).
template <class Source>
bool in_starting_process(const Source& source) {
    if (source.in_starting_process()) return true;
    PyErr_SetString(PyExc_RuntimeError, Scanner::FORKED_MESSAGE);
    return false;
}

// One consumer at a time: a scan's records are handed out in order, so two
// threads taking from one scan would each get some of them. Taking while
// another thread takes raises ValueError ("already executing", as a generator
// does). The flag lives in the instance and is only touched under the
// interpreter lock.
class Consuming {
   public:
    explicit Consuming(bool& busy) noexcept : busy_(busy), entered_(!busy) {
        if (entered_) busy_ = true;
        else PyErr_SetString(PyExc_ValueError, "scan already executing: another thread is taking its records");
    }
    ~Consuming() {
        if (entered_) busy_ = false;
    }
    Consuming(const Consuming&) = delete;
    Consuming& operator=(const Consuming&) = delete;
    explicit operator bool() const noexcept { return entered_; }

   private:
    bool& busy_;
    bool entered_;
};

// The scan's next chunk, waiting for it without the interpreter lock. Null at
// the end; null with an exception set when the scan failed (MemoryError when
// memory ran out) or was started in another process.
template <class Source>
std::unique_ptr<Chunk> next_chunk(Source& source) {
    if (!in_starting_process(source)) return nullptr;
    std::unique_ptr<Chunk> chunk;
    without_interpreter_lock([&] { chunk = source.next(); });
    if (!chunk) {
        if (source.failed_for_memory()) {
            PyErr_NoMemory();
            return nullptr;
        }
        const std::string failure = source.failure();
        if (!failure.empty()) PyErr_SetString(PyExc_RuntimeError, failure.c_str());
    }
    return chunk;
}

// The report as a dict of plain values (see tarnwick.scan.ReadReport).
PyObject* report_dict(const ReadReport& report);

// The methods that both scan classes have, over their instance value `State`
// (which holds the scan as `std::shared_ptr<Scanner> scanner`).
template <class State>
PyObject* scan_report(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const Scanner& scanner = *value_of<State>(self).scanner;
        if (!in_starting_process(scanner)) return nullptr;
        return report_dict(scanner.report());
    });
}

template <class State>
PyObject* scan_cancel(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Scanner& scanner = *value_of<State>(self).scanner;
        if (!in_starting_process(scanner)) return nullptr;
        without_interpreter_lock([&] { scanner.cancel(); });
        Py_RETURN_NONE;
    });
}

template <class State>
constexpr PyMethodDef scan_report_method = {"report", scan_report<State>, METH_NOARGS,
                                            "report($self)\n--\n\nWhat has been read so far, as a dict."};
template <class State>
constexpr PyMethodDef scan_cancel_method = {"cancel", scan_cancel<State>, METH_NOARGS,
                                            "cancel($self)\n--\n\nStops the workers and closes every file."};

// Py_tp_dealloc of both scan classes. Dropping the last reference to the
// scanner joins its workers, which never need the interpreter: other Python
// threads run meanwhile.
// In a forked child the workers are not there to join: the scanner is left
// as it is, and its memory with it.
template <class State>
void scan_dealloc(PyObject* self) {
    std::shared_ptr<Scanner> scanner = std::move(value_of<State>(self).scanner);
    if (scanner && !scanner->in_starting_process()) {
        [[maybe_unused]] auto* kept = new (std::nothrow) std::shared_ptr<Scanner>(std::move(scanner));
    }
    quietly_without_interpreter_lock([&] { scanner.reset(); });
    dealloc_instance<State>(self);
}

// Text through the file system's encoding, as os.fsdecode does.
PyObject* fs_text(const std::string& text);

PyTypeObject* arrow_scan_type();
PyTypeObject* text_scan_type();
PyTypeObject* scan_record_type();
PyTypeObject* chromium_scan_type();

}  // namespace tarnwick::scan_py
