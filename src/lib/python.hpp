// The interpreter's headers as this module includes them.
#pragma once

#include "py_support/python.hpp"
