// The RuleFailure class: one failed rule or check, as a step of the
// explanation report lists it. It holds the core's record, or, for a failure
// read from a Judgement, the judgement and the failure's number: its rule id
// and type come from there, the record (its texts) is made on first need.
// The context is made into a new dict on every read, so no caller can change
// the failure.
#include <Python.h>

#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "../common/args.hpp"
#include "../common/convert.hpp"
#include "../common/python_value.hpp"
#include "../common/ref.hpp"
#include "../common/util.hpp"
#include "engine.hpp"

namespace ostik::py::engine {

namespace {

PyTypeObject* rule_failure_type = nullptr;

struct RuleFailureObject {
    PyObject_HEAD
    std::optional<ostik::RuleEvaluation> failure;
    std::shared_ptr<const ostik::TraceJudgement> judgement;
    std::size_t index;
};

RuleFailureObject* as_failure(PyObject* self) { return reinterpret_cast<RuleFailureObject*>(self); }

// The whole record. May throw std::bad_alloc.
const ostik::RuleEvaluation& failure_of(PyObject* self) {
    RuleFailureObject* f = as_failure(self);
    if (!f->failure) f->failure = f->judgement->failure_record(f->index);
    return *f->failure;
}

void rule_failure_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    as_failure(self)->failure.~optional();
    as_failure(self)->judgement.~shared_ptr();
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* rule_failure_rule_id(PyObject* self, void*) {
    const RuleFailureObject* f = as_failure(self);
    return make_str(f->failure ? f->failure->rule_id : f->judgement->failure_rule_id(f->index)).release();
}

PyObject* rule_failure_rule_type(PyObject* self, void*) {
    const RuleFailureObject* f = as_failure(self);
    if (f->failure) return make_str(f->failure->rule_type).release();
    return PyUnicode_FromString(f->judgement->failure_rule_type(f->index));
}

PyObject* rule_failure_explanation(PyObject* self, void*) {
    return entry_point([&]() -> PyObject* { return make_str(failure_of(self).explanation).release(); });
}

PyObject* rule_failure_context(PyObject* self, void*) {
    return entry_point([&]() -> PyObject* {
        const auto& context = failure_of(self).context;
        if (!context) Py_RETURN_NONE;
        return from_value(*context).release();
    });
}

PyObject* rule_failure_repr(PyObject* self) {
    OwnedRef id = OwnedRef::steal(rule_failure_rule_id(self, nullptr));
    OwnedRef type = OwnedRef::steal(rule_failure_rule_type(self, nullptr));
    OwnedRef explanation = OwnedRef::steal(rule_failure_explanation(self, nullptr));
    OwnedRef context = OwnedRef::steal(rule_failure_context(self, nullptr));
    if (!id || !type || !explanation || !context) return nullptr;
    return PyUnicode_FromFormat("RuleFailure(rule_id=%R, rule_type=%R, explanation=%R, context=%R)", id.get(),
                                type.get(), explanation.get(), context.get());
}

PyObject* rule_failure_richcompare(PyObject* self, PyObject* other, int op) {
    if (!PyObject_TypeCheck(other, rule_failure_type) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    return entry_point([&]() -> PyObject* {
        const bool equal = failure_of(self) == failure_of(other);
        return PyBool_FromLong(equal == (op == Py_EQ));
    });
}

// Equal failures have equal ids, types and explanations; the context is left
// out of the hash.
Py_hash_t rule_failure_hash(PyObject* self) {
    try {
        const ostik::RuleEvaluation& e = failure_of(self);
        const std::hash<std::string> hash_text;
        std::size_t h = hash_text(e.rule_id);
        h = h * 1000003 ^ hash_text(e.rule_type);
        h = h * 1000003 ^ hash_text(e.explanation);
        const auto hash = static_cast<Py_hash_t>(h);
        return hash == -1 ? -2 : hash;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

// Pickled as RuleFailure._restore(rule_id, rule_type, explanation, context).
PyObject* rule_failure_reduce(PyObject* self, PyObject*) {
    OwnedRef state = OwnedRef::steal(PyTuple_New(4));
    if (!state) return nullptr;
    PyObject* (*const fields[])(PyObject*, void*) = {rule_failure_rule_id, rule_failure_rule_type,
                                                     rule_failure_explanation, rule_failure_context};
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* item = fields[i](self, nullptr);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(state.get(), i, item);
    }
    return pickled_as_restore(self, state.get());
}

constexpr const char* restore_params[] = {"rule_id", "rule_type", "explanation", "context"};
constexpr Signature restore_sig{"RuleFailure._restore", restore_params, 4, 4};

PyObject* new_rule_failure(const RuleEvaluation& failure);

PyObject* rule_failure_restore(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[4];
    if (!parse_args(restore_sig, args, nargs, kwnames, argv)) return nullptr;
    return entry_point([&]() -> PyObject* {
        RuleEvaluation failure;
        failure.passed = false;
        std::string* texts[] = {&failure.rule_id, &failure.rule_type, &failure.explanation};
        for (std::size_t i = 0; i < 3; ++i) {
            if (!PyUnicode_Check(argv[i])) {
                raise_cannot_convert(restore_params[i], argv[i], "str");
                return nullptr;
            }
            Py_ssize_t n = 0;
            const char* text = PyUnicode_AsUTF8AndSize(argv[i], &n);
            if (!text) return nullptr;
            texts[i]->assign(text, static_cast<std::size_t>(n));
        }
        if (argv[3] != Py_None) {
            if (!PyDict_Check(argv[3])) {
                raise_cannot_convert("context", argv[3], "dict");
                return nullptr;
            }
            auto context = to_value(argv[3]);
            if (!context) {
                set_error(PyExc_ValueError, "argument 'context': " + context.error());
                return nullptr;
            }
            failure.context = std::move(*context);
        }
        return new_rule_failure(failure);
    });
}

PyMethodDef rule_failure_methods[] = {
    {"__reduce__", rule_failure_reduce, METH_NOARGS, nullptr},
    {"_restore", fastcall(rule_failure_restore), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "_restore($cls, rule_id, rule_type, explanation, context)\n--\n\n"
     "The RuleFailure that pickling saved (see __reduce__)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef rule_failure_getset[] = {
    {"rule_id", rule_failure_rule_id, nullptr, "The id of the rule or check, as in the explanation report.", nullptr},
    {"rule_type", rule_failure_rule_type, nullptr, "Its kind: \"deny\", \"allow\", \"max_calls\", ...", nullptr},
    {"explanation", rule_failure_explanation, nullptr, "Why it failed, in one line.", nullptr},
    {"context", rule_failure_context, nullptr, "The values that decided it, as a new dict, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rule_failure_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(rule_failure_dealloc)},
    {Py_tp_getset, rule_failure_getset},
    {Py_tp_methods, rule_failure_methods},
    {Py_tp_repr, reinterpret_cast<void*>(rule_failure_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(rule_failure_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(rule_failure_hash)},
    {Py_tp_doc, const_cast<char*>("One failed rule or check of a step.")},
    {0, nullptr},
};

PyType_Spec rule_failure_spec = {
    "ostik._engine.RuleFailure",
    sizeof(RuleFailureObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    rule_failure_slots,
};

PyObject* new_rule_failure(const RuleEvaluation& failure) {
    // The copy comes first: if it fails, there is no object to undo.
    RuleEvaluation copy = failure;
    PyObject* self = rule_failure_type->tp_alloc(rule_failure_type, 0);
    if (!self) return nullptr;
    RuleFailureObject* f = as_failure(self);
    new (&f->failure) std::optional<RuleEvaluation>(std::move(copy));
    new (&f->judgement) std::shared_ptr<const TraceJudgement>();
    f->index = 0;
    return self;
}

PyObject* new_judged_rule_failure(const std::shared_ptr<const TraceJudgement>& judgement, std::size_t index) {
    PyObject* self = rule_failure_type->tp_alloc(rule_failure_type, 0);
    if (!self) return nullptr;
    RuleFailureObject* f = as_failure(self);
    new (&f->failure) std::optional<RuleEvaluation>();
    new (&f->judgement) std::shared_ptr<const TraceJudgement>(judgement);
    f->index = index;
    return self;
}

}  // namespace

const RuleEvaluation* rule_failure_record(PyObject* obj, const char* name) {
    if (!PyObject_TypeCheck(obj, rule_failure_type)) {
        raise_cannot_convert(name, obj, "RuleFailure");
        return nullptr;
    }
    return &failure_of(obj);
}

PyObject* pickled_as_restore(PyObject* self, PyObject* state) {
    static PyObject* restore_name = nullptr;
    PyObject* name = interned_name("_restore", restore_name);
    if (!name) return nullptr;
    OwnedRef restore = OwnedRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name));
    if (!restore) return nullptr;
    return PyTuple_Pack(2, restore.get(), state);
}

PyObject* new_rule_failure_list(const std::vector<RuleEvaluation>& failures) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(failures.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < failures.size(); ++i) {
        PyObject* item = new_rule_failure(failures[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* new_judged_rule_failure_list(const std::shared_ptr<const TraceJudgement>& judgement,
                                       TraceJudgement::FailureRange range) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(range.last - range.first)));
    if (!list) return nullptr;
    for (std::size_t i = range.first; i < range.last; ++i) {
        PyObject* item = new_judged_rule_failure(judgement, i);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i - range.first), item);
    }
    return list.release();
}

PyObject* create_rule_failure_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &rule_failure_spec, nullptr);
    if (type) rule_failure_type = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

}  // namespace ostik::py::engine
