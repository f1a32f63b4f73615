// ostik._engine: the native side of ostik's API beyond the four classes of
// ostik._native (the live guard and the other per-call engines). It shares the
// core with ostik._native and takes that module's Policy objects.
//
// Each type or function registers itself in one of the tables below; the
// module lists every name in __all__, in table order.
#include <Python.h>

#include "../common/ref.hpp"
#include "engine.hpp"

namespace ostik::py::engine {

PyTypeObject* policy_type = nullptr;
PyTypeObject* explainer_type = nullptr;

const Policy* policy_argument(PyObject* obj, const char* name) {
    if (!PyObject_TypeCheck(obj, policy_type)) {
        raise_cannot_convert(name, obj, "Policy");
        return nullptr;
    }
    return reinterpret_cast<PolicyObject*>(obj)->policy;
}

}  // namespace ostik::py::engine

namespace {

using ostik::py::OwnedRef;
namespace engine = ostik::py::engine;

struct TypeEntry {
    const char* name;
    PyObject* (*create)(PyObject*);
};

// Types, in the order they are created and listed.
constexpr TypeEntry type_entries[] = {
    {"Guard", engine::create_guard_type},
    {"Session", engine::create_session_type},
    {"Decision", engine::create_decision_type},
    {"RuleFailure", engine::create_rule_failure_type},
    {"Judgement", engine::create_judgement_type},
    {"CoverageAccumulator", engine::create_coverage_accumulator_type},
    {"AuditAccumulator", engine::create_audit_accumulator_type},
    {"DiffAccumulator", engine::create_diff_accumulator_type},
    {"UnreadableArguments", engine::create_unreadable_arguments_type},
};

// Module-level functions.
PyMethodDef engine_functions[] = {
    {"stream_explanation", engine::fastcall(engine::stream_explanation),
     METH_FASTCALL | METH_KEYWORDS,
     "stream_explanation($module, explainer, trace, out)\n--\n\n"
     "Write the report that explainer.explain(trace) returns, as UTF-8, to `out`:\n"
     "a path (created or truncated) or a binary file object with write(). The\n"
     "report is written in pieces, with memory that does not grow with it.\n"
     "Returns the number of bytes written. Errors of `out` raise OSError (a path)\n"
     "or what write() raised; what was written before stays, and is never a\n"
     "complete report."},
    {"policy_bytes", engine::fastcall(engine::policy_bytes),
     METH_FASTCALL | METH_KEYWORDS,
     "policy_bytes($module, policy)\n--\n\n"
     "The policy's records as compact, versioned bytes, for sending a policy to\n"
     "other processes or machines: CoverageAccumulator, AuditAccumulator and DiffAccumulator take\n"
     "them wherever they take a Policy. Equal records give equal bytes, which is\n"
     "what makes two policies the same for merging accumulators."},
    {nullptr, nullptr, 0, nullptr},
};

bool add_name(PyObject* all, const char* name) {
    OwnedRef text = OwnedRef::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all, text.get()) == 0;
}

PyModuleDef engine_module = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "The native engine behind ostik's guard and its other per-call tools.",
    -1,
    engine_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) {
    // Policy and TraceExplainer objects come from ostik._native; the module
    // keeps the types alive for as long as the interpreter runs, and so do
    // these references.
    OwnedRef native = OwnedRef::steal(PyImport_ImportModule("ostik._native"));
    if (!native) return nullptr;
    OwnedRef policy = OwnedRef::steal(PyObject_GetAttrString(native.get(), "Policy"));
    if (!policy) return nullptr;
    if (!PyType_Check(policy.get())) {
        PyErr_SetString(PyExc_ImportError, "ostik._native.Policy is not a type");
        return nullptr;
    }
    engine::policy_type = reinterpret_cast<PyTypeObject*>(policy.release());
    OwnedRef explainer = OwnedRef::steal(PyObject_GetAttrString(native.get(), "TraceExplainer"));
    if (!explainer) return nullptr;
    if (!PyType_Check(explainer.get())) {
        PyErr_SetString(PyExc_ImportError, "ostik._native.TraceExplainer is not a type");
        return nullptr;
    }
    engine::explainer_type = reinterpret_cast<PyTypeObject*>(explainer.release());

    OwnedRef module = OwnedRef::steal(PyModule_Create(&engine_module));
    if (!module) return nullptr;
    OwnedRef all = OwnedRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) return nullptr;
    for (const TypeEntry& entry : type_entries) {
        if (!entry.name) continue;
        OwnedRef type = OwnedRef::steal(entry.create(module.get()));
        if (!type || PyModule_AddObjectRef(module.get(), entry.name, type.get()) < 0) return nullptr;
        if (!add_name(all.get(), entry.name)) return nullptr;
    }
    for (const PyMethodDef* f = engine_functions; f->ml_name; ++f) {
        if (!add_name(all.get(), f->ml_name)) return nullptr;
    }
    return module.release();
}
