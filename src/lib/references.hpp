// An owned reference to a Python object, released when it goes out of scope.
#pragma once

#include "lib/python.hpp"
#include "py_support/ref.hpp"

namespace tarnwick::py {

using py_support::Ref;

}  // namespace tarnwick::py
