// Module initialisation: creates the classes in their fixed order and lists
// each in __all__.
#include <Python.h>

#include "../common/ref.hpp"
#include "types.hpp"

namespace {

using ostik::py::OwnedRef;

struct TypeEntry {
    const char* name;
    PyObject* (*create)(PyObject*);
};

constexpr TypeEntry type_entries[] = {
    {"Policy", ostik::py::create_policy_type},
    {"CoverageAnalyzer", ostik::py::create_coverage_analyzer_type},
    {"OstikClient", ostik::py::create_client_type},
    {"TraceExplainer", ostik::py::create_explainer_type},
};

bool add_type(PyObject* module, PyObject* all, const TypeEntry& entry) {
    OwnedRef type = OwnedRef::steal(entry.create(module));
    if (!type) return false;
    if (PyModule_AddObjectRef(module, entry.name, type.get()) < 0) return false;
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString(entry.name));
    return name && PyList_Append(all, name.get()) == 0;
}

PyModuleDef native_module = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native(void) {
    OwnedRef module = OwnedRef::steal(PyModule_Create(&native_module));
    if (!module) return nullptr;
    OwnedRef all = OwnedRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
    for (const TypeEntry& entry : type_entries) {
        if (!add_type(module.get(), all.get(), entry)) return nullptr;
    }
    return module.release();
}
