// Argument parsing and conversion for the module's callables that take
// arguments (the RawLevelDb constructor, iterate_records_raw and __exit__),
// with the error texts users see.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>

#include "lib/python.hpp"

namespace tarnwick::py {

struct Signature {
    const char* full_name;                     // "RawLevelDb.__exit__()"
    std::initializer_list<const char*> positional;  // may also be given by keyword
    std::size_t required;                      // how many of the positional ones
    std::initializer_list<const char*> keyword_only;  // all optional
};

// Matches args and kwargs against the signature. `out` has one slot per
// parameter (positional first, then keyword-only) and receives borrowed
// references, null for a parameter that got nothing. On failure a TypeError is
// set and false returned.
bool parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// `value` as UTF-8 text: it must be a str (or a subclass). A lone surrogate
// raises the interpreter's UnicodeEncodeError unchanged.
bool convert_str_argument(const char* parameter, PyObject* value, std::string& out);

// `value` as a truth value: it must be a bool, or numpy's boolean scalar
// (recognised by its type's name, without importing numpy).
bool convert_bool_argument(const char* parameter, PyObject* value, bool& out);

}  // namespace tarnwick::py
