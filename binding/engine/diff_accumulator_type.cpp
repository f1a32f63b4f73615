// The DiffAccumulator class: what a change of policy changes on traces,
// counted over traces added in any grouping and any number of processes, and
// merged.
#include <Python.h>

#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../common/args.hpp"
#include "../common/ref.hpp"
#include "../common/trace_sequence.hpp"
#include "../common/util.hpp"
#include "accumulator_object.hpp"
#include "engine.hpp"
#include "ostik/diff_accumulator.hpp"
#include "ostik/diff_listing.hpp"
#include "policy_bases.hpp"
#include "trace_refs.hpp"
#include "trace_steps.hpp"

namespace ostik::py::engine {

namespace {

struct DiffAccumulatorTraits {
    using Accumulator = ostik::DiffAccumulator;
    static constexpr const char* name = "DiffAccumulator";
    static constexpr const char* merge_params[] = {"other"};
    static constexpr Signature merge_sig{"DiffAccumulator.merge", merge_params, 1, 1};
    static constexpr const char* add_params[] = {"trace", "ref"};
    static constexpr Signature add_sig{"DiffAccumulator.add", add_params, 2, 1};
    static constexpr const char* add_many_params[] = {"traces", "refs"};
    static constexpr Signature add_many_sig{"DiffAccumulator.add_many", add_many_params, 2, 1};
    static std::expected<void, std::string> add_read(ostik::DiffAccumulator& acc, const TraceSteps& read,
                                                     std::size_t trace, const TraceRef& ref) {
        return acc.add_trace(read.names(trace), read.arguments(trace), ref, read.unjudged(trace),
                             read.unjudged_reasons(trace), read.times(trace), read.results(trace));
    }
};
using DiffAccumulatorObject = AccumulatorObject<DiffAccumulatorTraits>;
using DiffAdding = ReferencedAdding<DiffAccumulatorTraits>;

ostik::DiffAccumulator& acc_of(PyObject* self) { return DiffAccumulatorObject::of(self); }

constexpr std::uint64_t default_keep = 100;

// The basis of two `policy` arguments. A process makes one per pair of
// policies for as long as an accumulator holds it, as it does one basis per
// policy (see policy_bases.hpp).
std::shared_ptr<const DiffBasis> diff_basis_argument(PyObject* old_obj, PyObject* new_obj) {
    using Key = std::pair<const AuditBasis*, const AuditBasis*>;
    static std::map<Key, std::weak_ptr<const DiffBasis>> live;
    auto before = basis_argument<AuditBasis>(old_obj, "old");
    if (!before) return nullptr;
    auto after = basis_argument<AuditBasis>(new_obj, "new");
    if (!after) return nullptr;
    // A live diff basis holds both bases, so their addresses name them.
    const Key key{before.get(), after.get()};
    if (auto it = live.find(key); it != live.end()) {
        if (auto basis = it->second.lock()) return basis;
    }
    auto basis = std::make_shared<const DiffBasis>(std::move(before), std::move(after));
    std::erase_if(live, [](const auto& entry) { return entry.second.expired(); });
    live.insert_or_assign(key, basis);
    return basis;
}

constexpr const char* new_params[] = {"old", "new", "keep"};
constexpr Signature new_sig{"DiffAccumulator.__new__", new_params, 3, 2};

PyObject* make_accumulator(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* argv[3] = {nullptr, nullptr, nullptr};
    if (!parse_args(new_sig, args, kwargs, argv)) return nullptr;
    auto basis = diff_basis_argument(argv[0], argv[1]);
    if (!basis) return nullptr;
    std::uint64_t keep = default_keep;
    if (argv[2]) {
        auto n = count_argument(argv[2], "keep", "keep");
        if (!n) return nullptr;
        keep = *n;
    }
    return DiffAccumulatorObject::wrap(type, ostik::DiffAccumulator(std::move(basis), keep));
}

PyObject* accumulator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return make_accumulator(type, args, kwargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// ---- bytes and pickling ----------------------------------------------------

constexpr const char* from_bytes_params[] = {"old", "new", "data"};
constexpr Signature from_bytes_sig{"DiffAccumulator.from_bytes", from_bytes_params, 3, 3};

PyObject* accumulator_from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[3];
    if (!parse_args(from_bytes_sig, args, nargs, kwnames, argv)) return nullptr;
    try {
        auto basis = diff_basis_argument(argv[0], argv[1]);
        if (!basis) return nullptr;
        auto data = bytes_argument(argv[2], "data");
        if (!data) return nullptr;
        auto acc = ostik::DiffAccumulator::from_bytes(std::move(basis), *data);
        if (!acc) {
            set_error(PyExc_ValueError, "invalid DiffAccumulator bytes: " + acc.error());
            return nullptr;
        }
        return DiffAccumulatorObject::wrap(reinterpret_cast<PyTypeObject*>(cls), std::move(*acc));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

OwnedRef bytes_object(std::string_view bytes) {
    return OwnedRef::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// Pickled as from_bytes(old policy bytes, new policy bytes, state bytes): the
// policies travel with the state, so an accumulator unpickles in any process.
PyObject* accumulator_reduce(PyObject* self, PyObject*) {
    try {
        const ostik::DiffAccumulator& acc = acc_of(self);
        OwnedRef restore = OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)),
                                                                  "from_bytes"));
        if (!restore) return nullptr;
        OwnedRef before = bytes_object(acc.basis()->before().key().encoding);
        if (!before) return nullptr;
        OwnedRef after = bytes_object(acc.basis()->after().key().encoding);
        if (!after) return nullptr;
        OwnedRef state = bytes_object(acc.to_bytes());
        if (!state) return nullptr;
        OwnedRef args = OwnedRef::steal(PyTuple_Pack(3, before.get(), after.get(), state.get()));
        if (!args) return nullptr;
        return PyTuple_Pack(2, restore.get(), args.get());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// ---- summary ---------------------------------------------------------------

bool set_item(PyObject* dict, const char* key, OwnedRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

OwnedRef count(std::uint64_t n) { return OwnedRef::steal(PyLong_FromUnsignedLongLong(n)); }

OwnedRef new_dict() { return OwnedRef::steal(PyDict_New()); }

// {rule id: {"newly_blocks", "no_longer_blocks", "newly_fails_at_end",
// "no_longer_fails_at_end", "newly_asks", "no_longer_asks"}} for the ids with
// a change, in the basis' order.
OwnedRef by_rule(const ostik::DiffAccumulator& acc) {
    const DiffBasis& basis = *acc.basis();
    const DiffRuleCounts& c = acc.by_rule();
    OwnedRef dict = new_dict();
    if (!dict) return dict;
    for (std::size_t i = 0; i < basis.id_count(); ++i) {
        if (!c.newly_blocks[i] && !c.no_longer_blocks[i] && !c.newly_fails_at_end[i] &&
            !c.no_longer_fails_at_end[i] && !c.newly_asks[i] && !c.no_longer_asks[i]) {
            continue;
        }
        OwnedRef entry = new_dict();
        OwnedRef key = make_str(basis.id(i));
        if (!entry || !key || !set_item(entry.get(), "newly_blocks", count(c.newly_blocks[i])) ||
            !set_item(entry.get(), "no_longer_blocks", count(c.no_longer_blocks[i])) ||
            !set_item(entry.get(), "newly_fails_at_end", count(c.newly_fails_at_end[i])) ||
            !set_item(entry.get(), "no_longer_fails_at_end", count(c.no_longer_fails_at_end[i])) ||
            !set_item(entry.get(), "newly_asks", count(c.newly_asks[i])) ||
            !set_item(entry.get(), "no_longer_asks", count(c.no_longer_asks[i])) ||
            PyDict_SetItem(dict.get(), key.get(), entry.get()) < 0) {
            return OwnedRef();
        }
    }
    return dict;
}

OwnedRef decision_object(const DiffBasis& basis, const DiffDecision& d) {
    if (!d.rule) return OwnedRef::borrow(Py_None);
    OwnedRef dict = new_dict();
    if (!dict || !set_item(dict.get(), "verdict", make_str(d.asked ? "ask" : "blocked")) ||
        !set_item(dict.get(), "rule_id", make_str(basis.id(*d.rule))) ||
        !set_item(dict.get(), "reason", make_str(d.reason))) {
        return OwnedRef();
    }
    return dict;
}

OwnedRef step_list(const std::vector<std::uint64_t>& steps) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(steps.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        OwnedRef n = count(steps[i]);
        if (!n) return OwnedRef();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), n.release());
    }
    return list;
}

OwnedRef change_list(const DiffBasis& basis, const std::vector<StepChange>& changes) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(changes.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const StepChange& c = changes[i];
        OwnedRef entry = new_dict();
        if (!entry || !set_item(entry.get(), "step", count(c.step)) ||
            !set_item(entry.get(), "tool", make_str(c.tool)) ||
            !set_item(entry.get(), "old", decision_object(basis, c.before)) ||
            !set_item(entry.get(), "new", decision_object(basis, c.after)) ||
            !set_item(entry.get(), "later_steps", step_list(c.later_steps))) {
            return OwnedRef();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list;
}

OwnedRef end_list(const DiffBasis& basis, const std::vector<EndFailure>& ends) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(ends.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < ends.size(); ++i) {
        OwnedRef entry = new_dict();
        if (!entry || !set_item(entry.get(), "rule_id", make_str(basis.id(ends[i].rule))) ||
            !set_item(entry.get(), "reason", make_str(ends[i].reason))) {
            return OwnedRef();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list;
}

OwnedRef changed_list(const ostik::DiffAccumulator& acc) {
    const DiffBasis& basis = *acc.basis();
    const auto changed = acc.changed();
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(changed.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < changed.size(); ++i) {
        const ChangedTrace& t = changed[i];
        OwnedRef entry = new_dict();
        if (!entry || !set_item(entry.get(), "ref", OwnedRef::steal(ref_object(t.ref))) ||
            !set_item(entry.get(), "old_passed", OwnedRef::borrow(t.passed_before ? Py_True : Py_False)) ||
            !set_item(entry.get(), "new_passed", OwnedRef::borrow(t.passed_after ? Py_True : Py_False)) ||
            !set_item(entry.get(), "steps", count(t.steps)) ||
            !set_item(entry.get(), "changes", change_list(basis, t.changes)) ||
            !set_item(entry.get(), "old_end_failures", end_list(basis, t.end_before)) ||
            !set_item(entry.get(), "new_end_failures", end_list(basis, t.end_after))) {
            return OwnedRef();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry.release());
    }
    return list;
}

PyObject* accumulator_summary(PyObject* self, PyObject*) {
    try {
        const ostik::DiffAccumulator& acc = acc_of(self);
        OwnedRef dict = new_dict();
        if (!dict || !set_item(dict.get(), "traces", count(acc.traces())) ||
            !set_item(dict.get(), "steps", count(acc.steps())) ||
            !set_item(dict.get(), "old_failed_traces", count(acc.failed_before())) ||
            !set_item(dict.get(), "new_failed_traces", count(acc.failed_after())) ||
            !set_item(dict.get(), "changed_traces", count(acc.changed_traces())) ||
            !set_item(dict.get(), "newly_failing", count(acc.newly_failing())) ||
            !set_item(dict.get(), "newly_passing", count(acc.newly_passing())) ||
            !set_item(dict.get(), "changed_steps", count(acc.changed_steps())) ||
            !set_item(dict.get(), "newly_blocked_steps", count(acc.newly_blocked_steps())) ||
            !set_item(dict.get(), "unblocked_steps", count(acc.unblocked_steps())) ||
            !set_item(dict.get(), "reblocked_steps", count(acc.reblocked_steps())) ||
            !set_item(dict.get(), "newly_asked_steps", count(acc.newly_asked_steps())) ||
            !set_item(dict.get(), "no_longer_asked_steps", count(acc.no_longer_asked_steps())) ||
            !set_item(dict.get(), "reasked_steps", count(acc.reasked_steps())) ||
            !set_item(dict.get(), "untimed_traces", count(acc.untimed_traces())) ||
            !set_item(dict.get(), "by_rule", by_rule(acc)) || !set_item(dict.get(), "changed", changed_list(acc)) ||
            !set_item(dict.get(), "keep", count(acc.keep()))) {
            return nullptr;
        }
        return dict.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// ---- listing ---------------------------------------------------------------

// What Python's str.isprintable takes as visible, so that the listing shows
// names exactly as the rest of the command line's output does.
bool shown_as_itself(char32_t c) { return Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(c)); }

constexpr const char* listing_params[] = {"file", "colour"};
constexpr Signature listing_sig{"DiffAccumulator.listing", listing_params, 2, 1};

PyObject* accumulator_listing(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[2] = {nullptr, nullptr};
    if (!parse_args(listing_sig, args, nargs, kwnames, argv)) return nullptr;
    if (!PyUnicode_Check(argv[0])) {
        raise_cannot_convert("file", argv[0], "str");
        return nullptr;
    }
    if (argv[1] && !PyBool_Check(argv[1])) {
        raise_cannot_convert("colour", argv[1], "bool");
        return nullptr;
    }
    try {
        // A file name that is not UTF-8 arrives with surrogates in it: kept,
        // to be shown as their escapes.
        OwnedRef file = OwnedRef::steal(PyUnicode_AsEncodedString(argv[0], "utf-8", "surrogatepass"));
        if (!file) return nullptr;
        const ostik::DiffAccumulator& acc = acc_of(self);
        const DiffListingStyle style{
            std::string_view(PyBytes_AS_STRING(file.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(file.get()))),
            argv[1] == Py_True, shown_as_itself};
        const auto changed = acc.changed();
        OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(changed.size())));
        if (!list) return nullptr;
        std::string text;
        for (std::size_t i = 0; i < changed.size(); ++i) {
            text.clear();
            append_changed_trace(text, *acc.basis(), changed[i], style);
            OwnedRef item = make_str(text);
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
        }
        return list.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* accumulator_repr(PyObject* self) {
    const ostik::DiffAccumulator& acc = acc_of(self);
    return PyUnicode_FromFormat("<DiffAccumulator: %llu traces, %llu changed, %llu newly failing, %llu steps changed>",
                                static_cast<unsigned long long>(acc.traces()),
                                static_cast<unsigned long long>(acc.changed_traces()),
                                static_cast<unsigned long long>(acc.newly_failing()),
                                static_cast<unsigned long long>(acc.changed_steps()));
}

PyMethodDef accumulator_methods[] = {
    {"add", fastcall(DiffAdding::add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, trace, ref=None)\n--\n\n"
     "Judges one trace (a sequence of step mappings, read as Guard.judge reads\n"
     "it: ValueError \"Invalid tool call format: ...\" for a step that cannot be\n"
     "read) under both policies, as Guard.judge of each does (ask and limits\n"
     "entries included; windowed limits by each step's \"ts\"), and counts what\n"
     "changes. `ref` names the trace in the changed list: an int, a\n"
     "str or a (str, int) tuple such as (file, line); None numbers it by its\n"
     "position among the traces counted."},
    {"add_many", fastcall(DiffAdding::add_many), METH_FASTCALL | METH_KEYWORDS,
     "add_many($self, traces, refs=None)\n--\n\n"
     "Judges and counts a sequence of traces, with a sequence of as many\n"
     "references or None; all of them or, when one fails, none."},
    {"merge", fastcall(DiffAccumulatorObject::merge), METH_FASTCALL | METH_KEYWORDS,
     "merge($self, other)\n--\n\n"
     "Adds what another DiffAccumulator holds: the counts add up, and the\n"
     "changed list keeps the smallest references of both, as many as the\n"
     "smaller `keep` of the two. Both must be made with the same two policies;\n"
     "otherwise ValueError."},
    {"summary", accumulator_summary, METH_NOARGS,
     "summary($self)\n--\n\n"
     "The counts as plain data: traces, steps, old_failed_traces,\n"
     "new_failed_traces, changed_traces, newly_failing, newly_passing,\n"
     "changed_steps (newly_blocked_steps + unblocked_steps + reblocked_steps +\n"
     "newly_asked_steps + no_longer_asked_steps + reasked_steps: the last three\n"
     "blocked under neither policy), untimed_traces (a windowed limit met a step\n"
     "without \"ts\"), by_rule ({rule id: {newly_blocks, no_longer_blocks,\n"
     "newly_fails_at_end, no_longer_fails_at_end, newly_asks, no_longer_asks}}),\n"
     "changed (the changed traces with the smallest references, each {\"ref\",\n"
     "\"old_passed\", \"new_passed\", \"steps\", \"changes\", \"old_end_failures\",\n"
     "\"new_end_failures\"}; a change's \"old\" and \"new\" are None for an allowed\n"
     "step, else {\"verdict\": \"blocked\" or \"ask\", \"rule_id\", \"reason\"}) and keep."},
    {"listing", fastcall(accumulator_listing), METH_FASTCALL | METH_KEYWORDS,
     "listing($self, file, colour=False)\n--\n\n"
     "The changed traces as `ostik diff` lists them, one str per entry of\n"
     "summary()[\"changed\"] and in its order: the lines of the trace without a\n"
     "final line break, every name and reason shown as printable() shows it.\n"
     "`file` names the file the traces were read from, for a trace whose\n"
     "reference is not a (file, line) pair; `colour` adds ANSI colours."},
    {"to_bytes", DiffAccumulatorObject::to_bytes, METH_NOARGS,
     "to_bytes($self)\n--\n\n"
     "The state as compact bytes (with both policies' fingerprints), for from_bytes."},
    {"from_bytes", fastcall(accumulator_from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_bytes($cls, old, new, data)\n--\n\n"
     "The accumulator whose to_bytes() gave `data`, for the policies `old` and\n"
     "`new` (each a Policy or policy_bytes). ValueError for bytes that are\n"
     "damaged, not an accumulator's, or made with other policies."},
    {"__reduce__", accumulator_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot accumulator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(accumulator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(DiffAccumulatorObject::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(accumulator_repr)},
    {Py_tp_methods, accumulator_methods},
    {Py_tp_doc, const_cast<char*>(
                    "DiffAccumulator(old, new, keep=100)\n--\n\n"
                    "What replacing the policy `old` by `new` (each a Policy, or its\n"
                    "policy_bytes) changes on traces, counted over traces added in any\n"
                    "grouping and any number of processes, and merged. A step changes when\n"
                    "its blocking rule does (or it becomes allowed or blocked); a trace when\n"
                    "a step or its failed end-of-trace checks change. The changed traces\n"
                    "with the `keep` smallest references are listed with their changed steps\n"
                    "and both decisions' reasons. Picklable: the pickle carries both\n"
                    "policies' bytes with the state.")},
    {0, nullptr},
};

PyType_Spec accumulator_spec = {
    "ostik._engine.DiffAccumulator",
    sizeof(DiffAccumulatorObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    accumulator_slots,
};

}  // namespace

PyObject* create_diff_accumulator_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &accumulator_spec, nullptr);
    if (type) DiffAccumulatorObject::type = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

}  // namespace ostik::py::engine
