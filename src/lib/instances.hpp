// The module's four classes as the interpreter sees them: heap types made
// once per process from PyType_Spec tables (PyType_FromSpec), and instances
// that hold one C++ value each.
#pragma once

#include <initializer_list>
#include <new>
#include <optional>
#include <utility>

#include "db/record.hpp"
#include "lib/python.hpp"
#include "py_support/instance.hpp"
#include "store/db.hpp"

namespace tarnwick::py {

using py_support::dealloc_instance;
using py_support::free_instance;
using py_support::Instance;
using py_support::new_instance;
using py_support::value_of;

// What a RawLevelDb object holds: its database while open, nothing once
// closed, and a borrow marker guarding against re-entry (readers count up, a
// writer sets -1).
struct DatabaseState {
    std::optional<Db> db;
    int borrows = 0;
};

// Type lookup: the first call creates the type object, later calls return
// it. Null with an exception set when creation fails. Borrowed references.
PyTypeObject* key_state_type();
PyTypeObject* file_type_type();
PyTypeObject* record_type();
PyTypeObject* raw_level_db_type();

// Builds a class: the type from its PyType_Spec, then its class attributes.
// Failures are raised as the RuntimeErrors the module reports for them.
struct ClassAttribute {
    const char* name;
    PyObject* (*make)(PyTypeObject* type);  // the type being created
};
PyTypeObject* create_class(PyType_Spec& spec, const char* class_name,
                           std::initializer_list<ClassAttribute> attributes = {});


// Py_tp_new of the classes that Python code cannot instantiate.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Instances that record getters hand out.
PyObject* new_key_state(KeyState state);
PyObject* new_file_type(FileKind kind);  // FileType value: kind + 1
PyObject* new_record(const RecordView& record);

}  // namespace tarnwick::py
