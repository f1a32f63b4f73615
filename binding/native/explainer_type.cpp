// The TraceExplainer class: explains one trace against its own copy of a
// policy and returns the report as JSON text.
#include <Python.h>

#include <memory>
#include <new>

#include "../common/args.hpp"
#include "../common/ref.hpp"
#include "../common/report_str.hpp"
#include "../common/step_reader.hpp"
#include "../common/trace_sequence.hpp"
#include "../common/util.hpp"
#include "ostik/explain.hpp"
#include "types.hpp"

namespace ostik::py {

namespace {

constexpr const char* new_params[] = {"policy"};
constexpr Signature new_sig{"TraceExplainer.__new__", new_params, 1, 1};

PyObject* make_explainer(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* policy_obj;
    if (!parse_args(new_sig, args, kwargs, &policy_obj)) return nullptr;
    const Policy* policy = policy_argument(policy_obj, "policy");
    if (!policy) return nullptr;
    auto explainer = std::make_unique<ostik::TraceExplainer>(Policy(*policy));
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<ExplainerObject*>(self)->explainer = explainer.release();
    return self;
}

PyObject* explainer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return make_explainer(type, args, kwargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

void explainer_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    delete reinterpret_cast<ExplainerObject*>(self)->explainer;
    tp->tp_free(self);
    Py_DECREF(tp);
}

constexpr const char* explain_params[] = {"traces"};
constexpr Signature explain_sig{"TraceExplainer.explain", explain_params, 1, 1};

PyObject* explain(const ostik::TraceExplainer& explainer, PyObject* traces) {
    auto items = extract_sequence(traces, "traces");
    if (!items) return nullptr;
    auto steps = read_steps(*items);
    if (!steps) {
        set_error(PyExc_ValueError, "Invalid tool call format: " + steps.error());
        return nullptr;
    }
    items->clear();
    // The report goes straight into the str piece by piece: beside the str
    // only one piece of its UTF-8 text is ever held.
    const ostik::ReportOutline outline = explainer.outline_json(*steps);
    ReportStr report(outline.top_byte);
    ReportBuffer buffer;
    explainer.write_json(*steps, outline, buffer.text(), report);
    return report.result().release();
}

PyObject* explainer_explain(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* traces;
    if (!parse_args(explain_sig, args, nargs, kwnames, &traces)) return nullptr;
    try {
        return explain(*reinterpret_cast<ExplainerObject*>(self)->explainer, traces);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef explainer_methods[] = {
    {"explain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(explainer_explain)),
     METH_FASTCALL | METH_KEYWORDS, "explain($self, traces)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot explainer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(explainer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(explainer_dealloc)},
    {Py_tp_methods, explainer_methods},
    {Py_tp_doc, const_cast<char*>("TraceExplainer(policy)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec explainer_spec = {
    "ostik._native.TraceExplainer",
    sizeof(ExplainerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    explainer_slots,
};

}  // namespace

PyObject* create_explainer_type(PyObject* module) {
    OwnedRef type = OwnedRef::steal(PyType_FromModuleAndSpec(module, &explainer_spec, nullptr));
    if (!type) return nullptr;
    if (!drop_class_doc(type.get())) return nullptr;
    return type.release();
}

}  // namespace ostik::py
