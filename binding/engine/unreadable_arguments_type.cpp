// The UnreadableArguments class: the arguments of a call that came as JSON
// text and could not be read into a value (nested too deeply, a number with
// more digits than the interpreter reads). A reader puts one where the
// arguments would be; the engine's readers then leave the call unjudged, as
// they do a number no Value holds, so that the policy's on_error decides and
// no argument rule passes for not having seen its argument.
#include <Python.h>

#include <structmember.h>

#include "../common/args.hpp"
#include "../common/convert.hpp"
#include "../common/ref.hpp"
#include "engine.hpp"

namespace ostik::py::engine {

namespace {

struct UnreadableArgumentsObject {
    PyObject_HEAD
    PyObject* problem;  // a str, owned
};

UnreadableArgumentsObject* as_unreadable(PyObject* self) { return reinterpret_cast<UnreadableArgumentsObject*>(self); }

PyObject* unreadable_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"problem", nullptr};
    PyObject* problem = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:UnreadableArguments", const_cast<char**>(keywords), &problem)) {
        return nullptr;
    }
    if (!PyUnicode_Check(problem)) {
        raise_cannot_convert("problem", problem, "str");
        return nullptr;
    }
    OwnedRef self = OwnedRef::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    as_unreadable(self.get())->problem = OwnedRef::borrow(problem).release();
    return self.release();
}

int unreadable_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

void unreadable_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_unreadable(self)->problem);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* unreadable_repr(PyObject* self) {
    return PyUnicode_FromFormat("UnreadableArguments(%R)", as_unreadable(self)->problem);
}

PyObject* unreadable_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), as_unreadable(self)->problem);
}

PyMemberDef unreadable_members[] = {
    {"problem", Py_T_OBJECT_EX, offsetof(UnreadableArgumentsObject, problem), Py_READONLY,
     "Why the arguments could not be read, as the reason of an on_error failure shows it."},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef unreadable_methods[] = {
    {"__reduce__", unreadable_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot unreadable_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(unreadable_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(unreadable_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(unreadable_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(unreadable_repr)},
    {Py_tp_members, unreadable_members},
    {Py_tp_methods, unreadable_methods},
    {Py_tp_doc, const_cast<char*>(
        "UnreadableArguments(problem)\n--\n\n"
        "The arguments of a call that could not be read; the guard's readers leave\n"
        "the call unjudged and the policy's on_error decides it.")},
    {0, nullptr},
};

PyType_Spec unreadable_spec = {
    "ostik._engine.UnreadableArguments",
    sizeof(UnreadableArgumentsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    unreadable_slots,
};

}  // namespace

PyObject* create_unreadable_arguments_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &unreadable_spec, nullptr);
    if (type) set_unreadable_arguments_type(reinterpret_cast<PyTypeObject*>(type));
    return type;
}

}  // namespace ostik::py::engine
