// The AuditAccumulator class: which traces break a policy, counted over
// traces added in any grouping and any number of processes, and merged.
#include <Python.h>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../common/args.hpp"
#include "../common/ref.hpp"
#include "../common/step_reader.hpp"
#include "../common/trace_sequence.hpp"
#include "../common/util.hpp"
#include "accumulator_object.hpp"
#include "engine.hpp"
#include "ostik/audit_accumulator.hpp"
#include "policy_bases.hpp"
#include "trace_refs.hpp"
#include "trace_steps.hpp"

namespace ostik::py::engine {

namespace {

struct AuditAccumulatorTraits {
    using Accumulator = ostik::AuditAccumulator;
    using Basis = AuditBasis;
    static constexpr const char* name = "AuditAccumulator";
    static constexpr const char* merge_params[] = {"other"};
    static constexpr Signature merge_sig{"AuditAccumulator.merge", merge_params, 1, 1};
    static constexpr const char* from_bytes_params[] = {"policy", "data"};
    static constexpr Signature from_bytes_sig{"AuditAccumulator.from_bytes", from_bytes_params, 2, 2};
    static constexpr const char* add_params[] = {"trace", "ref"};
    static constexpr Signature add_sig{"AuditAccumulator.add", add_params, 2, 1};
    static constexpr const char* add_many_params[] = {"traces", "refs"};
    static constexpr Signature add_many_sig{"AuditAccumulator.add_many", add_many_params, 2, 1};
    static std::expected<void, std::string> add_read(ostik::AuditAccumulator& acc, const TraceSteps& read,
                                                     std::size_t trace, const TraceRef& ref) {
        return acc.add_trace(read.names(trace), read.arguments(trace), ref, read.unjudged(trace), read.times(trace),
                             read.results(trace));
    }
};
using AuditAccumulatorObject = AccumulatorObject<AuditAccumulatorTraits>;
using AuditAdding = ReferencedAdding<AuditAccumulatorTraits>;

ostik::AuditAccumulator& acc_of(PyObject* self) { return AuditAccumulatorObject::of(self); }

constexpr std::uint64_t default_keep = 100;

constexpr const char* new_params[] = {"policy", "keep"};
constexpr Signature new_sig{"AuditAccumulator.__new__", new_params, 2, 1};

PyObject* make_accumulator(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* argv[2] = {nullptr, nullptr};
    if (!parse_args(new_sig, args, kwargs, argv)) return nullptr;
    auto basis = basis_argument<AuditBasis>(argv[0], "policy");
    if (!basis) return nullptr;
    std::uint64_t keep = default_keep;
    if (argv[1]) {
        auto n = count_argument(argv[1], "keep", "keep");
        if (!n) return nullptr;
        keep = *n;
    }
    return AuditAccumulatorObject::wrap(type, ostik::AuditAccumulator(std::move(basis), keep));
}

PyObject* accumulator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return make_accumulator(type, args, kwargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// ---- summary ---------------------------------------------------------------

bool set_item(PyObject* dict, const char* key, OwnedRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

OwnedRef count(std::uint64_t n) { return OwnedRef::steal(PyLong_FromUnsignedLongLong(n)); }

// {rule id: count} for the nonzero counts, the largest first (ties by id).
OwnedRef counts_by_id(const AuditBasis& basis, std::span<const std::uint64_t> counts) {
    std::vector<std::pair<std::uint64_t, std::string_view>> nonzero;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i]) nonzero.emplace_back(counts[i], basis.id(i));
    }
    std::sort(nonzero.begin(), nonzero.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return dict;
    for (const auto& [n, id] : nonzero) {
        OwnedRef key = make_str(id);
        OwnedRef value = count(n);
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return OwnedRef();
    }
    return dict;
}

OwnedRef failing_list(const ostik::AuditAccumulator& acc) {
    const auto failing = acc.failing();
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(failing.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < failing.size(); ++i) {
        const FailingTrace& f = failing[i];
        OwnedRef entry = OwnedRef::steal(PyDict_New());
        if (!entry || !set_item(entry.get(), "ref", OwnedRef::steal(ref_object(f.ref))) ||
            !set_item(entry.get(), "first_block",
                      f.first_block ? count(*f.first_block) : OwnedRef::borrow(Py_None)) ||
            !set_item(entry.get(), "rule_id", make_str(acc.basis()->id(f.rule)))) {
            return OwnedRef();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list;
}

PyObject* accumulator_summary(PyObject* self, PyObject*) {
    try {
        const ostik::AuditAccumulator& acc = acc_of(self);
        OwnedRef dict = OwnedRef::steal(PyDict_New());
        if (!dict || !set_item(dict.get(), "traces", count(acc.traces())) ||
            !set_item(dict.get(), "failed_traces", count(acc.failed_traces())) ||
            !set_item(dict.get(), "steps", count(acc.steps())) ||
            !set_item(dict.get(), "blocked_steps", count(acc.blocked_steps())) ||
            !set_item(dict.get(), "asked_steps", count(acc.asked_steps())) ||
            !set_item(dict.get(), "untimed_traces", count(acc.untimed_traces())) ||
            !set_item(dict.get(), "blocked_by", counts_by_id(*acc.basis(), acc.blocked_by())) ||
            !set_item(dict.get(), "end_failures", counts_by_id(*acc.basis(), acc.end_failures())) ||
            !set_item(dict.get(), "failing", failing_list(acc)) || !set_item(dict.get(), "keep", count(acc.keep()))) {
            return nullptr;
        }
        return dict.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* accumulator_repr(PyObject* self) {
    const ostik::AuditAccumulator& acc = acc_of(self);
    return PyUnicode_FromFormat("<AuditAccumulator: %llu traces, %llu failed, %llu steps, %llu blocked>",
                                static_cast<unsigned long long>(acc.traces()),
                                static_cast<unsigned long long>(acc.failed_traces()),
                                static_cast<unsigned long long>(acc.steps()),
                                static_cast<unsigned long long>(acc.blocked_steps()));
}

PyMethodDef accumulator_methods[] = {
    {"add", fastcall(AuditAdding::add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, trace, ref=None)\n--\n\n"
     "Judges one trace (a sequence of step mappings, read as TraceExplainer.explain\n"
     "reads it: ValueError \"Invalid tool call format: ...\" for a step that cannot\n"
     "be read) as Guard.judge does, ask and limits entries included (windowed\n"
     "limits by each step's \"ts\"), and counts it. `ref` names the\n"
     "trace in the failing list: an int, a str or a (str, int) tuple such as\n"
     "(file, line); None numbers it by its position among the traces counted."},
    {"add_many", fastcall(AuditAdding::add_many), METH_FASTCALL | METH_KEYWORDS,
     "add_many($self, traces, refs=None)\n--\n\n"
     "Judges and counts a sequence of traces, with a sequence of as many\n"
     "references or None; all of them or, when one fails, none."},
    {"merge", fastcall(AuditAccumulatorObject::merge), METH_FASTCALL | METH_KEYWORDS,
     "merge($self, other)\n--\n\n"
     "Adds what another AuditAccumulator holds: the counts add up, and the\n"
     "failing list keeps the smallest references of both, as many as the\n"
     "smaller `keep` of the two. Both must be made with the same policy (equal\n"
     "policy records); otherwise ValueError."},
    {"summary", accumulator_summary, METH_NOARGS,
     "summary($self)\n--\n\n"
     "The counts as plain data: traces, failed_traces, steps, blocked_steps,\n"
     "asked_steps (steps an ask entry applied to: they ran, and fail nothing),\n"
     "untimed_traces (traces where a windowed limit met a step without \"ts\"),\n"
     "blocked_by ({rule id: blocked steps}), end_failures ({rule id: traces whose\n"
     "end-of-trace check failed}), both largest first, failing (the failing\n"
     "traces with the smallest references, each {\"ref\", \"first_block\",\n"
     "\"rule_id\"}) and keep."},
    {"to_bytes", AuditAccumulatorObject::to_bytes, METH_NOARGS,
     "to_bytes($self)\n--\n\n"
     "The state as compact bytes (with the policy's fingerprint), for from_bytes."},
    {"from_bytes", fastcall(AuditAccumulatorObject::from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_bytes($cls, policy, data)\n--\n\n"
     "The accumulator whose to_bytes() gave `data`, for `policy` (a Policy or\n"
     "policy_bytes). ValueError for bytes that are damaged, not an accumulator's,\n"
     "or made with another policy."},
    {"__reduce__", AuditAccumulatorObject::reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot accumulator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(accumulator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(AuditAccumulatorObject::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(accumulator_repr)},
    {Py_tp_methods, accumulator_methods},
    {Py_tp_doc, const_cast<char*>(
                    "AuditAccumulator(policy, keep=100)\n--\n\n"
                    "Which traces break a policy (a Policy, a Guard, or its policy_bytes), counted over\n"
                    "traces added in any grouping and any number of processes, and merged.\n"
                    "A trace fails when a step is blocked or an end-of-trace check fails (an\n"
                    "empty trace fails the policy's require rules); the failing traces with\n"
                    "the `keep` smallest references are listed. Picklable: the pickle carries\n"
                    "the policy's bytes with the state.")},
    {0, nullptr},
};

PyType_Spec accumulator_spec = {
    "ostik._engine.AuditAccumulator",
    sizeof(AuditAccumulatorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    accumulator_slots,
};

}  // namespace

PyObject* create_audit_accumulator_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &accumulator_spec, nullptr);
    if (type) AuditAccumulatorObject::type = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

}  // namespace ostik::py::engine
