// Shared by the files of ostik._engine: the types it borrows from
// ostik._native, and the creators of its types and functions.
#pragma once

#include <Python.h>

#include "../src/args.hpp"
#include "../src/types.hpp"
#include "ostik/policy.hpp"

namespace ostik::py::engine {

// ostik._native.Policy and ostik._native.TraceExplainer, looked up when the
// module is imported.
extern PyTypeObject* policy_type;
extern PyTypeObject* explainer_type;

// The policy record of a Policy instance, or null with the "argument 'NAME':
// ... cannot be converted to 'Policy'" TypeError set.
const Policy* policy_argument(PyObject* obj, const char* name);

// The module-level functions (METH_FASTCALL | METH_KEYWORDS).
PyObject* stream_explanation(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace ostik::py::engine
