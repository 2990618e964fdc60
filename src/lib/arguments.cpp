#include "lib/arguments.hpp"

#include <string_view>
#include <vector>

#include "lib/references.hpp"

namespace tarnwick::py {

namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

void type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

// The __qualname__ of the value's type.
std::string type_name_of(PyObject* value) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
    Py_ssize_t size = 0;
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return std::string(text, static_cast<std::size_t>(size));
}

void cannot_convert(PyObject* value, const char* kind) {
    std::string message = "'";
    message += type_name_of(value);
    message += "' object cannot be converted to '";
    message += kind;
    message += "'";
    type_error(message);
}

// A failed conversion of one argument: a TypeError is reraised as
// "argument '<name>': <text>", keeping its cause; anything else stays as it is.
void name_argument_in_error(const char* parameter) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref old_type(type), old_value(value), old_traceback(traceback);
    Ref text(old_value ? PyObject_Str(old_value.get()) : nullptr);
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    if (!message) return;
    Ref error(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!error) return;
    if (old_value) {
        if (PyObject* cause = PyException_GetCause(old_value.get())) PyException_SetCause(error.get(), cause);
    }
    PyErr_SetObject(PyExc_TypeError, error.get());
}

bool attribute_equals(PyObject* object, const char* attribute, std::string_view expected) {
    Ref value(PyObject_GetAttrString(object, attribute));
    if (!value) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(value.get()) ? PyUnicode_AsUTF8AndSize(value.get(), &size) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::string_view(text, static_cast<std::size_t>(size)) == expected;
}

// numpy's boolean scalar is numpy.bool_ (numpy 1) or numpy.bool (numpy 2).
bool is_numpy_bool(PyObject* value) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    return attribute_equals(type, "__module__", "numpy") &&
           (attribute_equals(type, "__name__", "bool_") || attribute_equals(type, "__name__", "bool"));
}

}  // namespace

bool parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    const std::vector<const char*> positional(signature.positional);
    const std::vector<const char*> keyword_only(signature.keyword_only);
    for (PyObject*& slot : out) slot = nullptr;

    const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
    if (given < 0) return false;
    if (static_cast<std::size_t>(given) > positional.size()) {
        const std::size_t n = static_cast<std::size_t>(given);
        std::string message = std::string(signature.full_name) + " takes ";
        if (signature.required < positional.size()) {
            message += "from " + std::to_string(signature.required) + " to ";
        }
        message += std::to_string(positional.size()) + " positional arguments but " + std::to_string(n) +
                   (n == 1 ? " was" : " were") + " given";
        type_error(message);
        return false;
    }
    for (Py_ssize_t i = 0; i < given; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);

    if (kwargs != nullptr) {
        PyObject *key, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            std::size_t slot = out.size();
            for (std::size_t i = 0; i < positional.size() + keyword_only.size(); ++i) {
                const char* name = i < positional.size() ? positional[i] : keyword_only[i - positional.size()];
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) {
                    slot = i;
                    break;
                }
            }
            if (slot == out.size()) {
                Ref message(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                 signature.full_name, key));
                if (message) PyErr_SetObject(PyExc_TypeError, message.get());
                return false;
            }
            if (out[slot] != nullptr) {
                type_error(std::string(signature.full_name) + " got multiple values for argument '" +
                           (slot < positional.size() ? positional[slot] : keyword_only[slot - positional.size()]) +
                           "'");
                return false;
            }
            out[slot] = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (out[i] == nullptr) missing.push_back(positional[i]);
    }
    if (!missing.empty()) {
        type_error(std::string(signature.full_name) + " missing " + std::to_string(missing.size()) +
                   " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                   quoted_list(missing));
        return false;
    }
    return true;
}

bool convert_str_argument(const char* parameter, PyObject* value, std::string& out) {
    if (!PyUnicode_Check(value)) {
        cannot_convert(value, "PyString");
        name_argument_in_error(parameter);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) {
        name_argument_in_error(parameter);
        return false;
    }
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

bool convert_bool_argument(const char* parameter, PyObject* value, bool& out) {
    if (PyBool_Check(value)) {
        out = value == Py_True;
        return true;
    }
    if (is_numpy_bool(value)) {
        const int truth = PyObject_IsTrue(value);
        if (truth >= 0) {
            out = truth == 1;
            return true;
        }
    } else {
        cannot_convert(value, "PyBool");
    }
    name_argument_in_error(parameter);
    return false;
}

}  // namespace tarnwick::py
