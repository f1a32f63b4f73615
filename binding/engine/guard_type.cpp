// The Guard class: a policy made ready for judging calls as they happen (its
// argument rules checked and compiled). It never changes after construction,
// so any number of sessions and threads share one.
#include <Python.h>

#include <cmath>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include "../common/args.hpp"
#include "../common/policy_source.hpp"
#include "../common/ref.hpp"
#include "../common/step_reader.hpp"
#include "../common/trace_sequence.hpp"
#include "../common/util.hpp"
#include "engine.hpp"
#include "policy_bases.hpp"
#include "ostik/guard.hpp"
#include "ostik/trace_judgement.hpp"
#include "ostik/trace_writer.hpp"

namespace ostik::py::engine {

namespace {

PyTypeObject* guard_type_object = nullptr;

struct GuardObject {
    PyObject_HEAD
    // Shared with every session made from it, which outlive it if they must.
    std::shared_ptr<const ostik::Guard> guard;
};

GuardObject* as_guard(PyObject* self) { return reinterpret_cast<GuardObject*>(self); }

constexpr const char* new_params[] = {"policy", "max_tracked_bytes"};
constexpr Signature new_sig{"Guard.__new__", new_params, 2, 1, 1};

// The most result text a session's value flows track (bytes of NFC text):
// a non-negative int the index can address; the default when not given.
std::optional<std::uint64_t> max_tracked_argument(PyObject* obj) {
    constexpr unsigned long long most = (1ull << 32) - 2;
    if (!obj) return std::uint64_t{64} << 20;
    if (!PyLong_Check(obj) || PyBool_Check(obj)) {
        raise_cannot_convert("max_tracked_bytes", obj, "int");
        return std::nullopt;
    }
    const unsigned long long n = PyLong_AsUnsignedLongLong(obj);
    if ((n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) || n > most) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError,
                        "argument 'max_tracked_bytes': max_tracked_bytes must be between 0 and 2**32-2");
        return std::nullopt;
    }
    return std::uint64_t{n};
}

PyObject* make_guard(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* argv[2] = {nullptr, nullptr};
    if (!parse_args(new_sig, args, kwargs, argv)) return nullptr;
    const Policy* policy = policy_argument(argv[0], "policy");
    if (!policy) return nullptr;
    const auto bound = max_tracked_argument(argv[1]);
    if (!bound) return nullptr;
    auto created = ostik::Guard::create(Policy(*policy));
    if (!created) {
        // The policy keeps no positions: ostik._inspect.argument_rule_error
        // gives the same text with the line of the constraint.
        set_error(PyExc_ValueError, created.error().text());
        return nullptr;
    }
    created->set_max_tracked_bytes(*bound);
    auto guard = std::make_shared<const ostik::Guard>(std::move(*created));
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_guard(self)->guard) std::shared_ptr<const ostik::Guard>(std::move(guard));
    return self;
}

PyObject* guard_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return make_guard(type, args, kwargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

void guard_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    as_guard(self)->guard.~shared_ptr();
    tp->tp_free(self);
    Py_DECREF(tp);
}

constexpr const char* session_params[] = {"trace_file", "keep", "mode", "approver", "clock"};
constexpr Signature session_sig{"Guard.session", session_params, 5, 0, 2};

// An approver or clock: a callable, or None for none.
bool callable_argument(PyObject* obj, const char* name) {
    if (!obj || obj == Py_None || PyCallable_Check(obj)) return true;
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a callable or None, not %.200s", name, Py_TYPE(obj)->tp_name);
    return false;
}

// The trace file's path: a str, or an os.PathLike giving one. Null with the
// exception set when it is neither; `path` then untouched.
bool trace_path(PyObject* trace_file, OwnedRef& path) {
    if (PyUnicode_Check(trace_file)) {
        path = OwnedRef::borrow(trace_file);
        return true;
    }
    if (PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(trace_file)), "__fspath__")) {
        OwnedRef fs = OwnedRef::steal(PyOS_FSPath(trace_file));
        if (!fs) return false;
        if (PyUnicode_Check(fs.get())) {
            path = std::move(fs);
            return true;
        }
    }
    raise_cannot_convert("trace_file", trace_file, "str");
    return false;
}

// The writer of the trace file at `path` (a str), or null with the error set.
std::optional<std::unique_ptr<ostik::TraceWriter>> open_writer(PyObject* path) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(path, &len);
    if (!text) return std::nullopt;
    auto opened = ostik::TraceWriter::open(std::string_view(text, static_cast<std::size_t>(len)));
    if (!opened) {
        set_error(PyExc_RuntimeError, "Failed to open trace file: " + opened.error());
        return std::nullopt;
    }
    return std::move(*opened);
}

std::optional<GuardMode> mode_argument(PyObject* mode) {
    if (!mode) return GuardMode::enforce;
    if (!PyUnicode_Check(mode)) {
        raise_cannot_convert("mode", mode, "str");
        return std::nullopt;
    }
    if (PyUnicode_CompareWithASCIIString(mode, "enforce") == 0) return GuardMode::enforce;
    if (PyUnicode_CompareWithASCIIString(mode, "observe") == 0) return GuardMode::observe;
    PyErr_Format(PyExc_ValueError, "argument 'mode': expected \"enforce\" or \"observe\", got %R", mode);
    return std::nullopt;
}

PyObject* open_session(GuardObject* self, PyObject* trace_file, PyObject* keep, PyObject* mode_obj, PyObject* approver,
                       PyObject* clock) {
    // Every argument is checked before the file is opened, so that a bad
    // call leaves no file behind.
    const bool has_file = trace_file && trace_file != Py_None;
    OwnedRef path;
    if (has_file && !trace_path(trace_file, path)) return nullptr;
    if (keep && !PyBool_Check(keep)) {
        raise_cannot_convert("keep", keep, "bool");
        return nullptr;
    }
    const auto mode = mode_argument(mode_obj);
    if (!mode) return nullptr;
    if (!callable_argument(approver, "approver") || !callable_argument(clock, "clock")) return nullptr;
    std::unique_ptr<ostik::TraceWriter> writer;
    if (has_file) {
        auto opened = open_writer(path.get());
        if (!opened) return nullptr;
        writer = std::move(*opened);
    }
    return new_session(self->guard, std::move(writer), keep == Py_True, *mode, clock, approver);
}

PyObject* guard_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[5];
    if (!parse_args(session_sig, args, nargs, kwnames, argv)) return nullptr;
    try {
        return open_session(as_guard(self), argv[0], argv[1], argv[2], argv[3], argv[4]);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

constexpr const char* resume_params[] = {"data", "trace_file", "approver", "clock"};
constexpr Signature resume_sig{"Guard.resume", resume_params, 4, 1, 2};

PyObject* resume_session(GuardObject* self, PyObject* data_obj, PyObject* trace_file, PyObject* approver,
                         PyObject* clock) {
    if (!callable_argument(approver, "approver") || !callable_argument(clock, "clock")) return nullptr;
    const bool has_file = trace_file && trace_file != Py_None;
    OwnedRef path;
    if (has_file && !trace_path(trace_file, path)) return nullptr;
    auto data = bytes_argument(data_obj, "data");
    if (!data) return nullptr;
    // The bytes are read before the file is opened: bad bytes leave no file.
    auto checked = ostik::GuardSession::from_bytes(self->guard, *data, nullptr);
    if (!checked) {
        set_error(PyExc_ValueError, "invalid Session bytes: " + checked.error());
        return nullptr;
    }
    if (!has_file) return wrap_session(std::move(*checked), clock, approver);
    auto opened = open_writer(path.get());
    if (!opened) return nullptr;
    auto session = ostik::GuardSession::from_bytes(self->guard, *data, std::move(*opened));
    if (!session) {
        set_error(PyExc_ValueError, "invalid Session bytes: " + session.error());
        return nullptr;
    }
    return wrap_session(std::move(*session), clock, approver);
}

PyObject* guard_resume(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[4];
    if (!parse_args(resume_sig, args, nargs, kwnames, argv)) return nullptr;
    try {
        return resume_session(as_guard(self), argv[0], argv[1], argv[2], argv[3]);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

constexpr const char* judge_params[] = {"trace"};
constexpr Signature judge_sig{"Guard.judge", judge_params, 1, 1};

// The steps are read in the engine's dialect (step_reader.hpp), and each is
// judged as soon as it is read: its arguments are converted (a step that
// cannot be read fails the call, its message after `invalid`; one whose
// arguments hold a number no Value holds is judged as unjudged), judged and
// dropped, since a judgement keeps none. False with the exception set.
// Gives the judgement a step's "result", as a session records it after the
// call ran: the steps after it see it.
bool add_step_result(PyObject* step, std::size_t i, ostik::TraceJudgement& judgement) {
    std::optional<ostik::Value> result;
    if (!read_step_result(step, result)) return false;
    if (result) judgement.add_result(i, *result);
    return true;
}

bool judge_steps(GuardObject* self, const std::vector<OwnedRef>& steps, const char* invalid,
                 ostik::TraceJudgement& judgement) {
    const bool windowed = self->guard->windowed_limits();
    const bool flows = self->guard->has_flows();
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (interrupted(i)) return false;
        auto read = read_engine_step(steps[i].get());
        if (!read) {
            set_error(PyExc_ValueError, invalid + read.error());
            return false;
        }
        std::optional<double> ts;
        if (windowed && !read_step_time(steps[i].get(), ts)) return false;
        if (read->unjudged) judgement.add_step(read->call.tool, *read->unjudged, ts);
        else judgement.add_step(read->call.tool, read->call.args, ts);
        if (flows && !add_step_result(steps[i].get(), i, judgement)) return false;
    }
    return true;
}

PyObject* judge_trace(GuardObject* self, PyObject* trace) {
    auto items = extract_sequence(trace, "trace");
    if (!items) return nullptr;
    ostik::TraceJudgement judgement(self->guard);
    if (!judge_steps(self, *items, "Invalid tool call format: ", judgement)) return nullptr;
    items->clear();
    judgement.finish();
    return new_judgement(std::move(judgement));
}

PyObject* guard_judge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* trace;
    if (!parse_args(judge_sig, args, nargs, kwnames, &trace)) return nullptr;
    try {
        return judge_trace(as_guard(self), trace);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

constexpr const char* coverage_params[] = {"traces"};
constexpr Signature coverage_sig{"Guard.argument_coverage", coverage_params, 1, 1};

// One dict of argument_rules(), with `counts` when given.
OwnedRef rule_dict(const ArgumentRuleInfo& rule, const ArgumentRuleCount* counts) {
    OwnedRef d = OwnedRef::steal(PyDict_New());
    if (!d) return d;
    auto set = [&](const char* key, OwnedRef value) {
        return value && PyDict_SetItemString(d.get(), key, value.get()) == 0;
    };
    if (!set("rule_id", make_str(rule.rule_id)) || !set("rule_type", make_str(rule.rule_type)) ||
        !set("tool", make_str(rule.tool)) || !set("arguments", make_str_list(rule.arguments)) ||
        !set("operators", make_str_list(rule.operators)))
        return {};
    if (counts && (!set("reached", OwnedRef::steal(PyLong_FromUnsignedLongLong(counts->reached))) ||
                   !set("violated", OwnedRef::steal(PyLong_FromUnsignedLongLong(counts->violated)))))
        return {};
    return d;
}

// Every step of every trace is read in the engine's dialect and counted by
// the guard's argument rules alone (a call left unjudged counts for none).
PyObject* count_arguments(GuardObject* self, PyObject* traces) {
    auto items = extract_sequence(traces, "traces");
    if (!items) return nullptr;
    ostik::ArgumentTally tally(*self->guard);
    for (const OwnedRef& trace : *items) {
        auto steps = extract_sequence(trace.get(), "traces");
        if (!steps) return nullptr;
        for (std::size_t i = 0; i < steps->size(); ++i) {
            if (interrupted(i)) return nullptr;
            auto read = read_engine_step((*steps)[i].get());
            if (!read) {
                set_error(PyExc_ValueError, "Invalid trace format: " + read.error());
                return nullptr;
            }
            if (!read->unjudged) tally.add(read->call);
        }
    }
    return argument_rule_list(*self->guard, tally.counts().data());
}

PyObject* guard_argument_coverage(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* traces;
    if (!parse_args(coverage_sig, args, nargs, kwnames, &traces)) return nullptr;
    try {
        return count_arguments(as_guard(self), traces);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

constexpr Signature entry_coverage_sig{"Guard.entry_coverage", coverage_params, 1, 1};

// Every trace judged as Guard.judge judges it, the entries' counts summed.
PyObject* count_entries(GuardObject* self, PyObject* traces) {
    auto items = extract_sequence(traces, "traces");
    if (!items) return nullptr;
    std::vector<ArgumentRuleCount> totals(self->guard->entries().size());
    for (const OwnedRef& trace : *items) {
        auto steps = extract_sequence(trace.get(), "traces");
        if (!steps) return nullptr;
        ostik::TraceJudgement judgement(self->guard);
        if (!judge_steps(self, *steps, "Invalid trace format: ", judgement)) return nullptr;
        const auto& counts = judgement.entry_counts();
        for (std::size_t k = 0; k < totals.size(); ++k) {
            totals[k].reached += counts[k].reached;
            totals[k].violated += counts[k].violated;
        }
    }
    return entry_list(*self->guard, totals.data());
}

PyObject* guard_entry_coverage(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* traces;
    if (!parse_args(entry_coverage_sig, args, nargs, kwnames, &traces)) return nullptr;
    return entry_point([&]() -> PyObject* { return count_entries(as_guard(self), traces); });
}

constexpr const char* entries_name_params[] = {"tool"};
constexpr Signature entries_name_sig{"Guard.entries_name", entries_name_params, 1, 1};

PyObject* guard_entries_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* tool;
    if (!parse_args(entries_name_sig, args, nargs, kwnames, &tool)) return nullptr;
    const auto text = str_argument(tool, "tool");
    if (!text) return nullptr;
    return PyBool_FromLong(as_guard(self)->guard->entries_name(*text));
}

PyObject* guard_argument_rules(PyObject* self, void*) {
    try {
        return argument_rule_list(*as_guard(self)->guard, nullptr);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* guard_has_flows(PyObject* self, void*) { return PyBool_FromLong(as_guard(self)->guard->has_flows()); }

PyObject* guard_on_error(PyObject* self, void*) {
    return PyUnicode_FromString(on_error_name(as_guard(self)->guard->policy().on_error));
}

constexpr const char* from_file_params[] = {"path", "max_tracked_bytes"};
constexpr Signature from_file_sig{"Guard.from_file", from_file_params, 2, 1, 1};

// The whole language: a located message for anything wrong, the argument
// constraints' included.
PyObject* guard_from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[2] = {nullptr, nullptr};
    if (!parse_args(from_file_sig, args, nargs, kwnames, argv)) return nullptr;
    PyObject* path_obj = argv[0];
    const auto bound = max_tracked_argument(argv[1]);
    if (!bound) return nullptr;
    return entry_point([&]() -> PyObject* {
        OwnedRef path;
        if (!trace_path(path_obj, path)) {
            PyErr_Clear();
            raise_cannot_convert("path", path_obj, "PyString");
            return nullptr;
        }
        std::vector<NodeMark> marks;
        auto loaded = load_policy_argument(path.get(), nullptr, &marks, Language::whole);
        if (!loaded) return nullptr;
        auto created = ostik::Guard::create(std::move(*loaded));
        if (!created) {
            set_error(PyExc_ValueError, created.error().located_text(marks));
            return nullptr;
        }
        created->set_max_tracked_bytes(*bound);
        auto guard = std::make_shared<const ostik::Guard>(std::move(*created));
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        new (&as_guard(self)->guard) std::shared_ptr<const ostik::Guard>(std::move(guard));
        return self;
    });
}

PyObject* guard_policy_getter(PyObject* self, void*) {
    return entry_point([&]() -> PyObject* {
        auto* record = new Policy(as_guard(self)->guard->policy());
        PyObject* obj = policy_type->tp_alloc(policy_type, 0);
        if (!obj) {
            delete record;
            return nullptr;
        }
        reinterpret_cast<PolicyObject*>(obj)->policy = record;
        return obj;
    });
}

PyObject* guard_rule_ids(PyObject* self, void*) {
    return entry_point([&]() -> PyObject* {
        return make_str_list(as_guard(self)->guard->sequence_rule_ids()).release();
    });
}

PyObject* guard_entries(PyObject* self, void*) {
    return entry_point([&]() -> PyObject* { return entry_list(*as_guard(self)->guard, nullptr); });
}

PyMethodDef guard_methods[] = {
    {"from_file", fastcall(guard_from_file), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file($cls, path, *, max_tracked_bytes=67108864)\n--\n\n"
     "The guard of the policy file at `path`, in the whole language: the seven\n"
     "keys Policy.from_file reads, and `ask`, `limits`, `labels`, `taint` and\n"
     "`flows`. FileNotFoundError when it cannot be read, ValueError (with the\n"
     "line and column) when it is not a valid policy. max_tracked_bytes: the\n"
     "most result text (bytes, in NFC) a session's value flows track; past it\n"
     "the session fails closed."},
    {"session", fastcall(guard_session),
     METH_FASTCALL | METH_KEYWORDS,
     "session($self, trace_file=None, keep=False, *, mode='enforce', approver=None, clock=None)\n--\n\n"
     "Starts one agent run. mode \"enforce\": a refused call never ran and\n"
     "counts for nothing; \"observe\": every checked call counts, blocked or\n"
     "not. With trace_file (a path) every checked call is appended to that file\n"
     "as one line; with keep=True the session keeps the calls it counts, so\n"
     "that explain() can report on them. approver: what the wrappers ask about a\n"
     "call whose verdict is \"ask\" (given the Decision, returning a bool or an\n"
     "awaitable of one). clock: the session's time in seconds (a callable; the\n"
     "steady clock by default), for limits over a window and trace lines' \"ts\"."},
    {"resume", fastcall(guard_resume),
     METH_FASTCALL | METH_KEYWORDS,
     "resume($self, data, trace_file=None, *, approver=None, clock=None)\n--\n\n"
     "The session whose to_bytes() gave `data`, continuing where it stopped\n"
     "(appending to trace_file when given). ValueError for bytes that are\n"
     "damaged, not a session's, or made with another policy."},
    {"judge", fastcall(guard_judge),
     METH_FASTCALL | METH_KEYWORDS,
     "judge($self, trace)\n--\n\n"
     "Judges a whole trace (a sequence of step mappings, read as\n"
     "TraceExplainer.explain reads them) as a fresh session would: every step\n"
     "checked in order, then finished. Writes nothing; returns the Judgement."},
    {"entry_coverage", fastcall(guard_entry_coverage),
     METH_FASTCALL | METH_KEYWORDS,
     "entry_coverage($self, traces)\n--\n\n"
     "How often each ask and limit entry was reached (a step of a tool it names)\n"
     "and triggered (it asked about the step, or refused it) in `traces`, each\n"
     "judged as judge() does: the dicts of `entries`, with `reached` and\n"
     "`triggered`."},
    {"argument_coverage", fastcall(guard_argument_coverage),
     METH_FASTCALL | METH_KEYWORDS,
     "argument_coverage($self, traces)\n--\n\n"
     "How often each argument rule was reached and violated by the calls of\n"
     "`traces` (a sequence of traces, read as CoverageAnalyzer.analyze reads\n"
     "them): the dicts of argument_rules, each with `reached` (the calls it\n"
     "judged: for a constraint, those holding its argument) and `violated`."},
    {"entries_name", fastcall(guard_entries_name),
     METH_FASTCALL | METH_KEYWORDS,
     "entries_name($self, tool)\n--\n\n"
     "Whether an ask, limit, label, taint or flow entry names `tool`: by name,\n"
     "through an alias or a label, or by a pattern other than a lone \"*\"\n"
     "(which stands for every tool and names none). The tools and sequences\n"
     "sections are not asked."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef guard_getset[] = {
    {"policy", guard_policy_getter, nullptr,
     "The guard's policy as a Policy (a new copy; its ask and limit entries, which\n"
     "only a guard judges, ride along).",
     nullptr},
    {"rule_ids", guard_rule_ids, nullptr,
     "The ids of the policy's sequence rules, in policy order (a new list).", nullptr},
    {"entries", guard_entries, nullptr,
     "The policy's ask and limit entries in policy order (asks first): a new list of\n"
     "dicts with `rule_id`, `rule_type` (\"ask\", \"limit\" or \"repeat\") and `tools`.",
     nullptr},
    {"argument_rules", guard_argument_rules, nullptr,
     "The policy's argument rules in the order they are judged: every\n"
     "require_args entry, then every constraint, by tool name (then argument\n"
     "name) in byte order. A new list of dicts with `rule_id`, `rule_type`\n"
     "(\"require_args\" or \"arg_constraint\"), `tool`, `arguments` and\n"
     "`operators` (a constraint's, in the order they are tried).",
     nullptr},
    {"has_flows", guard_has_flows, nullptr,
     "Whether the policy has flows: rules on what tools return, judged from the\n"
     "results recorded in a session (Session.record_result) or the steps'\n"
     "\"result\" keys of a recorded trace.",
     nullptr},
    {"on_error", guard_on_error, nullptr,
     "The policy's on_error setting: \"block\" or \"allow\", what the wrappers do\n"
     "with a call that cannot be judged.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot guard_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guard_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guard_dealloc)},
    {Py_tp_methods, guard_methods},
    {Py_tp_getset, guard_getset},
    {Py_tp_doc, const_cast<char*>("Guard(policy, *, max_tracked_bytes=67108864)\n--\n\n"
                                  "A policy's verdicts on tool calls as they happen. Built once from a\n"
                                  "Policy (its own copy); shared by any number of sessions and threads.\n"
                                  "ValueError when an argument constraint cannot be understood.\n"
                                  "max_tracked_bytes: the most result text a session's value flows track.")},
    {0, nullptr},
};

PyType_Spec guard_spec = {
    "ostik._engine.Guard",
    sizeof(GuardObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    guard_slots,
};

}  // namespace

bool read_step_result(PyObject* step, std::optional<ostik::Value>& out) {
    out.reset();
    if (!PyMapping_Check(step)) return true;  // the step reader has refused it already
    OwnedRef key = OwnedRef::steal(PyUnicode_FromString("result"));
    if (!key) return false;
    OwnedRef value;
    if (PyDict_CheckExact(step)) {
        PyObject* found = PyDict_GetItemWithError(step, key.get());
        if (!found) return !PyErr_Occurred();
        value = OwnedRef::borrow(found);
    } else {
        value = OwnedRef::steal(PyObject_GetItem(step, key.get()));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
            PyErr_Clear();
            return true;
        }
    }
    if (value.get() == Py_None) return true;
    out = result_value(value.get());
    return out.has_value();
}

PyObject* entry_list(const ostik::Guard& guard, const ArgumentRuleCount* counts) {
    const std::vector<ostik::Guard::EntryInfo> entries = guard.entries();
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        OwnedRef d = OwnedRef::steal(PyDict_New());
        if (!d) return nullptr;
        auto set = [&](const char* key, OwnedRef value) {
            return value && PyDict_SetItemString(d.get(), key, value.get()) == 0;
        };
        if (!set("rule_id", make_str(entries[i].rule_id)) || !set("rule_type", make_str(entries[i].rule_type)) ||
            !set("tools", make_str_list(entries[i].tools))) {
            return nullptr;
        }
        if (counts && (!set("reached", OwnedRef::steal(PyLong_FromUnsignedLongLong(counts[i].reached))) ||
                       !set("triggered", OwnedRef::steal(PyLong_FromUnsignedLongLong(counts[i].violated))))) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d.release());
    }
    return list.release();
}

PyObject* argument_rule_list(const ostik::Guard& guard, const ArgumentRuleCount* counts) {
    const std::vector<ArgumentRuleInfo> rules = guard.argument_rules();
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(rules.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        OwnedRef item = rule_dict(rules[i], counts ? &counts[i] : nullptr);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
}

const Policy* guard_policy(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, guard_type_object)) return nullptr;
    return &as_guard(obj)->guard->policy();
}

const char* on_error_name(ErrorPolicy p) { return p == ErrorPolicy::allow ? "allow" : "block"; }

PyObject* create_guard_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &guard_spec, nullptr);
    if (type) guard_type_object = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

}  // namespace ostik::py::engine
