// The Judgement class: a whole trace judged by Guard.judge(). It holds the
// core's compact judgement, shared with the Decision and RuleFailure objects
// read from it, which make their texts only when asked for them. Every
// list-valued field is a new list on every read, so nothing a caller does to
// it changes the judgement.
#include <Python.h>

#include <memory>
#include <new>

#include "../common/ref.hpp"
#include "../common/util.hpp"
#include "engine.hpp"
#include "ostik/trace_judgement.hpp"

namespace ostik::py::engine {

namespace {

PyTypeObject* judgement_type = nullptr;

struct JudgementObject {
    PyObject_HEAD
    std::shared_ptr<const ostik::TraceJudgement> judgement;
};

const ostik::TraceJudgement& judgement_of(PyObject* self) {
    return *reinterpret_cast<JudgementObject*>(self)->judgement;
}

void judgement_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<JudgementObject*>(self)->judgement.~shared_ptr();
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* judgement_passed(PyObject* self, void*) { return PyBool_FromLong(judgement_of(self).passed()); }

PyObject* judgement_steps(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(judgement_of(self).steps()); }

PyObject* judgement_blocked_steps(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(judgement_of(self).blocked_steps());
}

PyObject* judgement_first_block(PyObject* self, void*) {
    const auto first = judgement_of(self).first_block();
    if (!first) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*first);
}

PyObject* judgement_asked_steps(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(judgement_of(self).asked_steps());
}

PyObject* judgement_windows_unjudged(PyObject* self, void*) {
    return PyBool_FromLong(judgement_of(self).windows_unjudged());
}

PyObject* judgement_decisions(PyObject* self, void*) {
    return entry_point([&]() -> PyObject* {
        const auto& shared = reinterpret_cast<JudgementObject*>(self)->judgement;
        const std::uint64_t steps = shared->steps();
        OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(steps)));
        if (!list) return nullptr;
        for (std::uint64_t i = 0; i < steps; ++i) {
            PyObject* item = new_judged_decision(shared, i);
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

PyObject* judgement_end_failures(PyObject* self, void*) {
    return entry_point([&]() -> PyObject* { return new_rule_failure_list(judgement_of(self).end_failures()); });
}

PyObject* judgement_blocking_rules(PyObject* self, void*) {
    return entry_point([&]() -> PyObject* {
        return make_str_list(judgement_of(self).blocking_rules()).release();
    });
}

PyObject* judgement_repr(PyObject* self) {
    const ostik::TraceJudgement& j = judgement_of(self);
    OwnedRef first = OwnedRef::steal(judgement_first_block(self, nullptr));
    OwnedRef rules = OwnedRef::steal(judgement_blocking_rules(self, nullptr));
    if (!first || !rules) return nullptr;
    return PyUnicode_FromFormat("Judgement(passed=%s, steps=%llu, blocked_steps=%llu, first_block=%R, "
                                "blocking_rules=%R)",
                                j.passed() ? "True" : "False", static_cast<unsigned long long>(j.steps()),
                                static_cast<unsigned long long>(j.blocked_steps()), first.get(), rules.get());
}

int judgement_bool(PyObject* self) { return judgement_of(self).passed() ? 1 : 0; }

PyGetSetDef judgement_getset[] = {
    {"passed", judgement_passed, nullptr,
     "True when no step was blocked and no end-of-trace check failed. A trace\n"
     "without steps fails every require rule.",
     nullptr},
    {"steps", judgement_steps, nullptr, "The number of steps.", nullptr},
    {"blocked_steps", judgement_blocked_steps, nullptr, "The number of blocked steps.", nullptr},
    {"first_block", judgement_first_block, nullptr, "The index of the first blocked step, or None.", nullptr},
    {"asked_steps", judgement_asked_steps, nullptr,
     "The steps an ask entry applied to: shown with the verdict \"ask\", they fail nothing (a recorded step ran).",
     nullptr},
    {"windows_unjudged", judgement_windows_unjudged, nullptr,
     "True when a limit over a window of time met a step without a time (\"ts\"), which it could not judge.",
     nullptr},
    {"decisions", judgement_decisions, nullptr,
     "The Decision of every step, as Session.check gives it (a new list on every\n"
     "read).",
     nullptr},
    {"end_failures", judgement_end_failures, nullptr,
     "The failed end-of-trace checks as RuleFailure, as Session.finish gives them.", nullptr},
    {"blocking_rules", judgement_blocking_rules, nullptr,
     "The ids of the rules that blocked a step, in order of first blocking, then\n"
     "those of the failed end-of-trace checks, each once.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot judgement_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(judgement_dealloc)},
    {Py_tp_getset, judgement_getset},
    {Py_tp_repr, reinterpret_cast<void*>(judgement_repr)},
    {Py_nb_bool, reinterpret_cast<void*>(judgement_bool)},
    {Py_tp_doc, const_cast<char*>("A whole trace judged by Guard.judge(); true when the trace passes.")},
    {0, nullptr},
};

PyType_Spec judgement_spec = {
    "ostik._engine.Judgement",
    sizeof(JudgementObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    judgement_slots,
};

}  // namespace

PyObject* new_judgement(ostik::TraceJudgement&& judgement) {
    auto held = std::make_shared<const ostik::TraceJudgement>(std::move(judgement));
    PyObject* self = judgement_type->tp_alloc(judgement_type, 0);
    if (!self) return nullptr;
    new (&reinterpret_cast<JudgementObject*>(self)->judgement) std::shared_ptr<const ostik::TraceJudgement>(
        std::move(held));
    return self;
}

PyObject* create_judgement_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &judgement_spec, nullptr);
    if (type) judgement_type = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

}  // namespace ostik::py::engine
