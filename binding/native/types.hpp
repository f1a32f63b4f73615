// The four classes of the module: their instance layouts and type objects.
#pragma once

#include <Python.h>

#include "ostik/explain.hpp"
#include "ostik/policy.hpp"

namespace ostik::py {

struct PolicyObject {
    PyObject_HEAD
    ostik::Policy* policy;
};

struct ExplainerObject {
    PyObject_HEAD
    ostik::TraceExplainer* explainer;
};

// Set once at import; the module keeps the types alive.
extern PyTypeObject* policy_type;

// Each creates its type object (a new reference, or null with an error set).
PyObject* create_policy_type(PyObject* module);
PyObject* create_coverage_analyzer_type(PyObject* module);
PyObject* create_client_type(PyObject* module);
PyObject* create_explainer_type(PyObject* module);

// The policy record of a Policy instance, or null with the "argument 'NAME':
// ... cannot be converted to 'Policy'" TypeError set.
const ostik::Policy* policy_argument(PyObject* obj, const char* name);

}  // namespace ostik::py
