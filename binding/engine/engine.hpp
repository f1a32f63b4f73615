// Shared by the files of ostik._engine: the types it borrows from
// ostik._native, its own types, and how one file makes another's objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "../common/args.hpp"
#include "../native/types.hpp"
#include "ostik/explain.hpp"
#include "ostik/guard.hpp"
#include "ostik/policy.hpp"
#include "ostik/trace_judgement.hpp"
#include "ostik/trace_writer.hpp"

namespace ostik::py::engine {

// ostik._native.Policy and ostik._native.TraceExplainer, looked up when the
// module is imported.
extern PyTypeObject* policy_type;
extern PyTypeObject* explainer_type;

// The policy record of a Policy instance, or null with the "argument 'NAME':
// ... cannot be converted to 'Policy'" TypeError set.
const Policy* policy_argument(PyObject* obj, const char* name);

// Each creates its type object (a new reference, or null with an error set)
// and keeps a borrowed pointer to it for the other files; the module holds
// the types for as long as the interpreter runs.
PyObject* create_guard_type(PyObject* module);
PyObject* create_session_type(PyObject* module);
PyObject* create_decision_type(PyObject* module);
PyObject* create_rule_failure_type(PyObject* module);
PyObject* create_judgement_type(PyObject* module);
PyObject* create_coverage_accumulator_type(PyObject* module);
PyObject* create_audit_accumulator_type(PyObject* module);
PyObject* create_diff_accumulator_type(PyObject* module);
PyObject* create_unreadable_arguments_type(PyObject* module);

// A new Session running on `guard` (a new reference, or null with an error set).
// `clock` (a callable giving seconds) and `approver` are kept when not null
// or None.
PyObject* new_session(std::shared_ptr<const Guard> guard, std::unique_ptr<TraceWriter> writer, bool keep_calls,
                      GuardMode mode, PyObject* clock = nullptr, PyObject* approver = nullptr);
// A new Session taking over `session`.
PyObject* wrap_session(std::unique_ptr<GuardSession> session, PyObject* clock = nullptr, PyObject* approver = nullptr);

// The policy of a Guard object, or null when `obj` is not one.
const Policy* guard_policy(PyObject* obj);

// A new Decision taking over `decision`.
PyObject* new_decision(GuardDecision&& decision);

// A new Decision of a session's `decision`, whose texts are made only when a
// field needs them; it holds `owner` (the Session), which keeps the guard the
// decision refers to.
PyObject* new_session_decision(SessionDecision&& decision, PyObject* owner);
// A Decision of `owner` whose session decision, empty, is `made`: for the
// session to decide into in place.
PyObject* new_session_decision(PyObject* owner, SessionDecision*& made);

// A new Decision of step `step` of `judgement`, whose texts are made only
// when a field needs them.
PyObject* new_judged_decision(std::shared_ptr<const TraceJudgement> judgement, std::uint64_t step);

// A new Judgement taking over `judgement`, which must be finished.
PyObject* new_judgement(TraceJudgement&& judgement);

// A new list of RuleFailure objects, one per record.
PyObject* new_rule_failure_list(const std::vector<RuleEvaluation>& failures);

// A new list of RuleFailure objects for failures [range.first, range.last) of
// `judgement`, whose texts are made only when a field needs them.
PyObject* new_judged_rule_failure_list(const std::shared_ptr<const TraceJudgement>& judgement,
                                       TraceJudgement::FailureRange range);

// A new list of the guard's argument rules as dicts (Guard.argument_rules),
// each with "reached" and "violated" from `counts` (one per rule) when given.
PyObject* argument_rule_list(const ostik::Guard& guard, const ArgumentRuleCount* counts);

// A new list of the guard's ask and limit entries as dicts (Guard.entries),
// each with "reached" and "triggered" from `counts` (one per entry) when given.
PyObject* entry_list(const ostik::Guard& guard, const ArgumentRuleCount* counts);

// The text of the policy's on_error setting, "block" or "allow".
const char* on_error_name(ErrorPolicy p);

// The record of a RuleFailure object, or null with TypeError "argument
// 'NAME': 'T' object cannot be converted to 'RuleFailure'" set. May throw
// std::bad_alloc.
const RuleEvaluation* rule_failure_record(PyObject* obj, const char* name);

// How Decision and RuleFailure pickle: (type(self)._restore, state), a new
// reference or null with the exception set.
PyObject* pickled_as_restore(PyObject* self, PyObject* state);

// Runs the body of a method or getter: an allocation failure inside it
// becomes MemoryError, as no C++ exception may leave the module.
template <class F>
PyObject* entry_point(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// Whether an accumulator took what it was given; false with OverflowError
// set ("NAME.WHAT: the steps count would pass 2**64-1") when a count would
// have overflowed, which left the accumulator unchanged.
inline bool counted(const std::expected<void, std::string>& result, const char* where) {
    if (result) return true;
    PyErr_Format(PyExc_OverflowError, "%s: %s", where, result.error().c_str());
    return false;
}

// Whether a Ctrl-C (or another signal's handler) asks a long loop to stop at
// iteration `i`: false but every 1024 iterations, when the handlers run; true
// with their exception (KeyboardInterrupt) set.
inline bool interrupted(std::size_t i) { return (i & 1023) == 1023 && PyErr_CheckSignals() < 0; }

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a PyMethodDef holds.
template <class F>
PyCFunction fastcall(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The module-level functions (METH_FASTCALL | METH_KEYWORDS).
PyObject* stream_explanation(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* policy_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// A tool's result as the flows take it: a str as its text, bytes as UTF-8
// (bad sequences replaced), anything else as a JSON-able value; nothing,
// with ValueError set, when it cannot be converted.
std::optional<ostik::Value> result_value(PyObject* obj);

// A step's "result" as Guard.judge records it for the flows: nothing for a
// step without one (or None); false, with ValueError set, when it cannot be
// converted (result_value).
bool read_step_result(PyObject* step, std::optional<ostik::Value>& out);

}  // namespace ostik::py::engine
