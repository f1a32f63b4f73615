// The Policy class: a loaded policy, made only by Policy.from_file.
#include <Python.h>

#include <new>

#include "../common/args.hpp"
#include "../common/policy_source.hpp"
#include "../common/ref.hpp"
#include "../common/util.hpp"
#include "types.hpp"

namespace ostik::py {

PyTypeObject* policy_type = nullptr;

namespace {

PyObject* policy_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for Policy");
    return nullptr;
}

void policy_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    delete reinterpret_cast<PolicyObject*>(self)->policy;
    tp->tp_free(self);
    Py_DECREF(tp);
}

constexpr const char* from_file_params[] = {"path"};
constexpr Signature from_file_sig{"Policy.from_file", from_file_params, 1, 1};

PyObject* policy_from_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* path_obj;
    if (!parse_args(from_file_sig, args, nargs, kwnames, &path_obj)) return nullptr;
    try {
        auto loaded = load_policy_argument(path_obj);
        if (!loaded) return nullptr;
        auto* record = new Policy(std::move(*loaded));
        PyObject* self = policy_type->tp_alloc(policy_type, 0);
        if (!self) {
            delete record;
            return nullptr;
        }
        reinterpret_cast<PolicyObject*>(self)->policy = record;
        return self;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef policy_methods[] = {
    {"from_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(policy_from_file)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_file(path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot policy_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(policy_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(policy_dealloc)},
    {Py_tp_methods, policy_methods},
    {0, nullptr},
};

PyType_Spec policy_spec = {
    "ostik._native.Policy",
    sizeof(PolicyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    policy_slots,
};

}  // namespace

PyObject* create_policy_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &policy_spec, nullptr);
    if (type) policy_type = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

const Policy* policy_argument(PyObject* obj, const char* name) {
    if (!PyObject_TypeCheck(obj, policy_type)) {
        raise_cannot_convert(name, obj, "Policy");
        return nullptr;
    }
    return reinterpret_cast<PolicyObject*>(obj)->policy;
}

}  // namespace ostik::py
