// The module's entry point: creates the module once per process and publishes
// its four classes, in order, as attributes and in __all__.
#include "lib/instances.hpp"
#include "lib/panic.hpp"
#include "lib/references.hpp"

namespace tarnwick::py {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_tarnwick",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;

// Appends the name to __all__ (made on first use) and sets the attribute.
bool register_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) return false;
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all) return python_api_failed(), false;
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyList'",
                     "__all__ of _tarnwick");
        return false;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text) return python_api_failed(), false;
    if (PyList_Append(all.get(), text.get()) != 0) return false;
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* initialise() {
    if (g_module != nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "_tarnwick can only be initialised once per interpreter process");
        return nullptr;
    }
    Ref module(PyModule_Create2(&module_definition, 3));
    if (!module) return nullptr;
    if (!register_class(module.get(), "KeyState", key_state_type()) ||
        !register_class(module.get(), "FileType", file_type_type()) ||
        !register_class(module.get(), "Record", record_type()) ||
        !register_class(module.get(), "RawLevelDb", raw_level_db_type())) {
        return nullptr;
    }
    g_module = module.get();
    Py_INCREF(g_module);  // kept for the life of the process
    return module.release();
}

}  // namespace

}  // namespace tarnwick::py

extern "C" PyMODINIT_FUNC PyInit__tarnwick() {
    return tarnwick::py::guarded([] { return tarnwick::py::initialise(); });
}
