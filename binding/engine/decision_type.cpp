// The Decision class: the judgement of one call. A session's decision holds
// the session's compact decision (and the Session, which keeps its guard); a
// decision read from a Judgement holds the judgement and its step. Both
// answer verdict, tool and blocking rule from there, and make the record (its
// texts) only when a field needs them, so that a call that passes costs one
// small object and listing the decisions of a long trace one per step. A
// restored decision holds its record.
#include <Python.h>

#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "../common/args.hpp"
#include "../common/ref.hpp"
#include "../common/util.hpp"
#include "engine.hpp"
#include "ostik/guard.hpp"

namespace ostik::py::engine {

namespace {

PyTypeObject* decision_type = nullptr;

// The two verdict names, made once.
PyObject* allowed_text = nullptr;
PyObject* blocked_text = nullptr;
PyObject* ask_text = nullptr;

struct DecisionObject {
    PyObject_HEAD
    // The record; for a judged step made on first need (the object is
    // immutable from Python all the same).
    std::optional<ostik::GuardDecision> decision;
    // A session's decision, and the Session that keeps its guard.
    std::optional<ostik::SessionDecision> made;
    PyObject* owner;
    // Where a judged step's record comes from.
    std::shared_ptr<const ostik::TraceJudgement> judgement;
    std::uint64_t step;
};

DecisionObject* as_decision(PyObject* self) { return reinterpret_cast<DecisionObject*>(self); }

// The whole record. May throw std::bad_alloc.
const ostik::GuardDecision& decision_of(PyObject* self) {
    DecisionObject* d = as_decision(self);
    if (!d->decision) d->decision = d->made ? d->made->record() : d->judgement->decision(d->step);
    return *d->decision;
}

// Freed Decision objects kept for the next ones: a session makes one per
// checked call, most of them dropped at once. The type has no subclasses, so
// every one has the same size. Touched with the GIL held only.
constexpr int kept_spares = 32;
PyObject* spares[kept_spares];
int spare_count = 0;

void decision_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    as_decision(self)->decision.~optional();
    as_decision(self)->made.~optional();
    Py_XDECREF(as_decision(self)->owner);
    as_decision(self)->judgement.~shared_ptr();
    if (spare_count < kept_spares) spares[spare_count++] = self;
    else PyObject_Free(self);
    Py_DECREF(tp);
}

Verdict verdict_of(PyObject* self) {
    const DecisionObject* d = as_decision(self);
    if (d->made) return d->made->verdict();
    if (d->decision) return d->decision->verdict;
    if (d->judgement->blocked(d->step)) return Verdict::blocked;
    return d->judgement->asked(d->step) ? Verdict::ask : Verdict::allowed;
}

bool allowed(PyObject* self) { return verdict_of(self) == Verdict::allowed; }

std::uint64_t step_of(PyObject* self) {
    const DecisionObject* d = as_decision(self);
    if (d->made) return d->made->step();
    return d->decision ? d->decision->step : d->step;
}

PyObject* verdict_text(Verdict v) {
    return v == Verdict::allowed ? allowed_text : v == Verdict::ask ? ask_text : blocked_text;
}

PyObject* decision_allowed(PyObject* self, void*) { return PyBool_FromLong(allowed(self)); }

PyObject* decision_verdict(PyObject* self, void*) { return Py_NewRef(verdict_text(verdict_of(self))); }

PyObject* decision_needs_approval(PyObject* self, void*) { return PyBool_FromLong(verdict_of(self) == Verdict::ask); }

PyObject* decision_step(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(step_of(self)); }

PyObject* decision_tool(PyObject* self, void*) {
    const DecisionObject* d = as_decision(self);
    if (d->made) return make_str(d->made->tool()).release();
    return make_str(d->decision ? d->decision->tool : d->judgement->tool(d->step)).release();
}

PyObject* decision_blocked_by(PyObject* self, void*) {
    const DecisionObject* d = as_decision(self);
    if (d->made) {
        const std::string* id = d->made->blocked_by();
        if (!id) Py_RETURN_NONE;
        return make_str(*id).release();
    }
    if (!d->decision && !d->judgement->asked(d->step)) {
        const auto range = d->judgement->failures_of(d->step);
        if (range.empty()) Py_RETURN_NONE;
        return make_str(d->judgement->failure_rule_id(range.first)).release();
    }
    return entry_point([&]() -> PyObject* {
        const RuleEvaluation* blocking = decision_of(self).blocking();
        if (!blocking) Py_RETURN_NONE;
        return make_str(blocking->rule_id).release();
    });
}

PyObject* decision_reason(PyObject* self, void*) {
    return entry_point([&]() -> PyObject* {
        const DecisionObject* d = as_decision(self);
        if (d->made && !d->decision) return make_str(d->made->reason()).release();
        const RuleEvaluation* blocking = decision_of(self).blocking();
        return make_str(blocking ? std::string_view(blocking->explanation) : std::string_view()).release();
    });
}

PyObject* decision_message(PyObject* self, void*) {
    return entry_point([&]() -> PyObject* {
        const DecisionObject* d = as_decision(self);
        if (d->made && !d->decision) return make_str(d->made->message()).release();
        return make_str(decision_of(self).message).release();
    });
}

PyObject* decision_call_id(PyObject* self, void*) {
    const DecisionObject* d = as_decision(self);
    static const std::optional<std::string> none;
    const std::optional<std::string>& id = d->made ? d->made->call_id() : d->decision ? d->decision->call_id : none;
    if (!id) Py_RETURN_NONE;
    return make_str(*id).release();
}

PyObject* decision_failures(PyObject* self, void*) {
    return entry_point([&]() -> PyObject* {
        const DecisionObject* d = as_decision(self);
        if (!d->decision && !d->made && !d->judgement->asked(d->step)) {
            return new_judged_rule_failure_list(d->judgement, d->judgement->failures_of(d->step));
        }
        return new_rule_failure_list(decision_of(self).failures);
    });
}

int decision_bool(PyObject* self) { return allowed(self) ? 1 : 0; }

PyObject* decision_repr(PyObject* self) {
    OwnedRef tool = OwnedRef::steal(decision_tool(self, nullptr));
    if (!tool) return nullptr;
    const unsigned long long step = step_of(self);
    OwnedRef call_id = OwnedRef::steal(decision_call_id(self, nullptr));
    if (!call_id) return nullptr;
    // The call id, when given, comes last.
    OwnedRef tail = OwnedRef::steal(call_id.get() == Py_None ? PyUnicode_FromString("")
                                                             : PyUnicode_FromFormat(", call_id=%R", call_id.get()));
    if (!tail) return nullptr;
    if (allowed(self)) {
        return PyUnicode_FromFormat("Decision(verdict=%R, step=%llu, tool=%R%U)", allowed_text, step, tool.get(),
                                    tail.get());
    }
    OwnedRef blocked_by = OwnedRef::steal(decision_blocked_by(self, nullptr));
    OwnedRef reason = OwnedRef::steal(decision_reason(self, nullptr));
    if (!blocked_by || !reason) return nullptr;
    return PyUnicode_FromFormat("Decision(verdict=%R, step=%llu, tool=%R, blocked_by=%R, reason=%R%U)",
                                verdict_text(verdict_of(self)),
                                step, tool.get(), blocked_by.get(), reason.get(), tail.get());
}

PyObject* decision_richcompare(PyObject* self, PyObject* other, int op) {
    if (!PyObject_TypeCheck(other, decision_type) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    return entry_point([&]() -> PyObject* {
        const bool equal = decision_of(self) == decision_of(other);
        return PyBool_FromLong(equal == (op == Py_EQ));
    });
}

Py_hash_t decision_hash(PyObject* self) {
    try {
        const ostik::GuardDecision& d = decision_of(self);
        std::size_t h = std::hash<std::uint64_t>{}(d.step) * 31 + (d.allowed() ? 1 : 2);
        h = h * 1000003 ^ std::hash<std::string>{}(d.tool);
        for (const RuleEvaluation& e : d.failures) h = h * 1000003 ^ std::hash<std::string>{}(e.rule_id);
        const auto hash = static_cast<Py_hash_t>(h);
        return hash == -1 ? -2 : hash;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

// Pickled as Decision._restore(verdict, step, tool, failures, call_id,
// message), the failures a tuple of RuleFailure (which pickle themselves).
PyObject* decision_reduce(PyObject* self, PyObject*) {
    OwnedRef failures = OwnedRef::steal(decision_failures(self, nullptr));
    if (!failures) return nullptr;
    OwnedRef failure_tuple = OwnedRef::steal(PyList_AsTuple(failures.get()));
    OwnedRef step = OwnedRef::steal(decision_step(self, nullptr));
    OwnedRef tool = OwnedRef::steal(decision_tool(self, nullptr));
    OwnedRef call_id = OwnedRef::steal(decision_call_id(self, nullptr));
    OwnedRef message = OwnedRef::steal(decision_message(self, nullptr));
    if (!failure_tuple || !step || !tool || !call_id || !message) return nullptr;
    OwnedRef state = OwnedRef::steal(PyTuple_Pack(6, verdict_text(verdict_of(self)), step.get(), tool.get(),
                                                  failure_tuple.get(), call_id.get(), message.get()));
    if (!state) return nullptr;
    return pickled_as_restore(self, state.get());
}

constexpr const char* restore_params[] = {"verdict", "step", "tool", "failures", "call_id", "message"};
constexpr Signature restore_sig{"Decision._restore", restore_params, 6, 4};

PyObject* decision_restore(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[6];
    if (!parse_args(restore_sig, args, nargs, kwnames, argv)) return nullptr;
    return entry_point([&]() -> PyObject* {
        GuardDecision decision;
        const bool text = PyUnicode_Check(argv[0]);
        if (text && PyUnicode_CompareWithASCIIString(argv[0], "allowed") == 0) {
            decision.verdict = Verdict::allowed;
        } else if (text && PyUnicode_CompareWithASCIIString(argv[0], "blocked") == 0) {
            decision.verdict = Verdict::blocked;
        } else if (text && PyUnicode_CompareWithASCIIString(argv[0], "ask") == 0) {
            decision.verdict = Verdict::ask;
        } else {
            PyErr_SetString(PyExc_ValueError, "argument 'verdict': expected \"allowed\", \"blocked\" or \"ask\"");
            return nullptr;
        }
        if (!PyLong_Check(argv[1])) {
            raise_cannot_convert("step", argv[1], "int");
            return nullptr;
        }
        decision.step = PyLong_AsUnsignedLongLong(argv[1]);
        if (PyErr_Occurred()) return nullptr;
        if (!PyUnicode_Check(argv[2])) {
            raise_cannot_convert("tool", argv[2], "str");
            return nullptr;
        }
        Py_ssize_t n = 0;
        const char* tool = PyUnicode_AsUTF8AndSize(argv[2], &n);
        if (!tool) return nullptr;
        decision.tool.assign(tool, static_cast<std::size_t>(n));
        if (!PyTuple_Check(argv[3])) {
            raise_cannot_convert("failures", argv[3], "tuple");
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(argv[3]); ++i) {
            const RuleEvaluation* failure = rule_failure_record(PyTuple_GET_ITEM(argv[3], i), "failures");
            if (!failure) return nullptr;
            decision.failures.push_back(*failure);
        }
        for (int i : {4, 5}) {
            PyObject* text = argv[i];
            if (!text || text == Py_None) continue;
            if (!PyUnicode_Check(text)) {
                raise_cannot_convert(restore_params[i], text, "str");
                return nullptr;
            }
            Py_ssize_t len = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(text, &len);
            if (!utf8) return nullptr;
            std::string value(utf8, static_cast<std::size_t>(len));
            if (i == 4) decision.call_id = std::move(value);
            else decision.message = std::move(value);
        }
        // A blocked call names the check that blocked it; an allowed one has none.
        if (decision.allowed() != decision.failures.empty()) {
            PyErr_SetString(PyExc_ValueError, "argument 'failures': a blocked decision has failures, an allowed one none");
            return nullptr;
        }
        return new_decision(std::move(decision));
    });
}

PyMethodDef decision_methods[] = {
    {"__reduce__", decision_reduce, METH_NOARGS, nullptr},
    {"_restore", fastcall(decision_restore), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "_restore($cls, verdict, step, tool, failures, call_id=None, message=None)\n--\n\n"
     "The Decision that pickling saved (see __reduce__)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decision_getset[] = {
    {"allowed", decision_allowed, nullptr, "True when the call may run.", nullptr},
    {"verdict", decision_verdict, nullptr,
     "\"allowed\", \"blocked\", or \"ask\": an ask entry applies and the call waits for a\n"
     "person's approval (Session.approve / Session.deny).",
     nullptr},
    {"needs_approval", decision_needs_approval, nullptr, "True when the verdict is \"ask\".", nullptr},
    {"step", decision_step, nullptr, "The call's index in the run, from 0.", nullptr},
    {"tool", decision_tool, nullptr, "The call's tool name.", nullptr},
    {"blocked_by", decision_blocked_by, nullptr, "The id of the rule or check that blocked the call, or None.",
     nullptr},
    {"reason", decision_reason, nullptr, "That rule's explanation; \"\" when allowed.", nullptr},
    {"message", decision_message, nullptr,
     "One sentence a model can act on, saying why the call was refused and what\n"
     "to do instead, with no rule id; \"\" when allowed.",
     nullptr},
    {"call_id", decision_call_id, nullptr, "The framework's id of the call, as given to check(), or None.", nullptr},
    {"failures", decision_failures, nullptr,
     "Every failed check of the call as RuleFailure, the tool check first, then the\n"
     "argument rules, then the sequence rules in policy order (a new list on every\n"
     "read).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decision_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decision_dealloc)},
    {Py_tp_getset, decision_getset},
    {Py_tp_methods, decision_methods},
    {Py_tp_repr, reinterpret_cast<void*>(decision_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(decision_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(decision_hash)},
    {Py_nb_bool, reinterpret_cast<void*>(decision_bool)},
    {Py_tp_doc, const_cast<char*>("The judgement of one call; true when the call is allowed.")},
    {0, nullptr},
};

PyType_Spec decision_spec = {
    "ostik._engine.Decision",
    sizeof(DecisionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    decision_slots,
};

// A Decision object whose fields the caller constructs (none is set here).
PyObject* allocate() {
    PyObject* self = spare_count ? spares[--spare_count] : static_cast<PyObject*>(PyObject_Malloc(decision_type->tp_basicsize));
    if (!self) return PyErr_NoMemory();
    return PyObject_Init(self, decision_type);
}

}  // namespace

PyObject* new_decision(GuardDecision&& decision) {
    PyObject* self = allocate();
    if (!self) return nullptr;
    DecisionObject* d = as_decision(self);
    new (&d->decision) std::optional<GuardDecision>(std::move(decision));
    new (&d->made) std::optional<SessionDecision>();
    d->owner = nullptr;
    new (&d->judgement) std::shared_ptr<const TraceJudgement>();
    d->step = 0;
    return self;
}

PyObject* new_session_decision(SessionDecision&& decision, PyObject* owner) {
    PyObject* self = allocate();
    if (!self) return nullptr;
    DecisionObject* d = as_decision(self);
    new (&d->decision) std::optional<GuardDecision>();
    new (&d->made) std::optional<SessionDecision>(std::move(decision));
    d->owner = Py_NewRef(owner);
    new (&d->judgement) std::shared_ptr<const TraceJudgement>();
    d->step = 0;
    return self;
}

PyObject* new_session_decision(PyObject* owner, SessionDecision*& made) {
    PyObject* self = allocate();
    if (!self) return nullptr;
    DecisionObject* d = as_decision(self);
    new (&d->decision) std::optional<GuardDecision>();
    new (&d->made) std::optional<SessionDecision>(std::in_place);
    d->owner = Py_NewRef(owner);
    new (&d->judgement) std::shared_ptr<const TraceJudgement>();
    d->step = 0;
    made = &*d->made;
    return self;
}

PyObject* new_judged_decision(std::shared_ptr<const TraceJudgement> judgement, std::uint64_t step) {
    PyObject* self = allocate();
    if (!self) return nullptr;
    DecisionObject* d = as_decision(self);
    new (&d->decision) std::optional<GuardDecision>();
    new (&d->made) std::optional<SessionDecision>();
    d->owner = nullptr;
    new (&d->judgement) std::shared_ptr<const TraceJudgement>(std::move(judgement));
    d->step = step;
    return self;
}

PyObject* create_decision_type(PyObject* module) {
    if (!allowed_text) allowed_text = PyUnicode_InternFromString("allowed");
    if (!blocked_text) blocked_text = PyUnicode_InternFromString("blocked");
    if (!ask_text) ask_text = PyUnicode_InternFromString("ask");
    if (!allowed_text || !blocked_text || !ask_text) return nullptr;
    PyObject* type = PyType_FromModuleAndSpec(module, &decision_spec, nullptr);
    if (type) decision_type = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

}  // namespace ostik::py::engine
