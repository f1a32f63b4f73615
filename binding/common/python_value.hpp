// A Value as plain Python data: null as None, booleans, numbers as int or
// float, strings as str, arrays as lists and objects as dicts (in key order).
#pragma once

#include <Python.h>

#include "ostik/value.hpp"
#include "ref.hpp"

namespace ostik::py {

// A new object, or null with the Python exception set.
OwnedRef from_value(const ostik::Value& v);

}  // namespace ostik::py
