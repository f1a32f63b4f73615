// Shared by the files of ostik._engine: the Policy type it borrows from
// ostik._native, and the creators of its types.
#pragma once

#include <Python.h>

#include "../src/args.hpp"
#include "../src/types.hpp"
#include "ostik/policy.hpp"

namespace ostik::py::engine {

// ostik._native.Policy, looked up when the module is imported.
extern PyTypeObject* policy_type;

// The policy record of a Policy instance, or null with the "argument 'NAME':
// ... cannot be converted to 'Policy'" TypeError set.
const Policy* policy_argument(PyObject* obj, const char* name);

}  // namespace ostik::py::engine
