// The CoverageAccumulator class: coverage of a policy by traces added a few at
// a time, in any number of processes, merged into one report.
#include <Python.h>

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../common/args.hpp"
#include "../common/ref.hpp"
#include "../common/step_reader.hpp"
#include "../common/trace_sequence.hpp"
#include "../common/util.hpp"
#include "accumulator_object.hpp"
#include "engine.hpp"
#include "ostik/coverage_accumulator.hpp"
#include "policy_bases.hpp"
#include "trace_steps.hpp"

namespace ostik::py::engine {

namespace {

struct CoverageAccumulatorTraits {
    using Accumulator = ostik::CoverageAccumulator;
    using Basis = CoverageBasis;
    static constexpr const char* name = "CoverageAccumulator";
    static constexpr const char* merge_params[] = {"other"};
    static constexpr Signature merge_sig{"CoverageAccumulator.merge", merge_params, 1, 1};
    static constexpr const char* from_bytes_params[] = {"policy", "data"};
    static constexpr Signature from_bytes_sig{"CoverageAccumulator.from_bytes", from_bytes_params, 2, 2};
};
using CoverageAccumulatorObject = AccumulatorObject<CoverageAccumulatorTraits>;

ostik::CoverageAccumulator& acc_of(PyObject* self) { return CoverageAccumulatorObject::of(self); }

constexpr const char* new_params[] = {"policy"};
constexpr Signature new_sig{"CoverageAccumulator.__new__", new_params, 1, 1};

PyObject* make_accumulator(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* policy_obj;
    if (!parse_args(new_sig, args, kwargs, &policy_obj)) return nullptr;
    auto basis = basis_argument<CoverageBasis>(policy_obj, "policy");
    if (!basis) return nullptr;
    return CoverageAccumulatorObject::wrap(type, ostik::CoverageAccumulator(std::move(basis)));
}

PyObject* accumulator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return make_accumulator(type, args, kwargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

TraceSteps steps_for(const ostik::CoverageAccumulator& acc) {
    return TraceSteps("Invalid trace format: ", acc.basis()->counts_arguments(), acc.basis()->needs_times(),
                      acc.basis()->needs_results());
}

std::expected<void, std::string> add_read(ostik::CoverageAccumulator& acc, const TraceSteps& read) {
    return acc.add_traces(read.names(), read.traces(), read.arguments(), read.unjudged(), read.times(), read.ends(),
                          read.results());
}

constexpr const char* add_params[] = {"trace"};
constexpr Signature add_sig{"CoverageAccumulator.add", add_params, 1, 1};

PyObject* accumulator_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* trace;
    if (!parse_args(add_sig, args, nargs, kwnames, &trace)) return nullptr;
    try {
        auto steps = extract_sequence(trace, "trace");
        if (!steps) return nullptr;
        ostik::CoverageAccumulator& acc = acc_of(self);
        TraceSteps read = steps_for(acc);
        read.reserve(steps->size(), 1);
        if (!read.read(*steps)) return nullptr;
        if (!counted(add_read(acc, read), "CoverageAccumulator.add")) {
            return nullptr;
        }
        Py_RETURN_NONE;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

constexpr const char* add_many_params[] = {"traces"};
constexpr Signature add_many_sig{"CoverageAccumulator.add_many", add_many_params, 1, 1};

PyObject* accumulator_add_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* traces;
    if (!parse_args(add_many_sig, args, nargs, kwnames, &traces)) return nullptr;
    try {
        // The whole nesting is taken before any step is read, as analyze does.
        ostik::CoverageAccumulator& acc = acc_of(self);
        TraceSteps read = steps_for(acc);
        if (!read_traces(traces, nullptr, read, nullptr)) return nullptr;
        if (!counted(add_read(acc, read), "CoverageAccumulator.add_many")) return nullptr;
        Py_RETURN_NONE;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

constexpr const char* report_params[] = {"threshold"};
constexpr Signature report_sig{"CoverageAccumulator.report", report_params, 1, 1};

PyObject* accumulator_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* threshold_obj;
    if (!parse_args(report_sig, args, nargs, kwnames, &threshold_obj)) return nullptr;
    const double threshold = PyFloat_AsDouble(threshold_obj);
    if (threshold == -1.0 && PyErr_Occurred()) {
        prefix_argument_error("threshold");
        return nullptr;
    }
    try {
        std::string report;
        write_report(report, acc_of(self).report(threshold));
        return make_str(report).release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* accumulator_argument_coverage(PyObject* self, PyObject*) {
    const ostik::CoverageAccumulator& acc = acc_of(self);
    return with_guard(*acc.basis(), [&](const ostik::Guard& guard) {
        return argument_rule_list(guard, acc.argument_counts().data());
    });
}

PyObject* accumulator_entry_coverage(PyObject* self, PyObject*) {
    const ostik::CoverageAccumulator& acc = acc_of(self);
    return with_guard(*acc.basis(), [&](const ostik::Guard& guard) {
        return entry_list(guard, acc.entry_counts().empty() ? nullptr : acc.entry_counts().data());
    });
}

PyObject* accumulator_repr(PyObject* self) {
    const ostik::CoverageAccumulator& acc = acc_of(self);
    return PyUnicode_FromFormat("<CoverageAccumulator: %llu traces, %llu steps, %zu distinct tools>",
                                static_cast<unsigned long long>(acc.traces()),
                                static_cast<unsigned long long>(acc.steps()), acc.distinct_tools());
}

PyObject* get_traces(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(acc_of(self).traces()); }
PyObject* get_steps(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(acc_of(self).steps()); }

PyMethodDef accumulator_methods[] = {
    {"add", fastcall(accumulator_add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, trace)\n--\n\n"
     "Adds one trace (a sequence of step mappings), read as analyze reads each of\n"
     "its traces: the same TypeError for the argument, ValueError \"Invalid trace\n"
     "format: ...\" for a step that cannot be read. A failed call adds nothing."},
    {"add_many", fastcall(accumulator_add_many), METH_FASTCALL | METH_KEYWORDS,
     "add_many($self, traces)\n--\n\n"
     "Adds a sequence of traces, with analyze's checks and errors; all of them or,\n"
     "when one fails, none."},
    {"merge", fastcall(CoverageAccumulatorObject::merge), METH_FASTCALL | METH_KEYWORDS,
     "merge($self, other)\n--\n\n"
     "Adds the traces that another CoverageAccumulator holds. Both must be made\n"
     "with the same policy (equal policy records, compared by their bytes, see\n"
     "policy_bytes); otherwise ValueError."},
    {"report", fastcall(accumulator_report), METH_FASTCALL | METH_KEYWORDS,
     "report($self, threshold)\n--\n\n"
     "The coverage report (JSON text) that CoverageAnalyzer(policy).analyze gives\n"
     "for all the traces added, threshold taken as analyze takes it. Only the\n"
     "lists whose order is unspecified (unseen_tools, unexpected_tools,\n"
     "high_risk_gaps) may list their items in another order."},
    {"argument_coverage", accumulator_argument_coverage, METH_NOARGS,
     "argument_coverage($self)\n--\n\n"
     "The policy's argument rules with how often the calls added reached and\n"
     "violated each, as Guard(policy).argument_coverage gives them for all the\n"
     "traces. ValueError when Guard(policy) would refuse a constraint."},
    {"entry_coverage", accumulator_entry_coverage, METH_NOARGS,
     "entry_coverage($self)\n--\n\n"
     "The policy's ask and limit entries with how often the traces added reached\n"
     "each (the steps it met) and triggered it (asked about, or refused), as\n"
     "Guard(policy).entry_coverage gives them for all the traces. ValueError when\n"
     "Guard(policy) would refuse a constraint."},
    {"to_bytes", CoverageAccumulatorObject::to_bytes, METH_NOARGS,
     "to_bytes($self)\n--\n\n"
     "The state as compact bytes (the policy's fingerprint, the counts, the\n"
     "distinct tool names, the argument rules' counts), for from_bytes. Equal states give equal bytes."},
    {"from_bytes", fastcall(CoverageAccumulatorObject::from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_bytes($cls, policy, data)\n--\n\n"
     "The accumulator whose to_bytes() gave `data`, for `policy` (a Policy or\n"
     "policy_bytes). ValueError for bytes that are damaged, not an accumulator's,\n"
     "or made with another policy."},
    {"__reduce__", CoverageAccumulatorObject::reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef accumulator_getset[] = {
    {"traces", get_traces, nullptr, "The number of traces added.", nullptr},
    {"steps", get_steps, nullptr, "The number of steps of the traces added.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot accumulator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(accumulator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(CoverageAccumulatorObject::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(accumulator_repr)},
    {Py_tp_methods, accumulator_methods},
    {Py_tp_getset, accumulator_getset},
    {Py_tp_doc, const_cast<char*>(
                    "CoverageAccumulator(policy)\n--\n\n"
                    "Coverage of a policy (a Policy, or its policy_bytes) by traces added in\n"
                    "any grouping, in any number of processes, and merged: report() equals\n"
                    "CoverageAnalyzer(policy).analyze(all the traces, threshold). Its memory is\n"
                    "bounded by the distinct tool names seen. Picklable: the pickle carries\n"
                    "the policy's bytes with the state.")},
    {0, nullptr},
};

PyType_Spec accumulator_spec = {
    "ostik._engine.CoverageAccumulator",
    sizeof(CoverageAccumulatorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    accumulator_slots,
};

}  // namespace

PyObject* create_coverage_accumulator_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &accumulator_spec, nullptr);
    if (type) CoverageAccumulatorObject::type = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

}  // namespace ostik::py::engine
