// The Decision class: the judgement of one call. It holds the core's record
// and makes Python objects only when a field is read, so a call that is
// allowed costs one small object.
#include <Python.h>

#include <functional>
#include <new>
#include <string>

#include "../src/ref.hpp"
#include "../src/util.hpp"
#include "engine.hpp"
#include "ostik/guard.hpp"

namespace ostik::py::engine {

namespace {

PyTypeObject* decision_type = nullptr;

// The two verdict names, made once.
PyObject* allowed_text = nullptr;
PyObject* blocked_text = nullptr;

struct DecisionObject {
    PyObject_HEAD
    ostik::GuardDecision decision;
};

const ostik::GuardDecision& decision_of(PyObject* self) { return reinterpret_cast<DecisionObject*>(self)->decision; }

void decision_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<DecisionObject*>(self)->decision.~GuardDecision();
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* verdict_text(const ostik::GuardDecision& d) { return d.allowed() ? allowed_text : blocked_text; }

PyObject* decision_allowed(PyObject* self, void*) { return PyBool_FromLong(decision_of(self).allowed()); }

PyObject* decision_verdict(PyObject* self, void*) { return Py_NewRef(verdict_text(decision_of(self))); }

PyObject* decision_step(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(decision_of(self).step); }

PyObject* decision_tool(PyObject* self, void*) { return make_str(decision_of(self).tool).release(); }

PyObject* decision_blocked_by(PyObject* self, void*) {
    const RuleEvaluation* blocking = decision_of(self).blocking();
    if (!blocking) Py_RETURN_NONE;
    return make_str(blocking->rule_id).release();
}

PyObject* decision_reason(PyObject* self, void*) {
    const RuleEvaluation* blocking = decision_of(self).blocking();
    return make_str(blocking ? std::string_view(blocking->explanation) : std::string_view()).release();
}

PyObject* decision_failures(PyObject* self, void*) {
    try {
        return new_rule_failure_list(decision_of(self).failures);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

int decision_bool(PyObject* self) { return decision_of(self).allowed() ? 1 : 0; }

PyObject* decision_repr(PyObject* self) {
    const ostik::GuardDecision& d = decision_of(self);
    OwnedRef tool = OwnedRef::steal(decision_tool(self, nullptr));
    if (!tool) return nullptr;
    if (!d.blocking()) {
        return PyUnicode_FromFormat("Decision(verdict=%R, step=%llu, tool=%R)", verdict_text(d),
                                    static_cast<unsigned long long>(d.step), tool.get());
    }
    OwnedRef blocked_by = OwnedRef::steal(decision_blocked_by(self, nullptr));
    OwnedRef reason = OwnedRef::steal(decision_reason(self, nullptr));
    if (!blocked_by || !reason) return nullptr;
    return PyUnicode_FromFormat("Decision(verdict=%R, step=%llu, tool=%R, blocked_by=%R, reason=%R)",
                                verdict_text(d), static_cast<unsigned long long>(d.step), tool.get(),
                                blocked_by.get(), reason.get());
}

PyObject* decision_richcompare(PyObject* self, PyObject* other, int op) {
    if (!PyObject_TypeCheck(other, decision_type) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = decision_of(self) == decision_of(other);
    return PyBool_FromLong(equal == (op == Py_EQ));
}

Py_hash_t decision_hash(PyObject* self) {
    const ostik::GuardDecision& d = decision_of(self);
    std::size_t h = std::hash<std::uint64_t>{}(d.step) * 31 + (d.allowed() ? 1 : 2);
    h = h * 1000003 ^ std::hash<std::string>{}(d.tool);
    for (const RuleEvaluation& e : d.failures) h = h * 1000003 ^ std::hash<std::string>{}(e.rule_id);
    const auto hash = static_cast<Py_hash_t>(h);
    return hash == -1 ? -2 : hash;
}

PyGetSetDef decision_getset[] = {
    {"allowed", decision_allowed, nullptr, "True when the call may run.", nullptr},
    {"verdict", decision_verdict, nullptr, "\"allowed\" or \"blocked\".", nullptr},
    {"step", decision_step, nullptr, "The call's index in the run, from 0.", nullptr},
    {"tool", decision_tool, nullptr, "The call's tool name.", nullptr},
    {"blocked_by", decision_blocked_by, nullptr, "The id of the rule or check that blocked the call, or None.",
     nullptr},
    {"reason", decision_reason, nullptr, "That rule's explanation; \"\" when allowed.", nullptr},
    {"failures", decision_failures, nullptr,
     "Every failed check of the call as RuleFailure, the tool check first, then the\n"
     "sequence rules in policy order (a new list on every read).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decision_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decision_dealloc)},
    {Py_tp_getset, decision_getset},
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

}  // namespace

PyObject* new_decision(GuardDecision&& decision) {
    PyObject* self = decision_type->tp_alloc(decision_type, 0);
    if (!self) return nullptr;
    new (&reinterpret_cast<DecisionObject*>(self)->decision) GuardDecision(std::move(decision));
    return self;
}

PyObject* create_decision_type(PyObject* module) {
    if (!allowed_text) allowed_text = PyUnicode_InternFromString("allowed");
    if (!blocked_text) blocked_text = PyUnicode_InternFromString("blocked");
    if (!allowed_text || !blocked_text) return nullptr;
    PyObject* type = PyType_FromModuleAndSpec(module, &decision_spec, nullptr);
    if (type) decision_type = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

}  // namespace ostik::py::engine
