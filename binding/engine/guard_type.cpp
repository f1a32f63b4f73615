// The Guard class: a policy made ready for judging calls as they happen. It
// never changes after construction, so any number of sessions and threads
// share one.
#include <Python.h>

#include <memory>
#include <new>
#include <string_view>

#include "../src/args.hpp"
#include "../src/ref.hpp"
#include "../src/step_reader.hpp"
#include "../src/trace_sequence.hpp"
#include "../src/util.hpp"
#include "engine.hpp"
#include "ostik/guard.hpp"
#include "ostik/trace_judgement.hpp"
#include "ostik/trace_writer.hpp"

namespace ostik::py::engine {

namespace {

struct GuardObject {
    PyObject_HEAD
    // Shared with every session made from it, which outlive it if they must.
    std::shared_ptr<const ostik::Guard> guard;
};

GuardObject* as_guard(PyObject* self) { return reinterpret_cast<GuardObject*>(self); }

constexpr const char* new_params[] = {"policy"};
constexpr Signature new_sig{"Guard.__new__", new_params, 1, 1};

PyObject* make_guard(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* policy_obj;
    if (!parse_args(new_sig, args, kwargs, &policy_obj)) return nullptr;
    const Policy* policy = policy_argument(policy_obj, "policy");
    if (!policy) return nullptr;
    auto guard = std::make_shared<const ostik::Guard>(Policy(*policy));
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

constexpr const char* session_params[] = {"trace_file", "keep"};
constexpr Signature session_sig{"Guard.session", session_params, 2, 0};

PyObject* open_session(GuardObject* self, PyObject* trace_file, PyObject* keep) {
    // Both arguments are checked before the file is opened, so that a bad
    // call leaves no file behind.
    const bool has_file = trace_file && trace_file != Py_None;
    if (has_file && !PyUnicode_Check(trace_file)) {
        raise_cannot_convert("trace_file", trace_file, "PyString");
        return nullptr;
    }
    if (keep && !PyBool_Check(keep)) {
        raise_cannot_convert("keep", keep, "PyBool");
        return nullptr;
    }
    std::unique_ptr<ostik::TraceWriter> writer;
    if (has_file) {
        Py_ssize_t len = 0;
        const char* path = PyUnicode_AsUTF8AndSize(trace_file, &len);
        if (!path) return nullptr;
        auto opened = ostik::TraceWriter::open(std::string_view(path, static_cast<std::size_t>(len)));
        if (!opened) {
            set_error(PyExc_RuntimeError, "Failed to open trace file: " + opened.error());
            return nullptr;
        }
        writer = std::move(*opened);
    }
    return new_session(self->guard, std::move(writer), keep == Py_True);
}

PyObject* guard_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[2];
    if (!parse_args(session_sig, args, nargs, kwnames, argv)) return nullptr;
    try {
        return open_session(as_guard(self), argv[0], argv[1]);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

constexpr const char* judge_params[] = {"trace"};
constexpr Signature judge_sig{"Guard.judge", judge_params, 1, 1};

// The steps are read as TraceExplainer.explain reads them, and each is judged
// as soon as it is read: its arguments are converted (a step that cannot be
// read fails the call) and dropped, since a judgement keeps none.
PyObject* judge_trace(GuardObject* self, PyObject* trace) {
    auto items = extract_sequence(trace, "trace");
    if (!items) return nullptr;
    ostik::TraceJudgement judgement(self->guard);
    for (const OwnedRef& item : *items) {
        auto call = read_step(item.get());
        if (!call) {
            set_error(PyExc_ValueError, "Invalid tool call format: " + call.error());
            return nullptr;
        }
        judgement.add_step(call->tool);
    }
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

PyObject* guard_on_error(PyObject* self, void*) {
    return PyUnicode_FromString(on_error_name(as_guard(self)->guard->policy().on_error));
}

PyMethodDef guard_methods[] = {
    {"session", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard_session)),
     METH_FASTCALL | METH_KEYWORDS,
     "session($self, trace_file=None, keep=False)\n--\n\n"
     "Starts one agent run. With trace_file (a str path) every checked call is\n"
     "appended to that file as one step line; with keep=True the session keeps\n"
     "its calls, so that explain() can report on them."},
    {"judge", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard_judge)),
     METH_FASTCALL | METH_KEYWORDS,
     "judge($self, trace)\n--\n\n"
     "Judges a whole trace (a sequence of step mappings, read as\n"
     "TraceExplainer.explain reads them) as a fresh session would: every step\n"
     "checked in order, then finished. Writes nothing; returns the Judgement."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef guard_getset[] = {
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
    {Py_tp_doc, const_cast<char*>("Guard(policy)\n--\n\n"
                                  "A policy's verdicts on tool calls as they happen. Built once from a\n"
                                  "Policy (its own copy); shared by any number of sessions and threads.")},
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

const char* on_error_name(ErrorPolicy p) { return p == ErrorPolicy::allow ? "allow" : "block"; }

PyObject* create_guard_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &guard_spec, nullptr); }

}  // namespace ostik::py::engine
