// RawLevelDb: one opened database directory, and the list of its records.

#include "lib/arguments.hpp"
#include "lib/instances.hpp"
#include "lib/panic.hpp"
#include "lib/references.hpp"

namespace tarnwick::py {

namespace {

DatabaseState& state_of(PyObject* self) { return value_of<DatabaseState>(self); }

// A borrow of the object's state for the length of one call. Every call runs
// to its end holding the interpreter lock, so a conflict can only come from
// re-entry: Python code that this call runs (a numpy bool's __bool__) calling
// back into the same object.
class Borrow {
   public:
    static std::optional<Borrow> reader(DatabaseState& state) {
        if (state.borrows < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return std::nullopt;
        }
        ++state.borrows;
        return Borrow(state, false);
    }
    static std::optional<Borrow> writer(DatabaseState& state) {
        if (state.borrows != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return std::nullopt;
        }
        state.borrows = -1;
        return Borrow(state, true);
    }
    Borrow(Borrow&& other) noexcept : state_(std::exchange(other.state_, nullptr)), writer_(other.writer_) {}
    Borrow(const Borrow&) = delete;
    ~Borrow() {
        if (state_ == nullptr) return;
        if (writer_) {
            state_->borrows = 0;
        } else {
            --state_->borrows;
        }
    }

   private:
    Borrow(DatabaseState& state, bool writer) : state_(&state), writer_(writer) {}
    DatabaseState* state_;
    bool writer_;
};

PyObject* closed_error() {
    PyErr_SetString(PyExc_RuntimeError, "Database is closed");
    return nullptr;
}

// Records become Python objects as the readers deliver them: their bytes are
// copied once, straight from the file's buffers into the objects, and no C++
// copy of them piles up beside the objects.
PyObject* record_list(const Db& db, bool reverse) {
    if (record_type() == nullptr) return nullptr;
    // The list grows as records come in rather than being made at its final
    // length: the count is not known before every file has been decoded, and
    // collecting the objects elsewhere first would cost another pointer per
    // record of fresh memory.
    Ref list(PyList_New(0));
    if (!list) return python_api_failed();
    enum class Failure { None, Record, List } failure = Failure::None;
    db.read_records(reverse, [&](const RecordView& record) {
        if (failure != Failure::None) return;
        Ref object(new_record(record));
        if (!object) {
            failure = Failure::Record;  // the interpreter's exception stands
        } else if (PyList_Append(list.get(), object.get()) != 0) {
            failure = Failure::List;
        }
    });
    if (failure == Failure::List) return python_api_failed();
    if (failure == Failure::Record) return nullptr;
    return list.release();
}

constexpr Signature NEW_SIGNATURE{"RawLevelDb.__new__()", {"in_dir"}, 1, {}};
constexpr Signature ITERATE_SIGNATURE{"RawLevelDb.iterate_records_raw()", {}, 0, {"reverse"}};
constexpr Signature EXIT_SIGNATURE{"RawLevelDb.__exit__()", {"_exc_type", "_exc_val", "_exc_tb"}, 3, {}};

PyObject* raw_level_db_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* in_dir_argument;
        if (!parse_arguments(NEW_SIGNATURE, args, kwargs, {&in_dir_argument, 1})) return nullptr;
        std::string in_dir;
        if (!convert_str_argument("in_dir", in_dir_argument, in_dir)) return nullptr;
        auto db = Db::open(in_dir);
        if (!db) {
            // The whole text, NUL bytes included: it ends with the path as given.
            const std::string message = db.error().message();
            Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
            if (!text) return python_api_failed();
            PyErr_SetObject(PyExc_ValueError, text.get());
            return nullptr;
        }
        return new_instance(type, DatabaseState{std::move(*db), 0});
    });
}

PyObject* iterate_records_raw(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* reverse_argument;
        if (!parse_arguments(ITERATE_SIGNATURE, args, kwargs, {&reverse_argument, 1})) return nullptr;
        DatabaseState& state = state_of(self);
        auto borrow = Borrow::reader(state);
        if (!borrow) return nullptr;
        bool reverse = false;
        if (reverse_argument != nullptr && !convert_bool_argument("reverse", reverse_argument, reverse)) {
            return nullptr;
        }
        if (!state.db) return closed_error();
        return record_list(*state.db, reverse);
    });
}

PyObject* get_in_dir_path(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        DatabaseState& state = state_of(self);
        auto borrow = Borrow::reader(state);
        if (!borrow) return nullptr;
        if (!state.db) return closed_error();
        const std::string& in_dir = state.db->in_dir();
        PyObject* text = PyUnicode_DecodeUTF8(in_dir.data(), static_cast<Py_ssize_t>(in_dir.size()), "replace");
        return text != nullptr ? text : python_api_failed();
    });
}

// Releases the database and every file handle and mapping it holds.
bool close_database(PyObject* self) {
    DatabaseState& state = state_of(self);
    auto borrow = Borrow::writer(state);
    if (!borrow) return false;
    state.db.reset();
    return true;
}

PyObject* close(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (!close_database(self)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* enter(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto borrow = Borrow::reader(state_of(self));
        if (!borrow) return nullptr;
        Py_INCREF(self);
        return self;
    });
}

PyObject* exit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* ignored[3];
        if (!parse_arguments(EXIT_SIGNATURE, args, kwargs, ignored)) return nullptr;
        if (!close_database(self)) return nullptr;
        Py_RETURN_FALSE;
    });
}

PyMethodDef raw_level_db_methods[] = {
    {"iterate_records_raw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iterate_records_raw)),
     METH_VARARGS | METH_KEYWORDS, "iterate_records_raw($self, *, reverse=False)\n--\n\n"},
    {"close", close, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit)), METH_VARARGS | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef raw_level_db_getset[] = {
    {"in_dir_path", get_in_dir_path, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot raw_level_db_slots[] = {
    {Py_tp_base, nullptr},
    {Py_tp_getset, raw_level_db_getset},
    {Py_tp_methods, raw_level_db_methods},
    {Py_tp_doc, const_cast<char*>("RawLevelDb(in_dir)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(raw_level_db_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<DatabaseState>)},
    {0, nullptr},
};

PyType_Spec raw_level_db_spec = {
    "builtins.RawLevelDb", static_cast<int>(sizeof(Instance<DatabaseState>)), 0, Py_TPFLAGS_DEFAULT,
    raw_level_db_slots,
};

PyTypeObject* g_raw_level_db = nullptr;

}  // namespace

PyTypeObject* raw_level_db_type() {
    if (g_raw_level_db == nullptr) {
        raw_level_db_slots[0].pfunc = &PyBaseObject_Type;
        g_raw_level_db = create_class(raw_level_db_spec, "RawLevelDb");
    }
    return g_raw_level_db;
}

}  // namespace tarnwick::py
