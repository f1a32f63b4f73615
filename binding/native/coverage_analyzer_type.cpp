// The CoverageAnalyzer class: measures how much of its policy a set of traces
// exercised and returns the coverage report as JSON text.
#include <Python.h>

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "../common/args.hpp"
#include "../common/ref.hpp"
#include "../common/step_reader.hpp"
#include "../common/trace_sequence.hpp"
#include "../common/util.hpp"
#include "ostik/coverage.hpp"
#include "types.hpp"

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

// The tool-name objects met so far in a call, by identity: a trace built in
// Python names its tools with the same few str objects over and over. Each
// is held, so that no other object can take its address meanwhile. Up to a
// bound; past it every name counts as new (the analyzer drops repeats too).
class ToolObjects {
public:
    // True when `tool` (a str, or null for "unknown", borrowed) was not met
    // before; last() is then that object.
    bool first_time(PyObject* tool) {
        if (!tool) {
            last_ = nullptr;
            if (unknown_) return false;
            unknown_ = true;
            return true;
        }
        std::size_t at = (reinterpret_cast<std::uintptr_t>(tool) >> 4) * 0x9E3779B97F4A7C15ull >> (64 - bits);
        while (slots_[at]) {
            if (slots_[at] == tool) return false;
            at = (at + 1) & (size - 1);
        }
        last_ = tool;
        if (held_.size() < size / 2) {
            slots_[at] = tool;
            held_.push_back(OwnedRef::borrow(tool));
        } else {
            overflow_ = OwnedRef::borrow(tool);  // keeps last() alive until the next call
        }
        return true;
    }
    PyObject* last() const { return last_; }

private:
    static constexpr int bits = 12;
    static constexpr std::size_t size = std::size_t{1} << bits;
    std::vector<PyObject*> slots_ = std::vector<PyObject*>(size, nullptr);
    std::vector<OwnedRef> held_;
    OwnedRef overflow_;
    PyObject* last_ = nullptr;
    bool unknown_ = false;
};

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

    // One summary joins every trace: the analyzer only ever joins them, so a
    // tool that comes again adds nothing and need not be listed again.
    const TraceSummarizer summarizer(state.policy, state.analyzer);
    TraceSummary all;
    ToolObjects names;
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
            // Most steps are plain dicts, read without a reference taken;
            // the full reading decides the others and gives every failure.
            PyObject* tool = nullptr;
            OwnedRef read_tool;  // a mapping may make its values as they are asked for
            if (!read_plain_step_tool(step.get(), tool)) {
                auto read = read_step_tool(step.get());
                if (!read) {
                    set_error(PyExc_ValueError, "Invalid trace format: " + read.error());
                    return nullptr;
                }
                read_tool = std::move(*read);
                tool = read_tool.get();
            }
            // Only a name's first appearance counts: one that comes again in
            // the same str object is not added again.
            if (!names.first_time(tool)) continue;
            if (PyObject* name = names.last()) {
                Py_ssize_t n = 0;
                const char* text = PyUnicode_AsUTF8AndSize(name, &n);
                if (!text) {
                    // Read already; cannot fail, but would not go unreported.
                    set_error(PyExc_ValueError, "Invalid trace format: " + take_exception_text());
                    return nullptr;
                }
                all.tools.emplace_back(text, static_cast<std::size_t>(n));
            } else {
                all.tools.emplace_back("unknown");
            }
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
