#include "lib/instances.hpp"

#include <string>
#include <vector>

#include "lib/panic.hpp"
#include "lib/references.hpp"

namespace tarnwick::py {

namespace {

// Raises RuntimeError(message) with the pending exception as its cause.
void raise_with_cause(const std::string& message) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref cause_type(type), cause(value), cause_traceback(traceback);
    if (cause && cause_traceback) PyException_SetTraceback(cause.get(), cause_traceback.get());
    Ref text(PyUnicode_FromString(message.c_str()));
    if (!text) return;
    Ref error(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, text.get(), nullptr));
    if (!error) return;
    if (cause) PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(PyExc_RuntimeError, error.get());
}

}  // namespace

PyTypeObject* create_class(PyType_Spec& spec, const char* class_name,
                           std::initializer_list<ClassAttribute> attributes) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (type == nullptr) {
        raise_with_cause(std::string("An error occurred while initializing class ") + class_name);
        return nullptr;
    }
    // Every member value first, in table order, then each is set on the type.
    std::vector<Ref> values;
    for (const ClassAttribute& attribute : attributes) {
        values.emplace_back(attribute.make(type));
        if (!values.back()) {
            raise_with_cause(std::string("An error occurred while initializing `") + class_name + "." +
                             attribute.name + "`");
            Py_DECREF(type);
            return nullptr;
        }
    }
    std::size_t i = 0;
    for (const ClassAttribute& attribute : attributes) {
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), attribute.name, values[i++].get()) != 0) {
            raise_with_cause(std::string("An error occurred while initializing `") + class_name + ".__dict__`");
            Py_DECREF(type);
            return nullptr;
        }
    }
    return type;
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        std::string name = "<unknown>";
        Ref attribute(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
        Py_ssize_t size = 0;
        const char* text = attribute && PyUnicode_Check(attribute.get())
                               ? PyUnicode_AsUTF8AndSize(attribute.get(), &size)
                               : nullptr;
        if (text != nullptr) {
            name.assign(text, static_cast<std::size_t>(size));
        } else {
            PyErr_Clear();
        }
        PyErr_SetString(PyExc_TypeError, ("No constructor defined for " + name).c_str());
        return nullptr;
    });
}

}  // namespace tarnwick::py
