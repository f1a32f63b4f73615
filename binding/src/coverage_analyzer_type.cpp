// The CoverageAnalyzer class: measures how much of its policy a set of traces
// exercised and returns the coverage report as JSON text.
#include <Python.h>

#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "args.hpp"
#include "ostik/coverage.hpp"
#include "ref.hpp"
#include "step_reader.hpp"
#include "trace_sequence.hpp"
#include "types.hpp"
#include "util.hpp"

namespace ostik::py {

namespace {

// The analyzer derived from the policy, and the policy's own copy, which the
// tool check of every analyze call reads.
struct AnalyzerState {
    ostik::CoverageAnalyzer analyzer;
    ostik::Policy policy;
};

struct CoverageAnalyzerObject {
    PyObject_HEAD
    AnalyzerState* state;
};

constexpr const char* new_params[] = {"policy"};
constexpr Signature new_sig{"CoverageAnalyzer.__new__", new_params, 1, 1};

PyObject* make_analyzer(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* policy_obj;
    if (!parse_args(new_sig, args, kwargs, &policy_obj)) return nullptr;
    const Policy* policy = policy_argument(policy_obj, "policy");
    if (!policy) return nullptr;
    auto state = std::make_unique<AnalyzerState>(CoverageAnalyzer::from_policy(*policy), Policy(*policy));
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<CoverageAnalyzerObject*>(self)->state = state.release();
    return self;
}

PyObject* analyzer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return make_analyzer(type, args, kwargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

void analyzer_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    delete reinterpret_cast<CoverageAnalyzerObject*>(self)->state;
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Asks for a plain dict's entries ahead of their use (its object having been
// asked for earlier). A hint only.
inline void prefetch_entries(PyObject* obj) {
    if (PyDict_CheckExact(obj)) __builtin_prefetch(reinterpret_cast<PyDictObject*>(obj)->ma_keys);
}

constexpr const char* analyze_params[] = {"traces", "threshold"};
constexpr Signature analyze_sig{"CoverageAnalyzer.analyze", analyze_params, 2, 2};

// Every trace's step objects; the whole nesting is taken before the threshold.
std::optional<std::vector<std::vector<OwnedRef>>> collect_traces(PyObject* traces) {
    auto items = extract_sequence(traces, "traces");
    if (!items) return std::nullopt;
    std::vector<std::vector<OwnedRef>> collected;
    collected.reserve(items->size());
    for (const OwnedRef& trace : *items) {
        auto steps = extract_sequence(trace.get(), "traces");
        if (!steps) return std::nullopt;
        collected.push_back(std::move(*steps));
    }
    return collected;
}

PyObject* analyze(const AnalyzerState& state, PyObject* traces_obj, PyObject* threshold_obj) {
    auto traces = collect_traces(traces_obj);
    if (!traces) return nullptr;
    const double threshold = PyFloat_AsDouble(threshold_obj);
    if (threshold == -1.0 && PyErr_Occurred()) {
        prefix_argument_error("threshold");
        return nullptr;
    }

    // One summary joins every trace: the analyzer only ever joins them.
    const TraceSummarizer summarizer(state.policy, state.analyzer);
    TraceSummary all;
    std::size_t steps = 0;
    for (const std::vector<OwnedRef>& trace : *traces) steps += trace.size();
    all.tools.reserve(steps);
    for (std::vector<OwnedRef>& trace : *traces) {
        const std::size_t first = all.tools.size();
        for (std::size_t i = 0; i < trace.size(); ++i) {
            // Steps are objects all over the heap: the next ones are fetched
            // while this one is read.
            if (i + 4 < trace.size()) __builtin_prefetch(trace[i + 4].get());
            if (i + 2 < trace.size()) prefetch_entries(trace[i + 2].get());
            const OwnedRef& step = trace[i];
            // The arguments are checked too: a step whose arguments cannot be
            // converted fails the call, though coverage never looks at them.
            auto tool = read_step_tool(step.get());
            if (!tool) {
                set_error(PyExc_ValueError, "Invalid trace format: " + tool.error());
                return nullptr;
            }
            all.tools.push_back(std::move(*tool));
        }
        trace.clear();
        summarizer.summarize_into(all, first);
    }

    std::string report;
    write_report(report, state.analyzer.analyze(std::span<const TraceSummary>(&all, 1), threshold));
    return make_str(report).release();
}

PyObject* analyzer_analyze(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[2];
    if (!parse_args(analyze_sig, args, nargs, kwnames, argv)) return nullptr;
    try {
        return analyze(*reinterpret_cast<CoverageAnalyzerObject*>(self)->state, argv[0], argv[1]);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef analyzer_methods[] = {
    {"analyze", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(analyzer_analyze)),
     METH_FASTCALL | METH_KEYWORDS, "analyze($self, traces, threshold)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot analyzer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(analyzer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(analyzer_dealloc)},
    {Py_tp_methods, analyzer_methods},
    {Py_tp_doc, const_cast<char*>("CoverageAnalyzer(policy)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec analyzer_spec = {
    "ostik._native.CoverageAnalyzer",
    sizeof(CoverageAnalyzerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    analyzer_slots,
};

}  // namespace

PyObject* create_coverage_analyzer_type(PyObject* module) {
    OwnedRef type = OwnedRef::steal(PyType_FromModuleAndSpec(module, &analyzer_spec, nullptr));
    if (!type) return nullptr;
    if (!drop_class_doc(type.get())) return nullptr;
    return type.release();
}

}  // namespace ostik::py
